#!/usr/bin/env bash
# Builds everything and runs every test: the suite, the same suite built with
# AddressSanitizer and UndefinedBehaviorSanitizer, a minute of fuzzing per
# fuzz target, and the release built twice to prove it reproducible. With
# --quick, only the suite. Installs the Debian packages that the build and
# the tests need when they are missing and this runs as root; otherwise
# names them and stops.
set -euo pipefail
usage="Usage: scripts/run-tests.sh [--quick]

Installs what the build and the tests need (as root), builds, and runs the
test suite with CTest; then, without --quick, the suite under the
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

# wine32:i386 is installed everywhere; where the kernel runs no 32-bit code
# the tests run the x86-64 Windows build under wine64 instead. The last four
# are for scripts/release.sh, which installs nothing itself.
packages=(cmake g++ libgtest-dev tmux strace g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386
  clang libclang-rt-14-dev dpkg-dev lintian zip unzip)
scripts/ensure-packages.sh "${packages[@]}"

cmake --preset default
cmake --build --preset default -j "$(nproc)"
echo "== $(head -n 1 build/wine-under-test.txt)"
ctest --preset default
((quick)) && exit 0

echo "== The suite under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize
cmake --build --preset sanitize -j "$(nproc)"
ctest --preset sanitize

echo "== Fuzzing, 60 seconds per target"
scripts/fuzz.sh 60

echo "== The release, built twice from two clones: byte-identical"
scripts/check-reproducible.sh
