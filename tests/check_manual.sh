#!/usr/bin/env bash
# Checks the manual page: groff renders it without a warning, and each
# message that DIAGNOSTICS lists is a text that the program really holds
# in the program's source (its fixed words, around the parts in italics that
# the program fills in).
# Usage: check_manual.sh MANUAL SOURCE_DIR
set -uo pipefail
(($# == 2)) || { echo "usage: check_manual.sh MANUAL SOURCE_DIR" >&2; exit 2; }
manual=$1 source=$2
failed=0
warnings=$(groff -man -Tutf8 -ww -z "$manual" 2>&1)
[[ -z $warnings ]] || { echo "FAIL: groff warns: $warnings"; failed=1; }

texts=$(cat "$source"/migrate/*.cpp "$source"/stores/*.cpp "$source"/platform/posix/*.cpp "$source"/platform/posix/wine/*.cpp)
checked=0
# The bold message lines right after .TP or .TQ, between DIAGNOSTICS and NOTES.
while IFS= read -r heading; do
  heading=${heading#.B }
  heading=${heading//\\e/\\}
  heading=${heading//\\-/-}
  # The words between the italic parts; a piece shorter than 4 characters
  # ("is") proves nothing on its own.
  while IFS= read -r piece; do
    piece=$(sed 's/^ *//; s/ *$//' <<<"$piece")
    ((${#piece} >= 4)) || continue
    checked=$((checked + 1))
    grep -qF -- "$piece" <<<"$texts" || { echo "FAIL: DIAGNOSTICS lists '$piece', which the program's source does not hold"; failed=1; }
  done < <(sed 's/\\fI[^\\]*\\fP/\n/g' <<<"$heading")
done < <(sed -n '/^\.SH DIAGNOSTICS/,/^\.SH NOTES/p' "$manual" | grep -A1 -E '^\.(TP|TQ)$' | grep '^\.B ')
((checked >= 10)) || { echo "FAIL: only $checked message texts found in DIAGNOSTICS"; failed=1; }
((failed == 0)) && echo "ok: the page renders cleanly, and its $checked message texts are the program's"
exit $failed
