#!/usr/bin/env bash
# Measures the line and branch coverage of the product code (migrate/,
# stores/, platform/posix/) by the native build's whole test suite: a Debug
# build with --coverage in build-coverage/, its counters reset, every test
# run with CTest, then gcovr over those directories.
set -euo pipefail
usage="Usage: scripts/coverage.sh [--report-only]

Builds the suite with --coverage in build-coverage/ (Debug, linked
dynamically), runs every test with CTest and prints the line and branch
coverage of migrate/, stores/ and platform/posix/ as gcovr counts them.
  --report-only  print the figures of the last run again, without building
  -h, --help     print this help and exit
Exit status: 0 measured (whether or not a test failed: the failed ones are
named); 1 the build or gcovr failed."
report_only=0
for argument in "$@"; do
  case $argument in
    --report-only) report_only=1 ;;
    -h | --help) echo "$usage"; exit 0 ;;
    *) echo "coverage.sh: unknown option '$argument'; see 'scripts/coverage.sh --help'" >&2; exit 2 ;;
  esac
done
cd "$(dirname "$0")/.."
source_dir=$PWD
dir=build-coverage

if ((!report_only)); then
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=--coverage \
    -DCMAKE_EXE_LINKER_FLAGS=--coverage -DTAVIK_STATIC=OFF >/dev/null
  cmake --build "$dir" -j2 >"$dir/build.log" 2>&1 || { tail -n 20 "$dir/build.log"; exit 1; }
  # Counters start at nothing. A run as another user (a test drops root's
  # rights) adds its counts too: each counter file is there, empty and
  # writable by all, before the tests start. (Otherwise libgcov's complaint
  # would land on the standard error that the test compares.)
  find "$dir" -name '*.gcda' -delete
  find "$dir" -name '*.gcno' | while read -r notes; do
    : >"${notes%.gcno}.gcda" && chmod 666 "${notes%.gcno}.gcda"
  done
  (cd "$dir" && ctest -j2 --timeout 300 --output-on-failure) >"$dir/ctest.log" 2>&1 && echo "coverage: every test passed" ||
    echo "coverage: failed tests: $(cut -d: -f2 "$dir/Testing/Temporary/LastTestsFailed.log" | paste -sd' ')"
  find "$dir" -name '*.gcda' -empty -delete # of objects that no test ran
fi

# The compiler maps the source directory away (-ffile-prefix-map), so gcov
# runs from it and names the sources relative to it. The search for counters
# stays out of CMake's compiler checks and the Wine prefixes, whose drive Z:
# is the whole file system.
gcovr --root "$source_dir" --object-directory "$dir" \
  --filter 'migrate/' --filter 'stores/' --filter 'platform/posix/' \
  --exclude-directories "$dir/CMakeFiles/[0-9]+\\." --exclude-directories '.*/dosdevices' \
  --exclude-throw-branches --exclude-unreachable-branches \
  --txt "$dir/coverage.txt" --print-summary "$dir" | tail -n 3
