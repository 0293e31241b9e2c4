#!/usr/bin/env bash
# Drives the tool in a real terminal (tmux) with no profile: the message is on
# the screen, the wait goes on while nothing is typed, a key ends it with exit
# status 1, and a key typed before the message appeared ends it at once.
# Usage: terminal_wait.sh BASE_PREFIX COMMAND...
set -uo pipefail
base=$1; shift
command=("$@")
work=$(mktemp -d "${TMPDIR:-/tmp}/tavik-terminal-XXXXXX")
prefix=$work/wine
socket=tavik-$$
export WINEPREFIX=$prefix WINEDEBUG=-all
cleanup() {
  tmux -L "$socket" kill-server 2>/dev/null
  wineserver -k 2>/dev/null; wineserver -w 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

cp -al "$base" "$prefix" || exit 1
for hive in system.reg user.reg userdef.reg; do cp --remove-destination "$base/$hive" "$prefix/$hive"; done
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

screen() { tmux -L "$socket" capture-pane -p -t tool 2>/dev/null; }

# wait_for SECONDS CONDITION...: polls until the condition holds.
wait_for() {
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}
message_shown() { screen | grep -q 'Tavik.ini not found!' && screen | grep -q 'To terminate press any key...'; }
exited() { [[ -s $work/status ]]; }

# start DELAY: starts the tool in a new terminal, DELAY seconds after the shell.
start() {
  rm -f "$work/status"
  tmux -L "$socket" kill-server 2>/dev/null
  printf -v quoted '%q ' "${command[@]}"
  tmux -L "$socket" new-session -d -s tool -x 120 -y 30 -c "$work" \
    "sleep $1; $quoted; echo \$? > $work/status; sleep 600"
}

check_key_ends_wait() {
  local key=$1
  start 0
  wait_for 60 message_shown || { fail "$key: no message on the screen"; screen; return; }
  sleep 2
  exited && { fail "$key: the wait ended before a key was pressed"; return; }
  tmux -L "$socket" send-keys -t tool "$key"
  wait_for 15 exited || { fail "$key: the wait did not end"; return; }
  [[ $(cat "$work/status") == 1 ]] || fail "$key: exit status $(cat "$work/status"), not 1"
  echo "ok: $key ends the wait with exit status 1"
}

check_key_ends_wait x
check_key_ends_wait F1

# A key typed while the shell still sleeps, before the tool starts.
start 3
sleep 1
tmux -L "$socket" send-keys -t tool q
if wait_for 60 exited; then
  message_shown || fail "typed ahead: no message on the screen"
  [[ $(cat "$work/status") == 1 ]] || fail "typed ahead: exit status $(cat "$work/status"), not 1"
  echo "ok: a key typed before the message ends the wait at once"
else
  fail "typed ahead: the wait did not end"
fi

echo "$((3 - failures)) passed, $failures failed"
((failures == 0))
