#!/usr/bin/env bash
# Builds everything and runs every test: the suite, the same suite built with
# AddressSanitizer and UndefinedBehaviorSanitizer, a minute of fuzzing per
# fuzz target, and the release built twice to prove it reproducible. With
# --quick, only the suite. Each step installs the Debian packages it needs
# when they are missing and this runs as root; otherwise names them and
# stops.
set -euo pipefail
usage="Usage: scripts/run-tests.sh [--quick]

Installs what each step needs (as root), builds, and runs the test suite
with CTest; then, without --quick, the suite under the
sanitizers, a minute of fuzzing per target and the reproducibility check.
  --quick    the suite alone: the everyday command
  -h, --help print this help and exit
Exit status: 0 every test passed; otherwise the failing step's."
quick=0
for argument in "$@"; do
  case $argument in
    --quick) quick=1 ;;
    -h | --help) echo "$usage"; exit 0 ;;
    *) echo "run-tests.sh: unknown option '$argument'; see 'scripts/run-tests.sh --help'" >&2; exit 2 ;;
  esac
done
cd "$(dirname "$0")/.."

# Each step installs what it needs when it starts. wine32:i386 is installed
# everywhere; where the kernel runs no 32-bit code the tests run the x86-64
# Windows build under wine64 instead.
need() { scripts/ensure-packages.sh --for "$@"; }

# suite NAME PRESET: builds and tests one preset; when a test fails, ends
# with one line naming the failed tests and how to run them again.
suite() {
  local dir=build-$2 failed
  [[ $2 == default ]] && dir=build
  cmake --preset "$2"
  cmake --build --preset "$2" -j "$(nproc)"
  echo "== $(head -n 1 "$dir/wine-under-test.txt")"
  ctest --preset "$2" && return 0
  failed=$(cut -d: -f2 "$dir/Testing/Temporary/LastTestsFailed.log" 2>/dev/null | paste -sd' ')
  echo "run-tests.sh: $1 failed: ${failed:-see above}; rerun one with 'ctest --preset $2 -R NAME' and read its output above" >&2
  exit 1
}

need "the build and the test suite" cmake g++ libgtest-dev tmux strace groff-base \
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386
suite "the test suite" default
((quick)) && exit 0

echo "== The suite under AddressSanitizer and UndefinedBehaviorSanitizer"
suite "the suite under the sanitizers" sanitize

echo "== Fuzzing, 60 seconds per target"
need "fuzzing" clang libclang-rt-14-dev
scripts/fuzz.sh 60

echo "== The release, built twice from two clones: byte-identical"
need "the release" dpkg-dev lintian zip unzip
scripts/check-reproducible.sh
