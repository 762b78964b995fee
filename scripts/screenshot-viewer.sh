#!/usr/bin/env bash
# Starts the built orvview under a virtual X server on two bursts written by the
# built orvgen and saves pictures of its window: docs/orvview-default.png (the
# default burst) and docs/orvview-filtered-noise.png (54 Mbit/s, Nyquist filter,
# Gaussian noise).
# Usage: scripts/screenshot-viewer.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build}
for prog in "$build/orvview" "$build/orvgen"; do
  if [ ! -x "$prog" ]; then
    echo "screenshot-viewer: $prog is not built (cmake --build $build --target orvview orvgen)" >&2
    exit 1
  fi
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$root/docs"
# orvgen runs in the temporary folder so that no settings file is read or left behind.
cp "$build/orvgen" "$tmp/orvgen"
"$tmp/orvgen" -o "$tmp/burst.awv" >/dev/null
"$tmp/orvgen" -o "$tmp/filtered.awv" --rate 54 --symbols 40 --filter nyquist --taps 191 --roll-off 0.25 \
  --cut-off 9 --gauss -60 >/dev/null

# Inside the X server: start the viewer on a file, wait for its window and the
# analysis, grab the screen and cut the window out of it.
cat > "$tmp/grab.sh" <<'GRAB'
#!/usr/bin/env bash
set -euo pipefail
prog=$1 file=$2 out=$3
title="$(basename "$file") - orvview"
QT_QPA_PLATFORM=xcb "$prog" "$file" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true' EXIT
info=
for _ in $(seq 1 100); do
  if info=$(xwininfo -name "$title" 2>/dev/null); then break; fi
  info=
  sleep 0.1
done
if [ -z "$info" ]; then
  echo "screenshot-viewer: the orvview window did not appear" >&2
  exit 1
fi
sleep 3  # the analysis runs beside the window; let it and the first paint finish
info=$(xwininfo -name "$title")
x=$(awk '/Absolute upper-left X/ {print $4}' <<<"$info")
y=$(awk '/Absolute upper-left Y/ {print $4}' <<<"$info")
w=$(awk '/Width:/ {print $2}' <<<"$info")
h=$(awk '/Height:/ {print $2}' <<<"$info")
import -window root -crop "${w}x${h}+${x}+${y}" +repage "$out"
GRAB
chmod +x "$tmp/grab.sh"

prog=$(realpath "$build/orvview")
xvfb-run -a -s "-screen 0 1920x1200x24" "$tmp/grab.sh" "$prog" "$tmp/burst.awv" "$root/docs/orvview-default.png"
xvfb-run -a -s "-screen 0 1920x1200x24" "$tmp/grab.sh" "$prog" "$tmp/filtered.awv" "$root/docs/orvview-filtered-noise.png"
echo "screenshot-viewer: docs/orvview-default.png and docs/orvview-filtered-noise.png written"
