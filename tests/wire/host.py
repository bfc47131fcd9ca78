"""The real host executable, started from a temporary folder, and its wire: exact bytes
in, exact bytes out, each request on a new connection.

How the host is started is shared with the other suites (tests/harness/host_launcher.py).
For the Windows build VANTRIEL_WINE names the wrapper that starts Vantriel.exe under Wine
(tests/wine/wine-run.in); the same tests then hold the Windows host to the same bytes.
"""

import json
import os
import socket
import subprocess
import sys
import warnings

# The launcher and waits every suite shares; found from here, so that benchmarks run by
# hand find them too.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
from host_launcher import EXE, WINE, HostProcess, command, page_token, windows_path  # noqa: E402,F401
from waiting import DEADLINE, free_port_block, wait_for  # noqa: E402,F401

# Tests keep hosts and sockets open on purpose; the interpreter need not warn about them.
warnings.simplefilter("ignore", ResourceWarning)

PROBE = os.environ.get("VANTRIEL_INPUT_PROBE", "")  # tests/wine/input_probe_win.cpp


class Reply:
    def __init__(self, raw):
        self.raw = raw
        head, _, self.body = raw.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        self.status_line = lines[0]
        self.status = int(lines[0].split(" ")[1])
        self.headers = [tuple(l.split(": ", 1)) for l in lines[1:]]

    def header(self, name):
        for k, v in self.headers:
            if k.lower() == name.lower():
                return v
        return None

    def json(self):
        return json.loads(self.body.decode("utf-8"))


class Host(HostProcess):
    """A host whose output is kept for end(), with the stand-ins' list in opened()."""

    def __init__(self, args=("--no-window", "--no-tray", "--no-elevate"), env=None, folder=None,
                 port=None, wait=True):
        self.token = None
        super().__init__(args=args, env=env, folder=folder, prefix="vantriel-wire-", port=port,
                         output="pipe", wait=wait)

    def wait_ready(self):
        super().wait_ready()
        self.token = page_token(self.get("/").body)
        return self

    def end(self, box):
        """Waits for the host to end; returns its exit code and what it told the user.
        Here the Linux host writes that on standard error (no dialog program is installed);
        the Windows host shows a message box, whose text input_probe.exe reads before it
        presses OK, when box says one is coming."""
        told = b""
        if WINE and box:
            out = subprocess.run([WINE, PROBE, "box", "Vantriel"], capture_output=True,
                                 timeout=2 * DEADLINE)
            told = json.loads(out.stdout or b'{"text":""}')["text"].encode("utf-8")
        _, err = self.proc.communicate(timeout=DEADLINE)
        return self.proc.returncode, told if WINE else err

    def folder_windows(self):
        """Under Wine: how many windows of Wine's explorer show the data folder."""
        out = subprocess.run(["xdotool", "search", "--name", "^data$"], capture_output=True)
        return len(out.stdout.split())

    def raw(self, data, timeout=10.0):
        """Sends bytes on a new connection and reads until the host closes it."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as s:
            s.sendall(data)
            chunks = []
            while True:
                try:
                    chunk = s.recv(65536)
                except ConnectionResetError:
                    break
                if not chunk:
                    break
                chunks.append(chunk)
        return b"".join(chunks)

    def request(self, method, path, body=None, headers=None, token=True):
        hdrs = {"Host": "127.0.0.1:%d" % self.port}
        if method == "POST" and token:
            hdrs["X-Token"] = self.token
        if headers:
            hdrs.update(headers)
        payload = b""
        if body is not None:
            payload = body if isinstance(body, bytes) else json.dumps(body).encode("utf-8")
        hdrs["Content-Length"] = str(len(payload))
        hdrs["Connection"] = "close"
        head = "%s %s HTTP/1.1\r\n" % (method, path)
        head += "".join("%s: %s\r\n" % kv for kv in hdrs.items()) + "\r\n"
        return Reply(self.raw(head.encode("utf-8") + payload))

    def get(self, path, **kw):
        return self.request("GET", path, **kw)

    def post(self, path, body=None, **kw):
        return self.request("POST", path, body if body is not None else {}, **kw)
