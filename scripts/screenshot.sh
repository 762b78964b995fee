#!/usr/bin/env bash
# Starts the built Orvane under a virtual X server and saves a picture of its
# window as docs/orvane-window.png. The program runs from a temporary copy of
# its folder, so no settings file is left in the build tree.
# Usage: scripts/screenshot.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build}
prog="$build/app/Orvane"
if [ ! -x "$prog" ]; then
  echo "screenshot: $prog is not built (cmake --build $build)" >&2
  exit 1
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp "$prog" "$tmp/Orvane"
mkdir -p "$root/docs"

# Inside the X server: start the program, wait for its window, grab the screen
# and cut the window out of it.
cat > "$tmp/grab.sh" <<'GRAB'
#!/usr/bin/env bash
set -euo pipefail
dir=$1 out=$2
QT_QPA_PLATFORM=xcb "$dir/Orvane" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true' EXIT
info=
for _ in $(seq 1 100); do
  if info=$(xwininfo -name "Orvane Ver.1.2.0" 2>/dev/null); then break; fi
  info=
  sleep 0.1
done
if [ -z "$info" ]; then
  echo "screenshot: the Orvane window did not appear" >&2
  exit 1
fi
sleep 1  # let the first paint finish
info=$(xwininfo -name "Orvane Ver.1.2.0")
x=$(awk '/Absolute upper-left X/ {print $4}' <<<"$info")
y=$(awk '/Absolute upper-left Y/ {print $4}' <<<"$info")
w=$(awk '/Width:/ {print $2}' <<<"$info")
h=$(awk '/Height:/ {print $2}' <<<"$info")
import -window root -crop "${w}x${h}+${x}+${y}" +repage "$out"
GRAB
chmod +x "$tmp/grab.sh"

xvfb-run -a -s "-screen 0 1280x1024x24" "$tmp/grab.sh" "$tmp" "$root/docs/orvane-window.png"
echo "screenshot: docs/orvane-window.png written"
