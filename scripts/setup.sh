#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
# Idempotent: packages already present are skipped; needs root or sudo.
set -euo pipefail

packages=(
  build-essential file cmake pkg-config python3 python3-jsonschema libssl-dev
  python3-dev pybind11-dev python3-pybind11 python3-numpy python3-pytest python3-matplotlib
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-charts-dev qt6-svg-dev libqt6opengl6-dev libgl-dev libcli11-dev libfftw3-dev nlohmann-json3-dev libpcap-dev zlib1g-dev
  xvfb xauth x11-utils imagemagick locales fonts-dejavu-core fonts-droid-fallback clang libclang-rt-14-dev valgrind
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev wine wine64 wine32:i386
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

# Wine's 32-bit loader (wine32) is an i386 package: enable that architecture.
if ! dpkg --print-foreign-architectures | grep -x i386 >/dev/null; then
  echo "setup: adding the i386 architecture for wine32"
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep "install ok installed" >/dev/null; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
else
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi

# A German locale (decimal comma) lets the tests prove that files keep ".".
if ! locale -a 2>/dev/null | grep -i '^de_DE\.utf-\?8$' >/dev/null; then
  "${sudo_cmd[@]}" localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "setup: de_DE.UTF-8 not available"
fi
