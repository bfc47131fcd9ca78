"""The real host on a headless sway: the wlroots sink's virtual pointer and keyboard
reaching a Chromium page, full screen on the one output, through the host's routes; and the
clipboard through wlr-data-control, against another Wayland client's (wl-copy, wl-paste).

sway refuses to run as root, so the lab runs as the system user vantriel-lab (made when
missing) with an XDG_RUNTIME_DIR of its own; the host runs in that session as that user,
with WAYLAND_DISPLAY and no DISPLAY. The page reports every mouse, wheel, key and input
event to this test's HTTP server on loopback.
"""

import http.server
import json
import os
import pwd
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "desktop"))
from desktop_env import DEADLINE, EXE, Host, wait_for  # noqa: E402

LAB_USER = "vantriel-lab"
WIDTH, HEIGHT = 1280, 800
CHROMIUM = "/usr/bin/chromium"
SWAY_CONFIG = """output HEADLESS-1 resolution %dx%d position 0 0 scale 1
xwayland disable
default_border none
default_floating_border none
focus_follows_mouse no
for_window [app_id=".*"] fullscreen enable
""" % (WIDTH, HEIGHT)
BROWSER_ARGS = ["--ozone-platform=wayland", "--disable-gpu", "--no-sandbox", "--kiosk",
                "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--password-store=basic"]

# The page: a text area in the lower right quarter, every event reported in order.
PAGE = """<!doctype html><meta charset="utf-8"><title>lab</title>
<style>html,body{margin:0;height:100%;overflow:hidden}
#t{position:fixed;left:640px;top:400px;width:400px;height:200px}</style>
<textarea id="t"></textarea>
<script>
let n = 0, chain = Promise.resolve();
function report(e) {
  const body = JSON.stringify(Object.assign({n: n++}, e));
  chain = chain.then(() => fetch("/ev", {method: "POST", body}).catch(() => {}));
}
for (const t of ["mousedown", "mouseup"])
  addEventListener(t, e => report({t, x: e.clientX, y: e.clientY, b: e.button}), true);
addEventListener("wheel", e => report({t: "wheel", dx: e.deltaX, dy: e.deltaY}),
                 {capture: true, passive: true});
for (const t of ["keydown", "keyup"])
  addEventListener(t, e => report({t, key: e.key, code: e.code, ctrl: e.ctrlKey}), true);
document.getElementById("t").addEventListener("input",
                                              e => report({t: "input", value: e.target.value}));
addEventListener("contextmenu", e => e.preventDefault());
const size = () => report({t: "size", w: innerWidth, h: innerHeight, sx: screenX, sy: screenY,
                           dpr: devicePixelRatio});
addEventListener("resize", size);
size();
</script>"""


