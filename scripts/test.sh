#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test: the normal
# build first, then the library tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/setup.sh

export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --timeout 1500

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DORV_SANITIZE=ON \
  -DORV_BUILD_BENCH=OFF -DORV_BUILD_APP=OFF
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j "$jobs" --timeout 1500 -L lib

echo "all tests passed ($root)"
