"""The real host controlling a GNOME Wayland desktop through the desktop portal.

The lab: a headless mutter 43 (Wayland only, one 1280x800 virtual monitor) under a private
session bus, PipeWire for its screen cast streams (with WirePlumber, which links a stream's
consumer to mutter's stream), the real xdg-desktop-portal 1.16 frontend, and Chromium
(Wayland) showing a page that reports every pointer and key event to this test over
loopback HTTP. A second Chromium shares the screen with getDisplayMedia, as the person's
page does: on Wayland with XDG_SESSION_TYPE=wayland it takes the portal's ScreenCast and
PipeWire, and --use-fake-ui-for-media-stream answers its own picker. The host
(build/check/bin/vantriel) runs in that session with no X display and finds the portal on
its own.

The person's consent comes from a stand-in portal backend (portal_backend.py), not from
xdg-desktop-portal-gnome's dialog: the backend carries out RemoteDesktop and ScreenCast
with mutter's own org.gnome.Mutter.RemoteDesktop and ScreenCast, as GNOME's does, and
where GNOME's shows its dialog it asks this test. Answering GNOME's dialog would need GTK,
a11y and clicks through mutter's input API on a dialog whose "Allow remote interaction"
starts off, which tests the dialog rather than the host; the stand-in lets the test allow
and refuse at will, and the host still talks to the real frontend over the real bus. The
frontend reads the stand-in's .portal file from XDG_DESKTOP_PORTAL_DIR.

Mutter takes its keyboard layout from systemd-localed (on the system bus); a stand-in
there gives it us(altgr-intl), whose keys carry ñ, á, é and í. GNOME types a keysym only
where the current layout has it within Shift and AltGr: a character the layout lacks, or
has only at AltGr+Shift (this layout's first €), is not typed.

Every process the lab starts is ended by its process id, also after a failure; the buses
have no service files, so nothing else is activated. lab.py lends this lab to the two-PC
session on GNOME (tests/e2e/twopc/gnome.test.mjs).
"""

import glob
import http.server
import json
import os
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
from desktop_env import DEADLINE, Host, wait_for  # noqa: E402

try:
    import dbus  # Debian's python3-dbus
except ImportError:
    dbus = None

HERE = os.path.dirname(os.path.abspath(__file__))
CHROMIUM = os.path.join(HERE, "..", "e2e", "lib", "chromium.sh")
WIDTH, HEIGHT = 1280, 800
MONITORS = [{"x": 0, "y": 0, "w": WIDTH, "h": HEIGHT, "primary": True, "name": "Meta-0"}]
REFUSED = {"ok": False, "msg": "sin permiso de control"}
# The host's words for a refusal (apps/vantriel/src/input/portal_input.h).
PORTAL_REFUSED = ("Rechazaste el control remoto en la ventana de tu escritorio (o la cerraste "
                  "sin elegir).")
PORTAL_ENDED = "Tu escritorio terminó el control remoto."
PORTAL_NAME = "org.freedesktop.portal.Desktop"
BACKEND_NAME = "org.freedesktop.impl.portal.desktop.vantrieltest"

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>{kind}</type>
  <listen>unix:dir={folder}</listen>
  <servicedir>{services}</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""

PAGE = b"""<!doctype html><html><head><meta charset="utf-8"><style>
html, body { margin: 0; height: 100%; overflow: hidden; }
textarea { position: fixed; left: 0; top: 0; width: 100vw; height: 100vh; border: 0;
           margin: 0; padding: 0; resize: none; }
</style></head><body><textarea id="t"></textarea><script>
let seq = 0, chain = Promise.resolve();
const send = (e) => {
  e.n = ++seq;
  const body = JSON.stringify(e);
  chain = chain.then(() => fetch("/ev", { method: "POST", body })).catch(() => null);
};
addEventListener("mousedown", (e) => send({ t: "down", b: e.button, x: e.clientX, y: e.clientY }), true);
addEventListener("mouseup", (e) => send({ t: "up", b: e.button, x: e.clientX, y: e.clientY }), true);
addEventListener("wheel", (e) => send({ t: "wheel", dy: Math.sign(e.deltaY) }), true);
addEventListener("keydown", (e) => send({ t: "kd", key: e.key, code: e.code }), true);
addEventListener("keyup", (e) => send({ t: "ku", key: e.key, code: e.code }), true);
addEventListener("contextmenu", (e) => e.preventDefault(), true);
const t = document.getElementById("t");
t.addEventListener("input", () => send({ t: "text", v: t.value }));
// Kiosk windows go full screen after the page loads: each size is told.
const size = () => { t.focus(); send({ t: "size", w: innerWidth, h: innerHeight }); };
addEventListener("load", size);
addEventListener("resize", size);
</script></body></html>"""

