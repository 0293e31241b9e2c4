#!/usr/bin/env bash
# Checks the manual page: groff renders it without a warning, and each
# message that DIAGNOSTICS lists is a text that the program really holds
# in the program's source: its fixed words, around the parts in italics that
# the program fills in, each piece of at least 4 characters ("is" proves
# nothing on its own).
# Usage: check_manual.sh MANUAL SOURCE_DIR
set -uo pipefail
(($# == 2)) || { echo "usage: check_manual.sh MANUAL SOURCE_DIR" >&2; exit 2; }
manual=$1 source=$2 failed=0 checked=0
warnings=$(groff -man -Tutf8 -ww -z "$manual" 2>&1)
[[ -z $warnings ]] || { echo "FAIL: groff warns: $warnings"; failed=1; }
texts=$(cat "$source"/{migrate,stores,platform/posix,platform/posix/wine}/*.cpp)
# The bold message lines right after .TP or .TQ, between DIAGNOSTICS and
# NOTES, cut at their italic parts.
while IFS= read -r piece; do
  checked=$((checked + 1))
  grep -qF -- "$piece" <<<"$texts" || { echo "FAIL: DIAGNOSTICS lists '$piece', which the program's source does not hold"; failed=1; }
done < <(sed -n '/^\.SH DIAGNOSTICS/,/^\.SH NOTES/p' "$manual" | grep -A1 -E '^\.(TP|TQ)$' | sed -n 's/^\.B //p' |
  sed 's/\\e/\\/g; s/\\-/-/g; s/\\fI[^\\]*\\fP/\n/g' | sed 's/^ *//; s/ *$//' | grep -E '.{4}')
((checked >= 10)) || { echo "FAIL: only $checked message texts found in DIAGNOSTICS"; failed=1; }
((failed == 0)) && echo "ok: the page renders cleanly, and its $checked message texts are the program's"
exit $failed
