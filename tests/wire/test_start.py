"""Start-up and single instance: version switch, ports, instance record, second start."""

import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import unittest

from host import EXE, WINE, Host, command, free_port_block, wait_for


def hold_ports(first, count):
    held = []
    for p in range(first, first + count):
        s = socket.socket()
        s.bind(("127.0.0.1", p))
        s.listen(1)
        held.append(s)
    return held


class StartTest(unittest.TestCase):
    def setUp(self):
        self.hosts = []

    def tearDown(self):
        for h in self.hosts:
            h.cleanup()

    def start(self, **kw):
        h = Host(**kw)
        self.hosts.append(h)
        return h

    def test_version_switch_prints_and_touches_nothing(self):
        folder = tempfile.mkdtemp(prefix="vantriel-wire-")
        try:
            exe = shutil.copy2(EXE, folder)
            out = subprocess.run(command(exe, "--startup", "--version"), capture_output=True,
                                 timeout=60)
            # Windows text output ends its lines with CR LF.
            self.assertEqual((out.returncode, out.stdout),
                             (0, b"Vantriel v0.1.1" + (b"\r\n" if WINE else b"\n")))
            self.assertEqual(os.listdir(folder), [os.path.basename(exe)])
        finally:
            shutil.rmtree(folder)

    def test_start_line_record_and_token(self):
        h = self.start()
        with open(h.path("instancia.json"), encoding="utf-8") as f:
            text = f.read()
        self.assertEqual(text, '{"port":%d,"pid":%d,"version":"0.1.1"}' % (h.port, h.pid))
        ident = json.load(open(h.path("identidad.json"), encoding="utf-8"))
        pretty = " ".join(ident["id"][i:i + 3] for i in (0, 3, 6))
        # Wine runs every program as an administrator.
        line = wait_for(lambda: re.search(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (Vantriel.*)$",
                                          h.log(), re.M), "the start line")
        start, control = line.group(1).rsplit(" · control ", 1)
        self.assertEqual(start,
                         "Vantriel v0.1.1 en marcha · http://127.0.0.1:%d/ · ID %s · servidor "
                         "https://senal.vantriel.app · admin %s"
                         % (h.port, pretty, "true" if WINE or os.geteuid() == 0 else "false"))
        # How remote control and the clipboard reach this desktop, or why not (these hosts
        # have no display).
        control, clipboard = control.split(" · portapapeles ")
        self.assertRegex(control, r"^sendinput$" if WINE else r"^(xtest|no: .+)$")
        self.assertRegex(clipboard, r"^windows$" if WINE else r"^(x11|no: .+)$")
        self.assertTrue(os.path.exists(h.path("vantriel.ini")))
        other = self.start()
        self.assertRegex(h.token, "^[0-9a-f]{32}$")
        self.assertNotEqual(h.token, other.token)

    def test_port_falls_back_past_taken_ports(self):
        first = free_port_block()
        held = hold_ports(first, 5)
        try:
            h = self.start(port=first)
            self.assertEqual(h.port, first + 5)
            self.assertIn("http://127.0.0.1:%d/" % (first + 5), h.log())
        finally:
            for s in held:
                s.close()

    def test_port_values(self):
        # Unusable values fall back to 8800; a free 8800 cannot be promised here, so the
        # test only checks that the host picked a port of the 8800 range.
        for value in ("", "abc", "65536", " 8801"):
            h = self.start(port=value)
            self.assertTrue(8800 <= h.port < 8820, (value, h.port))
            h.cleanup()
            self.hosts.remove(h)
        first = free_port_block()
        h = self.start(port="+%d" % first)
        self.assertEqual(h.port, first)

    def test_no_free_port_ends_without_a_record(self):
        for port, held_count in (("65516", 0), (None, 20)):
            first = free_port_block() if port is None else None
            held = hold_ports(first, held_count) if first else []
            try:
                h = self.start(port=port if port else str(first), wait=False)
                code, told = h.end(box=True)
                self.assertEqual(code, 0)
                self.assertIn("puertos ocupados".encode(), told)
                self.assertFalse(os.path.exists(h.path("instancia.json")))
                self.assertNotIn("en marcha", h.log())
            finally:
                for s in held:
                    s.close()

    def test_second_start_shows_the_first_and_ends(self):
        first = self.start()
        second = self.start(folder=first.folder, wait=False)
        self.assertEqual(second.proc.wait(timeout=30), 0)
        wait_for(lambda: first.opened(), "the first host to open its window")
        self.assertEqual(first.opened(), ["http://127.0.0.1:%d/" % first.port])
        with open(first.path("instancia.json"), encoding="utf-8") as f:
            self.assertEqual(json.load(f)["pid"], first.pid)
        self.assertEqual(first.get("/api/version").status, 200)

    def test_second_start_of_another_version_says_so_unless_started_at_log_on(self):
        first = self.start()
        with open(first.path("instancia.json"), "w") as f:
            f.write('{"port":%d,"pid":%d,"version":"0.0.9"}' % (first.port, first.pid))
        for args, warned in ((("--no-elevate",), True), (("--no-elevate", "--startup"), False)):
            second = Host(args=args, folder=first.folder, wait=False)
            code, told = second.end(box=warned)
            self.assertEqual(code, 0)
            text = ("Ya hay un Vantriel abierto (v0.0.9) y esta es la v0.1.1.\n\nCiérralo desde su "
                    "ícono en la bandeja (clic derecho → Salir) y vuelve a abrir Vantriel.")
            self.assertEqual(text.encode() in told, warned, told)

    def test_stale_records_are_replaced(self):
        folder = tempfile.mkdtemp(prefix="vantriel-wire-")
        os.makedirs(os.path.join(folder, "data"))
        # A port where something else answers, without the word vantriel.
        squatter = socket.socket()
        squatter.bind(("127.0.0.1", 0))
        squatter.listen(5)
        squat_port = squatter.getsockname()[1]
        for record in ('{"port":%d,"pid":999999,"version":"0.1.1"}' % squat_port,
                       '{"port":"x"}', "not json", '{"port":1,"pid":1,"version":"0.0.9"}'):
            with open(os.path.join(folder, "data", "instancia.json"), "w") as f:
                f.write(record)
            h = self.start(folder=folder)
            self.assertEqual(json.load(open(h.path("instancia.json")))["pid"], h.pid)
            h.stop()
            self.hosts.remove(h)
        squatter.close()
        shutil.rmtree(folder)

    def test_exit_removes_only_its_own_record(self):
        h = self.start()
        self.assertEqual(h.post("/api/salir").json(), {"ok": True})
        self.assertEqual(h.proc.wait(timeout=30), 0)
        self.assertFalse(os.path.exists(h.path("instancia.json")))
        self.assertIn("Saliendo", h.log())

        h2 = self.start()
        with open(h2.path("instancia.json"), "w") as f:
            f.write('{"port":1,"pid":%d,"version":"0.1.1"}' % (h2.pid + 1))
        h2.post("/api/salir")
        self.assertEqual(h2.proc.wait(timeout=30), 0)
        self.assertTrue(os.path.exists(h2.path("instancia.json")))


if __name__ == "__main__":
    unittest.main()
