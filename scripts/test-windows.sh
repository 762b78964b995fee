#!/usr/bin/env bash
# The Windows builds and their tests, after the Linux Release build in
# LINUX_BUILD (default build/), whose orvgen and golden-file checker are the
# reference: cross-builds with MinGW-w64 for 64-bit and 32-bit Windows, their
# export and import tables, and the programs under Wine (headless, no input,
# a private prefix in each build folder); then the ZIP of each build.
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=$(cd "${1:-build}" && pwd)
jobs=${ORV_JOBS:-$(nproc 2>/dev/null || echo 2)}
start=$(date +%s)
export WINEDEBUG=-all
for arch in x86_64 i686; do
  dir=build-mingw64
  [ "$arch" = i686 ] && dir=build-mingw32
  echo "== Windows ($arch-w64-mingw32): build, tests under Wine, ZIP"
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DORV_LINUX_BUILD_DIR="$linux_build"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --timeout 3000 --output-on-failure
  (cd "$dir" && cpack -G ZIP >/dev/null && ls -1 ./*.zip)
done
echo "Windows builds and tests: $(( $(date +%s) - start )) s"
