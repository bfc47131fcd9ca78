"""Helpers for tests that drive the real host on a private X server.

The host executable (VANTRIEL_EXE) runs from a temporary folder of its own
(tests/harness/host_launcher.py starts it), so its data folder is fresh; Xvfb starts on a
free display number (-displayfd); desktop_probe (DESKTOP_PROBE) is the X client that
watches what arrives.
"""

import http.client
import json
import os
import queue
import subprocess
import sys
import threading

# The launcher and waits every suite shares; found from here, so that benchmarks run by
# hand find them too.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
from host_launcher import EXE, HostProcess, page_token  # noqa: E402,F401
from waiting import DEADLINE, wait_for  # noqa: E402,F401

PROBE = os.environ.get("DESKTOP_PROBE", "")


# A loopback TCP relay: prints its port, then forwards every connection to argv[1].
RELAY = r"""
import socket, sys, threading
upstream = int(sys.argv[1])
server = socket.create_server(("127.0.0.1", 0))
print(server.getsockname()[1], flush=True)
def pump(a, b):
    try:
        while data := a.recv(65536):
            b.sendall(data)
    except OSError:
        pass
    for s in (a, b):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
while True:
    client, _ = server.accept()
    host = socket.create_connection(("127.0.0.1", upstream))
    for a, b in ((client, host), (host, client)):
        threading.Thread(target=pump, args=(a, b), daemon=True).start()
"""


class Reply:
    def __init__(self, status, body):
        self.status = status
        self.body = body

    def json(self):
        return json.loads(self.body.decode("utf-8"))


class Host(HostProcess):
    """The host started with --no-window --no-tray --no-elevate (or `args`) and `env` added
    to (or, for None values, removed from) this environment, without DISPLAY unless given;
    as the user `user` (uid, gid) when given, from a folder of that user's. Its browser is
    the real one: a test may start the app window."""

    def __init__(self, env=None, user=None, args=("--no-window", "--no-tray", "--no-elevate")):
        self.conn = self.relay = None
        super().__init__(args=args, env=env, prefix="vantriel-desktop-", user=user, stubs=False)

    def wait_ready(self):
        try:
            super().wait_ready()
            port = self.port
            if self.as_user:
                # The host serves only its own user's processes: requests go through a relay
                # of that user's.
                python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
                self.relay = subprocess.Popen([python, "-c", RELAY, str(self.port)],
                                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                              text=True, **self.as_user)
                port = int(self.relay.stdout.readline())
            self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=DEADLINE)
            self.token = page_token(self.get("/").body)
        except BaseException:
            self.cleanup()  # a host that did not start leaves nothing running
            raise
        return self

    def request(self, method, path, body=None):
        headers = {}
        payload = None
        if method == "POST":
            headers["X-Token"] = self.token
            headers["Content-Type"] = "application/json"
            payload = json.dumps(body if body is not None else {},
                                 ensure_ascii=False).encode("utf-8")
        for attempt in (0, 1):
            try:
                self.conn.request(method, path, body=payload, headers=headers)
                response = self.conn.getresponse()
                return Reply(response.status, response.read())
            except (http.client.HTTPException, ConnectionError):
                # The host may close a kept-alive connection; one fresh try.
                self.conn.close()
                if attempt:
                    raise

    def get(self, path):
        return self.request("GET", path)

    def post(self, path, body=None):
        return self.request("POST", path, body)

    def cleanup(self):
        if self.conn is not None:
            self.conn.close()
        if self.relay is not None:
            self.relay.kill()
            self.relay.wait(timeout=10)
            self.relay.stdout.close()
        super().cleanup()


class Xvfb:
    """A private Xvfb on a free display. -noreset: the server resets when its last client
    leaves (the host opens and closes a connection to probe the display), and a client that
    connects during the reset finds no display."""

    def __init__(self, width, height):
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % (width, height),
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        with os.fdopen(read_end, "rb") as f:
            while not number.endswith(b"\n"):
                c = f.read(1)
                if not c:
                    raise RuntimeError("Xvfb did not start")
                number += c
        self.display = ":" + number.decode().strip()

    def env(self, **extra):
        env = dict(os.environ, DISPLAY=self.display)
        env.update(extra)
        return env

    def run(self, *args, input=None):
        return subprocess.run(list(args), env=self.env(), input=input, capture_output=True,
                              timeout=DEADLINE, check=True).stdout

    def start(self, *args, input):
        """Runs a program that may leave a process behind (xclip -i), without its output."""
        subprocess.run(list(args), env=self.env(), input=input, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=DEADLINE, check=True)

    def state(self):
        """Pointer, held buttons and held keycodes, as the X server sees them now."""
        return json.loads(self.run(PROBE, "state"))

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


class Probe:
    """A focused window that reports the key and button events it receives."""

    def __init__(self, xvfb, width, height):
        self.proc = subprocess.Popen([PROBE, "window", str(width), str(height)], env=xvfb.env(),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, encoding="utf-8")
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        if self.lines.get(timeout=DEADLINE) != "ready":
            raise RuntimeError("desktop_probe did not start")

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))

    def until(self, last):
        """Events up to and including the first one for which last(event) holds."""
        events = []
        while True:
            event = json.loads(self.lines.get(timeout=DEADLINE))
            events.append(event)
            if last(event):
                return events

    def stop(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()
