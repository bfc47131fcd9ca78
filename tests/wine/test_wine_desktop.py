"""Vantriel.exe's desktop control under Wine on the layer's Xvfb (tests/wine/run.sh):
SendInput through Wine's X11 driver, EnumDisplayMonitors, CF_UNICODETEXT beside xclip.

Input that SendInput injects travels through Wine's own queues to Windows windows; X
programs never see it as key or button events. So the window that checks clicks, keys and
typed text is a Windows one (input_probe.exe), and the X server is asked only where the
pointer is (xdotool) and what the CLIPBOARD selection holds (xclip).
"""

import json
import os
import queue
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wire"))
from host import DEADLINE, WINE, Host, wait_for  # noqa: E402

DISPLAY = os.environ.get("VANTRIEL_WINE_DISPLAY", "")
PROBE = os.environ.get("VANTRIEL_INPUT_PROBE", "")
WIDTH, HEIGHT = 1920, 1080  # the layer's Xvfb screen
REFUSED = {"ok": False, "msg": "sin permiso de control"}
VK_SHIFT, VK_MENU, VK_LEFT, VK_B = 0x10, 0x12, 0x25, 0x42
SCAN_SHIFT, SCAN_B, SCAN_ALT, SCAN_LEFT, SCAN_ENTER, SCAN_F12 = 0x2A, 0x30, 0x38, 0x4B, 0x1C, 0x58


def x_run(*args, input=None):
    return subprocess.run(list(args), env=dict(os.environ, DISPLAY=DISPLAY), input=input,
                          capture_output=True, timeout=DEADLINE, check=True).stdout


def pointer():
    fields = dict(line.split("=", 1) for line in
                  x_run("xdotool", "getmouselocation", "--shell").decode().split())
    return int(fields["X"]), int(fields["Y"])


def xclip_out():
    return x_run("xclip", "-o", "-selection", "clipboard").decode("utf-8")


def xclip_in(text):
    # xclip stays behind as the selection's owner; only its start is waited for.
    subprocess.run(["xclip", "-i", "-selection", "clipboard"], input=text.encode("utf-8"),
                   env=dict(os.environ, DISPLAY=DISPLAY), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=DEADLINE, check=True)


class InputProbe:
    """input_probe.exe under Wine: a focused full-screen window that reports its input."""

    def __init__(self):
        self.proc = subprocess.Popen([WINE, PROBE], env=dict(os.environ, DISPLAY=DISPLAY),
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True, encoding="utf-8")
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        ready = self.lines.get(timeout=DEADLINE)
        if not ready.startswith("ready"):
            raise RuntimeError("input_probe did not start: " + ready)

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\r\n"))
        self.lines.put("{\"t\":\"end\"}")

    def until(self, last):
        events = []
        while True:
            event = json.loads(self.lines.get(timeout=DEADLINE))
            events.append(event)
            if last(event) or event["t"] == "end":
                return events

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()


@unittest.skipUnless(WINE and DISPLAY and PROBE,
                     "needs the Windows build under tests/wine/run.sh (Wine, its Xvfb, the probe)")
class WineDesktopTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host = Host(env={"DISPLAY": DISPLAY})

    @classmethod
    def tearDownClass(cls):
        cls.host.cleanup()

    def setUp(self):
        self.session(False)

    def tearDown(self):
        self.session(False)

    def post(self, path, body):
        reply = self.host.post(path, body)
        self.assertEqual(reply.status, 200, path)
        return reply.json()

    def session(self, active, control=True):
        body = {"activa": active, "rol": "host", "control": control, "con": "Técnico"}
        self.assertTrue(self.post("/api/sesion", body)["ok"])

    def inject(self, events, mon=0):
        reply = self.post("/api/input", {"mon": mon, "ev": events})
        self.assertTrue(reply["ok"], reply)
        return reply["n"]

    def test_monitors_are_the_x_screen(self):
        monitors = self.host.get("/api/monitores").json()
        self.assertEqual([(m["i"], m["x"], m["y"], m["w"], m["h"], m["primary"]) for m in monitors],
                         [(0, 0, 0, WIDTH, HEIGHT, True)])
        # The device name without its "\\.\" prefix.
        self.assertRegex(monitors[0]["name"], r"^DISPLAY\d+$")

    def test_pointer_lands_where_send_input_puts_it(self):
        before = pointer()
        self.assertEqual(self.post("/api/input", {"mon": 0, "ev": [{"k": "m", "x": 0.1, "y": 0.1}]}),
                         REFUSED)
        self.assertEqual(pointer(), before)
        self.session(True)
        for fx, fy, px, py in ((0, 0, 0, 0), (1, 1, WIDTH - 1, HEIGHT - 1), (0.5, 0.5, 960, 540),
                               (0.25, 0.75, 480, 809), (2.5, -1, WIDTH - 1, 0)):
            self.assertEqual(self.inject([{"k": "m", "x": fx, "y": fy}]), 1)
            # Wine warps the X pointer after the injected move has gone through its queue.
            wait_for(lambda: pointer() == (px, py), "the pointer at %r" % ((px, py),))

    def test_clicks_keys_and_text_reach_a_window(self):
        self.session(True)
        probe = InputProbe()
        try:
            text = "Añadí 5 € al café 😀\r\nÑu\U0010FFFF"
            events = [{"k": "d", "b": 0, "x": 0.5, "y": 0.5}, {"k": "u", "b": 0, "x": 0.5, "y": 0.5},
                      {"k": "d", "b": 2}, {"k": "u", "b": 2},
                      {"k": "w", "dy": -240},
                      {"k": "kd", "c": "ShiftLeft"}, {"k": "kd", "c": "KeyB"},
                      {"k": "ku", "c": "KeyB"}, {"k": "ku", "c": "ShiftLeft"},
                      {"k": "kd", "c": "AltRight"}, {"k": "ku", "c": "AltRight"},
                      {"k": "kd", "c": "ArrowLeft"}, {"k": "ku", "c": "ArrowLeft"},
                      {"k": "kd", "c": "NumpadEnter"}, {"k": "ku", "c": "NumpadEnter"},
                      {"k": "t", "s": text},
                      {"k": "kd", "c": "F12"}, {"k": "ku", "c": "F12"}]
            self.assertEqual(self.inject(events), len(events))
            got = probe.until(lambda e: e["t"] == "ku" and e["scan"] == SCAN_F12)
        finally:
            probe.stop()
        self.assertEqual([(e["t"], e["b"], e["x"], e["y"]) for e in got if e["t"] in ("bp", "br")],
                         [("bp", 1, 960, 540), ("br", 1, 960, 540),
                          ("bp", 3, 960, 540), ("br", 3, 960, 540)])
        self.assertEqual(sum(e["d"] for e in got if e["t"] == "wheel"), -240)
        # Keys sent by scan code arrive with that scan code, the extended ones flagged so.
        keys = [e for e in got if e["t"] in ("kd", "ku")
                and e["scan"] in (SCAN_SHIFT, SCAN_B, SCAN_ALT, SCAN_LEFT)]
        self.assertEqual([(e["t"], e["scan"], e["ext"]) for e in keys],
                         [("kd", SCAN_SHIFT, 0), ("kd", SCAN_B, 0), ("ku", SCAN_B, 0),
                          ("ku", SCAN_SHIFT, 0), ("kd", SCAN_ALT, 1), ("ku", SCAN_ALT, 1),
                          ("kd", SCAN_LEFT, 1), ("ku", SCAN_LEFT, 1)])
        # Windows gives them the layout's virtual keys; Wine 8 leaves that out (vk 0), so
        # there they type nothing.
        mapped = any(e["vk"] for e in keys)
        self.assertEqual([e["vk"] for e in keys],
                         [VK_SHIFT, VK_B, VK_B, VK_SHIFT, VK_MENU, VK_MENU, VK_LEFT, VK_LEFT]
                         if mapped else [0] * 8)
        enters = [(e["t"], e["ext"]) for e in got
                  if e["t"] in ("kd", "ku") and e["scan"] == SCAN_ENTER]
        # The keypad's Enter, then the text's line break as the main Enter.
        self.assertEqual(enters, [("kd", 1), ("ku", 1), ("kd", 0), ("ku", 0)])
        units = [e["u"] for e in got if e["t"] == "ch"]
        typed = b"".join(u.to_bytes(2, "little") for u in units).decode("utf-16-le")
        if mapped:  # Shift+B, the keypad's Enter, then the text, its line break one Enter
            self.assertEqual(typed, "B\r" + text.replace("\r\n", "\r"))
        else:
            self.assertEqual(typed, text.replace("\r\n", ""))

    def test_clipboard_round_trips_with_xclip(self):
        self.assertEqual(self.post("/api/portapapeles/escribir_local", {"texto": "hola 😀"}),
                         {"ok": True})
        self.assertEqual(xclip_out(), "hola 😀")

        self.session(True)
        self.assertEqual(self.post("/api/portapapeles/poner", {"texto": "ñ€😀\U0010FFFF"}),
                         {"ok": True})
        self.assertEqual(xclip_out(), "ñ€😀\U0010FFFF")
        # Wine hands X programs Windows line ends as "\n".
        self.assertEqual(self.post("/api/portapapeles/poner", {"texto": "uno\r\ndos"}),
                         {"ok": True})
        self.assertEqual(xclip_out(), "uno\ndos")

        text = "¿qué? €\U0001F600\U0010FFFF"
        xclip_in(text)
        # Wine learns of the selection's new owner a moment after xclip takes it.
        wait_for(lambda: self.post("/api/portapapeles/leer", {}) == {"ok": True, "texto": text},
                 "the host to read what xclip holds")
        big = "añ€😀" * 250_000
        xclip_in(big)
        wait_for(lambda: self.post("/api/portapapeles/leer", {})["texto"] == big,
                 "the host to read a 1,000,000-character text")
        # A body cut at the 1 MiB limit no longer holds its text: the clipboard is kept.
        for path in ("/api/portapapeles/poner", "/api/portapapeles/escribir_local"):
            self.assertEqual(self.post(path, {"texto": "x" * 1_100_000}), {"ok": False})
            self.assertEqual(xclip_out(), big)


if __name__ == "__main__":
    unittest.main()