class Lab:
    """The page server, sway and Chromium, as the lab user."""

    def __init__(self):
        if os.geteuid() == 0:
            try:
                pwd.getpwnam(LAB_USER)
            except KeyError:
                subprocess.run(["useradd", "--system", "--no-create-home", "--home-dir",
                                "/nonexistent", "--shell", "/usr/sbin/nologin", LAB_USER],
                               check=True)
            entry = pwd.getpwnam(LAB_USER)
            self.user = (entry.pw_uid, entry.pw_gid)
        else:
            self.user = None
        self.sway = self.browser = None
        self.events = queue.Queue()
        self.runtime = tempfile.mkdtemp(prefix="vantriel-lab-")
        os.chmod(self.runtime, 0o700)
        if self.user is not None:
            os.chown(self.runtime, *self.user)
        with open(os.path.join(self.runtime, "sway.conf"), "w", encoding="utf-8") as f:
            f.write(SWAY_CONFIG)
        events = self.events

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                body = PAGE.encode("utf-8")
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_POST(self):
                events.put(json.loads(self.rfile.read(int(self.headers["Content-Length"]))))
                self.send_response(204)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def env(self, **extra):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.runtime,
               "XDG_RUNTIME_DIR": self.runtime, "LANG": "C.UTF-8"}
        env.update(extra)
        return env

    def spawn(self, args, env, log):
        as_user = {}
        if self.user is not None:
            as_user = {"user": self.user[0], "group": self.user[1], "extra_groups": []}
        out = open(os.path.join(self.runtime, log), "ab")
        try:
            return subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                    start_new_session=True, **as_user)
        finally:
            out.close()

    def start_desktop(self):
        """sway, then Chromium full screen on its output showing the page."""
        before = set(os.listdir(self.runtime))
        self.sway = self.spawn(["sway", "--config", os.path.join(self.runtime, "sway.conf")],
                               self.env(WLR_BACKENDS="headless", WLR_LIBINPUT_NO_DEVICES="1",
                                        WLR_RENDERER="pixman"), "sway.log")
        sockets = []

        def socket_up():
            if self.sway.poll() is not None:
                raise AssertionError("sway stopped: " + self.log("sway.log"))
            sockets[:] = sorted(n for n in set(os.listdir(self.runtime)) - before
                                if n.startswith("wayland-") and not n.endswith(".lock"))
            return bool(sockets)

        wait_for(socket_up, "sway's socket")
        self.display = sockets[0]
        self.browser = self.spawn(
            [CHROMIUM] + BROWSER_ARGS +
            ["--user-data-dir=" + os.path.join(self.runtime, "chromium"),
             "http://127.0.0.1:%d/" % self.server.server_port],
            self.env(WAYLAND_DISPLAY=self.display, XDG_SESSION_TYPE="wayland"), "chromium.log")
        self.until(lambda e: e["t"] == "size" and (e["w"], e["h"]) == (WIDTH, HEIGHT),
                   timeout=60)

    def stop_desktop(self):
        for proc in (self.browser, self.sway):
            if proc is not None and proc.poll() is None:
                os.killpg(proc.pid, signal.SIGTERM)
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait(timeout=10)
        self.browser = self.sway = None
        self.drain()

    def swaymsg(self, *args):
        sock = [n for n in os.listdir(self.runtime) if n.startswith("sway-ipc.")]
        got = subprocess.run(["swaymsg", "-s", os.path.join(self.runtime, sock[0])] + list(args),
                             capture_output=True, text=True, timeout=DEADLINE)
        if got.returncode != 0:
            raise AssertionError("swaymsg %s: %s" % (args, got.stderr or got.stdout))
        return got.stdout

    def windows(self, title_start):
        """sway's windows whose title starts with `title_start`: their name, focus and
        urgency."""
        found = []

        def walk(node):
            if node.get("app_id") is not None and (node.get("name") or "").startswith(title_start):
                found.append({"name": node["name"], "focused": node.get("focused", False),
                              "urgent": node.get("urgent", False)})
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                walk(child)

        walk(json.loads(self.swaymsg("-t", "get_tree")))
        return found

    def window(self, title_start):
        found = self.windows(title_start)
        return found[0] if found else None

    def log(self, name):
        try:
            with open(os.path.join(self.runtime, name), encoding="utf-8", errors="replace") as f:
                return f.read()[-2000:]
        except OSError:
            return ""

    def drain(self):
        while True:
            try:
                self.events.get_nowait()
            except queue.Empty:
                return

    def until(self, last, timeout=DEADLINE):
        """The page's events up to and including the first one for which last(event) holds."""
        got = []
        end = time.monotonic() + timeout
        while True:
            try:
                event = self.events.get(timeout=max(0.01, end - time.monotonic()))
            except queue.Empty:
                raise AssertionError("the page did not report it; it reported %r" % got) from None
            got.append(event)
            if last(event):
                return got

    def cleanup(self):
        self.stop_desktop()
        self.server.shutdown()
        self.server.server_close()
        shutil.rmtree(self.runtime, ignore_errors=True)


class SwayLabTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not shutil.which("sway"):
            raise unittest.SkipTest("sway is not installed (tools/setup.sh installs it)")
        if not os.access(CHROMIUM, os.X_OK):
            raise unittest.SkipTest("no Chromium at " + CHROMIUM)
        if not EXE:
            raise unittest.SkipTest("VANTRIEL_EXE names no host (run it through ctest)")
        cls.started = time.monotonic()
        cls.lab = Lab()
        cls.addClassCleanup(cls.lab.cleanup)
        cls.lab.start_desktop()
        print("desktop up in %.1f s" % (time.monotonic() - cls.started), file=sys.stderr)
        cls.start_host()

    @classmethod
    def start_host(cls):
        # The seat has no keyboard to take the layout from: the session names it.
        cls.host = Host(env={"WAYLAND_DISPLAY": cls.lab.display, "XDG_SESSION_TYPE": "wayland",
                             "XDG_RUNTIME_DIR": cls.lab.runtime, "HOME": cls.lab.runtime,
                             "XKB_DEFAULT_LAYOUT": "es"},
                        user=cls.lab.user)
        cls.addClassCleanup(cls.host.cleanup)

    @classmethod
    def tearDownClass(cls):
        print("lab took %.1f s" % (time.monotonic() - cls.started), file=sys.stderr)

    def setUp(self):
        self.session(True)
        self.lab.drain()

    def tearDown(self):
        self.session(False)

    def post(self, path, body):
        reply = self.host.post(path, body)
        self.assertEqual(reply.status, 200, path)
        return reply.json()

    def session(self, active):
        body = {"activa": active, "rol": "host", "control": True, "con": "Técnico"}
        self.assertTrue(self.post("/api/sesion", body)["ok"])

    def inject(self, events, mon=0):
        started = time.monotonic()
        reply = self.post("/api/input", {"mon": mon, "ev": events})
        self.assertEqual(reply, {"ok": True, "n": len(events)})
        return time.monotonic() - started

    def click(self, fx, fy, button=0):
        self.inject([{"k": "d", "b": button, "x": fx, "y": fy},
                     {"k": "u", "b": button, "x": fx, "y": fy}])
        return [e for e in self.lab.until(lambda e: e["t"] == "mouseup")
                if e["t"] in ("mousedown", "mouseup")]

    def wl_clipboard(self, args, text=None, raw=False):
        """Runs wl-copy or wl-paste in the lab's session; wl-copy stays as the selection's
        owner until another program takes it, so it is returned running."""
        env = self.lab.env(WAYLAND_DISPLAY=self.lab.display)
        as_user = {}
        if self.lab.user is not None:
            as_user = {"user": self.lab.user[0], "group": self.lab.user[1], "extra_groups": []}
        if args[0] == "wl-copy":
            proc = subprocess.Popen(args + ["--foreground"], env=env, stdin=subprocess.PIPE,
                                    stdout=subprocess.DEVNULL, start_new_session=True, **as_user)
            self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
            proc.stdin.write(text.encode("utf-8"))
            proc.stdin.close()
            return proc
        got = subprocess.run(args, env=env, capture_output=True, timeout=DEADLINE, **as_user)
        self.assertEqual(got.returncode, 0, got.stderr)
        return got.stdout if raw else got.stdout.decode("utf-8")

    def host_reads(self, expected):
        """The host's read once the selection holds `expected` (wl-copy sets it on its own
        time); returns the seconds of the last read."""
        end = time.monotonic() + DEADLINE
        while True:
            started = time.monotonic()
            reply = self.post("/api/portapapeles/leer", {})
            took = time.monotonic() - started
            if reply == {"ok": True, "texto": expected} or time.monotonic() > end:
                self.assertEqual(reply, {"ok": True, "texto": expected})
                return took
            time.sleep(0.05)

    def test_clipboard_goes_through_data_control_both_ways(self):
        status = self.host.get("/api/estado").json()
        self.assertEqual((status["portapapeles_posible"], status["portapapeles_via"],
                          status["portapapeles_motivo"]), (True, "wlroots", ""))
        with open(os.path.join(self.host.folder, "data", "vantriel.log"), encoding="utf-8") as f:
            self.assertIn(" · portapapeles wlroots", f.read())
        paste = ["wl-paste", "--no-newline", "--type", "text/plain;charset=utf-8"]
        copy = ["wl-copy", "--type", "text/plain;charset=utf-8"]
        # The host's text is another client's paste, in each type the host offers (a
        # Latin-1 STRING keeps what Latin-1 has); a text set by another client is the host's.
        text = "Añadí 5 € al café, ñu 😀\r\nsegunda línea\tfin"
        started = time.monotonic()
        self.assertEqual(self.post("/api/portapapeles/poner", {"texto": text}), {"ok": True})
        self.assertEqual(self.wl_clipboard(paste), text)
        round_trip = time.monotonic() - started
        self.assertEqual(self.wl_clipboard(["wl-paste", "--list-types"]).split(),
                         ["text/plain;charset=utf-8", "text/plain", "UTF8_STRING", "STRING"])
        self.assertEqual(self.wl_clipboard(["wl-paste", "-n", "-t", "UTF8_STRING"]), text)
        self.assertEqual(self.wl_clipboard(["wl-paste", "-n", "-t", "STRING"], raw=True),
                         "Añadí 5 ? al café, ñu ?\r\nsegunda línea\tfin".encode("latin-1"))
        other = "«Otro programa» dice: ¡hola! ñandú 🎉"
        self.wl_clipboard(copy, other)
        print("clipboard round trips: host to wl-paste %.0f ms, wl-copy to host read %.0f ms"
              % (round_trip * 1000, self.host_reads(other) * 1000), file=sys.stderr)

        # A large text both ways: 1 MiB of UTF-8 from another client; from the host, as much
        # as a request body holds (1 MiB with its JSON). Both are many times a pipe's buffer.
        def text_of(size):
            unit = "ñandú 😀 € línea "
            return (unit * (size // len(unit) + 1)).encode("utf-8")[:size].decode("utf-8", "ignore")

        big = text_of(2 ** 20 - 64)
        started = time.monotonic()
        self.assertEqual(self.post("/api/portapapeles/poner", {"texto": big}), {"ok": True})
        self.assertEqual(self.wl_clipboard(paste), big)
        outward = time.monotonic() - started
        big = text_of(2 ** 20)[::-1]
        self.wl_clipboard(copy, big)
        inward = self.host_reads(big)
        print("1 MiB through the clipboard: host to wl-paste %.0f ms, wl-copy to host %.0f ms"
              % (outward * 1000, inward * 1000), file=sys.stderr)

        # The host's selection taken over: the other program's text is everyone's, the
        # host's included; the host's next write takes it back and the other lets go.
        self.assertEqual(self.post("/api/portapapeles/poner", {"texto": "del host"}), {"ok": True})
        taker = self.wl_clipboard(copy, "tomado")
        self.host_reads("tomado")
        self.assertEqual(self.wl_clipboard(paste), "tomado")
        self.assertEqual(self.post("/api/portapapeles/poner", {"texto": "de vuelta"}), {"ok": True})
        self.assertEqual(taker.wait(timeout=DEADLINE), 0)
        self.assertEqual(self.wl_clipboard(paste), "de vuelta")
        self.assertEqual(self.post("/api/portapapeles/leer", {}), {"ok": True, "texto": "de vuelta"})

    def test_control_is_wlroots_over_the_outputs_layout(self):
        with open(os.path.join(self.host.folder, "data", "vantriel.log"), encoding="utf-8") as f:
            self.assertIn(" · control wlroots", f.read())
        self.assertTrue(self.host.get("/api/estado").json()["control_posible"])
        # The monitor list is the output layout the virtual pointer's positions span.
        monitors = self.host.get("/api/monitores").json()
        self.assertEqual([(m["x"], m["y"], m["w"], m["h"], m["primary"]) for m in monitors],
                         [(0, 0, WIDTH, HEIGHT, True)])

    def test_clicks_land_on_the_pixel_and_the_wheel_scrolls(self):
        # (x, y, button) -> page pixel; edges and the middle of the one output.
        took = []
        for fx, fy, button, px, py in [(0, 0, 0, 0, 0), (1, 1, 0, WIDTH - 1, HEIGHT - 1),
                                       (0.25, 0.75, 2, 320, 599), (0.5, 0.5, 1, 640, 400),
                                       (0.9, 0.1, 0, 1151, 80)]:
            took.append(time.monotonic())
            got = self.click(fx, fy, button)
            took[-1] = time.monotonic() - took[-1]
            self.assertEqual([(e["t"], e["x"], e["y"], e["b"]) for e in got],
                             [("mousedown", px, py, button), ("mouseup", px, py, button)], (fx, fy))
        print("a click, from the request to the page's report: %s ms"
              % " ".join("%.0f" % (t * 1000) for t in took), file=sys.stderr)
        # Windows counts the wheel up, the page down; two notches, then one back, then right.
        for wheel, sign in (({"dy": -240}, (0, 1)), ({"dy": 120}, (0, -1)), ({"dx": 120}, (1, 0))):
            self.inject([{"k": "w", **wheel}])
            got = self.lab.until(lambda e: e["t"] == "wheel")[-1]
            self.assertEqual((cmp(got["dx"]), cmp(got["dy"])), sign, wheel)

    def test_keys_shortcuts_and_text_reach_the_page(self):
        def keys(*codes):
            return [{"k": k, "c": c} for c in codes for k in ("kd", "ku")]

        self.click(0.75, 0.75)  # into the text area
        # The first key of this connection's keyboard arrives too. More characters of no
        # key than the keyboard has keys of its own: some are bound anew within the text.
        text = "Añadí 5 € al café, ñu: ÀÁÂÃÄÅÆÇÈÉÊËÌÍÎÏÐ"
        elapsed = self.inject([{"k": "t", "s": text}])
        self.assertEqual(self.lab.until(lambda e: e.get("value") == text)[-1]["value"], text)
        print("a %d-character text took %.0f ms" % (len(text), elapsed * 1000), file=sys.stderr)
        # A character beyond the BMP reaches the page as its key; Chromium inserts only
        # the low 16 bits of a key's character, which no keymap can change.
        self.inject([{"k": "t", "s": "😀"}])
        self.assertEqual(self.lab.until(lambda e: e["t"] == "keydown")[-1]["key"], "😀")
        self.inject(keys("Backspace"))
        # Enter, Shift, the key right of L (ñ in the Spanish layout), then Ctrl+A
        # (everything selected) and a letter that replaces it all.
        self.inject(keys("Enter") + [{"k": "kd", "c": "ShiftLeft"}] + keys("KeyB") +
                    [{"k": "ku", "c": "ShiftLeft"}] + keys("Semicolon"))
        self.assertEqual(self.lab.until(lambda e: e.get("value") == text + "\nBñ")[-1]["value"],
                         text + "\nBñ")
        self.inject([{"k": "kd", "c": "ControlLeft"}] + keys("KeyA") +
                    [{"k": "ku", "c": "ControlLeft"}] + keys("KeyX") + [{"k": "t", "s": "ñ€"}])
        got = self.lab.until(lambda e: e.get("value") == "xñ€")
        shortcut = [e for e in got if e["t"] == "keydown" and e["code"] == "KeyA"]
        self.assertEqual([(e["key"], e["ctrl"]) for e in shortcut], [("a", True)])
        # Once Ctrl is up, the next letter is plain.
        self.assertIn(("x", False), [(e["key"], e["ctrl"]) for e in got if e["t"] == "keydown"])

        # A second host takes the layout of the seat's keyboard (now the first host's Spanish
        # one) before the names its environment gives.
        other = Host(env={"WAYLAND_DISPLAY": self.lab.display, "XDG_SESSION_TYPE": "wayland",
                          "XDG_RUNTIME_DIR": self.lab.runtime, "HOME": self.lab.runtime,
                          "XKB_DEFAULT_LAYOUT": "us"}, user=self.lab.user)
        try:
            body = {"activa": True, "rol": "host", "control": True, "con": "Técnico"}
            self.assertTrue(other.post("/api/sesion", body).json()["ok"])
            reply = other.post("/api/input", {"mon": 0, "ev": keys("Semicolon")}).json()
            self.assertEqual(reply, {"ok": True, "n": 2})
            self.assertEqual(self.lab.until(lambda e: e["t"] == "input")[-1]["value"], "xñ€ñ")
        finally:
            other.cleanup()

    def test_a_second_start_brings_the_app_window_forward(self):
        """No program may raise another's window on Wayland: the host asks its own browser,
        over the browser's DevTools pipe, to ask sway (xdg-activation)."""
        # The host starts the browser as a person's program would, with its sandbox, which
        # needs a user namespace (a chroot, for one, gives none).
        as_user = {}
        if self.lab.user is not None:
            as_user = {"user": self.lab.user[0], "group": self.lab.user[1], "extra_groups": []}
        userns = subprocess.run(["unshare", "--user", "true"], capture_output=True, text=True,
                                timeout=DEADLINE, **as_user)
        if userns.returncode != 0:
            self.skipTest("the browser's sandbox needs a user namespace, which this machine "
                          "does not give (%s)" % (userns.stderr.strip() or userns.returncode))
        host = Host(env={"WAYLAND_DISPLAY": self.lab.display, "XDG_SESSION_TYPE": "wayland",
                         "XDG_RUNTIME_DIR": self.lab.runtime, "HOME": self.lab.runtime},
                    user=self.lab.user, args=["--no-tray", "--no-elevate"])
        def gone():
            # The browser ends with its host (its DevTools pipe closes); the lab's page is
            # the one in front again for the tests after this one.
            host.cleanup()
            wait_for(lambda: not app(), "the app window closed with its host", timeout=30)
            self.lab.swaymsg('[title="^lab"] focus')
            self.lab.swaymsg('[title="^lab"] fullscreen enable')
            time.sleep(0.5)
            self.lab.drain()

        self.addCleanup(gone)

        def app():
            time.sleep(0.05)  # each look is a swaymsg
            return self.lab.window("Vantriel")

        wait_for(app, "the app window", timeout=60)
        self.lab.swaymsg('[title="^lab"] focus')
        wait_for(lambda: not app()["focused"], "the lab's page in front")
        started = time.monotonic()
        again = subprocess.run([host.exe, "--no-tray", "--no-elevate"], cwd=host.folder,
                               env=host.env, capture_output=True, timeout=DEADLINE,
                               **host.as_user)
        self.assertEqual(again.returncode, 0, again.stderr)
        # sway's default answer to an activation is to mark the window as wanting
        # attention; with focus_on_window_activation set it takes the focus.
        wait_for(lambda: app()["focused"] or app()["urgent"], "the app window brought forward")
        print("second start to the window brought forward: %.2f s" % (time.monotonic() - started),
              file=sys.stderr)
        self.assertEqual(len(self.lab.windows("Vantriel")), 1, "no second window")

    def test_the_session_end_releases_what_is_held(self):
        self.inject([{"k": "kd", "c": "ShiftLeft"}, {"k": "kd", "c": "KeyQ"},
                     {"k": "d", "b": 0, "x": 0.1, "y": 0.1}])
        self.lab.until(lambda e: e["t"] == "mousedown")
        self.session(False)
        wanted = {("mouseup", 0), ("keyup", "ShiftLeft"), ("keyup", "KeyQ")}
        seen = set()

        def all_released(e):
            seen.add((e["t"], e["b"] if e["t"] == "mouseup" else e.get("code")))
            return wanted <= seen

        self.lab.until(all_released)

    def test_the_sink_follows_a_new_compositor(self):
        display = self.lab.display
        self.lab.stop_desktop()
        self.lab.start_desktop()
        self.assertEqual(self.lab.display, display)
        # The sink finds the compositor gone, waits its retry interval and connects anew.
        click = [{"k": "d", "b": 0, "x": 0.5, "y": 0.25}, {"k": "u", "b": 0, "x": 0.5, "y": 0.25}]
        end = time.monotonic() + DEADLINE
        while True:
            self.post("/api/input", {"mon": 0, "ev": click})
            try:
                got = self.lab.until(lambda e: e["t"] == "mouseup", timeout=0.5)
                break
            except AssertionError:
                if time.monotonic() > end:
                    raise
        self.assertEqual((got[-1]["x"], got[-1]["y"]), (640, 200))
        # The clipboard's source thread left with the old compositor; a write connects anew.
        self.assertEqual(self.post("/api/portapapeles/poner", {"texto": "otra vez ñ"}), {"ok": True})
        self.assertEqual(self.wl_clipboard(["wl-paste", "-n"]), "otra vez ñ")


def cmp(v):
    return (v > 0) - (v < 0)


if __name__ == "__main__":
    unittest.main()
