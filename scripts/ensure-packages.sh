#!/usr/bin/env bash
# Installs those of the Debian packages given as arguments that are missing:
# through apt-get when this runs as root (adding the i386 architecture for
# packages that name it), otherwise naming them and failing. Before it
# installs, one line names the packages and, with --for, the step that needs
# them. With --list, it only prints the missing ones, for scripts that
# install nothing.
set -euo pipefail
usage="Usage: scripts/ensure-packages.sh [--list] [--for STEP] PACKAGE...

Installs those of the Debian packages named that are missing, through
apt-get when run as root; otherwise names them and fails.
  --list     only print the missing ones, one line, and install nothing
  --for STEP name the step that needs them in what is printed
  -h, --help print this help and exit
Exit status: 0 all are installed (or listed); 1 some are missing and this
is not root."
list=0
step=
packages=()
while (($#)); do
  argument=$1
  shift
  case $argument in
    -h | --help) echo "$usage"; exit 0 ;;
    --list) list=1 ;;
    --for)
      (($#)) || { echo "ensure-packages.sh: --for needs a step; see 'scripts/ensure-packages.sh --help'" >&2; exit 2; }
      step=" for $1"
      shift ;;
    -* | '') echo "ensure-packages.sh: unknown option '$argument'; see 'scripts/ensure-packages.sh --help'" >&2; exit 2 ;;
    *) packages+=("$argument") ;;
  esac
done
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if ((list)); then
  echo "${missing[*]}"
  exit 0
fi
((${#missing[@]})) || exit 0
if [[ $(id -u) != 0 ]]; then
  echo "Missing Debian packages$step: ${missing[*]}" >&2
  echo "Install them as root (wine32:i386 needs 'dpkg --add-architecture i386' first), then run again." >&2
  exit 1
fi
echo "Installing ${missing[*]}$step"
[[ " ${missing[*]}" == *:i386* ]] && dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q "${missing[@]}"
