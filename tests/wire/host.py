"""Starts the real host executable from a temporary folder and talks to it over sockets.

The executable comes from the VANTRIEL_EXE environment variable (CTest sets it). Each Host
gets a folder of its own, so its data folder ("data" beside the executable) is fresh.
For the Windows build VANTRIEL_WINE names the wrapper that starts Vantriel.exe under Wine
(tests/wine/wine-run.in); the same tests then hold the Windows host to the same bytes.
"""

import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import warnings

# Tests keep hosts and sockets open on purpose; the interpreter need not warn about them.
warnings.simplefilter("ignore", ResourceWarning)

EXE = os.environ.get("VANTRIEL_EXE", "")
WINE = os.environ.get("VANTRIEL_WINE", "")
PROBE = os.environ.get("VANTRIEL_INPUT_PROBE", "")  # tests/wine/input_probe_win.cpp
# A Windows program starts slower under Wine, more so on a busy machine.
DEADLINE = 60.0 if WINE else 20.0  # seconds to wait for anything the host should do promptly


def command(exe, *args):
    """The command line that starts exe with args, under Wine for the Windows build."""
    return [WINE, exe, *args] if WINE else [exe, *args]


def windows_path(path):
    """How the Windows host names a Linux path: through Wine's Z: drive."""
    return "Z:" + path.replace("/", "\\") if WINE else path


def free_port_block(count=20):
    """A first port such that count ports from it look free right now. The block is taken
    below the kernel's range for outgoing connections: other tests' client sockets, and
    their TIME_WAIT, fill that range and would leave no free block of twenty in it."""
    top = 32768
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            top = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        pass
    for _ in range(200):
        first = random.randrange(10000, max(top, 10000 + 2 * count) - count)
        taken = False
        for p in range(first, first + count):
            with socket.socket() as probe:
                try:
                    probe.bind(("127.0.0.1", p))
                except OSError:
                    taken = True
                    break
        if not taken:
            return first
    raise RuntimeError("no free block of ports")


def wait_for(predicate, what, timeout=DEADLINE):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


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


class Host:
    def __init__(self, args=("--no-window", "--no-tray", "--no-elevate"), env=None, folder=None,
                 port=None, wait=True):
        self.folder = folder or tempfile.mkdtemp(prefix="vantriel-wire-")
        self.exe = os.path.join(self.folder, os.path.basename(EXE))
        if not os.path.exists(self.exe):
            shutil.copy2(EXE, self.exe)
            manual = os.path.join(os.path.dirname(EXE), "manual")
            if os.path.isdir(manual):
                shutil.copytree(manual, os.path.join(self.folder, "manual"))
        self.data = os.path.join(self.folder, "data")
        # The desktop's opener is replaced by one that only records what it was asked to
        # open, so tests can see windows and links being opened without opening anything.
        self.opened_file = os.path.join(self.folder, "opened.txt")
        fake_bin = os.path.join(self.folder, "fakebin")
        os.makedirs(fake_bin, exist_ok=True)
        opener = os.path.join(fake_bin, "xdg-open")
        with open(opener, "w") as f:
            f.write("#!/bin/sh\necho \"$@\" >> '%s'\n" % self.opened_file)
        os.chmod(opener, 0o755)
        # The app window's browser, found first on PATH, records the page it was asked
        # for in the same list and opens nothing.
        browser = os.path.join(fake_bin, "chromium")
        with open(browser, "w") as f:
            f.write("#!/bin/sh\nfor a; do case \"$a\" in --app=*) echo \"${a#--app=}\" >> '%s';; "
                    "esac; done\n" % self.opened_file)
        os.chmod(browser, 0o755)
        full_env = dict(os.environ)
        full_env["PATH"] = fake_bin + ":" + full_env.get("PATH", "")
        if not WINE:
            # Under Wine the display stays: Wine's windows (message boxes) need one, and
            # Windows has no headless session to mirror.
            full_env.pop("DISPLAY", None)
        full_env["ASAN_OPTIONS"] = full_env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        self.port_hint = port if port is not None else free_port_block()
        full_env["VTR_PORT"] = str(self.port_hint)
        if env:
            for k, v in env.items():
                if v is None:
                    full_env.pop(k, None)
                else:
                    full_env[k] = v
        self.record_before = self.read_record()
        self.proc = subprocess.Popen(command(self.exe, *args), cwd=self.folder, env=full_env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        # The process id the host writes in its record. Under Wine that is a Windows id
        # that no Linux call reports, so it is learnt from the host's first record.
        self.pid = None if WINE else self.proc.pid
        self.port = None
        self.token = None
        if wait:
            self.wait_ready()

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

    def path(self, *parts):
        return os.path.join(self.data, *parts)

    def read_record(self):
        try:
            with open(self.path("instancia.json"), "rb") as f:
                return f.read()
        except OSError:
            return None

    def wait_ready(self):
        def record():
            if self.proc.poll() is not None:
                raise AssertionError("host exited early: %r" % (self.proc.communicate(),))
            text = self.read_record()
            try:
                rec = json.loads(text)
            except (TypeError, ValueError):
                return None
            if self.pid is None:
                # Under Wine: the record this start wrote is the first one that differs.
                fresh = text != self.record_before and isinstance(rec.get("pid"), int)
                return rec if fresh else None
            return rec if rec.get("pid") == self.pid else None
        rec = wait_for(record, "the instance record")
        self.pid = rec["pid"]
        self.port = rec["port"]
        page = self.get("/").body.decode("utf-8")
        self.token = re.search(r'TOKEN = "([0-9a-f]{32})"', page).group(1)
        return self

    def opened(self):
        try:
            with open(self.opened_file, encoding="utf-8") as f:
                return f.read().splitlines()
        except OSError:
            return []

    def folder_windows(self):
        """Under Wine: how many windows of Wine's explorer show the data folder."""
        out = subprocess.run(["xdotool", "search", "--name", "^data$"], capture_output=True)
        return len(out.stdout.split())

    def log(self):
        try:
            with open(self.path("vantriel.log"), encoding="utf-8") as f:
                return f.read()
        except OSError:
            return ""

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

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(timeout=10)

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)
