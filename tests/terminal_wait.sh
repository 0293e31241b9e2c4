#!/usr/bin/env bash
# Drives the tool in a real terminal (tmux) with no profile: the message is on
# the screen, the wait goes on while nothing is typed, a key ends it with exit
# status 1, a key typed before the message appeared ends it at once, and the
# terminal's settings are as before. With CTRL_C=1, Ctrl+C ends the wait too,
# also restoring the terminal.
# Usage: [CTRL_C=1] terminal_wait.sh BASE_PREFIX COMMAND...
set -uo pipefail
base=$1; shift
command=("$@")
work=$(mktemp -d "${TMPDIR:-/tmp}/tavik-terminal-XXXXXX")
prefix=$work/wine
runs=0
socket=tavik-$$-0
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
exited() { [[ -s $work/status && -s $work/after ]]; }

# start DELAY: starts the tool in a new terminal, DELAY seconds after the shell.
start() {
  rm -f "$work/status" "$work/before" "$work/after"
  tmux -L "$socket" kill-server 2>/dev/null
  # A new server for every start: no key or state is left from the last one.
  runs=$((runs + 1))
  socket=tavik-$$-$runs
  printf -v quoted '%q ' "${command[@]}"
  tmux -L "$socket" new-session -d -s tool -x 120 -y 30 -c "$work" \
    "trap : INT; stty -g > $work/before; sleep $1; $quoted; echo \$? > $work/status; stty -g > $work/after; sleep 600"
}

# check_ended NAME STATUS: the tool ended with STATUS and left the terminal as it found it.
check_ended() {
  [[ $(cat "$work/status") == "$2" ]] || fail "$1: exit status $(cat "$work/status"), not $2"
  cmp -s "$work/before" "$work/after" || fail "$1: terminal settings not restored"
}

check_key_ends_wait() {
  local key=$1 # $3: the exit status expected, 1 unless given
  start 0
  wait_for 60 message_shown || { fail "$key: no message on the screen"; screen; return; }
  sleep 2
  exited && { fail "$key: the wait ended before a key was pressed"; return; }
  tmux -L "$socket" send-keys -t tool "$key"
  wait_for 15 exited || { fail "$key: the wait did not end"; return; }
  check_ended "$key" "${3:-1}"
  echo "ok: $key ends the wait with exit status ${3:-1}"
}

check_key_ends_wait x
check_key_ends_wait F1
checks=3
if [[ ${CTRL_C:-} == 1 ]]; then
  check_key_ends_wait C-c "" 130
  checks=4
fi

# A key typed while the shell still sleeps, before the tool starts.
start 3
sleep 1
tmux -L "$socket" send-keys -t tool q
if wait_for 60 exited; then
  message_shown || fail "typed ahead: no message on the screen"
  check_ended "typed ahead" 1
  echo "ok: a key typed before the message ends the wait at once"
else
  fail "typed ahead: the wait did not end"
fi

echo "$((checks - failures)) passed, $failures failed"
((failures == 0))
