#!/usr/bin/env bash
# Creates the Wine prefix that the tests copy, once per build tree, with the
# loader that runs the Windows program under test.
# Usage: make_wine_prefix.sh PREFIX WINE_COMMAND
set -euo pipefail
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
