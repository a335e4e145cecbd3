#!/usr/bin/env python3
"""Chat clients for the end-to-end test: logs anna and bo in on 127.0.0.1:4080, bo says
hello, then waits until the window's report shows both users and three log lines and
prints "ready". Afterwards it waits for the server to close both connections (the
program ending) and exits 0 when it has. Every wait has a deadline."""
import socket
import sys
import time

DEADLINE_S = 20


def read_line(sock, buffer):
    while b"\n" not in buffer[0]:
        chunk = sock.recv(4096)
        if not chunk:
            raise ConnectionError("closed")
        buffer[0] += chunk
    line, _, rest = buffer[0].partition(b"\n")
    buffer[0] = rest
    return line.rstrip(b"\r")


def login(name, password):
    sock = socket.create_connection(("127.0.0.1", 4080), timeout=DEADLINE_S)
    buffer = [b""]
    for send in (name, password, b"OK!"):
        if send != b"OK!":
            assert read_line(sock, buffer) == b"OK!", "refused before " + send.decode()
        else:
            assert read_line(sock, buffer) == b"OK!", "password refused"
        sock.sendall(send + b"\r\n")
    assert read_line(sock, buffer) == b"LF", "no roster"
    return sock, buffer


def wait_for_report(path, wanted):
    end = time.monotonic() + DEADLINE_S
    text = ""
    while time.monotonic() < end:
        try:
            with open(path, encoding="utf-8") as report:
                text = report.read()
        except FileNotFoundError:
            pass
        if all(line in text.splitlines() for line in wanted):
            return
        time.sleep(0.02)  # polling a file; the deadline bounds it
    sys.exit("window never showed %r; last report:\n%s" % (wanted, text))


def wait_closed(sock):
    sock.settimeout(DEADLINE_S)
    try:
        while sock.recv(4096):
            pass
    except ConnectionResetError:
        pass


def main():
    report = sys.argv[1]
    anna, _ = login(b"anna", b"secret")
    bo, _ = login(b"bo", b"secret")
    bo.sendall(b"MSG\r\n\x00\x00\x00\x05hello")
    wait_for_report(report, ["label=Users: (2)", "user=anna", "user=bo", "loglines=3"])
    print("ready", flush=True)
    wait_closed(anna)
    wait_closed(bo)


if __name__ == "__main__":
    main()