# A page that shares the screen and reports what the captured frames hold: their size and
# the colour at a few points, while it paints itself in the colour the test names at /cmd.
CAPTURE_PAGE = b"""<!doctype html><html><head><meta charset="utf-8"><style>
html, body { margin: 0; height: 100%; overflow: hidden; }
</style></head><body><script>
let seq = 0;
const send = (e) => {
  e.n = ++seq;
  fetch("/ev", { method: "POST", body: JSON.stringify(e) }).catch(() => null);
};
const points = [[0.05, 0.05], [0.95, 0.05], [0.5, 0.5], [0.05, 0.95], [0.95, 0.95]];
let painted = "";
setInterval(async () => {
  const colour = await (await fetch("/cmd")).text();
  if (colour !== painted) { document.body.style.background = colour; painted = colour; }
}, 50);
addEventListener("load", async () => {
  const asked = performance.now();
  let stream;
  try {
    stream = await navigator.mediaDevices.getDisplayMedia({ video: true, audio: false });
  } catch (e) {
    send({ t: "capture-error", v: String(e) });
    return;
  }
  const video = document.createElement("video");
  video.muted = true;
  video.srcObject = stream;
  video.requestVideoFrameCallback(() => send({ t: "first-frame", ms: performance.now() - asked }));
  video.play();
  const canvas = document.createElement("canvas");
  const ctx = canvas.getContext("2d", { willReadFrequently: true });
  setInterval(() => {
    const w = video.videoWidth, h = video.videoHeight;
    if (!w || !h) return;
    canvas.width = w;
    canvas.height = h;
    ctx.drawImage(video, 0, 0);
    const px = points.map(([fx, fy]) => Array.from(
      ctx.getImageData(Math.floor(fx * w), Math.floor(fy * h), 1, 1).data.slice(0, 3)));
    send({ t: "frame", w, h, px, painted });
  }, 100);
});
</script></body></html>"""


def skip_reason(host=True):
    if dbus is None:
        return "python3-dbus is not installed (tools/setup.sh installs it)"
    for program in ("mutter", "pipewire", "wireplumber", "dbus-daemon",
                    "/usr/libexec/xdg-desktop-portal", "/usr/bin/chromium", "setpriv"):
        if shutil.which(program) is None:
            return program + " is not installed (tools/setup.sh installs it)"
    if host and not os.environ.get("VANTRIEL_EXE"):
        return "VANTRIEL_EXE is not set"
    return None


