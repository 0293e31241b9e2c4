#!/usr/bin/env bash
# Checks the shipped Windows program: a stripped PE32 console program of at
# most 64 KB that imports only system DLLs and carries no link time, whose
# only resource is a version resource naming VERSION and the copyright holder
# and licence of LICENSE. No manifest: one that
# asks for an execution level would hide a profile kept in the user's
# VirtualStore.
# Usage: check_windows_binary.sh EXE VERSION [BASE_PREFIX WINE VERSION_INFO]
# With the last three, the version strings are read back as Windows reads
# them: VERSION_INFO (tests/tools/version_info.cpp) under Wine, in a copy of
# BASE_PREFIX.
set -uo pipefail
(($# == 2 || $# == 5)) || { echo "usage: check_windows_binary.sh EXE VERSION [BASE_PREFIX WINE VERSION_INFO]" >&2; exit 2; }
exe=$1 version=$2
copyright=$(grep -m 1 '^Copyright [0-9]* ' "$(dirname "$0")/../LICENSE")
fail=0
problem() { echo "$*"; fail=1; }

# check_strings SOURCE: the version strings, as lines "<name>=<text>" on standard input.
check_strings() {
  local strings
  strings=$(cat)
  for field in FileVersion ProductVersion; do
    grep -qx "$field=$version" <<<"$strings" || problem "$1: $field is not $version"
  done
  grep -qx 'OriginalFilename=tavikmigrate.exe' <<<"$strings" || problem "$1: wrong OriginalFilename"
  grep -qxF "LegalCopyright=$copyright; MIT License" <<<"$strings" || problem "$1: LegalCopyright is not LICENSE's"
  grep -qxF "CompanyName=${copyright#Copyright * }" <<<"$strings" || problem "$1: CompanyName is not LICENSE's holder"
  for field in FileDescription ProductName; do grep -q "^$field=." <<<"$strings" || problem "$1: no $field"; done
}

if (($# == 5)); then
  base=$3 wine=$4 reader=$5
  work=$(mktemp -d "${TMPDIR:-/tmp}/tavik-version-XXXXXX")
  export WINEPREFIX=$work/wine WINEDEBUG=-all
  trap 'wineserver -k 2>/dev/null; wineserver -w 2>/dev/null; rm -rf "$work"' EXIT
  "$(dirname "$0")/make_wine_prefix.sh" --copy "$base" "$WINEPREFIX" || exit 1
  read_back=$("$wine" "$reader" "Z:$(realpath "$exe")" | tr -d '\r') || { echo "Windows finds no version resource"; exit 1; }
  echo "$read_back"
  check_strings "read back under Wine" <<<"$read_back"
  exit $fail
fi

headers=$(i686-w64-mingw32-objdump -p "$exe") || { echo "cannot read $exe"; exit 1; }
grep -q 'Magic.*010b' <<<"$headers" || problem "not a 32-bit PE32 program"
grep -q 'Subsystem.*Windows CUI' <<<"$headers" || problem "not a console program"
dlls=$(grep 'DLL Name:' <<<"$headers" | awk '{print toupper($3)}' | sort -u)
echo "${exe##*/}: imports" $dlls
for dll in $dlls; do
  case $dll in KERNEL32.DLL|ADVAPI32.DLL|USER32.DLL|MSVCRT.DLL) ;; *) problem "needs $dll" ;; esac
done
size=$(stat -c %s "$exe")
echo "${exe##*/}: size $size bytes (at most 65536)"
((size <= 65536)) || problem "larger than 64 KB"
! i686-w64-mingw32-objdump -h "$exe" | grep -q '\.debug\|\.stab' || problem "not stripped"
grep -q '^Time/Date.*1970$' <<<"$headers" || problem "carries a link time:" $(grep '^Time/Date' <<<"$headers")
resources=$(i686-w64-mingw32-windres -J coff -O rc -i "$exe" 2>&1)
types=$(sed -n 's,^/\* Type: *,,p' <<<"$resources" | sort -u | tr '\n' ' ')
[[ $types == 'version ' ]] || problem "resource types: ${types:-none}; expected the version resource alone"
check_strings "resource" < <(sed -n 's/^ *VALUE "\([A-Za-z]*\)", "\(.*\)"$/\1=\2/p' <<<"$resources")
! grep -a -q -i 'requestedExecutionLevel' "$exe" || problem "carries an execution level"
exit $fail
