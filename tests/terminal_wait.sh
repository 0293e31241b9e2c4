#!/usr/bin/env bash
# Drives the tool in a real terminal (tmux) with no profile: the message is on
# the screen, the wait goes on while nothing is typed, a key ends it with exit
# status 1, a key typed before the message appeared ends it at once, and the
# terminal's settings are as before. With CTRL_C=1, Ctrl+C ends the wait too
# (exit status 130), also restoring the terminal. With ANSWERS_HELP=1,
# COMMAND --help ends at once, with no key pressed and no message. With
# JOB_CONTROL=1, the wait run as a job of an interactive shell and stopped
# (Ctrl+Z, SIGTTIN, SIGTTOU) leaves the terminal as the job found it, and
# after fg takes its mode again, so that one key ends it: under bash, which
# sets its own terminal mode when a job stops, and dash, which does not.
# Usage: [CTRL_C=1] [ANSWERS_HELP=1] [JOB_CONTROL=1] terminal_wait.sh BASE_PREFIX COMMAND...
set -uo pipefail
(($# >= 2)) || { echo "usage: terminal_wait.sh BASE_PREFIX COMMAND..." >&2; exit 2; }
base=$1; shift
command=("$@")
work=$(mktemp -d "${TMPDIR:-/tmp}/tavik-terminal-XXXXXX")
socket=tavik-$$
export WINEPREFIX=$work/wine WINEDEBUG=-all
trap 'tmux -L "$socket" kill-server 2>/dev/null; wineserver -k 2>/dev/null; wineserver -w 2>/dev/null; rm -rf "$work"' EXIT
"$(dirname "$0")/make_wine_prefix.sh" --copy "$base" "$WINEPREFIX" || exit 1
passed=0 failed=0 runs=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
screen() { tmux -L "$socket" capture-pane -p -t tool 2>/dev/null; }
# wait_for SECONDS CONDITION...: polls until the condition holds.
wait_for() {
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do ((SECONDS < deadline)) || return 1; sleep 0.2; done
}
message_shown() { screen | grep -q 'Tavik.ini not found!' && screen | grep -q 'To terminate press any key...'; }
exited() { [[ -s $work/status && -s $work/after ]]; }
keys() { tmux -L "$socket" send-keys -t tool "$@"; }
# session COMMAND: runs COMMAND in a new terminal, on a new tmux server: no
# key or state is left from the last one.
session() {
  tmux -L "$socket" kill-server 2>/dev/null
  socket=tavik-$$-$((++runs))
  tmux -L "$socket" new-session -d -s tool -x 120 -y 30 -c "$work" "$1"
}

# start DELAY [ARGUMENT...]: starts the tool in a new session, DELAY seconds
# after the shell. The terminal's settings after the run are read again for up to
# 5 s until they are the old ones: under Wine, the console process that put
# the terminal in raw mode restores it after the program has ended, and on a
# loaded machine a little later than the shell looks. (Nothing restores a
# terminal that a program left changed, so this hides no fault of ours.)
start() {
  local delay=$1; shift
  rm -f "$work/status" "$work/before" "$work/after"
  printf -v quoted '%q ' "${command[@]}" "$@"
  local settle="for i in \$(seq 50); do stty -g > $work/settled; cmp -s $work/before $work/settled && break; sleep 0.1; done"
  session "trap : INT; stty -g > $work/before; sleep $delay; $quoted; echo \$? > $work/status; $settle; mv $work/settled $work/after; sleep 600"
}

# check_ended NAME STATUS: the tool ended with STATUS and left the terminal as it found it.
check_ended() {
  wait_for 15 exited || { fail "$1: the wait did not end"; return; }
  [[ $(cat "$work/status") == "$2" ]] || { fail "$1: exit status $(cat "$work/status"), not $2"; return; }
  cmp -s "$work/before" "$work/after" ||
    { fail "$1: terminal settings not restored: $(cat "$work/before") became $(cat "$work/after")"; return; }
  echo "ok: $1 ends the wait with exit status $2"; passed=$((passed + 1))
}

for key in x F1 $([[ ${CTRL_C:-} == 1 ]] && echo C-c); do
  start 0
  wait_for 60 message_shown || { fail "$key: no message on the screen"; screen; continue; }
  sleep 2
  exited && { fail "$key: the wait ended before a key was pressed"; continue; }
  keys "$key"
  check_ended "$key" "$([[ $key == C-c ]] && echo 130 || echo 1)"
done

# A key typed while the shell still sleeps, before the tool starts.
start 3
sleep 1
keys q
wait_for 60 exited && { message_shown || fail "typed ahead: no message on the screen"; }
check_ended "a key typed before the message" 1

if [[ ${ANSWERS_HELP:-} == 1 ]]; then
  start 0 --help
  if wait_for 15 exited && ! message_shown && screen | grep -q '^Usage: '; then
    check_ended "--help, no key pressed," 0
  else
    fail "--help: not the usage alone, or a wait for a key"; screen
  fi
fi

if [[ ${JOB_CONTROL:-} == 1 ]]; then
  # The program is the job itself, so that the shell sees it stopped only
  # once it has stopped; fg then writes its exit status.
  printf -v job '%q ' "${command[@]}"
  settings() { stty -g -F "$(tmux -L "$socket" display -p -t tool '#{pane_tty}')"; }
  for case in "bash C-z" "dash C-z" "dash TTIN" "dash TTOU"; do
    read -r shell stop <<<"$case"
    rm -f "$work/status" "$work/before"
    [[ $shell == bash ]] && shell="bash --norc --noprofile --noediting"
    session "PS1='$ ' $shell -i"
    keys "stty -g > $work/before" Enter "$job" Enter
    wait_for 60 message_shown || { fail "$case: no message on the screen"; screen; continue; }
    if [[ $stop == C-z ]]; then keys C-z; else kill -s "$stop" "$(pgrep -P "$(tmux -L "$socket" display -p -t tool '#{pane_pid}')")"; fi
    wait_for 15 eval 'screen | grep -q Stopped' || { fail "$case: the job did not stop"; continue; }
    [[ $(settings) == "$(cat "$work/before")" ]] ||
      { fail "$case: stopped, the terminal is $(settings), not $(cat "$work/before")"; continue; }
    keys "fg; echo \$? > $work/status" Enter
    wait_for 15 eval '[[ $(settings) != "$(cat "$work/before")" ]]' || { fail "$case: after fg, not the wait's mode"; continue; }
    keys x
    if wait_for 15 eval '[[ -s $work/status ]]' && [[ $(cat "$work/status") == 1 ]]; then
      echo "ok: $case, then fg: one key ends the wait"; passed=$((passed + 1))
    else
      fail "$case, then fg: a key did not end the wait"; screen
    fi
  done
fi

echo "$passed passed, $failed failed"
((failed == 0))
