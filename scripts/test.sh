#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test:
#  1. the Release build: library, program (headless), orvgen, install test, Debian package;
#     then the Windows cross-builds, tested under Wine against it;
#  2. the whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer;
#  3. the library tests under valgrind memcheck;
#  4. each fuzz target for a bounded time (ORV_FUZZ_SECONDS, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/setup.sh

export QT_QPA_PLATFORM=offscreen
# A compiler cache, where one is installed, makes the three builds of a rerun quick.
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
fi
export CTEST_OUTPUT_ON_FAILURE=1

echo "== Release build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --timeout 1500

echo "== Debian package"
# What the package ships runs from an unpacked copy: orvgen, orvcheck, import orvane.
bash tests/deb_test.sh build

# Orvasynth.dll and orvgen.exe for 64- and 32-bit Windows, tested under Wine
# against this build's files.
bash scripts/test-windows.sh build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DORV_SANITIZE=ON -DORV_BUILD_BENCH=OFF
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j "$jobs" --timeout 1500

echo "== valgrind memcheck of the library tests"
# The fault tests that fork and limit the child (address space, file size,
# user) run in the two builds above; under valgrind the limits hit valgrind
# itself. The long prefault comparison and the replacement tests that kill,
# race or limit whole writers are left out for time.
valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
  --show-leak-kinds=definite --child-silent-after-fork=yes --quiet \
  build/tests/orv_lib_tests --gtest_brief=1 \
  --gtest_filter='-*OutOfMemory*:*FileSizeLimit*:*ReadOnlyFolder*:*Prefault*:Replacement.Killed*:Replacement.TwoProcesses*:Replacement.ReadOnlyFile*:Replacement.FailedWrite*'

echo "== fuzzing"
bash scripts/fuzz.sh "${ORV_FUZZ_SECONDS:-60}"

echo "all tests passed"
