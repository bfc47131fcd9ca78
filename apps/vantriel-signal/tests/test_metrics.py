"""The operators' figures: GET /metrics on a listener of its own, read by the Prometheus
client library's own parser of the text format, moving as hosts register, sessions run,
calls meet and limits are hit; with Redis, the links and the nodes seen.

The server comes from VANTRIEL_SIGNAL_BIN (CTest sets it).
"""

import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

import signal_client as sc
from signal_client import value

BIN = os.environ.get("VANTRIEL_SIGNAL_BIN", "")
ID = "123456789"


def dropped(s):
    """True when the peer closes `s` without sending anything (reset included)."""
    s.settimeout(sc.DEADLINE)
    try:
        return s.recv(1) == b""
    except ConnectionResetError:
        return True
    finally:
        s.close()


def wait_for(predicate, timeout=sc.DEADLINE):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


class MetricsCase(unittest.TestCase):
    def setUp(self):
        if not BIN:
            self.skipTest("VANTRIEL_SIGNAL_BIN is not set")
        self.dir = tempfile.mkdtemp(prefix="signal-metrics-")
        self.servers = []
        self.sockets = []

    def tearDown(self):
        for s in self.sockets:
            s.close()
        for server in self.servers:
            server.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self, *args, name="server"):
        server = sc.Server([BIN, "--host", "127.0.0.1", "--port", "0", "--data",
                            os.path.join(self.dir, name + ".json"), *args],
                           os.path.join(self.dir, name + ".log"))
        self.servers.append(server)
        self.assertTrue(server.port, "no listening line")
        return server

    def ws(self, port, path):
        w = sc.Ws(port, path)
        self.sockets.append(w)
        return w


