"""What a local client without the token can make the host hold: bodies, time, connections.

The figures the host promises (README, "Limits of the loopback server"): a body only for a
POST with the token, a body whole within 10 seconds of its header, at most 128 connections.
"""

import os
import socket
import time
import unittest

from host import Host, wait_for

MAX_CONNECTIONS = 128
MIB = 1024 * 1024
# Under Wine the host's memory and descriptors are not those of a Linux process the test
# started; those figures are read on the Linux build only, the behaviour on both.
WINE = bool(os.environ.get("VANTRIEL_WINE"))


def rss_bytes(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS")


def open_sockets(pid):
    count = 0
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            if os.readlink("/proc/%d/fd/%s" % (pid, fd)).startswith("socket:"):
                count += 1
        except OSError:
            pass
    return count


def host_sockets(port):
    """(state, bytes unread) of each of the host's TCP sockets on `port`, as the kernel
    lists them: state 01 is an established connection, 03 one still in its handshake, 0A
    the listener, whose count is the connections waiting to be accepted."""
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if int(fields[1].split(":")[1], 16) == port:
                yield fields[3], int(fields[4].split(":")[1], 16)


def unread_bytes(port):
    return sum(n for state, n in host_sockets(port) if state == "01")


def unaccepted(port):
    return sum(n if state == "0A" else 1 for state, n in host_sockets(port)
               if state in ("0A", "03"))


def closed_by_peer(s, timeout=10.0):
    """True when the host has closed `s` (end of stream or reset), False if it stays open."""
    s.settimeout(timeout)
    try:
        return s.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


class LimitsTest(unittest.TestCase):
    def setUp(self):
        self.host = Host()
        self.sockets = []

    def tearDown(self):
        for s in self.sockets:
            s.close()
        self.host.cleanup()

    def connect(self):
        s = socket.create_connection(("127.0.0.1", self.host.port), timeout=10)
        self.sockets.append(s)
        return s

    def head(self, method, path, length, token=None):
        text = "%s %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % (method, path, self.host.port)
        if token:
            text += "X-Token: %s\r\n" % token
        return (text + "Content-Length: %d\r\n\r\n" % length).encode()

    def test_bodies_without_the_token_are_answered_unread_and_take_no_memory(self):
        h = self.host
        # The refusal comes from the header alone; the client need not send the body.
        s = self.connect()
        s.sendall(self.head("POST", "/api/ajustes", MIB))
        reply = s.recv(4096)
        self.assertTrue(reply.startswith(b"HTTP/1.1 403 Forbidden\r\n"), reply)
        self.assertIn(b"Connection: close\r\n", reply)
        self.assertTrue(reply.endswith('{"ok":false,"msg":"token inválido"}'.encode()), reply)
        # A GET needs no body either, and one sent with it is not kept.
        s = self.connect()
        s.sendall(self.head("GET", "/api/version", MIB))
        self.assertIn(b'"app":"vantriel"', s.recv(4096))
        if WINE:
            return

        for _ in range(20):
            h.get("/api/version")
        before = rss_bytes(h.proc.pid)
        count = 200
        body = b"x" * (MIB - 1)  # one byte short: a host that waits for it holds it all
        for i in range(count):
            s = self.connect()
            method, token = (("POST", "0" * 32), ("POST", None), ("GET", None))[i % 3]
            try:
                s.sendall(self.head(method, "/api/verificar", MIB, token) + body)
            except OSError:
                pass  # the host may already have closed it after its reply
        # Sending returns once the kernel holds the bytes; measure once the host has taken
        # all it is going to take.
        wait_for(lambda: unread_bytes(h.port) == 0, "the host to read what was sent", 60)
        self.assertEqual(h.get("/api/version").status, 200)
        grown = rss_bytes(h.proc.pid) - before
        # Holding the bodies would take `count` MiB; a few per cent of that is the host's
        # own bookkeeping.
        self.assertLess(grown, count * MIB // 8, "%d MB for %d MB sent" % (grown >> 20, count))

    def test_a_body_must_arrive_within_one_deadline(self):
        h = self.host
        s = self.connect()
        s.sendall(self.head("POST", "/api/verificar", 100, h.token))
        # One byte every half second restarts no timer: the host gives the whole body 10
        # seconds and closes the connection without a reply. The trickle would take 50.
        sent = 0
        while sent < 99:
            s.sendall(b" ")
            sent += 1
            if closed_by_peer(s, timeout=0.5):
                break
        self.assertLess(sent, 99, "the host waited for the whole trickle")
        self.assertEqual(h.get("/api/version").status, 200)
        # A body that arrives whole is served as before, 100-continue included.
        s = self.connect()
        s.sendall(self.head("POST", "/api/verificar", 2, h.token)[:-2] +
                  b"Expect: 100-continue\r\n\r\n")
        self.assertEqual(s.recv(100), b"HTTP/1.1 100 Continue\r\n\r\n")
        s.sendall(b"{}")
        self.assertIn(b'{"ok":false}', s.recv(4096))

    def test_connections_beyond_the_cap_close_the_oldest_idle_ones(self):
        h = self.host
        old = [self.connect() for _ in range(MAX_CONNECTIONS)]
        # A connection counts for the client before the host has accepted it (and starts
        # its wait); the kernel lists those it still holds for the host.
        wait_for(lambda: unaccepted(h.port) == 0, "the host to accept every connection")
        # The first one is used again: it becomes the most recently idle.
        old[0].sendall(b"GET /api/version HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        self.assertIn(b"200 OK", old[0].recv(4096))
        new = []
        for _ in range(40):
            new.append(self.connect())
        # Once all are accepted and this request is answered, every connection above has
        # been made room for.
        wait_for(lambda: unaccepted(h.port) == 0, "the host to accept every connection")
        self.assertEqual(h.get("/api/version").status, 200)
        if not WINE:
            # Beside the connections: the listener, and perhaps the update check's request.
            self.assertLessEqual(open_sockets(h.proc.pid), MAX_CONNECTIONS + 2)
        for i in range(1, 42):  # the 40 new ones and the request each closed one
            self.assertTrue(closed_by_peer(old[i]), "connection %d is still open" % i)
        for s in (old[0], old[42], old[-1], new[0], new[-1]):
            s.sendall(b"GET /api/version HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            self.assertIn(b"200 OK", s.recv(4096))


if __name__ == "__main__":
    unittest.main()
