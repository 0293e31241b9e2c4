#!/usr/bin/env bash
# Plants small, realistic faults in the product code, one at a time, and
# checks that the test suite catches each: the tracked files of the working
# tree are copied to build-mutants/src, built there once, and for each mutant
# the file is changed, the tree rebuilt and the tests that concern it run
# with CTest; then the file is put back. A mutant is caught when one of its
# tests fails; the tree as it is must pass them all first.
set -euo pipefail
usage="Usage: scripts/mutants.sh [NAME...]

Builds a copy of the working tree in build-mutants/, then for each mutant
(all, or those NAMEd) plants it, rebuilds, runs its tests and puts it back.
Prints a table: mutant, file, caught or survived, and the first test that
failed. First the tree unchanged runs the tests of every mutant chosen, all
of which must pass.
  --list      list the mutants and their tests, and exit
  -h, --help  print this help and exit
Exit status: 0 every mutant caught; 1 a mutant survived, did not apply or
did not build, or the unchanged tree failed a test."
list=0
chosen=()
for argument in "$@"; do
  case $argument in
    --list) list=1 ;;
    -h | --help) echo "$usage"; exit 0 ;;
    -*) echo "mutants.sh: unknown option '$argument'; see 'scripts/mutants.sh --help'" >&2; exit 2 ;;
    *) chosen+=("$argument") ;;
  esac
done
cd "$(dirname "$0")/.."

# Each mutant: name, file, the text replaced, its replacement, and the CTest
# regular expression of the tests that run against it (their test programs'
# suites).
names=() files=() froms=() tos=() tests=()
mutant() { names+=("$1") files+=("$2") froms+=("$3") tos+=("$4") tests+=("$5"); }

# migrate/: WP# written when it is not set, instead of when it is.
mutant wp-written-when-unset migrate/catalogue.cpp \
  '*setting.intValue == kNotSet) continue;' '*setting.intValue != kNotSet) continue;' \
  'BothPrograms\.'
# An answered command line ends with status 0 whatever the answer.
mutant usage-error-status-0 migrate/main.cpp \
  'return exitStatus;' 'return 0;' \
  'NativeRegistry\.SaysWhy'
# The last recent file is not copied.
mutant last-recent-file-dropped migrate/recent_files.cpp \
  'n <= last; ++n' 'n < last; ++n' \
  'BothPrograms\.|RecentFilesLoop'
# The profile's path always takes the Unix separator, also after C:\windows.
mutant windows-separator-dropped migrate/run.cpp \
  "std::strchr(gPathBuffer, '\\\\') ? \"\\\\\" : kDirectorySeparator" 'kDirectorySeparator' \
  'Faults\.'
# stores/: a profile that is a directory is opened like a file.
mutant directory-profile-opened stores/profile_store.cpp \
  'if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return 0;' '' \
  'BothPrograms\.'
# A failed flush leaves the values counted as stored.
mutant failed-flush-counts-stored stores/registry_store.cpp \
  'gTally.notStored = gTally.attempted;' '' \
  'Faults\.'
# The reader: a dword of nine hex digits is taken.
mutant dword-of-nine-digits platform/posix/wine/reg_syntax.cpp \
  'if (digits == 0 || digits > 8 || (end < data.size()' 'if (digits == 0 || digits > 9 || (end < data.size()' \
  'UserReg\.|Faults\.'
# The writer: a hex escape before a hex digit takes as few digits as it needs.
mutant hex-escape-lookahead-dropped platform/posix/wine/reg_syntax.cpp \
  'AppendDigits(out, unit, 4, IsHexDigitUnit(next) ? 4 : 0);' 'AppendDigits(out, unit, 4, 0);' \
  'RegSyntax\.|BothPrograms\.'
# The reader: refusals past a wrapped hex value name the wrong line.
mutant continuation-lines-not-counted platform/posix/wine/user_reg.cpp \
  'lineNumber += static_cast<std::size_t>(' 'lineNumber += 0 * static_cast<std::size_t>(' \
  'UserReg\.|Faults\.'