class FiguresTest(MetricsCase):
    def test_figures_follow_hosts_sessions_and_calls(self):
        server = self.start("--metrics-listen", "127.0.0.1:0", "--request-timeout", "1",
                            "--delay-base-ms", "10")
        self.assertTrue(server.metrics_url.endswith("/metrics"), server.metrics_url)
        m, types = sc.metrics(server.metrics_url)
        self.assertEqual(types["vantriel_signal_hosts_online"], "gauge")
        self.assertEqual(types["vantriel_signal_support_ended"], "counter")
        self.assertEqual(value(m, "vantriel_signal_build_info",
                               version=os.environ.get("VANTRIEL_SIGNAL_VERSION", "0.1.1")), 1)
        self.assertEqual(value(m, "vantriel_signal_support_ended_total", reason="bye"), 0)
        self.assertNotIn(("vantriel_signal_redis_up", ()), m)

        sent = []  # every text frame the test sends: the server counts each one received

        def send(w, message):
            sent.append(w.send(message))

        host = self.ws(server.port, "/host/" + ID)
        send(host, {"t": "hello", "key": "k1", "name": "Ana"})
        self.assertEqual(host.recv()["t"], "ready")
        m, _ = sc.metrics(server.metrics_url)
        self.assertEqual(value(m, "vantriel_signal_hosts_online"), 1)
        self.assertEqual(value(m, "vantriel_signal_hosts_registered_total"), 1)

        # A request, accepted: pending, then open.
        tech = self.ws(server.port, "/join/" + ID)
        send(tech, {"t": "join", "name": "Tec", "pass": "ABC123"})
        req = host.recv()
        self.assertEqual(req["t"], "req")
        self.assertEqual(tech.recv()["t"], "waiting")
        m, _ = sc.metrics(server.metrics_url)
        self.assertEqual(value(m, "vantriel_signal_support_requests_pending"), 1)
        self.assertEqual(value(m, "vantriel_signal_support_requests_total"), 1)
        send(host, {"t": "answer", "sid": req["sid"], "ok": True})
        self.assertEqual(tech.recv()["t"], "accepted")
        m, _ = sc.metrics(server.metrics_url)
        self.assertEqual(value(m, "vantriel_signal_support_requests_pending"), 0)
        self.assertEqual(value(m, "vantriel_signal_support_sessions_open"), 1)
        self.assertEqual(value(m, "vantriel_signal_support_sessions_accepted_total"), 1)

        # Relayed frames and their bytes, as the peers receive them.
        send(host, {"t": "signal", "sid": req["sid"], "data": {"sdp": "v=0 offer"}})
        to_tech = tech.recv_text()
        send(tech, {"t": "signal", "data": {"candidate": "c1"}})
        to_host = host.recv_text()
        m, _ = sc.metrics(server.metrics_url)
        self.assertEqual(value(m, "vantriel_signal_relayed_frames_total", socket="support"), 2)
        self.assertEqual(value(m, "vantriel_signal_relayed_bytes_total", socket="support"),
                         len(to_tech.encode()) + len(to_host.encode()))

        send(host, {"t": "bye", "sid": req["sid"]})
        self.assertEqual(tech.recv(), {"t": "ended", "reason": "bye"})

        # A wrong code, an unanswered request, an offline ID, a taken ID.
        tech2 = self.ws(server.port, "/join/" + ID)
        send(tech2, {"t": "join", "name": "Tec", "pass": "WRONG1"})
        req2 = host.recv()
        send(host, {"t": "answer", "sid": req2["sid"], "ok": False, "reason": "badkey"})
        self.assertEqual(tech2.recv()["t"], "waiting")
        self.assertEqual(tech2.recv(), {"t": "denied", "reason": "badkey"})
        tech3 = self.ws(server.port, "/join/" + ID)
        send(tech3, {"t": "join", "name": "Tec", "pass": "ABC123"})
        self.assertEqual(host.recv()["t"], "req")
        self.assertEqual(tech3.recv()["t"], "waiting")
        self.assertEqual(tech3.recv(), {"t": "denied", "reason": "timeout"})
        self.assertEqual(host.recv()["t"], "cancel")
        tech4 = self.ws(server.port, "/join/987654321")
        send(tech4, {"t": "join", "name": "Tec", "pass": "ABC123"})
        self.assertEqual(tech4.recv(), {"t": "offline"})
        thief = self.ws(server.port, "/host/" + ID)
        send(thief, {"t": "hello", "key": "another", "name": "X"})
        self.assertEqual(thief.recv(), {"t": "taken"})

        # A call of two, a state message to the other member, a code that finds no room.
        a = self.ws(server.port, "/call/ABC123")
        send(a, {"t": "join", "name": "A", "create": True})
        self.assertEqual(a.recv()["t"], "welcome")
        b = self.ws(server.port, "/call/ABC123")
        send(b, {"t": "join", "name": "B"})
        self.assertEqual(b.recv()["t"], "welcome")
        self.assertEqual(a.recv()["t"], "peer-join")
        send(b, {"t": "state", "talk": True, "muted": False})
        state = a.recv_text()
        stray = self.ws(server.port, "/call/ZZZ999")
        send(stray, {"t": "join", "name": "C"})
        self.assertEqual(stray.recv(), {"t": "notfound"})

        m, _ = sc.metrics(server.metrics_url)
        ended = {r: value(m, "vantriel_signal_support_ended_total", reason=r)
                 for r in ("denied", "badkey", "timeout", "cancel", "bye", "left", "hostgone")}
        self.assertEqual(ended, {"denied": 0, "badkey": 1, "timeout": 1, "cancel": 0, "bye": 1,
                                 "left": 0, "hostgone": 0})
        # Every request is pending, open or ended, once.
        self.assertEqual(value(m, "vantriel_signal_support_requests_total"),
                         value(m, "vantriel_signal_support_requests_pending") +
                         value(m, "vantriel_signal_support_sessions_open") + sum(ended.values()))
        self.assertEqual(value(m, "vantriel_signal_wrong_codes_total"), 1)
        self.assertEqual(value(m, "vantriel_signal_refused_total", socket="join", reason="offline"), 1)
        self.assertEqual(value(m, "vantriel_signal_refused_total", socket="host", reason="taken"), 1)
        self.assertEqual(value(m, "vantriel_signal_refused_total", socket="call", reason="notfound"), 1)
        self.assertEqual(value(m, "vantriel_signal_locks_total", scope="id"), 0)
        self.assertEqual(value(m, "vantriel_signal_call_rooms"), 1)
        self.assertEqual(value(m, "vantriel_signal_call_members"), 2)
        self.assertEqual(value(m, "vantriel_signal_call_rooms_opened_total"), 1)
        self.assertEqual(value(m, "vantriel_signal_call_joins_total"), 2)
        self.assertEqual(value(m, "vantriel_signal_relayed_frames_total", socket="call"), 1)
        self.assertEqual(value(m, "vantriel_signal_relayed_bytes_total", socket="call"),
                         len(state.encode()))
        self.assertEqual(value(m, "vantriel_signal_received_frames_total"), len(sent))
        self.assertEqual(value(m, "vantriel_signal_received_bytes_total"),
                         sum(len(t.encode()) for t in sent))
        self.assertEqual(value(m, "vantriel_signal_connections_total"), len(self.sockets))

        # Gauges fall back as sockets close.
        host.close()
        a.close()
        b.close()
        self.assertTrue(wait_for(lambda: value(sc.metrics(server.metrics_url)[0],
                                               "vantriel_signal_hosts_online") == 0))
        self.assertTrue(wait_for(lambda: value(sc.metrics(server.metrics_url)[0],
                                               "vantriel_signal_call_rooms") == 0))

    def test_limits_show_in_the_figures(self):
        server = self.start("--metrics-listen", "127.0.0.1:0", "--conns-per-addr", "3",
                            "--handshake-timeout", "1", "--max-frame", "256")
        bare = [socket.create_connection(("127.0.0.1", server.port)) for _ in range(3)]
        self.assertTrue(dropped(socket.create_connection(("127.0.0.1", server.port))))
        for s in bare:  # silent past the handshake time-out
            self.assertTrue(dropped(s))
        big = socket.create_connection(("127.0.0.1", server.port))
        big.sendall(b"GET /health HTTP/1.1\r\nHost: x\r\nX-Pad: " + b"a" * 9000 + b"\r\n\r\n")
        self.assertTrue(dropped(big))
        w = self.ws(server.port, "/host/" + ID)
        w.send({"t": "hello", "key": "k" * 300})
        self.assertIsNone(w.recv())  # the close frame (1009)
        w.close()
        # Counted once the server's side of the close is over: after the client's end.
        self.assertTrue(wait_for(lambda: value(
            sc.metrics(server.metrics_url)[0], "vantriel_signal_sockets_closed_total",
            limit="message_size") == 1))

        m, _ = sc.metrics(server.metrics_url)
        self.assertEqual(value(m, "vantriel_signal_connections_refused_total", limit="per_address"), 1)
        self.assertEqual(value(m, "vantriel_signal_connections_refused_total", limit="total"), 0)
        self.assertEqual(value(m, "vantriel_signal_handshakes_refused_total", limit="time"), 3)
        self.assertEqual(value(m, "vantriel_signal_handshakes_refused_total", limit="size"), 1)
        self.assertEqual(value(m, "vantriel_signal_connections_total"), 5)


