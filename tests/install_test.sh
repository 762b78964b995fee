#!/usr/bin/env bash
# Installs the build into a temporary prefix, runs the installed orvgen, orvcheck and orvview, and
# builds small C and C++ callers against the installed header and library:
# the C one through pkg-config, the C++ one through the CMake package.
# With PYTHON and VERSION it also imports the installed Python module.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR [PYTHON VERSION]
set -euo pipefail
build=$1
src=$2
python=${3:-}
version_expected=${4:-}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libOrvasynth.so.1' -print -quit)")
test -L "$libdir/libOrvasynth.so.1"   # SONAME link
test -f "$prefix/include/orvasynth.h"
test -f "$prefix/share/applications/orvane.desktop" || [ ! -x "$build/app/Orvane" ]

# The installed orvgen (it carries the library's static form) writes files and recordings.
"$prefix/bin/orvgen" -o "$prefix/burst.awv" --rate 54 --symbols 10 >"$prefix/orvgen.out"
grep -q '^RF crest factor     :  ' "$prefix/orvgen.out"
head -c 40 "$prefix/burst.awv" | grep '^{COMMENT:OFDM waveform generator}' >/dev/null
"$prefix/bin/orvgen" -o "$prefix/burst.sigmf-data" --symbols 10 >/dev/null
"$prefix/bin/orvcheck" "$prefix/burst.sigmf-meta" >"$prefix/sigmf.out" || true
grep -q "annotations: 15 of the burst's segments, match the burst" "$prefix/sigmf.out"

# The installed orvcheck reads it back (exit 3: the unfiltered burst fails the mask).
status=0
"$prefix/bin/orvcheck" "$prefix/burst.awv" >"$prefix/orvcheck.out" || status=$?
test "$status" -eq 3
grep -q '^SIGNAL      (17.3.4) RATE 0011 = 54 Mbit/s' "$prefix/orvcheck.out"

