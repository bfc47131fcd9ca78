"""What a local client without the token can make the host hold (README, "Limits of the
loopback server"): a body only for a POST with the token, a body (or an input socket's
message) whole within 10 seconds of its start, at most 128 connections."""

import os
import socket
import struct
import sys
import unittest

from host import Host, wait_for

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "apps", "vantriel-signal", "tests"))
from signal_client import Ws  # noqa: E402  (a small blocking WebSocket client)

MAX_CONNECTIONS = 128
MIB = 1024 * 1024
# Under Wine the host is not a Linux process the test started: its memory is not read.
WINE = bool(os.environ.get("VANTRIEL_WINE"))
GET = b"GET /api/version HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"


def rss_bytes(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(next(l for l in f if l.startswith("VmRSS:")).split()[1]) * 1024


def host_sockets(port):
    """(state, bytes unread) of the kernel's TCP sockets on the host's side of `port`:
    01 established, 03 still in its handshake, 0A the listener (its count: connections
    not yet accepted)."""
    with open("/proc/net/tcp") as f:
        for fields in (line.split() for line in f.readlines()[1:]):
            if int(fields[1].split(":")[1], 16) == port:
                yield fields[3], int(fields[4].split(":")[1], 16)


def masked_frame(opcode, payload, fin):
    """One client frame (clients mask every frame)."""
    mask = os.urandom(4)
    head = bytes([(0x80 if fin else 0) | opcode, 0x80 | len(payload)])  # payloads < 126 bytes
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


def closed_by_peer(s, timeout=10.0):
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
        self.sockets.append(socket.create_connection(("127.0.0.1", self.host.port), timeout=10))
        return self.sockets[-1]

    def head(self, method, length, token=None):
        return ("%s /api/verificar HTTP/1.1\r\nHost: 127.0.0.1\r\n%sContent-Length: %d\r\n\r\n" %
                (method, "X-Token: %s\r\n" % token if token else "", length)).encode()

    def all_accepted(self):
        wait_for(lambda: not any(state == "03" or (state == "0A" and n) for state, n in
                                 host_sockets(self.host.port)), "the host to accept")

    def test_bodies_without_the_token_are_answered_unread_and_take_no_memory(self):
        h = self.host
        # The refusal comes from the header alone: the client need not send the body.
        s = self.connect()
        s.sendall(self.head("POST", MIB))
        reply = s.recv(4096)
        self.assertTrue(reply.startswith(b"HTTP/1.1 403 Forbidden\r\n"), reply)
        self.assertIn(b"Connection: close\r\n", reply)
        if WINE:
            return
        before = rss_bytes(h.proc.pid)
        body = b"x" * (MIB - 1)  # one byte short: a host that waits for the rest holds it
        for i in range(200):
            try:
                self.connect().sendall(self.head(("POST", "GET")[i % 2], MIB, "0" * 32) + body)
            except OSError:
                pass  # closed after its reply
        # Sending ends once the kernel holds the bytes; measure once the host took them.
        wait_for(lambda: not any(state == "01" and n for state, n in host_sockets(h.port)),
                 "the host to read what was sent", 60)
        self.assertEqual(h.get("/api/version").status, 200)
        grown = rss_bytes(h.proc.pid) - before
        self.assertLess(grown, 200 * MIB // 8, "%d MB grown for 200 MB sent" % (grown >> 20))

    def test_a_body_must_arrive_within_one_deadline(self):
        s = self.connect()
        s.sendall(self.head("POST", 100, self.host.token))
        # A byte every half second restarts no timer: after 10 s the host closes without a
        # reply, long before the trickle's 50 s.
        for sent in range(1, 100):
            s.sendall(b" ")
            if closed_by_peer(s, timeout=0.5):
                break
        self.assertLess(sent, 99, "the host waited for the whole trickle")
        self.assertEqual(self.host.get("/api/version").status, 200)

    def input_socket(self):
        ws = Ws(self.host.port, "/api/input?token=" + self.host.token,
                headers={"Origin": "http://127.0.0.1:%d" % self.host.port})
        self.sockets.append(ws.sock)
        return ws

    def test_an_input_message_must_arrive_within_one_deadline(self):
        ws = self.input_socket()
        # A message sent a fragment at a time: each keeps the socket itself alive, the
        # message's one deadline closes it after 10 s, long before the trickle's 50 s.
        ws.sock.sendall(masked_frame(0x1, b'{"ev":[', fin=False))
        for sent in range(1, 100):
            ws.sock.sendall(masked_frame(0x0, b" ", fin=False))
            if closed_by_peer(ws.sock, timeout=0.5):
                break
        self.assertLess(sent, 99, "the host waited for the whole trickle")
        # A message sent in fragments at once is one message, answered once.
        ws = self.input_socket()
        ws.sock.sendall(masked_frame(0x1, b'{"ev":', fin=False) + masked_frame(0x0, b"[]}", fin=True))
        self.assertEqual(ws.recv(), {"ok": False, "msg": "sin permiso de control"})

    def test_connections_beyond_the_cap_close_the_oldest_idle_ones(self):
        # The page's input socket, idle longest of all, outlives the flood below.
        page_input = self.input_socket()
        old = [self.connect() for _ in range(MAX_CONNECTIONS - 1)]
        self.all_accepted()  # each waits from its accept
        # The first one is used again: it becomes the most recently idle.
        old[0].sendall(GET)
        self.assertIn(b"200 OK", old[0].recv(4096))
        new = [self.connect() for _ in range(40)]
        self.all_accepted()
        self.assertEqual(self.host.get("/api/version").status, 200)
        # The 40 new ones and that request closed one each, oldest first.
        for i in range(1, 42):
            self.assertTrue(closed_by_peer(old[i]), "connection %d is still open" % i)
        for s in (old[0], old[42], new[0], new[-1]):
            s.sendall(GET)
            self.assertIn(b"200 OK", s.recv(4096))
        page_input.send({"ev": []})
        self.assertEqual(page_input.recv(), {"ok": False, "msg": "sin permiso de control"})


if __name__ == "__main__":
    unittest.main()