class ListenerTest(MetricsCase):
    def test_serves_the_figures_only_and_stays_bounded(self):
        server = self.start("--metrics-listen", "127.0.0.1:0", "--handshake-timeout", "1")
        base = server.metrics_url[: -len("/metrics")]
        status, headers, body = sc.http_get(server.metrics_url)
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Type"], "text/plain; version=0.0.4; charset=utf-8")
        status, headers, body = sc.http_get(server.metrics_url, method="HEAD")
        self.assertEqual((status, body), (200, ""))
        self.assertGreater(int(headers["Content-Length"]), 1000)
        for path in ("/", "/metrics/", "/health", "/metricsx"):
            self.assertEqual(sc.http_get(base + path)[0], 404, path)
        status, headers, _ = sc.http_get(server.metrics_url, method="POST")
        self.assertEqual((status, headers["Allow"]), (405, "GET, HEAD"))
        # The public port has no figures.
        self.assertEqual(sc.http_get(f"http://127.0.0.1:{server.port}/metrics")[0], 404)

        port = int(base.rsplit(":", 1)[1])

        def connect(source):
            return socket.create_connection(("127.0.0.1", port), source_address=(source, 0))

        def asks_and_is_dropped(s):
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
            return dropped(s)

        # One address holds four places; its fifth is closed unanswered, however well it
        # asks, while another address is still served.
        idle = [connect("127.0.0.1") for _ in range(4)]
        time.sleep(0.2)
        self.assertTrue(asks_and_is_dropped(connect("127.0.0.1")))
        self.assertFalse(asks_and_is_dropped(connect("127.0.0.5")))
        # Four addresses fill all sixteen; the seventeenth goes, whoever it is.
        idle += [connect(f"127.0.0.{n}") for n in (2, 3, 4) for _ in range(4)]
        time.sleep(0.2)
        self.assertTrue(asks_and_is_dropped(connect("127.0.0.6")))
        for s in idle:  # silent ones go after the handshake time-out...
            self.assertTrue(dropped(s))
        self.assertEqual(sc.http_get(server.metrics_url)[0], 200)  # ... and room is back
        big = socket.create_connection(("127.0.0.1", port))
        big.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Pad: " + b"a" * 9000 + b"\r\n\r\n")
        self.assertTrue(dropped(big))  # without a reply
        # None of this counted against the public port.
        m, _ = sc.metrics(server.metrics_url)
        self.assertEqual(value(m, "vantriel_signal_connections_total"), 1)
        self.assertEqual(value(m, "vantriel_signal_handshakes_refused_total", limit="time"), 0)

    def test_never_on_the_public_port(self):
        port = sc.free_port()
        data = os.path.join(self.dir, "s.json")
        for listen in (f"127.0.0.1:{port}", f"0.0.0.0:{port}"):
            code, out = sc.run_to_exit([BIN, "--host", "127.0.0.1", "--port", str(port),
                                        "--data", data, "--metrics-listen", listen])
            self.assertEqual(code, 2, out)
            self.assertIn("is the public address and port", out)
        env = dict(os.environ, VTR_SIGNAL_METRICS_LISTEN=f"127.0.0.1:{port}")
        done = subprocess.run([BIN, "--port", str(port), "--data", data], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=sc.DEADLINE)
        self.assertEqual(done.returncode, 2, done.stdout)
        for bad in ("9464", "::1:9464", "[::1]", "127.0.0.1:99999", "127.0.0.1:"):
            code, out = sc.run_to_exit([BIN, "--data", data, "--metrics-listen", bad])
            self.assertEqual(code, 2, bad)
            self.assertIn("--metrics-listen needs ADDRESS:PORT", out)
        self.assertFalse(os.path.exists(data))


