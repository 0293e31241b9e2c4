#!/usr/bin/env bash
# Checks that the licence says the same wherever it is written: the Debian
# copyright file (packaging/copyright) names LICENSE's copyright line and
# carries its text word for word, and it and the README's Licence section
# name the same commit from which the tree is MIT throughout. (The Windows
# version resource is checked against LICENSE by check_windows_binary.sh.)
# Usage: check_licence_texts.sh [SOURCE_DIRECTORY]
set -uo pipefail
cd "${1:-$(dirname "$0")/..}" || exit 1
fail=0
problem() { echo "$*"; fail=1; }
copyright=$(grep -m 1 '^Copyright [0-9]* ' LICENSE) || { echo "LICENSE has no copyright line"; exit 1; }
# The stanza "Files: *" of the Debian file, up to the next blank line; its
# licence text without the one-blank indent and with " ." as empty lines.
stanza=$(awk '/^Files: \*$/ {inside = 1} inside && /^$/ {exit} inside' packaging/copyright)
grep -qxF "Copyright: ${copyright#Copyright }" <<<"$stanza" && grep -qx 'License: Expat' <<<"$stanza" ||
  problem "packaging/copyright: Files: * is not '${copyright#Copyright }' under License: Expat"
debian_text=$(sed -n '/^License: Expat$/,/^$/{/^ /p}' <<<"$stanza" | sed 's/^ //; s/^\.$//')
licence_text=$(sed -n '/^Permission is hereby granted/,$p' LICENSE)
[[ -n $licence_text && $debian_text == "$licence_text" ]] || problem "packaging/copyright: the Expat text differs" \
  "from LICENSE's: $(diff <(echo "$licence_text") <(echo "$debian_text") | head -5)"
# The commit named in "From commit X on", across line ends.
first_commit() { tr -s '\n ' '  ' <"$1" | grep -o 'From commit [^ ]* on' | head -1; }
readme_commit=$(first_commit README.md) debian_commit=$(first_commit packaging/copyright)
[[ -n $readme_commit && $readme_commit == "$debian_commit" ]] ||
  problem "README.md says '$readme_commit', packaging/copyright '$debian_commit'"
((fail)) || echo "licence texts agree: $copyright; ${readme_commit% on}"
exit $fail
