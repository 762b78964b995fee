#!/usr/bin/env bash
# orvgen.exe under Wine against the Linux orvgen, record by record: AWG files
# byte-identical apart from DATE, CSV files identical apart from CR LF (or,
# where marked "close", within round-off of the C library's maths functions).
#   orvgen_compare.sh WORKDIR LINUX_ORVGEN WINE_RUN PREFIX ARCH ORVGEN_EXE
set -euo pipefail
work=$1 linux=$2
shift 2
wine=("$@")
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
cd "$work"

# name | options | CSV comparison. "exact": identical apart from CR LF, which
# the library's own correctly rounded maths on Windows gives (sin, cos, log,
# 10^x; condition/platform_math.cpp). "close" (within round-off) remains for
# a record whose arguments meet one of glibc's rare misroundings.
cases=(
  "default||exact"
  "rate54_nyquist|--rate 54 --symbols 20 --filter nyquist --cut-off 9.0|exact"
  "pn23_os10_window|--rate 6 --data PN23 --oversample 10 --window-tr 0.1|exact"
  "sine_os8|--rate 18 --oversample 8 --sine 3.5 --sine-level -20|exact"
  "if_dc_iqinv|--rate 24 --if 12.5 --dc-real 3 --dc-imag -2 --iq-inverse on|exact"
  "freqerr_free_burst|--rate 48 --freq-error 0.2 --format free --burst on --burst-off 50|exact"
  "gauss_all1_taps63|--rate 12 --gauss -10 --data ALL1 --filter nyquist --cut-off 8.5 --taps 63 --roll-off 0.5|exact"
  "os5_pn15|--rate 36 --oversample 5 --data PN15 --seed 1ABC|exact"
  "one_symbol_os4|--symbols 1 --oversample 4 --rate 9|exact"
)
failed=0 total=0
for c in "${cases[@]}"; do
  IFS='|' read -r name opts csvmode <<<"$c"
  read -r -a args <<<"$opts"
  for ext in awv csv; do
    total=$((total + 1))
    rm -f "win_$name.$ext" "lin_$name.$ext"
    "$linux" "${args[@]}" -o "lin_$name.$ext" >/dev/null
    rc=0
    "${wine[@]}" "${args[@]}" -o "win_$name.$ext" >/dev/null || rc=$?
    if [ "$rc" -ne 0 ]; then
      echo "FAILED: orvgen.exe $opts -o win_$name.$ext (exit $rc)"
      failed=$((failed + 1))
      continue
    fi
    if [ "$ext" = awv ]; then
      python3 "$here/compare_outputs.py" awg "win_$name.$ext" "lin_$name.$ext" || failed=$((failed + 1))
    else
      flag=()
      [ "$csvmode" = close ] && flag=(--close)
      python3 "$here/compare_outputs.py" csv "win_$name.$ext" "lin_$name.$ext" "${flag[@]}" || failed=$((failed + 1))
    fi
  done
done
echo "$((total - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
