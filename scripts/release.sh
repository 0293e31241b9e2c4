#!/usr/bin/env bash
# Builds the three release packages into build/release/: the Windows ZIP (the
# 32-bit program, README.txt and SHA256SUMS) and the TGZ and DEB of the
# native program with its manual page. Checks the DEB with lintian, then
# prints the sizes and SHA-256 checksums of the packages and of the Windows
# program (also in build/release/SHA256SUMS).
# Every time stamp is the time of the last commit (SOURCE_DATE_EPOCH, unless
# set already), so two runs on one commit give the same bytes: see
# scripts/check-reproducible.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-packages.sh cmake g++ g++-mingw-w64-i686 dpkg-dev lintian

if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) || { echo "release: not a git clone; set SOURCE_DATE_EPOCH" >&2; exit 1; }
fi
export SOURCE_DATE_EPOCH
export LC_ALL=C TZ=UTC
umask 022
out=build/release
rm -rf "$out"
mkdir -p "$out"
log=$out/build.log

# build_and_pack DIRECTORY CMAKE_ARGUMENT...: configures, builds and packs one tree.
build_and_pack() {
  local tree=$out/$1
  shift
  echo "== $tree"
  if ! { cmake -S . -B "$tree" -DCMAKE_BUILD_TYPE=Release "$@" &&
         cmake --build "$tree" -j "$(nproc)" --target tavikmigrate packaging_files &&
         cpack --config "$tree/CPackConfig.cmake" -B "$tree/packages"; } >>"$log" 2>&1; then
    tail -40 "$log" >&2
    echo "release: building $tree failed; the whole log is $log" >&2
    exit 1
  fi
  mv "$tree"/packages/*.{zip,tar.gz,deb} "$out/" 2>/dev/null || true
}
build_and_pack windows -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-i686.cmake"
build_and_pack native -DTAVIK_NATIVE_ONLY=ON

cp "$out/windows/tavikmigrate.exe" "$out/"
packages=("$out"/*.zip "$out"/*.tar.gz "$out"/*.deb)
((${#packages[@]} == 3)) || { echo "release: expected three packages, found ${packages[*]}" >&2; exit 1; }
tests/check_windows_binary.sh "$out/tavikmigrate.exe" \
  "$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$out/native/CPackConfig.cmake")"

echo "== lintian ${packages[2]##*/}"
lintian --fail-on error "${packages[2]}" && echo "lintian: no errors"

echo "== build/release (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
(cd "$out" && sha256sum "${packages[@]##*/}" tavikmigrate.exe >SHA256SUMS)
for file in "${packages[@]}" "$out/tavikmigrate.exe"; do
  printf '%9d  %s  %s\n' "$(stat -c %s "$file")" "$(sha256sum "$file" | cut -d' ' -f1)" "${file##*/}"
done
