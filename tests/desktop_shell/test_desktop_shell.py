"""The app window, the tray and start at log-on on a real X11 desktop.

A private Xvfb with openbox (an EWMH window manager), a private D-Bus session bus with a
stand-in tray host (StatusNotifierWatcher) and notification service, Debian's Chromium,
and morvane_shell_probe (SHELL_PROBE) holding an AppWindow, a Tray and the autostart
settings as the host does. The steps run in order and share one desktop and, where the
story allows, one browser.
"""

import json
import os
import queue
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

import dbus
from gi.repository import Gio

PROBE = os.environ.get("SHELL_PROBE", "")
CHROMIUM = "/usr/bin/chromium"
DEADLINE = 20.0
KEEPS_RUNNING = "Vantriel sigue funcionando"
HERE = os.path.dirname(os.path.abspath(__file__))


def wait_for(predicate, what, timeout=DEADLINE):
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


class Lines:
    """A child's standard output, line by line, read on a thread of its own."""

    def __init__(self, proc):
        self.queue = queue.Queue()
        self.all = []
        self.lock = threading.Lock()
        threading.Thread(target=self._read, args=(proc.stdout,), daemon=True).start()

    def _read(self, stream):
        for raw in stream:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            with self.lock:
                self.all.append(line)
            self.queue.put(line)

    def snapshot(self):
        with self.lock:
            return list(self.all)


def proc_cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return [a.decode("utf-8", "replace") for a in f.read().split(b"\0") if a]
    except OSError:
        return []


def browsers_of(profile):
    """Browsers running with `profile`: not Chromium's helper processes (--type=), and not
    the passing copies a browser forks of itself (their parent is the browser). A running
    Chromium rewrites its title into one blank-joined text, so the arguments are read
    from that."""
    parents = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        text = " ".join(proc_cmdline(int(name)))
        folder = re.search(r"--user-data-dir=(.*?)(?= --|$)", text)
        if not folder or folder.group(1).strip() != profile or " --type=" in text:
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if fields[0] != "Z":
            parents[int(name)] = int(fields[1])
    return sorted(pid for pid, parent in parents.items() if parent not in parents)


def all_processes_of(marker):
    pids = []
    for name in os.listdir("/proc"):
        if name.isdigit() and any(marker in a for a in proc_cmdline(int(name))):
            pids.append(int(name))
    return pids


class DesktopShellTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not PROBE or not os.path.exists(PROBE):
            raise RuntimeError("SHELL_PROBE must name the built morvane_shell_probe (run through ctest)")
        cls.started = []
        cls.tmp = tempfile.mkdtemp(prefix="vantriel-shell-")
        try:
            cls._start_desktop()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def _spawn(cls, args, env, **kw):
        proc = subprocess.Popen(args, env=env, start_new_session=True, **kw)
        cls.started.append(proc)
        return proc

    @classmethod
    def _start_desktop(cls):
        tmp = cls.tmp
        home = os.path.join(tmp, "home")
        os.makedirs(home)
        env = dict(os.environ)
        env.update(HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
                   XDG_CACHE_HOME=os.path.join(home, "cache"), LANG="C.UTF-8", LC_ALL="C.UTF-8",
                   NO_AT_BRIDGE="1")
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)

        # Xvfb on a free display, told through -displayfd. -noreset: the server resets when
        # its last client leaves, and a client that connects during the reset finds no display.
        read_fd, write_fd = os.pipe()
        cls._spawn(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1600x1000x24",
                    "-nolisten", "tcp", "-noreset"], env, pass_fds=(write_fd,), stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as f:
            display = f.readline().strip()
        if not display:
            raise RuntimeError("Xvfb did not start")
        env["DISPLAY"] = ":" + display

        bus = cls._spawn(["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"],
                         env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()

        # Its words go to a file, so that a window manager that does not come up says why.
        wm_log = os.path.join(tmp, "openbox.log")
        with open(wm_log, "wb") as log:
            wm = cls._spawn(["openbox"], env, stdout=log, stderr=subprocess.STDOUT)

        def wm_said():
            with open(wm_log, errors="replace") as f:
                return f.read().strip() or "nothing"

        def wm_managing():
            if "_NET_CLIENT_LIST" in cls.xprop("-root", "_NET_SUPPORTED", env=env):
                return True
            if wm.poll() is not None:
                raise RuntimeError("openbox ended (%s) before managing the screen; it said: %s"
                                   % (wm.returncode, wm_said()))
            return False

        try:
            wait_for(wm_managing, "openbox to manage the screen")
        except AssertionError as e:
            raise AssertionError("%s; openbox said: %s" % (e, wm_said())) from None

        # The browser the window finds first on PATH: Debian's Chromium with what it needs
        # here (no sandbox as root, no GPU under Xvfb, no keyring on this bus).
        bin_dir = os.path.join(tmp, "bin")
        os.makedirs(bin_dir)
        wrapper = os.path.join(bin_dir, "chromium")
        with open(wrapper, "w") as f:
            f.write("#!/bin/sh\nexec %s --no-sandbox --disable-gpu --disable-component-update "
                    "--password-store=basic \"$@\"\n" % CHROMIUM)
        os.chmod(wrapper, 0o755)
        env["PATH"] = bin_dir + ":" + env.get("PATH", "/usr/bin:/bin")

        page = os.path.join(tmp, "page.html")
        with open(page, "w") as f:
            f.write("<!doctype html><meta charset=utf-8><title>Vantriel</title><p>Vantriel")
        cls.url = "file://" + page

        # The installation started at log-on, at a path that needs the escapes of the Exec
        # line and of the format's strings. No "%": GLib's reader refuses "%%" in a program
        # path and expands a lone one (the unit tests check that it is written "%%").
        cls.install = os.path.join(tmp, "Mis Apps", "zoë's \"q\" $HOME `x` a\\b")
        os.makedirs(cls.install)
        cls.exe = os.path.join(cls.install, "vantriel")
        cls.launched = os.path.join(tmp, "launched.txt")
        with open(cls.exe, "w") as f:
            f.write("#!/bin/sh\nprintf '%%s\\n' \"$(pwd)\" \"$@\" > '%s'\n" % cls.launched)
        os.chmod(cls.exe, 0o755)

        cls.data = os.path.join(tmp, "data")
        cls.profile = os.path.join(cls.data, "ventana_chromium")
        cls.autostart = os.path.join(home, "config", "autostart")
        cls.env = env
        cls.bus_address = env["DBUS_SESSION_BUS_ADDRESS"]
        cls.probe = cls._spawn([PROBE, "--data", cls.data, "--url", cls.url, "--exe", cls.exe,
                                "--autostart", cls.autostart], env,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        cls.probe_out = Lines(cls.probe)
        cls.stand_ins = None

    @classmethod
    def tearDownClass(cls):
        # The browsers run in sessions of their own: found by their profile.
        for pid in all_processes_of(cls.tmp):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        for proc in reversed(getattr(cls, "started", [])):
            if proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except OSError:
                    pass
            proc.wait()
        # Chromium has the bus start the document portal, which mounts its file system under
        # the test's home and is gone with the bus, leaving the mount behind: it goes too.
        with open("/proc/mounts", encoding="utf-8") as f:
            mounts = [line.split()[1] for line in f if len(line.split()) > 1]
        for point in sorted((m for m in mounts if m.startswith(cls.tmp + "/")), reverse=True):
            subprocess.run(["umount", "-l", point], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    # --- helpers ---------------------------------------------------------------------

    @classmethod
    def xprop(cls, *args, env=None):
        r = subprocess.run(["xprop", *args], env=env or cls.env, capture_output=True, text=True)
        return r.stdout

    def command(self, line, timeout=DEADLINE):
        """Sends a probe command; its answer is the next line that is not an event."""
        self.probe.stdin.write((line + "\n").encode())
        self.probe.stdin.flush()
        end = time.monotonic() + timeout
        while True:
            try:
                reply = self.probe_out.queue.get(timeout=max(0.01, end - time.monotonic()))
            except queue.Empty:
                raise AssertionError("no answer to " + line)
            if not reply.startswith("event "):
                return reply

    def events(self):
        return [l for l in self.probe_out.snapshot() if l.startswith("event ")]

    def state(self):
        return self.command("state")

    def client_windows(self):
        out = self.xprop("-root", "_NET_CLIENT_LIST")
        return re.findall(r"0x[0-9a-f]+", out)

    def app_window(self):
        """The one managed window titled Vantriel, with its _NET_WM_PID."""
        found = []
        for w in self.client_windows():
            props = self.xprop("-id", w, "_NET_WM_NAME", "_NET_WM_PID")
            pid = re.search(r"_NET_WM_PID\(CARDINAL\) = (\d+)", props)
            if '"Vantriel"' in props and pid:
                found.append((w, int(pid.group(1))))
        return found[0] if len(found) == 1 else None

    def notifications(self, title=None):
        out = []
        for line in self.stand_ins_out.snapshot():
            rec = json.loads(line)
            if "notify" in rec and (title is None or rec["notify"][0] == title):
                out.append(rec["notify"])
        return out

    def menu(self):
        return self.session.get_object(self.item_name, "/MenuBar")

    def layout(self):
        """The menu as (id, label, properties) of each child, after AboutToShow."""
        menu = self.menu()
        menu.AboutToShow(dbus.Int32(0), dbus_interface="com.canonical.dbusmenu")
        _, (root_id, _, children) = menu.GetLayout(dbus.Int32(0), dbus.Int32(-1), dbus.Array([], signature="s"),
                                                   dbus_interface="com.canonical.dbusmenu")
        items = []
        for child in children:
            cid, props, _ = child
            items.append((int(cid), str(props.get("label", "")),
                          {str(k): v for k, v in props.items()}))
        return items

    def click(self, item_id):
        self.menu().Event(dbus.Int32(item_id), "clicked", dbus.Int32(0, variant_level=1),
                          dbus.UInt32(0), dbus_interface="com.canonical.dbusmenu")

    def menu_ids(self):
        return [i for i, _, _ in self.layout()]

    # --- the story -------------------------------------------------------------------

    def test_00_without_a_tray_host_closing_the_window_ends_the_program(self):
        # No tray host on the bus yet, as on a stock GNOME desktop: a program whose window
        # closes would run on with nothing leading back to it, so it ends instead. A second
        # probe with its own data folder, so the story's own probe stays for the steps after.
        cls = type(self)
        data = os.path.join(cls.tmp, "data-no-tray")
        probe = cls._spawn([PROBE, "--data", data, "--url", cls.url, "--exe", cls.exe,
                            "--autostart", os.path.join(cls.tmp, "autostart-no-tray")], cls.env,
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        out = Lines(probe)

        def send(line):
            probe.stdin.write((line + "\n").encode())
            probe.stdin.flush()

        def answered(line, count):
            return len([l for l in out.snapshot() if l == line]) >= count

        profile = os.path.join(data, "ventana_chromium")
        try:
            send("visible")
            wait_for(lambda: answered("0", 1), "the probe to say no icon shows")
            send("open")
            wait_for(lambda: answered("ok", 1), "the window to open", timeout=30)

            def shown():
                send("state")
                time.sleep(0.2)
                return answered("shown=1 exists=1", 1)
            wait_for(shown, "the window to show")
            time.sleep(2.5)  # a watcher check sees it shown
            send("close")
            self.assertEqual(probe.wait(timeout=DEADLINE), 0)
            self.assertIn("event exit", out.snapshot())
            wait_for(lambda: not browsers_of(profile), "the browser to end")
        finally:
            # Never left to register its icon with the tray host the next steps start.
            if probe.poll() is None:
                os.killpg(probe.pid, signal.SIGKILL)
                probe.wait()
            for pid in browsers_of(profile):
                os.kill(pid, signal.SIGKILL)

    def test_01_no_icon_until_a_tray_host_runs(self):
        self.assertEqual(self.command("visible"), "0")
        cls = type(self)
        cls.stand_ins = cls._spawn(["/usr/bin/python3", os.path.join(HERE, "bus_stand_ins.py"),
                                    "watcher", "notifications"], self.env, stdout=subprocess.PIPE)
        cls.stand_ins_out = Lines(cls.stand_ins)
        registered = wait_for(lambda: [json.loads(l) for l in cls.stand_ins_out.snapshot()
                                       if "register" in json.loads(l)], "the item to register")
        cls.item_name = registered[0]["register"]
        self.assertRegex(cls.item_name, r"^org\.kde\.StatusNotifierItem-\d+-1$")
        wait_for(lambda: self.command("visible") == "1", "the tray to say it shows")

        cls.session = dbus.bus.BusConnection(self.bus_address)
        item = cls.session.get_object(cls.item_name, "/StatusNotifierItem")
        props = item.GetAll("org.kde.StatusNotifierItem", dbus_interface=dbus.PROPERTIES_IFACE)
        self.assertEqual(props["Id"], "Vantriel")
        self.assertEqual(props["Status"], "Active")
        self.assertEqual(str(props["Menu"]), "/MenuBar")
        self.assertEqual(props["ToolTip"][2], "Vantriel: listo para recibir ayuda")

    def test_01b_balloons_are_cut_and_never_markup(self):
        # The text may come from a peer: this service takes markup, so it is escaped.
        title = "Técnico " + "x" * 70
        self.assertEqual(self.command("balloon %s\t<b>Ana & Luis</b>" % title), "ok")
        wait_for(lambda: self.notifications(title[:63]), "the balloon")
        self.assertEqual(self.notifications(title[:63]),
                         [[title[:63], "&lt;b&gt;Ana &amp; Luis&lt;/b&gt;"]])

    def test_02_stray_ended_then_one_browser_for_two_opens(self):
        # A browser of the program's profile without a window, as a crashed or half-closed
        # one leaves behind.
        stray = subprocess.Popen(["chromium", "--headless=new", "--user-data-dir=" + self.profile,
                                  "about:blank"], env=self.env, start_new_session=True,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        type(self).started.append(stray)
        wait_for(lambda: stray.pid in browsers_of(self.profile), "the stray browser")

        # Every browser of the profile that runs from here until the window is up.
        seen, stop = set(), threading.Event()

        def watch():
            while not stop.is_set():
                seen.update(browsers_of(self.profile))
                time.sleep(0.02)

        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            self.assertEqual(self.command("open"), "ok")
            self.assertIsNotNone(stray.poll(), "the stray browser was not ended")
            # A second open right away finds the starting browser's window instead of
            # starting another one.
            self.assertEqual(self.command("open", timeout=30), "ok")
            window = wait_for(self.app_window, "the app window")
            started = wait_for(lambda: browsers_of(self.profile), "the browser")
        finally:
            stop.set()
            watcher.join()
        self.assertEqual(started, [window[1]])
        self.assertEqual(seen - {stray.pid}, {window[1]}, "more than one browser was started")
        args = " ".join(proc_cmdline(started[0])) + " "
        for arg in ("--app=" + self.url, "--user-data-dir=" + self.profile,
                    "--window-size=1440,920", "--disable-extensions"):
            self.assertIn(" %s " % arg, args)
        type(self).window = window[0]
        wait_for(lambda: self.state() == "shown=1 exists=1", "the window to show")

    def test_03_a_minimised_window_is_restored(self):
        subprocess.run(["xdotool", "windowminimize", self.window], env=self.env, check=True)
        wait_for(lambda: self.state() == "shown=0 exists=1", "the window to minimise")
        pid = browsers_of(self.profile)
        self.assertEqual(self.command("open"), "ok")
        wait_for(lambda: self.state() == "shown=1 exists=1", "the window to come back")
        self.assertNotIn("_NET_WM_STATE_HIDDEN", self.xprop("-id", self.window, "_NET_WM_STATE"))
        active = self.xprop("-root", "_NET_ACTIVE_WINDOW")
        self.assertEqual(int(re.search(r"0x[0-9a-f]+", active).group(0), 16), int(self.window, 16))
        self.assertEqual(browsers_of(self.profile), pid)

    def test_04_the_menu_acts(self):
        # The watcher's flag says the window shows: the menu offers to hide it.
        wait_for(lambda: 3 in self.menu_ids(), "the menu to offer hiding")
        items = self.layout()
        self.assertEqual([(i, l) for i, l, _ in items if l],
                         [(1, "Vantriel: listo para recibir ayuda"), (3, "Ocultar la ventana"),
                          (5, "Abrir al iniciar sesión"), (9, "Salir de Vantriel")])
        self.assertFalse(items[0][2]["enabled"])
        self.assertEqual(items[3][2]["toggle-state"], 0)

        self.click(3)
        wait_for(lambda: "event hide" in self.events(), "the hide operation")
        wait_for(lambda: self.state() == "shown=0 exists=1", "the window to hide")
        self.assertEqual(self.menu_ids()[2], 2)

        self.click(2)
        wait_for(lambda: "event show" in self.events(), "the show operation")
        wait_for(lambda: self.state() == "shown=1 exists=1", "the window to show again")

        desktop_file = os.path.join(self.autostart, "vantriel.desktop")
        self.click(5)
        on = "Vantriel se abrirá en la bandeja del sistema al iniciar sesión."
        wait_for(lambda: self.notifications("Vantriel") == [["Vantriel", on]], "the enabled balloon")
        self.assertTrue(os.path.exists(desktop_file))
        self.assertEqual(self.layout()[3][2]["toggle-state"], 1)
        self.click(5)
        off = "Vantriel ya no se abrirá al iniciar sesión."
        wait_for(lambda: len(self.notifications("Vantriel")) == 2, "the disabled balloon")
        self.assertEqual(self.notifications("Vantriel")[1], ["Vantriel", off])
        self.assertFalse(os.path.exists(desktop_file))
        self.assertEqual(self.layout()[3][2]["toggle-state"], 0)

        # A click on the icon itself brings the window up, as a double click does on Windows.
        self.command("hide")
        wait_for(lambda: self.state() == "shown=0 exists=1", "the window to hide")
        item = self.session.get_object(self.item_name, "/StatusNotifierItem")
        item.Activate(dbus.Int32(0), dbus.Int32(0), dbus_interface="org.kde.StatusNotifierItem")
        wait_for(lambda: self.state() == "shown=1 exists=1", "the window to show on activation")
        self.assertEqual(self.notifications(KEEPS_RUNNING), [], "a hidden window is not a closed one")

    def test_05_start_at_log_on_file(self):
        self.assertEqual(self.command("startup query"), "enabled=0")
        self.assertEqual(self.command("startup on"),
                         "ok=1 enabled=1 msg=Vantriel se abrirá en la bandeja del sistema al iniciar sesión.")
        desktop_file = os.path.join(self.autostart, "vantriel.desktop")
        self.assertEqual(self.command("startup query"), "enabled=1")
        # GLib's own reading of the file starts the program at its odd path, with
        # --startup, in its folder.
        info = Gio.DesktopAppInfo.new_from_filename(desktop_file)
        self.assertIsNotNone(info, "GLib rejected the desktop file")
        self.assertEqual(info.get_name(), "Vantriel")
        self.assertTrue(info.launch([], None))
        wait_for(lambda: os.path.exists(self.launched), "the autostart entry to run")
        with open(self.launched, encoding="utf-8") as f:
            self.assertEqual(f.read().splitlines(), [self.install, "--startup"])
        self.assertEqual(self.command("startup off"),
                         "ok=1 enabled=0 msg=Vantriel ya no se abrirá al iniciar sesión.")
        self.assertFalse(os.path.exists(desktop_file))
        self.assertEqual(self.command("startup query"), "enabled=0")

    def test_06_closing_the_window_is_told_once(self):
        self.assertEqual(self.command("close"), "ok")
        wait_for(lambda: self.notifications(KEEPS_RUNNING), "the keeps-running balloon", timeout=10)
        self.assertEqual(self.state(), "shown=0 exists=0")
        # Opened and closed again: the balloon is not repeated.
        self.assertEqual(self.command("open"), "ok")
        wait_for(self.app_window, "the window to open again")
        wait_for(lambda: self.state() == "shown=1 exists=1", "the window to show")
        time.sleep(2.5)  # a watcher check sees it shown
        self.assertEqual(self.command("close"), "ok")
        wait_for(lambda: self.state() == "shown=0 exists=0", "the window to close")
        time.sleep(4.5)  # two watcher checks
        self.assertEqual(len(self.notifications(KEEPS_RUNNING)), 1)
        title, text = self.notifications(KEEPS_RUNNING)[0]
        self.assertTrue(text.startswith("Cerraste la ventana"), text)

    def test_07_quit_from_the_menu(self):
        self.click(9)
        self.assertEqual(self.probe.wait(timeout=DEADLINE), 0)
        self.assertIn("event exit", self.events())
        self.assertEqual(self.probe_out.snapshot()[-1], "bye")
        wait_for(lambda: any(json.loads(l).get("gone") == self.item_name
                             for l in self.stand_ins_out.snapshot()), "the icon to leave the bus")


if __name__ == "__main__":
    unittest.main()
