#!/usr/bin/env bash
# Runs a Windows program under Wine, headless and without input, in a private
# prefix: wine-run.sh PREFIX win64|win32 PROGRAM.exe [ARGS...]
# The prefix is created on first use (wine-run.sh PREFIX ARCH --init makes it
# and waits for Wine to settle). Arguments reach the program as Unicode via a
# UTF-8 Unix locale; the Windows code page is that locale's, 1252.
set -euo pipefail
prefix=$1 arch=$2
shift 2
case "$arch" in
  win64) loader=/usr/lib/wine/wine64 ;;
  win32) loader=/usr/lib/wine/wine ;;
  *) echo "wine-run.sh: architecture must be win64 or win32" >&2; exit 2 ;;
esac
if [ ! -x "$loader" ]; then
  echo "wine-run.sh: $loader missing: run scripts/setup.sh (wine64, wine32:i386)" >&2
  exit 2
fi
export WINEPREFIX=$prefix WINEARCH=$arch WINELOADER=$loader
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs, no desktop menu entries, no windows.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
wineserver=$(dirname "$loader")/wineserver
mkdir -p "$(dirname "$prefix")"
if [ "${1:-}" = "--init" ]; then
  "$loader" wineboot --init </dev/null >/dev/null 2>&1 || true
  "$wineserver" -w
  [ -f "$prefix/system.reg" ] || { echo "wine-run.sh: could not create the prefix $prefix" >&2; exit 2; }
  exit 0
fi
exec "$loader" "$@" </dev/null
