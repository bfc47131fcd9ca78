"""Only processes of the host's own user are served (README, "Limits of the loopback
server"): a connection from another user's process is closed at once without a reply, and
the log says so at most once a minute. The machine's users stand in for the PC's: the test
forks, and the child becomes "nobody" before it makes its socket."""

import os
import pwd
import socket
import unittest

from host import Host

PAGE = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
REFUSED = "[SERVIDOR] Conexi\u00f3n cerrada sin respuesta: 127.0.0.1:"


def nobody():
    try:
        entry = pwd.getpwnam("nobody")
        return entry.pw_uid, entry.pw_gid
    except KeyError:
        return 65534, 65534


def exchange_as(uid, gid, port, data, timeout=10.0):
    """As a process of user uid, sends data on a new connection to port and reads until the
    host closes it. Returns ("closed", bytes read) or ("open", bytes read) when the host still
    held the connection open after timeout seconds."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.close(r)
            os.setgid(gid)
            os.setuid(uid)
            state, chunks = b"C", []
            with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
                s.sendall(data)
                while True:
                    try:
                        chunk = s.recv(65536)
                    except ConnectionResetError:
                        break
                    except socket.timeout:
                        state = b"O"
                        break
                    if not chunk:
                        break
                    chunks.append(chunk)
            out = state + b"".join(chunks)
            while out:
                out = out[os.write(w, out):]
            code = 0
        finally:
            os._exit(code)
    os.close(w)
    with os.fdopen(r, "rb") as f:
        got = f.read()
    _, status = os.waitpid(pid, 0)
    if status != 0 or not got:
        raise AssertionError("the child as uid %d failed (status %d)" % (uid, status))
    return ("closed" if got[:1] == b"C" else "open"), got[1:]


@unittest.skipUnless(os.geteuid() == 0, "switching to another user needs root")
class OwnerTest(unittest.TestCase):
    def setUp(self):
        self.host = Host()

    def tearDown(self):
        self.host.cleanup()

    def test_another_user_gets_nothing_while_the_own_user_gets_the_page(self):
        uid, gid = nobody()
        for _ in range(3):
            self.assertEqual(exchange_as(uid, gid, self.host.port, PAGE), ("closed", b""))
            # Nor an API route that needs no token.
            self.assertEqual(exchange_as(uid, gid, self.host.port,
                                         b"GET /api/version HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"),
                             ("closed", b""))
        state, reply = exchange_as(os.geteuid(), os.getegid(), self.host.port, PAGE)
        self.assertEqual(state, "closed")
        self.assertTrue(reply.startswith(b"HTTP/1.1 200 "), reply[:80])
        self.assertIn(('"%s"' % self.host.token).encode(), reply)

        # Six refusals within a minute: one line, naming the other user's connection.
        refused = [l for l in self.host.log().splitlines() if REFUSED in l]
        self.assertEqual(len(refused), 1, refused)
        self.assertTrue(refused[0].endswith(" es de un proceso de otro usuario"), refused[0])


if __name__ == "__main__":
    unittest.main()
