#!/usr/bin/env bash
# Runs make_wine_prefix.sh against a stand-in for Wine that fails in chosen
# ways, for what someone running the tests sees: one line that says the
# prefix is ready, or names the step that failed, after a second attempt,
# and where the log is; a TERM (CTest's, or Ctrl+C) ends the run at once,
# with its Wine processes, and says in which step.
# Usage: make_wine_prefix_test.sh MAKE_WINE_PREFIX
set -uo pipefail
(($# == 1)) || { echo "usage: make_wine_prefix_test.sh MAKE_WINE_PREFIX" >&2; exit 2; }
script=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/tavik-prefix-script-XXXXXX")
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
ok() { echo "ok: $*"; passed=$((passed + 1)); }

echo "Windows program under Wine: a stand-in" >"$work/wine-under-test.txt"
# The stand-in for 'wine wineboot -i'; FAKE_WINE says how it ends: whole,
# fail (status 3) or hang.
cat >"$work/wine" <<'EOF'
#!/bin/sh
calls=$(($(cat "$FAKE_CALLS" 2>/dev/null || echo 0) + 1))
echo $calls >"$FAKE_CALLS"
echo "stand-in wine, call $calls: $*"
case $FAKE_WINE in
fail) exit 3 ;;
hang) echo $$ >"$FAKE_CALLS.pid" && exec sleep 60 ;;
esac
mkdir -p "$WINEPREFIX/drive_c/windows/system32" && touch "$WINEPREFIX/drive_c/windows/system32/kernel32.dll"
printf 'WINE REGISTRY Version 2\n\n[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion\\\\ProfileList\\\\S-1-5-21-0-0-0-1000] 1\n' >"$WINEPREFIX/system.reg"
printf 'WINE REGISTRY Version 2\n\n[Environment] 1\n[Control Panel\\\\Desktop] 1\n' >"$WINEPREFIX/user.reg"
printf 'WINE REGISTRY Version 2\n\n[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Explorer\\\\Shell Folders] 1\n' >"$WINEPREFIX/userdef.reg"
EOF
printf '#!/bin/sh\nexit 0\n' >"$work/wineserver"
chmod +x "$work/wine" "$work/wineserver"
export WINESERVER=$work/wineserver

# make NAME MODE: runs the script for a new prefix NAME, its output in $out.
make() {
  prefix=$work/$1
  out=$(FAKE_WINE=$2 FAKE_CALLS=$work/$1.calls "$script" "$prefix" "$work/wine" 2>&1)
}
calls() { cat "$work/$1.calls" 2>/dev/null || echo 0; }
# ended PID: within 30 s, the process is gone, or a zombie that its new
# parent has not collected yet. Its end is signalled, not awaited, so a
# loaded machine may take a while to deliver it.
ended() {
  local deadline=$((SECONDS + 30))
  until [[ ! -e /proc/$1 || $(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) == Z ]]; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}
no_leftovers() { ! compgen -G "$prefix.new-*" >/dev/null && [[ ! -e $prefix ]]; }

make whole whole && [[ $out =~ ^make_wine_prefix:\ Wine\ prefix\ ready\ after\ [0-9]+\ s:\ "$prefix"$ ]] &&
  [[ -f $prefix/.complete ]] && ! compgen -G "$prefix.new-*" >/dev/null &&
  ok "a whole prefix is renamed into place, one line said" || fail "whole prefix: $out"

make failing fail && fail "a failed step ends with status 0"
[[ $(head -n 1 <<<"$out") =~ ^"make_wine_prefix: step 'wineboot -i' failed with status 3 after "[0-9]+" s; Wine's output is in $prefix.log"$ ]] &&
  [[ $(calls failing) == 2 ]] && no_leftovers && ok "a failed step is tried twice, then named with its status and the log" ||
  fail "failed step: $out; $(calls failing) attempts; $(ls "$work")"

# Ended from outside (a TERM, as from CTest, or Ctrl+C): at once, and its
# Wine processes with it.
FAKE_WINE=hang FAKE_CALLS=$work/ended.calls "$script" "$work/ended" "$work/wine" >"$work/ended.out" 2>&1 &
runner=$!
until [[ -s $work/ended.calls.pid ]]; do sleep 0.1; done
kill -TERM $runner
started=$SECONDS
wait $runner
status=$?
prefix=$work/ended
((status == 143 && SECONDS - started < 30)) && ended "$(cat "$work/ended.calls.pid")" && no_leftovers &&
  [[ $(cat "$work/ended.out") == "make_wine_prefix: ended by signal TERM in step 'wineboot -i'; Wine's output is in $prefix.log" ]] &&
  ok "a TERM ends the run at once, with its Wine processes, and says in which step" ||
  fail "TERM: status $status after $((SECONDS - started)) s: $(cat "$work/ended.out")"

echo "$passed passed, $failed failed"
((failed == 0))
