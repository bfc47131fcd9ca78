"""The host launcher against a stand-in executable that plays the host's start: the suites
trust it to start the host they asked for, on the port the host chose, and to say at
once why a host did not start."""

import json
import os
import shutil
import tempfile
import unittest

from host_launcher import HostProcess

# Ends at once with a reason when FAKE says so; else opens a link and an app window
# through whatever PATH finds, keeps its environment, and records itself as the host
# does once the first free port from VTR_PORT on (here the fourth) is bound.
FAKE_HOST = r"""#!/bin/sh
if [ "$FAKE" = ends ]; then echo "no free port from $VTR_PORT on" >&2; exit 3; fi
xdg-open mailto:ana@example.com
chromium --no-first-run --app=http://127.0.0.1:1/
mkdir -p data
env > data/env.txt
printf '{"port":%d,"pid":%d,"version":"0.1.1"}' $((VTR_PORT + 3)) $$ > data/record.tmp
mv data/record.tmp data/instancia.json
exec sleep 600
"""


class HostProcessTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="vantriel-harness-")
        cls.fake = os.path.join(cls.tmp, "vantriel")
        with open(cls.fake, "w") as f:
            f.write(FAKE_HOST)
        os.chmod(cls.fake, 0o755)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_a_host_that_ends_at_start_is_reported_with_what_it_said(self):
        for output in ("pipe", "file"):
            with self.subTest(output=output):
                folder = tempfile.mkdtemp(dir=self.tmp)
                # A time-out this long would outlast the test's own: only the host's end
                # can end this wait.
                with self.assertRaises(AssertionError) as caught:
                    HostProcess(exe=self.fake, folder=folder, env={"FAKE": "ends"},
                                output=output, timeout=3600)
                self.assertIn("ended at start (3)", str(caught.exception))
                self.assertIn("no free port from", str(caught.exception))

    def test_the_host_is_the_one_this_start_recorded_on_the_port_it_chose(self):
        folder = tempfile.mkdtemp(dir=self.tmp)
        os.makedirs(os.path.join(folder, "data"))
        # The record of an earlier host of this folder, on another port.
        with open(os.path.join(folder, "data", "instancia.json"), "w") as f:
            f.write('{"port":1,"pid":1,"version":"0.1.1"}')
        outer = {"DISPLAY": ":99", "VANTRIEL_GONE": "1"}
        saved = {k: os.environ.get(k) for k in outer}
        os.environ.update(outer)
        try:
            h = HostProcess(exe=self.fake, folder=folder,
                            env={"VANTRIEL_GONE": None, "VANTRIEL_ADDED": "sí"})
        finally:
            for k, v in saved.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v
        try:
            self.assertEqual((h.pid, h.port), (h.proc.pid, int(h.port_hint) + 3))
            with open(h.path("env.txt"), encoding="utf-8") as f:
                env = dict(line.split("=", 1) for line in f.read().splitlines() if "=" in line)
            self.assertNotIn("DISPLAY", env)
            self.assertNotIn("VANTRIEL_GONE", env)
            self.assertEqual(env["VANTRIEL_ADDED"], "sí")
            self.assertEqual(env["VTR_PORT"], str(h.port_hint))
            self.assertTrue(env["ASAN_OPTIONS"].endswith(":detect_leaks=0"), env["ASAN_OPTIONS"])
            # The stand-ins opened nothing and kept both, in order.
            self.assertEqual(h.opened(), ["mailto:ana@example.com", "http://127.0.0.1:1/"])
            self.assertEqual(json.loads(h.read_record())["pid"], h.pid)
        finally:
            h.cleanup()
        self.assertIsNotNone(h.proc.returncode)
        self.assertFalse(os.path.exists(folder))


if __name__ == "__main__":
    unittest.main()
