#!/usr/bin/env bash
# orvgen.exe's SigMF recordings under Wine against the Linux orvgen's: the
# .sigmf-data and .sigmf-meta files byte-identical (the SHA-512 in the
# metadata from CNG on Windows, from OpenSSL on Linux).
#   orvgen_sigmf_compare.sh WORKDIR LINUX_ORVGEN WINE_RUN PREFIX ARCH ORVGEN_EXE
set -euo pipefail
work=$1 linux=$2
shift 2
wine=("$@")
mkdir -p "$work"
cd "$work"

# name | options
cases=(
  "default_cf32|"
  "default_ci16|--sigmf-type ci16_le"
  "noise_gap_os4|--oversample 4 --gauss -30 --burst on --burst-off 200"
)
failed=0
for c in "${cases[@]}"; do
  IFS='|' read -r name opts <<<"$c"
  read -r -a args <<<"$opts"
  rm -f "win_$name".sigmf-* "lin_$name".sigmf-*
  "$linux" "${args[@]}" -o "lin_$name.sigmf-data" >/dev/null
  rc=0
  "${wine[@]}" "${args[@]}" -o "win_$name.sigmf-data" >/dev/null || rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "FAILED: orvgen.exe $opts -o win_$name.sigmf-data (exit $rc)"
    failed=$((failed + 1))
    continue
  fi
  for ext in sigmf-data sigmf-meta; do
    if cmp -s "win_$name.$ext" "lin_$name.$ext"; then
      echo "same bytes: $name.$ext ($(wc -c <"lin_$name.$ext") bytes)"
    else
      echo "DIFFERENT: $name.$ext"
      cmp "win_$name.$ext" "lin_$name.$ext" | head -n 3 || true
      failed=$((failed + 1))
    fi
  done
  grep -o '"core:sha512": "[0-9a-f]\{16\}' "win_$name.sigmf-meta" | sed "s/^/$name /"
done
echo "$((${#cases[@]} * 2 - failed)) of $((${#cases[@]} * 2)) files identical"
[ "$failed" -eq 0 ]
