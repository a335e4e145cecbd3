#!/usr/bin/env bash
# Makes docs/window-en.png and docs/window-sv.png: the window under Xvfb with users in the
# list and lines in the log, in a private network namespace so port 4080 is free.
#   tools/screenshot.sh [BUILD-DIR]      (run from anywhere; builds nothing itself)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(readlink -f "${1:-$root/build}")

# shellcheck source=../tests/e2e/xvfb-session.sh
. "$root/tests/e2e/xvfb-session.sh"
qs_enter_private_network "$0" "$build"
qs_start_display
cp "$build/quillsend-server" "$work/quillsend-server"
mkdir -p "$root/docs"

shoot() {  # shoot LANGUAGE-SWITCH TITLE OUTPUT
  printf '[Main]\nState=Normal\nWidth=760\nHeight=330\nPassword=secret\n' \
    >"$work/quillsend-server.INI"
  rm -f "$work/report"
  QS_TEST_REPORT="$work/report" "$work/quillsend-server" "$1" &
  local program=$!
  pids+=("$program")
  local window
  window=$(timeout 20 xdotool search --sync --onlyvisible --name "^$2\$" | head -n 1)
  rm -f "$work/clients"
  mkfifo "$work/clients"
  python3 - "$work/report" >"$work/clients" <<'PY' &
import socket, sys, time
def login(name):
    s = socket.create_connection(("127.0.0.1", 4080), timeout=20)
    for line in (name, b"secret", b"OK!"):
        s.recv(64)
        s.sendall(line + b"\r\n")
    return s
def say(s, text):
    s.sendall(b"MSG\r\n" + len(text).to_bytes(4, "big") + text)
people = {n: login(n) for n in (b"viktor", b"Anna", b"bo", b"\xc5sa", b"carl")}
say(people[b"Anna"], b"Hej alla! <b>Lunch</b> kl 12?")
say(people[b"viktor"], b"Jag kommer.")
say(people[b"\xc5sa"], b"Jag med, men lite sent.")
people.pop(b"carl").close()
say(people[b"bo"], b"Carl gick just, han sa att han tar med kaffe.")
end = time.monotonic() + 20
while time.monotonic() < end:
    try:
        if "loglines=10" in open(sys.argv[1], encoding="utf-8").read():
            break
    except FileNotFoundError:
        pass
    time.sleep(0.02)
print("ready", flush=True)
import signal
signal.pause()  # the users stay until the picture is taken
PY
  local clients=$!
  pids+=("$clients")
  local ready
  read -r -t 20 ready <"$work/clients"
  "$build/tools/qs-grab" "$window" "$3"
  kill "$clients"
  kill -TERM "$program"
  timeout 20 tail --pid="$program" -f /dev/null
  echo "wrote $3"
}

shoot /ENGLISH "Quillsend - Server 2010" "$root/docs/window-en.png"
shoot /SWEDISH "Sorlbrev - Server 2010" "$root/docs/window-sv.png"