class Events:
    """What the page reports, in the page's order."""

    def __init__(self):
        self.queue = queue.Queue()
        self.colour = "white"  # what the capture page paints itself with
        events, lab_events = self.queue, self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                body = {"/capture": CAPTURE_PAGE,
                        "/cmd": lab_events.colour.encode()}.get(self.path, PAGE)
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                events.put(json.loads(body.decode("utf-8")))
                self.send_response(204)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        self.pending = []

    def until(self, last, what):
        """Events up to and including the first one for which last(event) holds, in order."""
        got = []
        end = time.monotonic() + DEADLINE
        while True:
            left = end - time.monotonic()
            if left <= 0:
                raise AssertionError("the page did not report " + what + "; got " + repr(got))
            try:
                event = self.queue.get(timeout=left)
            except queue.Empty:
                continue
            got.append(event)
            if last(event):
                got.sort(key=lambda e: e["n"])
                return got

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class Lab:
    """The GNOME session, with the reporting page on it unless `page` is false (open_page
    shows it later, above what is there). Processes end in the reverse order of their
    start."""

    def __init__(self, page=True):
        self.with_page = page
        self.folder = tempfile.mkdtemp(prefix="vantriel-gnome-")
        self.runtime = os.path.join(self.folder, "run")
        os.mkdir(self.runtime, 0o700)
        self.procs = []
        self.logs = []
        self.backend = None
        self.backend_lines = queue.Queue()
        self.events = None
        try:
            self._start()
        except BaseException:
            self.stop()
            raise

    def log(self, name):
        f = open(os.path.join(self.folder, name + ".log"), "wb")
        self.logs.append(f)
        return f

    def spawn(self, name, args, env, **kw):
        kw.setdefault("stdout", self.log(name))
        kw.setdefault("stderr", subprocess.STDOUT)
        proc = subprocess.Popen(args, env=env, start_new_session=True, **kw)
        self.procs.append((name, proc))
        return proc

    def bus(self, kind):
        folder = os.path.join(self.folder, kind + "-bus")
        services = os.path.join(folder, "services")
        os.makedirs(services)
        config = os.path.join(folder, "bus.conf")
        with open(config, "w", encoding="utf-8") as f:
            f.write(BUS_CONFIG.format(kind=kind, folder=folder, services=services))
        proc = self.spawn(kind + "-bus", ["dbus-daemon", "--nofork", "--config-file=" + config,
                                          "--print-address=1"],
                          self.base_env, stdout=subprocess.PIPE)
        return proc.stdout.readline().decode().strip()

    def _start(self):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                            "DBUS_SYSTEM_BUS_ADDRESS", "XDG_SESSION_TYPE")}
        env.update(XDG_RUNTIME_DIR=self.runtime, XDG_CURRENT_DESKTOP="GNOME",
                   GSETTINGS_BACKEND="memory", NO_AT_BRIDGE="1", GTK_A11Y="none",
                   HOME=self.folder, XDG_CONFIG_HOME=os.path.join(self.folder, "config"))
        self.base_env = env
        self.session_bus = self.bus("session")
        self.system_bus = self.bus("system")
        env = dict(env, DBUS_SESSION_BUS_ADDRESS=self.session_bus,
                   DBUS_SYSTEM_BUS_ADDRESS=self.system_bus)
        self.env = env
        backend_py = os.path.join(HERE, "portal_backend.py")

        locale = self.spawn("locale1", [sys.executable, backend_py, "locale1", "us",
                                        "altgr-intl"], env, stdout=subprocess.PIPE)
        if json.loads(locale.stdout.readline() or b"{}").get("ev") != "ready":
            raise RuntimeError("the locale1 stand-in did not start")

        # PipeWire renices itself (and would take real-time priority) as root: a copy of
        # its configuration without that.
        pw_config = os.path.join(self.folder, "pipewire")
        os.mkdir(pw_config)
        with open("/usr/share/pipewire/pipewire.conf", encoding="utf-8") as f:
            conf = f.read()
        conf = conf.replace("libpipewire-module-rt", "libpipewire-module-rt-disabled")
        with open(os.path.join(pw_config, "pipewire.conf"), "w", encoding="utf-8") as f:
            f.write(conf)
        self.spawn("pipewire", ["pipewire"], dict(env, PIPEWIRE_CONFIG_DIR=pw_config))
        wait_for(lambda: os.path.exists(os.path.join(self.runtime, "pipewire-0")), "PipeWire")
        # Its session manager links a screen cast's consumer to mutter's stream; the same
        # copy without real-time priority, found first in the lab's XDG_CONFIG_HOME.
        wp_config = os.path.join(env["XDG_CONFIG_HOME"], "wireplumber")
        os.makedirs(wp_config)
        with open("/usr/share/wireplumber/wireplumber.conf", encoding="utf-8") as f:
            conf = f.read()
        conf = conf.replace("libpipewire-module-rt", "libpipewire-module-rt-disabled")
        with open(os.path.join(wp_config, "wireplumber.conf"), "w", encoding="utf-8") as f:
            f.write(conf)
        self.spawn("wireplumber", ["wireplumber"], env)

        self.spawn("mutter", ["mutter", "--headless", "--wayland", "--no-x11",
                              "--wayland-display", "wayland-vantriel",
                              "--virtual-monitor", "%dx%d" % (WIDTH, HEIGHT)], env)
        self.wayland = "wayland-vantriel"
        self.dbus = dbus.bus.BusConnection(self.session_bus)
        wait_for(lambda: os.path.exists(os.path.join(self.runtime, self.wayland)), "mutter")
        self.wait_name("org.gnome.Mutter.RemoteDesktop")
        self.wait_name("org.gnome.Mutter.ScreenCast")

        self.backend = self.spawn("backend", [sys.executable, backend_py], env,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=self.log("backend"))
        threading.Thread(target=self._read_backend, daemon=True).start()
        self.backend_event("ready")

        portals = os.path.join(self.folder, "portals")
        os.mkdir(portals)
        with open(os.path.join(portals, "vantrieltest.portal"), "w", encoding="utf-8") as f:
            f.write("[portal]\nDBusName=%s\nInterfaces=org.freedesktop.impl.portal."
                    "RemoteDesktop;org.freedesktop.impl.portal.ScreenCast;\nUseIn=gnome\n"
                    % BACKEND_NAME)
        self.spawn("portal", ["/usr/libexec/xdg-desktop-portal", "--replace"],
                   dict(env, XDG_DESKTOP_PORTAL_DIR=portals))
        self.wait_name(PORTAL_NAME)

        if self.with_page:
            self.open_page()

    def open_page(self):
        self.events = Events()
        self.spawn("chromium", [CHROMIUM, "--ozone-platform=wayland", "--disable-gpu",
                                "--no-sandbox", "--kiosk", "--no-first-run",
                                "--no-default-browser-check", "--disable-extensions",
                                "--password-store=basic", "--disable-background-networking",
                                "--user-data-dir=" + os.path.join(self.folder, "chromium"),
                                self.events.url],
                   dict(self.env, WAYLAND_DISPLAY=self.wayland))
        self.events.until(lambda e: e["t"] == "size" and (e["w"], e["h"]) == (WIDTH, HEIGHT),
                          "its page full screen")

    def wait_name(self, name):
        wait_for(lambda: self.dbus.name_has_owner(name), name)

    def _read_backend(self):
        for line in self.backend.stdout:
            self.backend_lines.put(json.loads(line))

    def backend_event(self, ev):
        """The backend's lines up to and including the next one that is `ev`."""
        got = []
        while True:
            try:
                line = self.backend_lines.get(timeout=DEADLINE)
            except queue.Empty:
                raise AssertionError("the portal backend did not say %s; got %r" % (ev, got))
            got.append(line)
            if line["ev"] == ev:
                return got

    def backend_so_far(self):
        got = []
        while True:
            try:
                got.append(self.backend_lines.get_nowait())
            except queue.Empty:
                return got

    def answer(self, word):
        self.backend.stdin.write((word + "\n").encode())
        self.backend.stdin.flush()

    def host_env(self):
        return {"WAYLAND_DISPLAY": self.wayland, "XDG_SESSION_TYPE": "wayland",
                "XDG_RUNTIME_DIR": self.runtime, "DBUS_SESSION_BUS_ADDRESS": self.session_bus,
                "DBUS_SYSTEM_BUS_ADDRESS": self.system_bus, "XDG_CURRENT_DESKTOP": "GNOME",
                "VANTRIEL_TEST_MONITORS": json.dumps(MONITORS),
                # Its update check stays on this machine (nothing listens there).
                "VTR_SERVER": "http://127.0.0.1:9"}

    def stop(self):
        if self.events is not None:
            self.events.stop()
        for name, proc in reversed(self.procs):
            if proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait(timeout=5)
            for stream in (proc.stdin, proc.stdout):
                if stream is not None:
                    stream.close()
        for f in self.logs:
            f.close()
        if os.environ.get("VANTRIEL_KEEP_LAB"):
            print("lab left in", self.folder)
        else:
            shutil.rmtree(self.folder, ignore_errors=True)