class ClusterTest(MetricsCase):
    def test_redis_link_and_nodes(self):
        redis = shutil.which("redis-server") or "/usr/bin/redis-server"
        if not os.path.exists(redis):
            self.skipTest("redis-server is not installed (tools/setup.sh installs it)")
        rport = sc.free_port()
        rdir = os.path.join(self.dir, "redis")
        os.mkdir(rdir)
        proc = subprocess.Popen([redis, "--port", str(rport), "--bind", "127.0.0.1", "--dir", rdir,
                                 "--save", "", "--appendonly", "no"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            def redis_up():
                with socket.socket() as probe:
                    return probe.connect_ex(("127.0.0.1", rport)) == 0

            self.assertTrue(wait_for(redis_up))
            args = ("--redis", f"127.0.0.1:{rport}", "--metrics-listen", "127.0.0.1:0")
            a = self.start(*args, name="a")
            b = self.start(*args, name="b")

            def figures(server):
                return sc.metrics(server.metrics_url)[0]

            self.assertTrue(wait_for(lambda: value(figures(a), "vantriel_signal_redis_nodes") == 2))
            m = figures(a)
            self.assertEqual(value(m, "vantriel_signal_redis_up"), 1)
            for link in ("command", "event", "publish"):
                self.assertEqual(value(m, "vantriel_signal_redis_link_up", link=link), 1)
            node = next(dict(k[1])["node"] for k in m if k[0] == "vantriel_signal_build_info")
            self.assertEqual(len(node), 12)

            # A host on one node, its technician on the other: the session lives with the
            # host, the frames cross through Redis.
            host = self.ws(a.port, "/host/" + ID)
            host.send({"t": "hello", "key": "k1", "name": "Ana"})
            self.assertEqual(host.recv()["t"], "ready")
            tech = self.ws(b.port, "/join/" + ID)
            tech.send({"t": "join", "name": "Tec", "pass": "ABC123"})
            req = host.recv()
            host.send({"t": "answer", "sid": req["sid"], "ok": True})
            self.assertEqual(tech.recv()["t"], "waiting")
            self.assertEqual(tech.recv()["t"], "accepted")
            ma, mb = figures(a), figures(b)
            self.assertEqual(value(ma, "vantriel_signal_support_sessions_open"), 1)
            self.assertEqual(value(mb, "vantriel_signal_support_sessions_open"), 0)
            self.assertEqual(value(ma, "vantriel_signal_hosts_online"), 1)
            self.assertGreater(value(mb, "vantriel_signal_node_messages_total", direction="sent"), 0)
            self.assertEqual(value(ma, "vantriel_signal_node_messages_total", direction="received"),
                             value(mb, "vantriel_signal_node_messages_total", direction="sent"))
            self.assertEqual(
                value(ma, "vantriel_signal_node_message_bytes_total", direction="received"),
                value(mb, "vantriel_signal_node_message_bytes_total", direction="sent"))

            proc.terminate()
            proc.wait(sc.DEADLINE)
            self.assertTrue(wait_for(lambda: value(figures(a), "vantriel_signal_redis_up") == 0))
            m = figures(a)
            self.assertEqual(value(m, "vantriel_signal_redis_link_up", link="command"), 0)
            self.assertEqual(value(m, "vantriel_signal_redis_nodes"), 0)
        finally:
            if proc.poll() is None:
                proc.terminate()
                proc.wait()


if __name__ == "__main__":
    unittest.main()