# The writer: an empty parent block that spells a key first is dropped.
mutant first-spelling-block-dropped platform/posix/wine/user_reg.cpp \
  '&& !SpellsAKeyFirst(hive, found->second.block)' '' \
  'BothPrograms\.'
# File handling: the new user.reg gets 0600, not the old file's permissions.
mutant permissions-not-kept platform/posix/wine/registry_file.cpp \
  'mode = old.st_mode & 07777;' 'mode = 0600;' \
  'NativeRegistry\.'
# File handling: the directory is not flushed after the rename.
mutant directory-not-flushed platform/posix/wine/registry_file.cpp \
  'FlushToDisk(dirFd);' '' \
  'Faults\.'

if ((list)); then
  for i in "${!names[@]}"; do printf '%-32s %-38s %s\n' "${names[i]}" "${files[i]}" "${tests[i]}"; done
  exit 0
fi
selected=()
for i in "${!names[@]}"; do
  if ((${#chosen[@]} == 0)); then selected+=("$i"); continue; fi
  for name in "${chosen[@]}"; do [[ $name == "${names[i]}" ]] && selected+=("$i"); done
done
((${#selected[@]})) || { echo "mutants.sh: no mutant of that name; see 'scripts/mutants.sh --list'" >&2; exit 2; }

work=$PWD/build-mutants
src=$work/src build=$work/build
rm -rf "$src"
mkdir -p "$src"
# Extracted with the current time (-m), so that every file is newer than
# what a run killed with a mutant in place compiled in the build tree.
git ls-files -z | tar --null -T - -cf - | tar -xmf - -C "$src"
echo "== building the copy in $build"
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release >"$work/configure.log"
cmake --build "$build" -j2 >"$work/build.log" 2>&1 || { tail -20 "$work/build.log"; exit 1; }

# run_tests REGEX LOG: runs the tests that match; prints the first that failed.
run_tests() {
  rm -f "$build/Testing/Temporary/LastTestsFailed.log"
  (cd "$build" && ctest -j2 --timeout 300 -R "$1") >"$2" 2>&1 && return 0
  grep -v ':wine_prefix$' "$build/Testing/Temporary/LastTestsFailed.log" 2>/dev/null | head -n 1 | cut -d: -f2- |
    sed 's/  # GetParam.*//'
  return 1
}

all=$(IFS='|'; for i in "${selected[@]}"; do printf '%s\n' "${tests[i]}"; done | paste -sd'|')
echo "== the tree unchanged, the tests of every mutant chosen: $all"
if failed=$(run_tests "$all" "$work/unchanged.log"); then
  echo "unchanged: every test passed"
else
  echo "unchanged: $failed failed; see $work/unchanged.log" >&2
  exit 1
fi

printf '\n%-32s %-38s %-9s %s\n' mutant file result "first failing test"
caught=0 total=0
for i in "${selected[@]}"; do
  file=$src/${files[i]} name=${names[i]}
  total=$((total + 1))
  original=$(<"$file")
  if [[ $original != *"${froms[i]}"* ]]; then
    printf '%-32s %-38s %-9s %s\n' "$name" "${files[i]}" "no-apply" "the text to replace is not there"
    continue
  fi
  # Put back by a copy with a new time, so that the next build compiles it again.
  cp "$file" "$work/original"
  printf '%s\n' "${original/"${froms[i]}"/"${tos[i]}"}" >"$file"
  if ! cmake --build "$build" -j2 >"$work/$name.build.log" 2>&1; then
    result=no-build detail="see $work/$name.build.log"
  elif detail=$(run_tests "${tests[i]}" "$work/$name.log"); then
    result=SURVIVED detail="tests: ${tests[i]}"
  else
    result=caught
    caught=$((caught + 1))
  fi
  cp "$work/original" "$file"
  printf '%-32s %-38s %-9s %s\n' "$name" "${files[i]}" "$result" "$detail"
done
cmake --build "$build" -j2 >"$work/build.log" 2>&1
echo "mutants: $caught of $total caught"
((caught == total))
