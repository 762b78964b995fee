#!/usr/bin/env bash
# orvgen.exe's settings file under Wine: written, replaced whole by a second
# save (the rename over an existing file), read back with the values given,
# and in binary mode (its line ends are exactly those written, not doubled).
#   orvgen_settings.sh WORKDIR WINE_RUN PREFIX ARCH ORVGEN_EXE
set -uo pipefail
work=$1
shift
run=("$@")
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
failed=0
fail() { echo "FAILED: $1"; failed=$((failed + 1)); }

"${run[@]}" --rate 12 --symbols 7 --save-settings s.ini >/dev/null || fail "first save"
first=$(cat s.ini 2>/dev/null)
"${run[@]}" --rate 48 --symbols 9 --save-settings s.ini >/dev/null || fail "second save over the first"
[ "$first" != "$(cat s.ini 2>/dev/null)" ] || fail "the second save did not replace the file"
ls -a | grep '\.tmp$' >/dev/null && fail "a temporary file was left: $(ls -a)"
grep -q $'\r\r' s.ini && fail "line ends doubled (text mode): $(od -c s.ini | head -3)"
"${run[@]}" --settings s.ini -o from_settings.awv >/dev/null || fail "reading the settings back"
"${run[@]}" --rate 48 --symbols 9 -o direct.awv >/dev/null || fail "the same record from options"
tail -c +200 from_settings.awv | cmp -s - <(tail -c +200 direct.awv) ||
  fail "the file from the saved settings differs from the one from the same options"
[ "$failed" -eq 0 ] && echo "settings file: all checks passed"
exit "$failed"
