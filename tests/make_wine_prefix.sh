#!/usr/bin/env bash
# Creates the Wine prefix that the tests copy, once per build tree, with the
# loader that runs the Windows program under test; with --copy, makes a
# test's own copy of it: the registry files copied, so that nothing a test
# does reaches the shared prefix, the rest hard-linked.
# Usage: make_wine_prefix.sh PREFIX WINE_COMMAND
#        make_wine_prefix.sh --copy PREFIX COPY
set -euo pipefail
if [[ ${1-} == -h || ${1-} == --help ]]; then
  sed -n '2,/^#  *make_wine_prefix.sh --copy/s/^# \{0,1\}//p' "$0"
  exit 0
fi
if (($# != 2 && $# != 3)) || { (($# == 3)) && [[ $1 != --copy ]]; } || [[ $1 == -* && $# == 2 ]]; then
  echo "make_wine_prefix.sh: expected PREFIX WINE_COMMAND or --copy PREFIX COPY; see --help" >&2
  exit 2
fi
if [[ $1 == --copy ]]; then
  cp -al "$2" "$3"
  for hive in system.reg user.reg userdef.reg; do cp --remove-destination "$2/$hive" "$3/$hive"; done
  exit
fi
prefix=$1 wine=$2
# The build the tests run under Wine, and why: said once per test run.
sed -n 1p "$(dirname "$wine")/wine-under-test.txt"
if [[ -f $prefix/.complete ]]; then exit 0; fi
rm -rf "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$wine" wineboot -i
wineserver -w
test -d "$prefix/drive_c/windows" && test -f "$prefix/user.reg"
touch "$prefix/.complete"
echo "Wine prefix ready: $prefix"
