#!/usr/bin/env bash
# Writes the notices of a statically linked program: which pieces of other
# software the link put into it, from which Debian package each comes and
# under which licence, then the copyright files of those packages as Debian
# ships them (and the licence texts they point to).
# The pieces are read from the link map (ld -Map): every object file and
# archive member outside the build tree that gave the program a section of
# non-zero size. A piece from a source package whose licence this script does
# not know stops the build, so that it is looked at before it ships.
# The output depends only on the map and the installed packages: no time, no
# build path.
# Usage: notices.sh PROGRAM LICENSE_FILE LINK_MAP OUTPUT [--crlf]
#   PROGRAM, LICENSE_FILE: the names of the program and of our licence's file
#   in the package; --crlf: CR LF line ends, for Windows.
set -euo pipefail
if [[ ${1-} == -h || ${1-} == --help ]]; then
  sed -n '2,/^#   *in the package; --crlf/s/^# \{0,1\}//p' "$0"
  exit 0
fi
if (($# != 4 && $# != 5)) || [[ $1 == -* ]] || { (($# == 5)) && [[ $5 != --crlf ]]; }; then
  echo "notices.sh: expected PROGRAM LICENSE_FILE LINK_MAP OUTPUT [--crlf]; see --help" >&2
  exit 2
fi
program=$1 license_file=$2 map=$3 output=$4 line_end=${5:-}
export LC_ALL=C

# The input files, one per kept section: "<file>" or "<archive>(<member>)".
# A section's line is " .name 0xADDR 0xSIZE file", or its name stands alone
# on the line before when it is long. Our own objects have relative paths.
pieces=$(awk '
  /^Linker script and memory map/ { inside = 1; next }
  !inside { next }
  /^ [^ ]+$/ { pending = $1; next }
  {
    if ($0 ~ /^ [^ ]+ +0x[0-9a-f]+ +0x[0-9a-f]+ +\//) { name = $1; size = $3; file = $4 }
    else if (pending != "" && $0 ~ /^ +0x[0-9a-f]+ +0x[0-9a-f]+ +\//) { name = pending; size = $2; file = $3 }
    else { pending = ""; next }
    pending = ""
    if (size !~ /^0x0+$/ && name !~ /^\.(debug|comment|note\.gnu\.property|gnu\.warning)/) print file
  }' "$map" | sort -u)
[[ -n $pieces ]] || { echo "notices: $map names no piece of a system library" >&2; exit 1; }

# licence SOURCE_PACKAGE: one line on the terms of that Debian source package.
licence() {
  case $1 in
    mingw-w64) echo "ZPL-2.1, but for its start-up code (the crt directory), which is in the public domain" ;;
    gcc-mingw-w64 | gcc-[0-9]*)
      echo "GPL-3.0-or-later with the GCC Runtime Library Exception 3.1, under which a program" \
        "compiled by GCC may carry these pieces under its own terms" ;;
    glibc)
      echo "LGPL-2.1-or-later, some parts under the other free licences that its copyright file names;" \
        "the program's own source is free, so it can be linked again with a changed library" ;;
    *) return 1 ;;
  esac
}

# Group the pieces by the Debian package that ships their file: lines
# "<source package> <binary package> <file> <member or empty>". dpkg is asked
# once per file: a static C library gives hundreds of members.
owned=""
for file in $(sed 's/(.*//' <<<"$pieces" | sort -u); do
  path=$(realpath -e "$file") || { echo "notices: $file is gone" >&2; exit 1; }
  package=$(dpkg -S "$path" 2>/dev/null | head -n 1 | cut -d: -f1) || package=""
  [[ -n $package ]] || { echo "notices: no Debian package ships $path" >&2; exit 1; }
  origin="$(dpkg-query -W -f='${source:Package}' "$package") $package ${path##*/}"
  owned+=$(awk -v file="$file" -v origin="$origin" '
    index($0, file) == 1 && (length($0) == length(file) || substr($0, length(file) + 1, 1) == "(") {
      member = substr($0, length(file) + 2); sub(/\)$/, "", member); print origin " " member
    }' <<<"$pieces")$'\n'
done
sources=$(cut -d' ' -f1 <<<"$owned" | sort -u)

# wrap FIRST REST: the text on standard input in lines of at most 76
# characters, the first one led by FIRST, the others by REST.
wrap() { fold -s -w $((76 - ${#2})) | sed "s/ *\$//; 1s/^/$1/; 2,\$s/^/$2/"; }

{
  title="Notices for $program"
  printf '%s\n%s\n\n' "$title" "${title//?/=}"
  wrap '' '' <<<"$program is under the MIT licence (see $license_file). Being linked statically, it also \
holds these pieces of other software, each under its own licence; the copyright files of the Debian \
packages they come from follow."
  texts=()
  for source in $sources; do
    terms=$(licence "$source") ||
      { echo "notices: a piece comes from $source, whose licence this script does not know" >&2; exit 1; }
    binaries=$(awk -v s="$source" '$1 == s {print $2}' <<<"$owned" | sort -u)
    version=$(dpkg-query -W -f='${source:Version}' $(head -n 1 <<<"$binaries"))
    echo
    wrap '' '  ' <<<"From Debian's source package $source, version $version, through its package$(
      (($(wc -l <<<"$binaries") > 1)) && echo s) $(echo $binaries | sed 's/ /, /g'):"
    # One line per file: a loose object by its name, an archive with the
    # number of its members that the program holds.
    awk -v s="$source" '$1 == s { if ($4 == "") loose[$3] = 1; else members[$3]++ }
      END {
        for (f in loose) print "  " f
        for (f in members) print "  " f " (" members[f] (members[f] == 1 ? " object)" : " objects)")
      }' <<<"$owned" | sort
    wrap '  ' '    ' <<<"Licence: $terms."
    [[ $source != glibc ]] ||
      wrap '  ' '    ' <<<"Its source: Debian's source package glibc, version $version: 'apt-get \
source glibc=$version' while Debian's archive carries it; Debian's snapshot archive keeps every version."
    for binary in $binaries; do texts+=("$(realpath -e "/usr/share/doc/$binary/copyright")"); done
    [[ $source != glibc ]] || texts+=(/usr/share/common-licenses/LGPL-2.1)
  done
  # Each text once: the packages of one source often share their copyright file.
  for text in $(printf '%s\n' "${texts[@]}" | awk '!seen[$0]++'); do
    printf '\n\n%s\n%s\n%s\n\n' "${text//?/-}" "$text" "${text//?/-}"
    cat "$text"
  done
} | if [[ $line_end == --crlf ]]; then sed 's/$/\r/'; else cat; fi >"$output.new"
mv "$output.new" "$output"
