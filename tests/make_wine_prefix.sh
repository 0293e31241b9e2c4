#!/usr/bin/env bash
# Creates the Wine prefix that the tests copy, once per build tree, with the
# loader that runs the Windows program under test; with --copy, makes a
# test's own copy of it: the registry files copied, so that nothing a test
# does reaches the shared prefix, the rest hard-linked.
#
# The prefix is made under a lock (PREFIX.lock), so that two runs in one build
# tree make it once, in a new directory beside it (PREFIX.new-<pid>) that is
# renamed into place only once Wine's server has ended and its registry files
# are complete: a prefix that exists is whole. A failed attempt is stopped,
# removed and tried once more. Wine's output goes to PREFIX.log, each step
# marked there; standard output gets one line: the prefix is ready, or which
# step failed and where the log is.
# Usage: make_wine_prefix.sh PREFIX WINE_COMMAND
#        make_wine_prefix.sh --copy PREFIX COPY
# TAVIK_WINEBOOT_SECONDS bounds 'wineboot -i' (default 300); WINESERVER names
# the server program, as for Wine itself.
set -uo pipefail
(($# == 2)) || [[ $# == 3 && $1 == --copy ]] ||
  { echo "usage: make_wine_prefix.sh PREFIX WINE_COMMAND | --copy PREFIX COPY" >&2; exit 2; }
if [[ $1 == --copy ]]; then
  set -e
  cp -al "$2" "$3"
  for hive in system.reg user.reg userdef.reg; do cp --remove-destination "$2/$hive" "$3/$hive"; done
  exit
fi
prefix=$1 wine=$2
log=$prefix.log
wineserver=${WINESERVER:-wineserver}
boot_seconds=${TAVIK_WINEBOOT_SECONDS:-300}
server_seconds=60

# Quiet about what Wine does not implement, but not about its errors, which
# the log keeps. No display: the prefix is the same from a desktop session
# and from CI, and no window opens. WINEARCH from the caller's shell would
# make a prefix of another kind than the loader's own.
export WINEDEBUG=fixme-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY WINEARCH

# stop_and_remove DIR: ends the wineserver of a prefix (one that Wine has
# started in it: its file "wineserver" names the server's directory) and the
# prefix's Wine processes that outlived their server (when something else
# killed it, they wait for it forever), then removes the prefix.
stop_and_remove() {
  if [[ -f $1/wineserver ]]; then
    WINEPREFIX=$1 "$wineserver" -k >>"$log" 2>&1
    WINEPREFIX=$1 timeout -k 5 30 "$wineserver" -w >>"$log" 2>&1
  fi
  local environ
  for environ in /proc/[0-9]*/environ; do
    grep -qxzF "WINEPREFIX=$1" "$environ" 2>/dev/null && kill -KILL "${environ//[^0-9]/}" 2>/dev/null
  done
  rm -rf "$1"
}

# run_step NAME SECONDS COMMAND...: runs one step of making the prefix, its
# output to the log, for at most SECONDS. On failure, sets `failure` to a line
# that names the step, its status and its time.
run_step() {
  local name=$1 limit=$2 start=$SECONDS status=0 took signal=
  shift 2
  step=$name
  echo "== step '$name' ($(date +%T), at most $limit s): $*" >>"$log"
  # In the background, so that a TERM or INT for this script is acted on at
  # once; in a subshell that exits with the step's status, so that the note
  # of a signal that ended the step goes to the log.
  (timeout -k 10 "$limit" "$@"; exit $?) </dev/null >>"$log" 2>&1 9>&- &
  wait $! || status=$?
  took=$((SECONDS - start))
  echo "== step '$name' ended with status $status after $took s" >>"$log"
  ((status == 0)) && return 0
  ((status > 128)) && signal=" (signal $(kill -l $((status - 128)) 2>/dev/null))"
  if ((status == 124 || (status == 137 && took >= limit))); then
    failure="step '$name' timed out after $limit s"
  else
    failure="step '$name' failed with status $status$signal after $took s"
  fi
  return 1
}

# check_prefix DIR: the prefix has Windows' system directory and the three
# registry files as Wine saves them, each with keys that the setup writes
# (the profile list last of all). Otherwise sets `failure` to what is missing,
# and lists it all in the log.
check_prefix() {
  local dir=$1 missing=()
  [[ -f $dir/drive_c/windows/system32/kernel32.dll ]] || missing+=("drive_c/windows/system32/kernel32.dll")
  local hive key
  for hive in system.reg user.reg userdef.reg; do
    [[ $(head -n 1 "$dir/$hive" 2>/dev/null) == "WINE REGISTRY Version 2" ]] || missing+=("$hive or its header")
  done
  for key in 'system.reg:[Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\S-1-5-' \
    'user.reg:[Environment]' 'user.reg:[Control Panel\\Desktop]' \
    'userdef.reg:[Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders]'; do
    grep -qF "${key#*:}" "$dir/${key%%:*}" 2>/dev/null || missing+=("${key#*:} in ${key%%:*}")
  done
  ((${#missing[@]} == 0)) && return 0
  printf '== missing: %s\n' "${missing[@]}" >>"$log"
  failure="step 'registry check' found no ${missing[0]}"
  ((${#missing[@]} == 1)) || failure+=" (and $((${#missing[@]} - 1)) more)"
  return 1
}

# make_prefix DIR: boots a new prefix in DIR and waits until Wine's server,
# which saves the registry as it ends, has ended.
make_prefix() {
  run_step "wineboot -i" "$boot_seconds" env WINEPREFIX="$1" "$wine" wineboot -i &&
    run_step "wineserver -w" "$server_seconds" env WINEPREFIX="$1" "$wineserver" -w &&
    check_prefix "$1"
}

exec 9>"$prefix.lock"
flock 9
if [[ -f $prefix/.complete ]]; then
  echo "make_wine_prefix: Wine prefix ready (made before): $prefix"
  exit 0
fi
{
  date
  sed -n 1p "$(dirname "$wine")/wine-under-test.txt"
} >"$log"
# Left by a run that was killed: a prefix not renamed yet, or one made before
# prefixes were renamed into place; their servers may still run.
for stale in "$prefix".new-* "$prefix"; do
  [[ -e $stale ]] && { echo "== removing $stale, left by an earlier run" >>"$log"; stop_and_remove "$stale"; }
done

start=$SECONDS
work=$prefix.new-$$
# ended_by SIGNAL STATUS: says that the run was ended from outside, in which step.
ended_by() {
  echo "make_wine_prefix: ended by signal $1 in step '$step'; Wine's output is in $log"
  exit "$2"
}
step=
trap 'stop_and_remove "$work"' EXIT
trap 'ended_by INT 130' INT
trap 'ended_by TERM 143' TERM
first_failure=
for attempt in 1 2; do
  echo "== attempt $attempt, in $work" >>"$log"
  failure=
  if make_prefix "$work"; then
    if touch "$work/.complete" && mv -T "$work" "$prefix"; then
      trap - EXIT
      echo "make_wine_prefix: Wine prefix ready after $((SECONDS - start)) s${first_failure:+, at the second attempt (the first: $first_failure)}: $prefix"
      exit 0
    fi
    failure="step 'rename into place' failed"
  fi
  echo "== attempt $attempt failed: $failure" >>"$log"
  stop_and_remove "$work"
  first_failure=$failure
done
echo "make_wine_prefix: $failure; Wine's output is in $log"
echo "Its last lines:"
tail -n 15 "$log" | sed 's/^/  /'
exit 1
