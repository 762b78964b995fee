#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for a bounded time from its seed
# corpus in tests/fuzz/corpus/<target> (new inputs go to a scratch copy).
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 60)
# The random seed is fixed (ORV_FUZZ_SEED, default 1) so a CI run explores the
# same inputs as the runs before it; set another seed for longer local runs.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
jobs=$(nproc 2>/dev/null || echo 2)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORV_FUZZ=ON -DORV_SANITIZE=ON -DORV_BUILD_TESTS=OFF -DORV_BUILD_BENCH=OFF -DORV_BUILD_APP=OFF \
  -DORV_BUILD_CLI=OFF -DORV_BUILD_VIEWER=OFF
cmake --build build-fuzz -j "$jobs"

# One target per core at a time: each run is single-threaded and time-bounded.
run_target() {
  local target=$1 seconds=$2 name seeds work
  name=$(basename "$target")
  seeds=tests/fuzz/corpus/${name#fuzz_}
  work=$(mktemp -d)
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$target" -seed="${ORV_FUZZ_SEED:-1}" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
      -artifact_prefix="$work/" -print_final_stats=1 "$work" >"$work/log" 2>&1; then
    { tail -n 40 "$work/log"; echo "fuzz: $name FAILED; crashing inputs kept in $work"; } >&2
    return 1
  fi
  grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$work/log" | sed "s/^/fuzz: $name /"
  rm -rf "$work"
}
export -f run_target

echo "fuzz: $(ls build-fuzz/fuzz/fuzz_* | wc -l) targets, ${seconds}s each, $jobs at a time"
printf '%s\n' build-fuzz/fuzz/fuzz_* | xargs -P "$jobs" -I{} bash -c 'run_target "$1" "$2"' _ {} "$seconds"
