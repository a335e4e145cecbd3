#!/usr/bin/env bash
# End-to-end test of the windowed program: the real executable under Xvfb, in a private
# network namespace so that port 4080 is free whatever else runs on this machine.
#   window_e2e.sh EXECUTABLE
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=xvfb-session.sh
. "$here/xvfb-session.sh"
qs_enter_private_network "$0" "$@"
exe=$(readlink -f "$1")
qs_start_display xvfb.log || { echo "FAIL: Xvfb did not start" >&2; exit 1; }

fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/*.log; do echo "--- $log" >&2; cat "$log" >&2; done
  exit 1
}

# The settings file sits beside the executable, so the test runs a copy of its own.
cp "$exe" "$work/quillsend-server"
ini="$work/quillsend-server.INI"

window_named() {  # waits (bounded) for a visible window with exactly this title
  timeout 20 xdotool search --sync --onlyvisible --name "^$1\$" | head -n 1
}
wait_exit() {  # waits (bounded) for the program; its exit code goes to $rc
  timeout 20 tail --pid="$1" -f /dev/null || fail "the program did not end"
  rc=0
  wait "$1" || rc=$?
}

echo "--- two clients, then Ctrl+Q"
printf '[Main]\nState=Normal\nWidth=700\nHeight=400\nPassword=secret\n' >"$ini"
QS_TEST_REPORT="$work/report" "$work/quillsend-server" /ENGLISH 2>"$work/run1.log" &
program=$!
pids+=("$program")
window=$(window_named "Quillsend - Server 2010") || fail "no main window"
mkfifo "$work/clients"
python3 "$here/clients.py" "$work/report" >"$work/clients" &
clients=$!
pids+=("$clients")
read -r -t 20 ready <"$work/clients" || fail "the clients did not get in"
[ "$ready" = ready ] || fail "clients said $ready"
timeout 20 xdotool windowfocus --sync "$window" || fail "could not focus the window"
xdotool key --clearmodifiers ctrl+q
wait_exit "$program"
[ "$rc" = 0 ] || fail "exit code $rc after Ctrl+Q"
wait "$clients" || fail "the clients' connections were not closed"
grep -qx 'State=Normal' "$ini" || fail "State not saved: $(cat "$ini")"
grep -qx 'Width=700' "$ini" || fail "Width not saved: $(cat "$ini")"
grep -qx 'Height=400' "$ini" || fail "Height not saved: $(cat "$ini")"
grep -qx 'Password=secret' "$ini" || fail "Password not saved: $(cat "$ini")"

echo "--- SIGTERM ends it as Quit does"
printf '[Main]\nState=Maximized\nPassword=secret\n' >"$ini"
"$work/quillsend-server" /SWEDISH 2>"$work/run2.log" &
program=$!
pids+=("$program")
window_named "Sorlbrev - Server 2010" >/dev/null || fail "no main window"
kill -TERM "$program"
wait_exit "$program"
[ "$rc" = 0 ] || fail "exit code $rc after SIGTERM"
grep -qx 'State=Maximized' "$ini" || fail "State not saved: $(cat "$ini")"

echo "--- port taken: the fatal box, exit code 1, settings untouched"
printf '[Main]\nState=Normal\nWidth=700\nHeight=400\nPassword=secret\n' >"$ini"
cp "$ini" "$work/before.INI"
mkfifo "$work/holder"
python3 -c 'import signal, socket
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(("0.0.0.0", 4080)); s.listen()
print("bound", flush=True); signal.pause()' >"$work/holder" &
pids+=($!)
read -r -t 20 bound <"$work/holder" || fail "could not take the port"
[ "$bound" = bound ] || fail "port holder said $bound"
"$work/quillsend-server" /ENGLISH 2>"$work/stderr" &
program=$!
pids+=("$program")
box=$(window_named "Application Error") || fail "no fatal box"
if xdotool search --onlyvisible --name '^Quillsend - Server 2010$' >/dev/null; then
  fail "the main window was shown"
fi
timeout 20 xdotool windowfocus --sync "$box" || fail "could not focus the box"
xdotool key Return
wait_exit "$program"
[ "$rc" = 1 ] || fail "exit code $rc when the port is taken"
cmp -s "$ini" "$work/before.INI" || fail "settings file changed: $(cat "$ini")"
grep -q 'Could not bind socket. Address and port are already in use.' "$work/stderr" ||
  fail "no message on stderr"

echo "PASS"
