#!/usr/bin/env bash
# Builds everything and runs every test. Installs the Debian packages that the
# build and the tests need when they are missing and this runs as root;
# otherwise names them and stops.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ libgtest-dev tmux g++-mingw-w64-i686 wine wine64 wine32:i386)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if ((${#missing[@]})); then
  if [[ $(id -u) != 0 ]]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them as root (wine32:i386 needs 'dpkg --add-architecture i386' first), then run again." >&2
    exit 1
  fi
  echo "Installing ${missing[*]}"
  dpkg --add-architecture i386
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
fi

cmake --preset default
cmake --build --preset default -j "$(nproc)"
ctest --preset default
