#!/usr/bin/env bash
# Creates the Wine prefix that the tests copy, once per build tree.
set -euo pipefail
prefix=$1
if [[ -f $prefix/.complete ]]; then exit 0; fi
rm -rf "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i
wineserver -w
test -d "$prefix/drive_c/windows" && test -f "$prefix/user.reg"
touch "$prefix/.complete"
echo "Wine prefix ready: $prefix"
