#!/usr/bin/env bash
# Checks the shipped Windows program: PE32 console program that imports only
# system DLLs and has no resources (so no manifest that asks for an execution
# level, which would hide a profile kept in the user's VirtualStore).
set -uo pipefail
exe=$1
headers=$(i686-w64-mingw32-objdump -p "$exe") || { echo "cannot read $exe"; exit 1; }
fail=0
grep -q 'Magic.*010b' <<<"$headers" || { echo "not a 32-bit PE32 program"; fail=1; }
grep -q 'Subsystem.*Windows CUI' <<<"$headers" || { echo "not a console program"; fail=1; }
dlls=$(grep 'DLL Name:' <<<"$headers" | awk '{print toupper($3)}' | sort -u)
echo "imports:" $dlls
for dll in $dlls; do
  case $dll in KERNEL32.DLL|ADVAPI32.DLL|USER32.DLL|MSVCRT.DLL) ;; *) echo "needs $dll"; fail=1 ;; esac
done
if i686-w64-mingw32-objdump -h "$exe" | grep -q '\.rsrc'; then echo "has a resource section"; fail=1; fi
if grep -a -q -i 'requestedExecutionLevel' "$exe"; then echo "carries an execution level"; fail=1; fi
exit $fail