@unittest.skipIf(skip_reason(), skip_reason())
class HostGnomeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        started = time.monotonic()
        cls.lab = Lab()
        # Class cleanups run also when setUpClass fails part way (tearDownClass would not).
        cls.addClassCleanup(cls.lab.stop)
        print("\nthe GNOME lab started in %.1f s" % (time.monotonic() - started), flush=True)
        started = time.monotonic()
        cls.host = Host(env=cls.lab.host_env())
        cls.addClassCleanup(cls.host.cleanup)
        print("the host started in %.2f s with the portal" % (time.monotonic() - started),
              flush=True)

    def post(self, path, body):
        reply = self.host.post(path, body)
        self.assertEqual(reply.status, 200, path)
        return reply.json()

    def session(self, active, control=True):
        body = {"activa": active, "rol": "host", "control": control, "con": "Técnico"}
        self.assertTrue(self.post("/api/sesion", body)["ok"])

    def inject(self, events):
        reply = self.post("/api/input", {"mon": 0, "ev": events})
        self.assertTrue(reply["ok"], reply)
        return reply["n"]

    def status(self):
        return self.host.get("/api/estado").json()

    def key(self, code):
        return [{"k": "kd", "c": code}, {"k": "ku", "c": code}]

    def test_control_through_the_portal(self):
        lab, page = self.lab, self.lab.events
        log = ""
        for name in glob.glob(os.path.join(self.host.folder, "data", "*.log")):
            with open(name, encoding="utf-8") as f:
                log += f.read()
        self.assertIn("control portal", log)
        status = self.status()
        self.assertTrue(status["control_posible"])
        self.assertFalse(status["control_pregunta"])
        self.assertEqual(status["control_rechazo"], "")
        self.assertEqual(lab.backend_so_far(), [], "asked before control was allowed")

        # The first session: the desktop asks once control is allowed; input meanwhile is
        # dropped; the person refuses, and the host says so until the session ends.
        self.session(True)
        said = lab.backend_event("ask")
        self.assertEqual([e["ev"] for e in said], ["create", "devices", "sources", "ask"])
        self.assertEqual(said[1]["types"], 3)
        self.assertEqual(said[2], {"ev": "sources", "types": 1, "multiple": False})
        wait_for(lambda: self.status()["control_pregunta"], "the host to say the desktop asks")
        self.inject(self.key("F2"))
        lab.answer("deny")
        wait_for(lambda: self.status()["control_rechazo"] == PORTAL_REFUSED, "the refusal")
        self.assertFalse(self.status()["control_pregunta"])
        # Control given again is a new question; the session's end while the desktop
        # asks closes the question and the portal session.
        self.session(True, control=False)
        self.session(True, control=True)
        said = lab.backend_event("ask")
        self.assertEqual([e["ev"] for e in said], ["close", "create", "devices", "sources", "ask"])
        self.assertTrue(self.status()["control_pregunta"])
        self.session(False)
        lab.backend_event("close")
        self.assertFalse(self.status()["control_pregunta"])
        self.assertEqual(self.status()["control_rechazo"], "")
        lab.backend_so_far()

        # The second session: allowed, asked once however often control pauses.
        self.session(True)
        lab.backend_event("ask")
        lab.answer("allow")
        started = lab.backend_event("started")[-1]
        self.assertEqual((started["w"], started["h"]), (WIDTH, HEIGHT))
        wait_for(lambda: not self.status()["control_pregunta"], "the question to end")
        self.session(True, control=False)
        self.session(True, control=True)

        # A click lands on its pixel: 0.3 x 1279 = 383.7, 0.6 x 799 = 479.4.
        events = [{"k": "d", "b": 0, "x": 0.3, "y": 0.6}, {"k": "u", "b": 0, "x": 0.3, "y": 0.6},
                  {"k": "w", "dy": -120}]
        self.assertEqual(self.inject(events), 3)
        got = page.until(lambda e: e["t"] == "wheel", "the click and the wheel")
        clicks = [(e["t"], e["b"], e["x"], e["y"]) for e in got if e["t"] in ("down", "up")]
        self.assertEqual(clicks, [("down", 0, 384, 479), ("up", 0, 384, 479)])
        self.assertEqual(got[-1]["dy"], 1)  # toward the user: the page scrolls down

        # Keys by their codes, then text typed by its characters.
        text = "Añadí más café, ñu: 50 %"
        keys = ([{"k": "kd", "c": "ShiftLeft"}] + self.key("KeyB") + [{"k": "ku", "c": "ShiftLeft"}]
                + self.key("ArrowLeft") + self.key("End") + [{"k": "t", "s": text}]
                + self.key("F8"))
        self.inject(keys)
        got = page.until(lambda e: e["t"] == "ku" and e["key"] == "F8", "F8")
        downs = [(e["key"], e["code"]) for e in got if e["t"] == "kd"]
        self.assertEqual(downs[:4], [("Shift", "ShiftLeft"), ("B", "KeyB"),
                                     ("ArrowLeft", "ArrowLeft"), ("End", "End")])
        self.assertNotIn("F2", [key for key, _ in downs], "input from while the desktop asked")
        typed = [e["v"] for e in got if e["t"] == "text"]
        self.assertEqual(typed[-1], "B" + text)
        self.assertEqual(len([e for e in lab.backend_so_far() if e["ev"] == "ask"]), 0)

        # The session's end lets go of what the technician held and closes the portal
        # session: the desktop hears nothing more.
        self.inject([{"k": "kd", "c": "ControlLeft"}, {"k": "d", "b": 0, "x": 0.5, "y": 0.5}])
        page.until(lambda e: e["t"] == "down", "the held button")
        self.session(False)
        got = page.until(lambda e: e["t"] == "ku" and e["code"] == "ControlLeft"
                         or e["t"] == "up", "the release")
        if got[-1]["t"] == "up":
            got += page.until(lambda e: e["t"] == "ku" and e["code"] == "ControlLeft",
                              "Control's release")
        else:
            got += page.until(lambda e: e["t"] == "up", "the button's release")
        said = lab.backend_event("close")
        notified = [(e["m"], e["a"]) for e in said if e["ev"] == "notify"]
        self.assertIn(("NotifyKeyboardKeycode", [29, 0]), notified)
        self.assertIn(("NotifyPointerButton", [0x110, 0]), notified)
        self.assertEqual(self.post("/api/input", {"mon": 0, "ev": self.key("KeyX")}), REFUSED)
        self.assertEqual(self.status()["control_pregunta"], False)

        # The third session: the person stops the sharing from the desktop; the host says
        # so, and what the technician sends goes nowhere.
        self.session(True)
        lab.backend_event("ask")
        lab.answer("allow")
        lab.backend_event("started")
        wait_for(lambda: not self.status()["control_pregunta"], "the question to end")
        lab.answer("end")
        wait_for(lambda: self.status()["control_rechazo"] == PORTAL_ENDED, "the desktop's end")
        lab.backend_so_far()
        self.inject(self.key("F9"))
        self.assertEqual([e for e in lab.backend_so_far() if e["ev"] == "notify"], [])
        self.session(False)
        self.assertEqual(self.status()["control_rechazo"], "")

    def test_screen_capture_through_the_portal(self):
        # A browser on the desktop shares the screen through the portal (its own screen cast
        # session, mutter's stream over PipeWire); the frames carry the screen's size and
        # what the screen shows as it changes.
        lab, page = self.lab, self.lab.events
        lab.backend_so_far()
        page.colour = "rgb(200, 30, 60)"
        started = time.monotonic()
        browser = lab.spawn("capture", [
            CHROMIUM, "--ozone-platform=wayland", "--disable-gpu", "--no-sandbox", "--kiosk",
            "--no-first-run", "--no-default-browser-check", "--disable-extensions",
            "--password-store=basic", "--disable-background-networking",
            "--use-fake-ui-for-media-stream",
            "--user-data-dir=" + os.path.join(lab.folder, "capture"), page.url + "capture"],
            # WebRTC takes the portal's way only in a session that says it is Wayland.
            dict(lab.env, WAYLAND_DISPLAY=lab.wayland, XDG_SESSION_TYPE="wayland"))
        try:
            said = lab.backend_event("cast-started")
            self.assertEqual([e["ev"] for e in said],
                             ["cast-create", "sources", "cast-start", "cast-started"])
            self.assertEqual((said[-1]["w"], said[-1]["h"]), (WIDTH, HEIGHT))
            first = [e for e in page.until(lambda e: e["t"] in ("first-frame", "capture-error"),
                                           "the first frame")
                     if e["t"] in ("first-frame", "capture-error")][-1]
            self.assertEqual(first["t"], "first-frame", first)
            print("\nthe first captured frame came %.0f ms after getDisplayMedia, %.1f s after "
                  "the browser started" % (first["ms"], time.monotonic() - started), flush=True)

            def shows(event, colour):
                # The frames pass through YUV: each channel within a few steps.
                return (event["t"] == "frame" and event["painted"] == page.colour
                        and all(abs(a - b) <= 16 for px in event["px"] for a, b in zip(px, colour)))

            for colour in ((200, 30, 60), (20, 110, 220), (250, 250, 250)):
                page.colour = "rgb(%d, %d, %d)" % colour
                got = page.until(lambda e: shows(e, colour), "frames showing " + page.colour)
                frame = [e for e in got if shows(e, colour)][-1]
                self.assertEqual((frame["w"], frame["h"]), (WIDTH, HEIGHT))
        finally:
            os.killpg(browser.pid, signal.SIGTERM)
            browser.wait(timeout=DEADLINE)
        # The browser gone, its portal session and mutter's stream go with it.
        lab.backend_event("cast-close")

    def test_a_portal_that_never_answers_holds_the_start_briefly(self):
        # A session bus on which the portal's name is activatable but never appears: D-Bus
        # waits for it, the host's question is bounded, and control is not offered.
        folder = os.path.join(self.lab.folder, "hung-bus")
        services = os.path.join(folder, "services")
        os.makedirs(services)
        with open(os.path.join(services, "portal.service"), "w", encoding="utf-8") as f:
            f.write("[D-BUS Service]\nName=%s\nExec=/bin/sleep 30\n" % PORTAL_NAME)
        config = os.path.join(folder, "bus.conf")
        with open(config, "w", encoding="utf-8") as f:
            f.write(BUS_CONFIG.format(kind="session", folder=folder, services=services))
        bus = self.lab.spawn("hung-bus", ["dbus-daemon", "--nofork", "--config-file=" + config,
                                          "--print-address=1"], self.lab.base_env,
                             stdout=subprocess.PIPE)
        env = dict(self.lab.host_env(), DBUS_SESSION_BUS_ADDRESS=bus.stdout.readline().decode().strip())
        started = time.monotonic()
        host = Host(env=env)
        try:
            print("\nthe host started in %.2f s with a portal that never answers"
                  % (time.monotonic() - started), flush=True)
            status = host.get("/api/estado").json()
            self.assertFalse(status["control_posible"])
            self.assertIn("Wayland", status["control_motivo"])
        finally:
            host.cleanup()
        started = time.monotonic()
        host = Host(env=dict(self.lab.host_env(), DBUS_SESSION_BUS_ADDRESS=None))
        try:
            print("the host started in %.2f s with no session bus" % (time.monotonic() - started),
                  flush=True)
        finally:
            host.cleanup()


if __name__ == "__main__":
    unittest.main()
