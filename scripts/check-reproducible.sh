#!/usr/bin/env bash
# Proves that the release is reproducible: clones the current commit twice,
# into directories of different names and depths and, where /dev/shm has
# room, on two file systems (the second on tmpfs), runs scripts/release.sh
# in each, one after the other and under different umasks, and compares the
# packages and the Windows program byte for byte. Prints the checksums of
# both builds; fails on a difference.
set -euo pipefail
usage="Usage: scripts/check-reproducible.sh

Clones the current commit twice, into different directories and file
systems, runs scripts/release.sh in each under different umasks and compares
the packages and the Windows program byte for byte. Needs what
scripts/release.sh needs.
  -h, --help print this help and exit
Exit status: 0 the two builds are byte-identical; 1 they differ or a
release failed."
for argument in "$@"; do
  case $argument in
    -h | --help) echo "$usage"; exit 0 ;;
    *) echo "check-reproducible.sh: unknown option '$argument'; see 'scripts/check-reproducible.sh --help'" >&2
       exit 2 ;;
  esac
done
cd "$(dirname "$0")/.."
commit=$(git rev-parse HEAD)
git diff --quiet HEAD || echo "note: uncommitted changes are not in the clones; they build $commit"
work=$(mktemp -d "${TMPDIR:-/tmp}/tavik-reproducible-XXXXXX")
other=$work
if [[ -w /dev/shm ]] && (($(df -Pm /dev/shm | awk 'NR == 2 {print $4}') > 100)); then
  other=$(mktemp -d /dev/shm/tavik-reproducible-XXXXXX)
fi
trap 'rm -rf "$work" "$other"' EXIT

clones=("$work/a" "$other/second/clone-of-tavikmigrate")
masks=(022 077)
for i in 0 1; do
  git clone -q --no-checkout . "${clones[i]}"
  git -C "${clones[i]}" checkout -q "$commit"
  echo "== release build $((i + 1)) in ${clones[i]}"
  (cd "${clones[i]}" && umask "${masks[i]}" && scripts/release.sh) >"$work/release-$i.log" 2>&1 ||
    { cat "$work/release-$i.log" >&2; exit 1; }
  (cd "${clones[i]}/build/release" && sha256sum -- *.zip *.tar.gz *.deb tavikmigrate.exe) | tee "$work/sums-$i"
done
if ! diff -u "$work/sums-0" "$work/sums-1"; then
  echo "reproducible: the two builds differ" >&2
  exit 1
fi
echo "reproducible: 1 passed, 0 failed (the two builds are byte-identical)"
