#!/usr/bin/env bash
# Builds the Debian package of a finished build (CPack), unpacks it into an empty folder as a
# stand-in for a clean machine, and runs what it ships from there: orvgen, orvcheck and the
# Python module, with only the package's own folders on the paths.
# Usage: deb_test.sh BUILD_DIR
# No pipe here ends in a reader that stops early (head, grep -q): under pipefail the writer's
# SIGPIPE would fail the script depending on timing.
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

(cd "$build" && cpack -G DEB -B "$root/cpack" >"$root/cpack.log") || { cat "$root/cpack.log"; exit 1; }
deb=$(find "$root/cpack" -maxdepth 1 -name 'orvane_*.deb' -print -quit)
test -n "$deb"
test "$(dpkg-deb --field "$deb" Package)" = orvane
dpkg-deb -x "$deb" "$root/fs"
usr=$root/fs/usr
libdir=$(dirname "$(find "$usr" -name 'libOrvasynth.so.1' -print -quit)")
test -f "$usr/include/orvasynth.h"

clean=(env -i PATH=/usr/bin:/bin LD_LIBRARY_PATH="$libdir" PYTHONNOUSERSITE=1)
"${clean[@]}" "$usr/bin/orvgen" -o "$root/per.awv" --rate 54 --payload-bytes 100 --packets 3 >/dev/null
"${clean[@]}" "$usr/bin/orvcheck" --expect 3 "$root/per.awv" >"$root/check.out"
grep -q 'FCS good 3' "$root/check.out" || { cat "$root/check.out"; exit 1; }

if [ -x "$build/python" ] || compgen -G "$build/python/orvane/_orvane*.so" >/dev/null; then
  init=$(find "$usr" -path '*/dist-packages/orvane/__init__.py' -print -quit)
  test -n "$init"
  site=$(dirname "$(dirname "$init")")
  version=$(cd "$root" && "${clean[@]}" PYTHONPATH="$site" /usr/bin/python3 -c "import orvane; print(orvane.__version__)")
  test "$(dpkg-deb --field "$deb" Version)" = "$version"
  echo "deb_test: $(basename "$deb"): orvgen, orvcheck and 'import orvane' ($version) from the unpacked package"
else
  echo "deb_test: $(basename "$deb"): orvgen and orvcheck from the unpacked package (no Python module in this build)"
fi
