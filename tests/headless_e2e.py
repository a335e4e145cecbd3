#!/usr/bin/env python3
"""End-to-end checks of the real executable in --headless mode.

Runs inside a private network namespace (the caller wraps it in `unshare -n`), so the
fixed port 4080 is free whatever else runs on the machine. Every wait has a deadline.
"""
import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

PORT = 4080
DEADLINE = 10.0
failures = []
passed = []


def check(condition, what):
    if condition:
        passed.append(what)
    else:
        failures.append(what)
        print("FAIL:", what, flush=True)


def connect():
    """Connects once the server accepts; the server's listening is the awaited event."""
    end = time.monotonic() + DEADLINE
    while True:
        try:
            s = socket.create_connection(("127.0.0.1", PORT), timeout=DEADLINE)
            s.settimeout(DEADLINE)
            return s
        except OSError:
            if time.monotonic() > end:
                raise
            time.sleep(0.02)


def read_exact(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def read_line(s):
    data = b""
    while not data.endswith(b"\n"):
        chunk = s.recv(1)
        if not chunk:
            break
        data += chunk
    return data


def login(name):
    s = connect()
    assert read_line(s) == b"OK!\r\n"
    s.sendall(name + b"\r\n")
    assert read_line(s) == b"OK!\r\n"
    s.sendall(b"secret\r\n")
    assert read_line(s) == b"OK!\r\n"
    s.sendall(b"OK!\r\n")
    return s


class Server:
    def __init__(self, exe, *args):
        self.proc = subprocess.Popen([exe, "--headless", *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.out = b""

    def wait_output(self, needle):
        end = time.monotonic() + DEADLINE
        fd = self.proc.stdout.fileno()
        while needle not in self.out and time.monotonic() < end:
            ready, _, _ = select.select([fd], [], [], max(0.0, end - time.monotonic()))
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    break
                self.out += chunk
        return needle in self.out

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        out, err = self.proc.communicate(timeout=DEADLINE)
        self.out += out
        return self.proc.returncode, err


def main():
    source = sys.argv[1]
    work = tempfile.mkdtemp()
    try:
        exe = os.path.join(work, "quillsend-server")
        shutil.copy(source, exe)
        ini = os.path.join(work, "quillsend-server.INI")
        settings = b"[Main]\r\nState=Maximized\r\nPassword=secret\r\n"
        with open(ini, "wb") as f:
            f.write(settings)

        # Options.
        r = subprocess.run([exe, "--help"], capture_output=True, timeout=DEADLINE)
        check(r.returncode == 0 and b"--headless" in r.stdout, "--help prints usage, exit 0")
        r = subprocess.run([exe, "--bogus"], capture_output=True, timeout=DEADLINE)
        check(r.returncode == 2 and b"--headless" in r.stderr, "unknown option: usage, exit 2")

        # The example exchange, a hostile chat text, then SIGTERM.
        server = Server(exe, "/ENGLISH")
        anna = login(b"anna")
        check(read_exact(anna, 19) == b"LF\r\nanna\r\nanna\r\n@\r\n", "roster unit to anna")
        bo = login(b"bo")
        check(read_exact(anna, 21) == b"LA\r\nbo\r\nanna\r\nbo\r\n@\r\n", "arrival unit")
        check(read_exact(bo, 21) == b"LF\r\nbo\r\nanna\r\nbo\r\n@\r\n", "roster unit to bo")
        bo.sendall(b"MSG\r\n" + struct.pack(">i", 5) + b"hello")
        delivery = b"M\r\nbo\r\n\x00\x00\x00\x05hello"
        check(read_exact(anna, len(delivery)) == delivery, "delivery to anna")
        check(read_exact(bo, len(delivery)) == delivery, "delivery to bo")
        hostile = b"\x1b]0;owned\x07\x1b[2J\x9b31m"
        bo.sendall(b"MSG\r\n" + struct.pack(">i", len(hostile)) + hostile)
        check(server.wait_output(b"\\x1B]0;owned\\x07\\x1B[2J\\x9B31m"),
              "control characters printed as \\xHH")
        hostile_delivery = b"M\r\nbo\r\n" + struct.pack(">i", len(hostile)) + hostile
        check(read_exact(anna, len(hostile_delivery)) == hostile_delivery,
              "the text itself is relayed unchanged")
        bo.close()
        check(read_exact(anna, 17) == b"LD\r\nbo\r\nanna\r\n@\r\n", "departure unit")
        check(server.wait_output(b'* User "bo" (127.0.0.1) has logged out.'), "departure logged")
        code, err = server.stop()
        check(code == 0, "SIGTERM ends with exit code 0 (got %s)" % code)
        check(b'* User "anna" (127.0.0.1) has logged out.' in server.out,
              "the stop logs the remaining departure")
        check(read_line(anna) == b"", "the stop closes every connection")
        check(b"\x1b" not in server.out, "no escape byte reaches stdout")
        with open(ini, "rb") as f:
            check(f.read() == settings, "the headless server never writes the settings file")

        # The port taken: the bind message and exit code 1.
        blocker = socket.socket()
        blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        blocker.bind(("0.0.0.0", PORT))
        blocker.listen(1)
        r = subprocess.run([exe, "--headless"], capture_output=True, timeout=DEADLINE)
        check(r.returncode == 1, "port in use: exit 1")
        check(b"Could not bind socket. Address and port are already in use." in r.stderr,
              "port in use: the bind message")
        blocker.close()

        # No password: the notice on stderr and every client turned away.
        with open(ini, "wb") as f:
            f.write(b"[Main]\nPassword=\n")
        server = Server(exe, "/SWEDISH")
        c = connect()
        check(read_line(c) == b"N/A\r\n" and read_line(c) == b"", "no password: N/A and close")
        code, err = server.stop(signal.SIGINT)
        check(code == 0, "SIGINT ends with exit code 0")
        check('Ange lösenord i "Arkiv => Ange lösenord..." för att aktivera servern.'.encode()
              in err, "the start-up notice in Swedish on stderr")
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print("%d passed, %d failed" % (len(passed), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
