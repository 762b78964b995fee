#!/usr/bin/env bash
# Installs what is needed, builds the library and the program, and starts Orvane.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"
if [ -x build/app/Orvane ]; then
  exec build/app/Orvane "$@"
fi
# Until the desktop program is built: write the default burst with the example caller.
out=${1:-default_burst.awv}
exec build/orv_example "$out"
