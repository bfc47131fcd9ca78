"""The loopback server at the byte level: refusals, reply kinds, headers, bodies."""

import json
import socket
import time
import unittest

from host import Host

SECURITY = (b"X-Frame-Options: DENY\r\n"
            b"Content-Security-Policy: frame-ancestors 'none'\r\n"
            b"X-Content-Type-Options: nosniff\r\n"
            b"Referrer-Policy: no-referrer\r\n")


def head(content_type, cache):
    return (b"Content-Type: " + content_type + b"\r\nCache-Control: " + cache + b"\r\n" +
            SECURITY)


class ServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host = Host()

    @classmethod
    def tearDownClass(cls):
        cls.host.cleanup()

    def exact(self, request, expected):
        self.assertEqual(self.host.raw(request), expected)

    def test_every_reply_kind_byte_for_byte(self):
        body = b'{"version":"0.1.1","app":"vantriel"}'
        self.exact(b"GET /api/version HTTP/1.1\r\nConnection: close\r\n\r\n",
                   b"HTTP/1.1 200 OK\r\n" + head(b"application/json; charset=utf-8", b"no-store") +
                   b"Connection: close\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
        self.exact(b"GET / HTTP/1.1\r\nHost: evil.example:8800\r\nConnection: close\r\n\r\n",
                   b"HTTP/1.1 403 Forbidden\r\n" + head(b"text/plain", b"no-store") +
                   b"Connection: close\r\nContent-Length: 10\r\n\r\nsolo local")
        body = '{"ok":false,"msg":"token inválido"}'.encode()
        self.exact(b"POST /api/nada HTTP/1.1\r\nX-Token: nope\r\nContent-Length: 0\r\n"
                   b"Connection: close\r\n\r\n",
                   b"HTTP/1.1 403 Forbidden\r\n" + head(b"application/json", b"no-store") +
                   b"Connection: close\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
        body = b'{"error":"no encontrado"}'
        self.exact(b"GET /api/nada HTTP/1.1\r\nConnection: close\r\n\r\n",
                   b"HTTP/1.1 404 Not Found\r\n" + head(b"application/json", b"no-store") +
                   b"Connection: close\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
        self.exact(b"PUT / HTTP/1.1\r\nConnection: close\r\nContent-Length: 0\r\n\r\n",
                   b"HTTP/1.1 405 Method Not Allowed\r\n" + head(b"text/plain", b"no-store") +
                   b"Connection: close\r\nContent-Length: 0\r\n\r\n")

    def test_http_1_0_closes_after_the_reply(self):
        reply = self.host.raw(b"GET /api/version HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
        self.assertTrue(reply.startswith(b"HTTP/1.0 200 OK\r\n"))
        self.assertIn(b"vantriel", reply)

    def test_origin_checks(self):
        h = self.host
        self.assertEqual(h.get("/", headers={"Host": "evil.example:8800"}).status, 403)
        self.assertEqual(h.raw(b"GET / HTTP/1.1\r\nConnection: close\r\n\r\n")[:15],
                         b"HTTP/1.1 200 OK")
        for host in ("LOCALHOST:1", "[::1]:8800", "127.0.0.1"):
            self.assertEqual(h.get("/api/version", headers={"Host": host}).status, 200, host)
        self.assertEqual(h.post("/api/verificar", headers={"Origin": "null"}).body, b"solo local")
        self.assertEqual(h.post("/api/verificar",
                                headers={"Origin": "https://127.0.0.1:8800"}).status, 403)
        self.assertEqual(h.post("/api/verificar",
                                headers={"Origin": "http://127.0.0.1:%d" % h.port}).status, 200)
        self.assertEqual(h.get("/api/estado", headers={"Sec-Fetch-Site": "cross-site"}).status,
                         403)
        self.assertEqual(h.get("/api/estado", headers={"Sec-Fetch-Site": "same-site"}).status, 403)
        self.assertEqual(h.get("/api/estado", headers={"Sec-Fetch-Site": "same-origin"}).status,
                         200)
        self.assertEqual(h.get("/", headers={"Sec-Fetch-Dest": "IFRAME"}).status, 403)
        self.assertEqual(h.get("/", headers={"Sec-Fetch-Dest": "document"}).status, 200)

    def test_token(self):
        h = self.host
        both = (b"POST /api/verificar HTTP/1.1\r\nX-Token: wrong\r\nx-token: " +
                h.token.encode() + b"\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}")
        self.assertIn(b'{"ok":false}', h.raw(both))
        self.assertEqual(h.post("/api/nada", token=False).status, 403)
        self.assertEqual(h.post("/api/nada", headers={"X-Token": h.token.upper()}).status, 403)
        self.assertEqual(h.post("/api/nada").json(), {"ok": False, "msg": "acción desconocida"})

    def test_embedded_files(self):
        h = self.host
        page = h.get("/")
        self.assertEqual(page.header("Content-Type"), "text/html; charset=utf-8")
        self.assertEqual(page.header("Cache-Control"), "no-store")
        text = page.body.decode("utf-8")
        self.assertNotIn("__TOKEN__", text)
        self.assertNotIn("__VERSION__", text)
        self.assertIn("0.1.1", text)
        self.assertEqual(h.get("/index.html?x=1").body, page.body)
        self.assertEqual(h.get("/INDEX.HTML").status, 404)
        for path, kind, magic in (("/favicon.ico", "image/x-icon", b"\x00\x00\x01\x00"),
                                  ("/img/emblema.png", "image/png", b"\x89PNG"),
                                  ("/img/emblema-512.png", "image/png", b"\x89PNG"),
                                  ("/img/firma.png", "image/png", b"\x89PNG"),
                                  ("/font/bold.woff2", "font/woff2", b"wOF2"),
                                  ("/font/semi.woff2", "font/woff2", b"wOF2"),
                                  ("/font/symbols.ttf", "font/ttf", b"\x00\x01\x00\x00")):
            r = h.get(path)
            self.assertEqual((r.status, r.header("Content-Type"), r.header("Cache-Control")),
                             (200, kind, "max-age=86400"), path)
            self.assertTrue(r.body.startswith(magic), path)
        # The icon on disk is the icon served.
        with open(h.path("vantriel.ico"), "rb") as f:
            self.assertEqual(f.read(), h.get("/favicon.ico").body)

    def test_body_rules(self):
        h = self.host
        self.assertEqual(h.post("/api/verificar", body=b"{\"clave\":\"\xff\"}").json(),
                         {"ok": False})
        self.assertEqual(h.post("/api/verificar", body=b"[1,2]").json(), {"ok": False})
        self.assertEqual(h.post("/api/verificar", body=b"[" * 5000 + b"]" * 5000).json(),
                         {"ok": False})

    def test_large_body_is_cut_and_the_connection_closed(self):
        h = self.host
        # 2 MiB of valid JSON: cut at 1 MiB it no longer parses, so the route sees {}.
        big = json.dumps({"clave": "x" * (2 * 1024 * 1024)}).encode()
        first = (b"POST /api/verificar HTTP/1.1\r\nX-Token: " + h.token.encode() +
                 b"\r\nContent-Length: %d\r\n\r\n" % len(big) + big)
        # The tail of the cut body must not be read as a second request: the reply comes
        # and then the connection closes, whatever else was sent.
        reply = h.raw(first + b"GET /api/version HTTP/1.1\r\n\r\n")
        self.assertEqual(reply.count(b"HTTP/1.1"), 1)
        self.assertIn(b"Connection: close", reply)
        self.assertTrue(reply.endswith(b'{"ok":false}'))

    def test_expect_100_continue(self):
        h = self.host
        with socket.create_connection(("127.0.0.1", h.port), timeout=10) as s:
            s.sendall(b"POST /api/verificar HTTP/1.1\r\nX-Token: " + h.token.encode() +
                      b"\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n")
            self.assertEqual(s.recv(100), b"HTTP/1.1 100 Continue\r\n\r\n")
            s.sendall(b"{}")
            self.assertIn(b'{"ok":false}', s.recv(4096))

    def test_keep_alive_and_pipelining(self):
        h = self.host
        with socket.create_connection(("127.0.0.1", h.port), timeout=10) as s:
            s.sendall(b"GET /api/version HTTP/1.1\r\n\r\nGET /api/nada HTTP/1.1\r\n\r\n")
            data = b""
            while data.count(b"HTTP/1.1 ") < 2 or not data.endswith(b"}"):
                chunk = s.recv(4096)
                self.assertTrue(chunk)
                data += chunk
            self.assertLess(data.index(b"200 OK"), data.index(b"404 Not Found"))

    def test_idle_connections_hold_no_worker(self):
        h = self.host
        idle = [socket.create_connection(("127.0.0.1", h.port)) for _ in range(40)]
        try:
            # Half-sent requests too: the I/O thread waits for them, no worker does.
            for s in idle[:20]:
                s.sendall(b"GET /api/version HTTP/1.1\r\n")
            started = time.monotonic()
            for _ in range(20):
                self.assertEqual(h.get("/api/version").status, 200)
            self.assertLess(time.monotonic() - started, 15)
        finally:
            for s in idle:
                s.close()

    def test_garbage_is_dropped_without_harm(self):
        h = self.host
        for junk in (b"\x00\x01\x02\r\n\r\n", b"GET\r\n\r\n", b"GET / HTTP/9.9\r\n\r\n",
                     b"GET / HTTP/1.1\r\nX: " + b"a" * 70000 + b"\r\n\r\n"):
            try:
                h.raw(junk, timeout=5)
            except OSError:
                pass
        self.assertEqual(h.get("/api/version").status, 200)


if __name__ == "__main__":
    unittest.main()
