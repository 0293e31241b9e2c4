#!/usr/bin/env bash
# Builds the three release packages into build/release/: the Windows ZIP (the
# 32-bit program, README.txt, LICENSE.txt, NOTICES.txt and SHA256SUMS), the
# TGZ of the statically linked native program (with its manual page, a
# README, LICENSE and NOTICES) and the DEB of the same program linked
# dynamically. Checks the Windows program and the DEB (lintian, as an
# ordinary user), then prints the sizes and SHA-256 checksums of the packages
# and of the Windows program (also in build/release/SHA256SUMS).
# Installs nothing: a missing tool is named, with the command that installs it.
# Every time stamp is the time of the last commit (SOURCE_DATE_EPOCH, unless
# set already), so two runs on one commit give the same bytes: see
# scripts/check-reproducible.sh.
set -euo pipefail
needed=(cmake g++ g++-mingw-w64-i686 dpkg-dev lintian zip unzip)
usage="Usage: scripts/release.sh

Builds the Windows ZIP, the Linux TGZ and the DEB into build/release/, with
the last commit's time for every time stamp, checks them (lintian on the DEB,
as an ordinary user) and prints their sizes and SHA-256 checksums, also
written to build/release/SHA256SUMS. Installs nothing; needs the Debian
packages ${needed[*]}.
  -h, --help print this help and exit
Exit status: 0 released; 1 a package is missing or a step failed (the
message says which)."
for argument in "$@"; do
  case $argument in
    -h | --help) echo "$usage"; exit 0 ;;
    *) echo "release.sh: unknown option '$argument'; see 'scripts/release.sh --help'" >&2; exit 2 ;;
  esac
done
cd "$(dirname "$0")/.."

read -r -a missing <<<"$(scripts/ensure-packages.sh --list "${needed[@]}")"
if ((${#missing[@]})); then
  sudo=sudo
  (($(id -u) == 0)) && sudo=""
  echo "release.sh: missing Debian packages: ${missing[*]}; install them with" \
    "'${sudo:+sudo }apt-get install ${missing[*]}', then run again" >&2
  exit 1
fi

if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) || { echo "release.sh: not a git clone; set SOURCE_DATE_EPOCH" >&2; exit 1; }
fi
export SOURCE_DATE_EPOCH
export LC_ALL=C TZ=UTC
umask 022
out=$PWD/build/release
rm -rf "$out"
mkdir -p "$out"
log=$out/build.log

# build_and_pack DIRECTORY CMAKE_ARGUMENT...: configures, builds and packs one tree.
build_and_pack() {
  local tree=$out/$1
  shift
  echo "== ${tree#"$PWD"/}"
  if ! { cmake -S . -B "$tree" -DCMAKE_BUILD_TYPE=Release "$@" &&
         cmake --build "$tree" -j "$(nproc)" --target tavikmigrate packaging_files &&
         cpack --config "$tree/CPackConfig.cmake" -B "$tree/packages"; } >>"$log" 2>&1; then
    tail -40 "$log" >&2
    echo "release.sh: building $tree failed; the whole log is $log" >&2
    exit 1
  fi
  mv "$tree"/packages/*.{zip,tar.gz,deb} "$out/" 2>/dev/null || true
}
build_and_pack windows -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-i686.cmake"
build_and_pack native -DTAVIK_NATIVE_ONLY=ON -DTAVIK_STATIC=ON
build_and_pack debian --preset debian

# CPack packs the ZIP's and the TGZ's files in the order in which the file
# system lists a directory, and counts the directories' sizes on disk into
# the DEB's Installed-Size; both differ from one file system to the next. So
# each package is packed again from its contents: sorted, owned by root, every
# time stamp SOURCE_DATE_EPOCH, and Installed-Size from the file sizes alone.
repack() {
  local package=$1 contents
  contents=$(mktemp -d "$out/repack-XXXXXX")
  chmod 755 "$contents"
  case $package in
    *.zip)
      unzip -q "$package" -d "$contents"
      find "$contents" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
      rm "$package"
      (cd "$contents" && find . -mindepth 1 -printf '%P\n' | sort | zip -q -X -9 -@ "$package") ;;
    *.tar.gz)
      tar -xzf "$package" -C "$contents"
      (cd "$contents" && find . -mindepth 1 -printf '%P\n' | sort |
        tar --no-recursion --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" --format=gnu \
          -cf - -T - | gzip -9 -n) >"$package" ;;
    *.deb)
      dpkg-deb -R "$package" "$contents"
      local kib
      kib=$(find "$contents" -mindepth 1 -path "$contents/DEBIAN" -prune -o \
              \( -type f -printf '%s\n' -o -printf '1\n' \) | awk '{k += int(($1 + 1023) / 1024)} END {print k}')
      sed -i "s/^Installed-Size: .*/Installed-Size: $kib/" "$contents/DEBIAN/control"
      dpkg-deb --root-owner-group -Zgzip -z9 -b "$contents" "$package" >/dev/null ;;
  esac
  rm -rf "$contents"
}

cp "$out/windows/tavikmigrate.exe" "$out/"
packages=("$out"/*.zip "$out"/*.tar.gz "$out"/*.deb)
((${#packages[@]} == 3)) || { echo "release.sh: expected three packages, found ${packages[*]}" >&2; exit 1; }
for package in "${packages[@]}"; do repack "$package"; done
tests/check_windows_binary.sh "$out/tavikmigrate.exe" \
  "$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$out/native/CPackConfig.cmake")"

# lintian as an ordinary user (it warns when run as root), on a copy that
# user can read: the clone may be private (umask 077).
echo "== lintian ${packages[2]##*/}"
copy=$(mktemp -d)
cp "${packages[2]}" "$copy/"
as_user=()
if (($(id -u) == 0)); then
  chmod -R a+rX "$copy"
  chown nobody "$copy"
  as_user=(runuser -u nobody -- env HOME="$copy")
fi
status=0
(cd "$copy" && "${as_user[@]}" lintian -E --pedantic -I --fail-on error,warning "${packages[2]##*/}") || status=$?
rm -rf "$copy"
((status == 0)) || { echo "release.sh: lintian found errors or warnings in the DEB" >&2; exit 1; }
echo "lintian: no errors and no warnings"

echo "== build/release (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
(cd "$out" && sha256sum "${packages[@]##*/}" tavikmigrate.exe >SHA256SUMS)
for file in "${packages[@]}" "$out/tavikmigrate.exe"; do
  printf '%9d  %s  %s\n' "$(stat -c %s "$file")" "$(sha256sum "$file" | cut -d' ' -f1)" "${file##*/}"
done