# The Python module (when the build made it): the installed package alone on the path, in a
# clean environment, imports, names the project's version and makes a burst.
if [ -n "$python" ] && ls "$build"/python/orvane/_orvane*.so >/dev/null 2>&1; then
  init=$(find "$prefix" -path '*/dist-packages/orvane/__init__.py' -o -path '*/site-packages/orvane/__init__.py' | sort | sed -n 1p)
  test -n "$init"
  test -f "$(dirname "$init")/__init__.pyi"
  test -f "$(dirname "$init")/py.typed"
  site=$(dirname "$(dirname "$init")")
  clean_python=(env -i PATH=/usr/bin:/bin PYTHONPATH="$site" PYTHONNOUSERSITE=1 "$python")
  version=$(cd "$prefix" && "${clean_python[@]}" -c "import orvane; print(orvane.__version__)")
  test "$version" = "$version_expected"
  (cd "$prefix" && "${clean_python[@]}" -c "import orvane; assert orvane.__file__.startswith('$site'), orvane.__file__
x, f = orvane.burst(ofdm_symbols=4)
assert len(x) > 0 and f['papr'] > 0")
fi

# The viewer: its desktop entry opens the AWG waveform file's MIME type (*.awv), and the
# installed orvview --export and orvcheck --plots draw the five views without a display.
if [ -x "$build/orvview" ]; then
  test -f "$prefix/share/icons/hicolor/scalable/apps/orvview.svg"
  grep -qx 'MimeType=application/x-orvane-awv;' "$prefix/share/applications/orvview.desktop"
  grep -qx 'Exec=orvview %f' "$prefix/share/applications/orvview.desktop"
  grep -q '<mime-type type="application/x-orvane-awv">' "$prefix/share/mime/packages/orvane-awv.xml"
  grep -q '<glob pattern="\*.awv"/>' "$prefix/share/mime/packages/orvane-awv.xml"
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
    "$prefix/bin/orvview" --export "$prefix/views" "$prefix/burst.awv" >/dev/null 2>&1 </dev/null
  status=0
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
    "$prefix/bin/orvcheck" --plots "$prefix/plots" "$prefix/burst.awv" >/dev/null 2>&1 </dev/null || status=$?
  test "$status" -eq 3
  for v in spectrum constellation evm ccdf power; do
    for d in views plots; do
      test -s "$prefix/$d/$v.png"
      test -s "$prefix/$d/$v.svg"
    done
  done
fi

# The installed program run as an unprivileged user ("nobody" when this runs
# as root; otherwise the installed bin folder is made read-only): it cannot
# write beside itself, so its settings go to the user's folder, made at the
# first save, and "orvgen --settings window" reads that file.
if [ -x "$prefix/bin/Orvane" ]; then
  home="$prefix/home"
  mkdir -p "$home"
  chmod 755 "$prefix"
  chmod 777 "$home"
  run_as=()
  if [ "$(id -u)" -eq 0 ]; then
    run_as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    uid=65534
  else
    chmod a-w "$prefix/bin"
    uid=$(id -u)
  fi
  user_env=(env -u XDG_RUNTIME_DIR QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$home" HOME="$home")
  program=$(realpath "$prefix/bin/Orvane")
  lock="${TMPDIR:-/tmp}/Orvane-$uid-$(printf '%s' "$program" | sha1sum | cut -c1-16).lock"
  # Starts the program, waits until it holds its instance lock, ends it as a
  # session end does (SIGTERM: the window closes and saves) and checks it ended well.
  run_window() {
    "${run_as[@]}" "${user_env[@]}" "$program" 2>>"$prefix/orvane.err" &
    local pid=$! i
    for i in $(seq 300); do
      [ "$(head -n 1 "$lock" 2>/dev/null)" = "$pid" ] && break
      sleep 0.1
    done
    kill -TERM "$pid"
    wait "$pid"
  }
  run_window
  grep -qx 'DATA RATE=5' "$home/Orvane/PrmOrvane.ini"
  test ! -e "$prefix/bin/PrmOrvane.ini"
  "${run_as[@]}" "${user_env[@]}" "$prefix/bin/orvgen" --rate 54 --save-settings "$home/Orvane/PrmOrvane.ini"
  "${run_as[@]}" "${user_env[@]}" "$prefix/bin/orvgen" --settings window --save-settings "$home/window.ini"
  grep -qx 'DATA RATE=7' "$home/window.ini"
  run_window
  grep -qx 'DATA RATE=7' "$home/Orvane/PrmOrvane.ini"
  chmod u+w "$prefix/bin"
fi

# A C caller through pkg-config.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -std=c11 -Wall -Werror -o "$prefix/c_caller" "$src/examples/make_default.c" \
  $(pkg-config --cflags --libs orvasynth) -Wl,-rpath,"$libdir"
"$prefix/c_caller" "$prefix/c.awv" | grep 'written' >/dev/null
"$prefix/c_caller" "$prefix/c.csv" csv >/dev/null
test "$(wc -l <"$prefix/c.csv")" -gt 60000

# A C++ caller through find_package(Orvasynth).
mkdir -p "$prefix/cxx"
cat >"$prefix/cxx/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(caller CXX)
find_package(Orvasynth 1 REQUIRED)
add_executable(caller caller.cpp)
target_link_libraries(caller PRIVATE Orvasynth::Orvasynth)
CMAKE
cat >"$prefix/cxx/caller.cpp" <<'CPP'
#include <orvasynth.h>
#include <cstdio>
int main(int, char** argv) {
    WaveParams p{};
    p.rate_index = 7; p.ofdm_symbols = 5; p.pn_seed = 1; p.oversampling = 4; p.filter_taps = 191;
    int32_t rc = orv_11a_actual(&p, 0, argv[1]);
    std::printf("%d %.6f\n", rc, p.papr);
    return rc == 0 && p.papr > 0.0 ? 0 : 1;
}
CPP
cmake -S "$prefix/cxx" -B "$prefix/cxx/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$prefix/cxx/build" >/dev/null
"$prefix/cxx/build/caller" "$prefix/cxx.awv" >/dev/null
echo "install test: 1 passed, 0 failed"
