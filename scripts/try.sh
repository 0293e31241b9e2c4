#!/usr/bin/env bash
# Tries the native program on the shipped example, without Wine: builds it,
# migrates examples/Tavik.ini into a new throw-away Wine prefix (made here,
# not by Wine) and prints the values that landed in the prefix's user.reg,
# as `reg query` lists them. Installs cmake and g++ when they are missing
# and this runs as root; otherwise names them and stops.
set -euo pipefail
usage="Usage: scripts/try.sh

Builds the native program (build-native/tavikmigrate), migrates
examples/Tavik.ini into a throw-away Wine prefix that it makes itself, and
prints the values that landed, as 'reg query' lists them. Needs no Wine.
Exit status: the program's (0 every value stored, 1 Tavik.ini not found,
2 nothing stored); 1 also when the build fails."
if (($#)); then
  [[ $1 == -h || $1 == --help ]] && { echo "$usage"; exit 0; }
  echo "try.sh: unknown option '$1'; see 'scripts/try.sh --help'" >&2
  exit 2
fi
cd "$(dirname "$0")/.."
scripts/ensure-packages.sh cmake g++

echo "Building the native program (build-native/tavikmigrate): about a minute the first time"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# The configure step's notes go to a log, shown when it fails; the build
# shows its progress.
cmake --preset native >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
cmake --build --preset native -j "$(nproc)" || exit 1

prefix=$(mktemp -d "${TMPDIR:-/tmp}/tavik-try-XXXXXX")/wine
mkdir -p "$prefix/drive_c/windows"
cp examples/Tavik.ini "$prefix/drive_c/windows/"
echo "Migrating examples/Tavik.ini: WINEPREFIX=$prefix build-native/tavikmigrate"
status=0
WINEPREFIX=$prefix build-native/tavikmigrate </dev/null || status=$?
case $status in
  0) echo "exit status 0: every value was stored" ;;
  1) echo "exit status 1: Tavik.ini was not found" ;;
  2) echo "exit status 2: nothing was stored; the line above says why" ;;
  *) echo "exit status $status" ;;
esac

# user.reg holds "[Key\\Path] time" lines, each followed by its values:
# "Name"=dword:0000002a or "Name"="text" with \\ and \" escaped.
unescape() { local text=${1//\\\\/\\}; printf '%s' "${text//\\\"/\"}"; }
while IFS= read -r line; do
  if [[ $line =~ ^\[(.*)\]\ [0-9]+$ ]]; then
    printf '\nHKEY_CURRENT_USER\\%s\n' "$(unescape "${BASH_REMATCH[1]}")"
  elif [[ $line =~ ^\"(([^\"\\]|\\.)*)\"=dword:([0-9a-f]{8})$ ]]; then
    printf '    %s    REG_DWORD    0x%x\n' "$(unescape "${BASH_REMATCH[1]}")" "$((16#${BASH_REMATCH[3]}))"
  elif [[ $line =~ ^\"(([^\"\\]|\\.)*)\"=\"(.*)\"$ ]]; then
    printf '    %s    REG_SZ    %s\n' "$(unescape "${BASH_REMATCH[1]}")" "$(unescape "${BASH_REMATCH[3]}")"
  fi
done <"$prefix/user.reg"

echo
echo "The Wine prefix is $prefix (its registry: $prefix/user.reg)."
echo "Remove it with: rm -r ${prefix%/wine}"
exit "$status"
