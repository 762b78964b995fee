#!/usr/bin/env bash
# orvgen.exe under Wine with file names beyond ASCII. The library takes the
# name as a narrow string in the system code page (1252 here): a name of that
# code page's characters must work, one with a character outside it must be
# refused with a message, before anything is written.
#   orvgen_narrow_path.sh WORKDIR WINE_RUN PREFIX ARCH ORVGEN_EXE
set -uo pipefail
work=$1
shift
run=("$@")
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
failed=0 passed=0
pass() { echo "ok: $1"; passed=$((passed + 1)); }
fail() { echo "FAILED: $1"; failed=$((failed + 1)); }

"${run[@]}" --rate 24 --symbols 12 -o reference.awv >/dev/null || fail "ASCII name"
"${run[@]}" --rate 24 --symbols 12 -o reference.csv >/dev/null || fail "ASCII name (CSV)"

# Names the code page holds: e acute, u umlaut, sharp s, micro sign, a blank.
for name in "Prüfung_é µs.awv" "Straße_ü.csv"; do
  ext=${name##*.}
  if "${run[@]}" --rate 24 --symbols 12 -o "$name" >/dev/null 2>err.txt; then
    if [ -f "$name" ]; then
      kind=awg
      [ "$ext" = csv ] && kind=csv
      if python3 "$here/compare_outputs.py" "$kind" "$name" "reference.$ext" >/dev/null 2>&1 ||
         { [ "$kind" = csv ] && cmp -s "$name" "reference.$ext"; }; then
        pass "\"$name\" written, same bytes as under an ASCII name"
      else
        fail "\"$name\" differs from the file written under an ASCII name"
      fi
    else
      fail "\"$name\": exit 0 but no file of that (UTF-8) name: $(ls)"
    fi
  else
    fail "\"$name\" refused: $(cat err.txt)"
  fi
done

# Names it cannot hold: Chinese characters; a Greek capital omega, which a
# best-fit conversion would silently turn into "O".
for name in "波形.awv" "Ωmega.csv"; do
  : >out.txt
  : >err.txt
  before=$(ls | sort)
  "${run[@]}" -o "$name" >out.txt 2>err.txt
  rc=$?
  after=$(ls | sort)
  if [ "$rc" -ne 1 ]; then
    fail "\"$name\": exit status $rc, expected 1 (refused)"
  elif ! grep -q "the argument \"?.*\" has characters that the system code page (1252) cannot hold" err.txt; then
    fail "\"$name\": message missing: $(cat err.txt)"
  elif [ "$before" != "$after" ]; then
    fail "\"$name\": files appeared although refused: $after"
  else
    pass "\"$name\" refused: $(tr -d '\r' <err.txt)"
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
