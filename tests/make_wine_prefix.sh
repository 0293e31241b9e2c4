#!/usr/bin/env bash
# Creates the Wine prefix that the tests copy, once per build tree, with the
# loader that runs the Windows program under test; with --copy, makes a
# test's own copy of it: the registry files copied, so that nothing a test
# does reaches the shared prefix, the rest hard-linked.
#
# The prefix is made under a lock (PREFIX.lock), so that two runs in one build
# tree make it once, in a new directory beside it (PREFIX.new-<pid>) that is
# renamed into place only once Wine's server has ended and its registry files
# are complete: a prefix that exists is whole. A failed attempt is removed
# and tried once more. Wine's output goes to PREFIX.log; standard output gets
# one line: the prefix is ready, or which step failed and where the log is,
# followed by the log's last lines. A TERM or an INT (Ctrl+C) ends the run
# at once, with the step under way and the Wine server of the prefix it was
# making. WINESERVER names the server program, as for Wine.
# Usage: make_wine_prefix.sh PREFIX WINE_COMMAND
#        make_wine_prefix.sh --copy PREFIX COPY
set -uo pipefail
(($# == 2)) || [[ $# == 3 && $1 == --copy ]] ||
  { echo "usage: make_wine_prefix.sh PREFIX WINE_COMMAND | --copy PREFIX COPY" >&2; exit 2; }
if [[ $1 == --copy ]]; then
  set -e
  cp -al "$2" "$3"
  for hive in system.reg user.reg userdef.reg; do cp --remove-destination "$2/$hive" "$3/$hive"; done
  exit
fi
prefix=$1 wine=$2 log=$1.log wineserver=${WINESERVER:-wineserver}

# Quiet about what Wine does not implement, but not about its errors, which
# the log keeps. No display: the prefix is the same from a desktop session
# and from CI, and no window opens. WINEARCH from the caller's shell would
# make a prefix of another kind than the loader's own.
export WINEDEBUG=fixme-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY WINEARCH

# remove DIR: ends the wineserver that Wine started for a prefix (its file
# "wineserver" names the server's directory), then removes the prefix.
remove() {
  [[ -f $1/wineserver ]] && WINEPREFIX=$1 timeout -k 5 30 "$wineserver" -k >>"$log" 2>&1
  rm -rf "$1"
}

# step NAME SECONDS COMMAND...: one step of making the prefix, its output to
# the log, for at most SECONDS; a failure is named in `failure`. The step runs
# in the background, so that a signal's trap runs at once, not after it.
step() {
  local name=$1 limit=$2 status=0 start=$SECONDS
  shift 2
  echo "== step '$name' ($(date +%T), at most $limit s): $*" >>"$log"
  timeout -k 10 "$limit" "$@" </dev/null >>"$log" 2>&1 9>&- &
  step_pid=$!
  wait "$step_pid" || status=$?
  echo "== step '$name' ended with status $status" >>"$log"
  # 137: killed 10 s after its time; a kill from elsewhere comes earlier.
  ((status == 124 || (status == 137 && SECONDS - start >= limit))) && failure="step '$name' timed out after $limit s" ||
    failure="step '$name' failed with status $status"
  ((status == 0))
}

# complete DIR: Windows' system directory is there, and each registry file
# holds a key that the setup writes (the profile list last of all), so that
# Wine's server saved all of them.
complete() {
  [[ -f $1/drive_c/windows/system32/kernel32.dll ]] &&
    grep -qF '[Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\S-1-5-' "$1/system.reg" 2>/dev/null &&
    grep -qF '[Control Panel\\Desktop]' "$1/user.reg" 2>/dev/null &&
    grep -qF '[Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders]' "$1/userdef.reg" 2>/dev/null &&
    return 0
  failure="step 'registry check' found a file or key of Wine's setup missing"
  return 1
}

# into_place DIR: marks the prefix DIR whole and renames it to PREFIX.
into_place() {
  touch "$1/.complete" && mv -T "$1" "$prefix" && return 0
  failure="step 'rename into place' failed"
  return 1
}

exec 9>"$prefix.lock"
flock 9
[[ -f $prefix/.complete ]] && { echo "make_wine_prefix: Wine prefix ready (made before): $prefix"; exit 0; }
sed -n 1p "$(dirname "$wine")/wine-under-test.txt" >"$log"
# Left by a run that was killed: a prefix not renamed yet, or one made before
# prefixes were renamed into place; their servers may still run.
for stale in "$prefix".new-* "$prefix"; do [[ -e $stale ]] && remove "$stale"; done
work=$prefix.new-$$ step_pid=
trap 'remove "$work"' EXIT
# ended SIGNAL STATUS: ends the step under way, and the run.
ended() {
  [[ -n $step_pid ]] && kill "$step_pid" 2>/dev/null
  echo "make_wine_prefix: ended by signal $1; Wine's output is in $log"
  exit "$2"
}
trap 'ended INT 130' INT
trap 'ended TERM 143' TERM
first=
for attempt in 1 2; do
  echo "== attempt $attempt, in $work" >>"$log"
  if step "wineboot -i" 300 env WINEPREFIX="$work" "$wine" wineboot -i &&
    step "wineserver -w" 60 env WINEPREFIX="$work" "$wineserver" -w && complete "$work" && into_place "$work"; then
    trap - EXIT
    echo "make_wine_prefix: Wine prefix ready after $SECONDS s${first:+, at the second attempt (the first: $first)}: $prefix"
    exit 0
  fi
  echo "== attempt $attempt failed: $failure" >>"$log"
  first=$failure
  remove "$work"
done
echo "make_wine_prefix: $failure; Wine's output is in $log. Its last lines:"
tail -n 15 "$log" | sed 's/^/  /'
exit 1
