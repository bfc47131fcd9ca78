"""What the operator-side tests need to drive a vantriel-signal process from Python: the
process itself (its first lines on standard output name its URLs), a small blocking
WebSocket client, plain GETs, and the metrics read by Debian's python3-prometheus-client.

Every wait is bounded, so a test can fail but never hang.
"""

import base64
import json
import os
import select
import socket
import struct
import subprocess
import time
import urllib.error
import urllib.request

DEADLINE = 20.0  # seconds for anything the server should do promptly


class Server:
    """One server process started from `argv`; its standard error goes to `log_path`.
    `metrics` says whether it serves them (by default: when argv has --metrics-listen)."""

    def __init__(self, argv, log_path, env=None, cwd=None, metrics=None):
        self.log_path = log_path
        with open(log_path, "ab") as log:
            # Unbuffered: select() below must see what readline() has not taken yet.
            self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=log, bufsize=0,
                                         stdin=subprocess.DEVNULL, env=env, cwd=cwd)
        self.port = 0
        self.metrics_url = ""
        # "listening on http://ADDRESS:PORT", then "metrics on URL" when they are served.
        first = self._line()
        if first.startswith("listening on "):
            self.port = int(first.rsplit(":", 1)[1])
            if metrics or (metrics is None and "--metrics-listen" in argv):
                second = self._line()
                if second.startswith("metrics on "):
                    self.metrics_url = second[len("metrics on "):]

    def _line(self):
        ready, _, _ = select.select([self.proc.stdout], [], [], DEADLINE)
        if not ready:
            return ""
        return self.proc.stdout.readline().decode(errors="replace").strip()

    def stop(self):
        """SIGTERM and wait; the exit code."""
        if self.proc.poll() is None:
            self.proc.terminate()
        try:
            return self.proc.wait(DEADLINE)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.proc.wait()
        finally:
            self.proc.stdout.close()

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()


def run_to_exit(argv, timeout=DEADLINE):
    """Runs the server to its exit: (exit code, standard output and error)."""
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          stdin=subprocess.DEVNULL, timeout=timeout)
    return done.returncode, done.stdout.decode(errors="replace")


def http_get(url, method="GET", timeout=DEADLINE):
    """(status, headers, body) of one request; status 0 when nothing answered."""
    req = urllib.request.Request(url, method=method)
    try:
        with urllib.request.urlopen(req, timeout=timeout) as res:
            return res.status, res.headers, res.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read().decode()
    except (urllib.error.URLError, ConnectionError, socket.timeout):
        return 0, {}, ""


def metrics(url):
    """The samples of one scrape as {(name, ((label, value), ...)): value}, parsed by the
    Prometheus client library; also the families' types by family name."""
    from prometheus_client.parser import text_string_to_metric_families

    status, headers, body = http_get(url)
    if status != 200:
        raise AssertionError(f"GET {url}: {status}")
    samples, types = {}, {}
    for family in text_string_to_metric_families(body):
        types[family.name] = family.type
        for s in family.samples:
            samples[(s.name, tuple(sorted(s.labels.items())))] = s.value
    return samples, types


def value(samples, name, **labels):
    """One sample's value; KeyError when the scrape lacks it."""
    return samples[(name, tuple(sorted(labels.items())))]


class Ws:
    """A WebSocket client on ws://127.0.0.1:port/path: text frames of JSON only. `headers`
    (a dict) go into the handshake beside its own."""

    def __init__(self, port, path, host="127.0.0.1", headers=None):
        self.sock = socket.create_connection((host, port), timeout=DEADLINE)
        key = base64.b64encode(os.urandom(16)).decode()
        extra = "".join(f"{name}: {value}\r\n" for name, value in (headers or {}).items())
        self.sock.sendall((f"GET {path} HTTP/1.1\r\nHost: {host}:{port}\r\n"
                           "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                           f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n"
                           f"{extra}\r\n").encode())
        self.buf = b""
        while b"\r\n\r\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError(f"{path}: closed during the upgrade")
            self.buf += chunk
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        if not head.startswith(b"HTTP/1.1 101"):
            raise ConnectionError(f"{path}: {head.splitlines()[0].decode()}")

    def send(self, message):
        """Sends a dict as compact JSON, or a str as it stands; the text as sent."""
        text = message if isinstance(message, str) else json.dumps(message, separators=(",", ":"))
        payload = text.encode()
        mask = os.urandom(4)
        n = len(payload)
        if n < 126:
            head = bytes([0x81, 0x80 | n])
        elif n < 65536:
            head = bytes([0x81, 0x80 | 126]) + struct.pack(">H", n)
        else:
            head = bytes([0x81, 0x80 | 127]) + struct.pack(">Q", n)
        self.sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))
        return text

    def _read(self, n, deadline):
        while len(self.buf) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no frame in time")
            self.sock.settimeout(left)
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed")
            self.buf += chunk
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def recv_text(self, timeout=DEADLINE):
        """The next text frame as sent; None once the server closes."""
        deadline = time.monotonic() + timeout
        try:
            while True:
                b0, b1 = self._read(2, deadline)
                n = b1 & 0x7F
                if n == 126:
                    n = struct.unpack(">H", self._read(2, deadline))[0]
                elif n == 127:
                    n = struct.unpack(">Q", self._read(8, deadline))[0]
                payload = self._read(n, deadline)
                opcode = b0 & 0x0F
                if opcode == 1:
                    return payload.decode()
                if opcode == 8:
                    return None
        except ConnectionError:
            return None

    def recv(self, timeout=DEADLINE):
        """The next message as a dict; None once the server closes."""
        text = self.recv_text(timeout)
        return None if text is None else json.loads(text)

    def close(self):
        self.sock.close()


def free_port():
    """A loopback port nobody listens on right now, below the kernel's range for outgoing
    connections, where other tests' client sockets cannot take it meanwhile."""
    top = 32768
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            top = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        pass
    for attempt in range(200):
        port = 20000 + (os.getpid() * 131 + attempt * 977 + int(time.time() * 1000)) % (top - 20000)
        with socket.socket() as probe:
            try:
                probe.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    raise RuntimeError("no free port")
