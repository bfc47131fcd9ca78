"""A desktop portal backend for the GNOME lab: org.freedesktop.impl.portal.RemoteDesktop and
ScreenCast, carried out by mutter's own org.gnome.Mutter.RemoteDesktop and ScreenCast.

The real xdg-desktop-portal frontend talks to it as it would to GNOME's backend; where
GNOME's shows its dialog, this one prints {"ev": "ask"} and waits for the test to answer
"allow" or "deny" on standard input; "end" ends every session as the desktop's own "stop
sharing" does. Every call it gets is printed as one JSON line on
standard output, so the test sees the conversation and the input as the desktop got it.

A screen cast asked for on its own (a browser's getDisplayMedia) is mutter's screen cast of
its one monitor, started without a question: GNOME's backend shows its screen chooser there,
and with one monitor the person's click picks that monitor.

Run with Debian's python3 (python3-dbus, python3-gi) on the bus named by
DBUS_SESSION_BUS_ADDRESS. With "locale1 LAYOUT VARIANT" it is instead systemd-localed's
keyboard layout on the system bus, which mutter reads at start.
"""

import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.impl.portal.desktop.vantrieltest"
PATH = "/org/freedesktop/portal/desktop"
RD = "org.freedesktop.impl.portal.RemoteDesktop"
SC = "org.freedesktop.impl.portal.ScreenCast"
SESSION = "org.freedesktop.impl.portal.Session"
PROPS = "org.freedesktop.DBus.Properties"
MUTTER_RD = "org.gnome.Mutter.RemoteDesktop"
MUTTER_SC = "org.gnome.Mutter.ScreenCast"
KEYBOARD, POINTER = 1, 2
MONITOR = 1


def say(**event):
    print(json.dumps(event), flush=True)


class Session(dbus.service.Object):
    """One portal session: mutter's remote desktop session and, once started, its stream."""

    def __init__(self, bus, path, owner):
        super().__init__(bus, path)
        self.path = path
        self.owner = owner
        self.devices = 0
        self.sources = 0
        self.stream_path = None
        self.node = 0
        mutter = bus.get_object(MUTTER_RD, "/org/gnome/Mutter/RemoteDesktop")
        self.rd_path = mutter.CreateSession(dbus_interface=MUTTER_RD)
        self.rd = dbus.Interface(bus.get_object(MUTTER_RD, self.rd_path),
                                 MUTTER_RD + ".Session")
        self.rd.connect_to_signal("Closed", self.mutter_closed)
        self.open = True

    def start(self, bus, reply, error):
        session_id = bus.get_object(MUTTER_RD, self.rd_path).Get(
            MUTTER_RD + ".Session", "SessionId", dbus_interface=PROPS)
        screencast = bus.get_object(MUTTER_SC, "/org/gnome/Mutter/ScreenCast")
        sc_path = screencast.CreateSession({"remote-desktop-session-id": session_id},
                                           dbus_interface=MUTTER_SC)
        sc = dbus.Interface(bus.get_object(MUTTER_SC, sc_path), MUTTER_SC + ".Session")
        self.stream_path = sc.RecordMonitor("", {}, dbus_interface=MUTTER_SC + ".Session")
        stream = bus.get_object(MUTTER_SC, self.stream_path)

        def added(node):
            self.node = int(node)
            params = stream.Get(MUTTER_SC + ".Stream", "Parameters", dbus_interface=PROPS)
            x, y = params.get("position", (0, 0))
            w, h = params["size"]
            say(ev="started", node=self.node, x=int(x), y=int(y), w=int(w), h=int(h))
            props = dbus.Dictionary({"position": dbus.Struct((x, y), signature="ii"),
                                     "size": dbus.Struct((w, h), signature="ii"),
                                     "source_type": dbus.UInt32(MONITOR)}, signature="sv")
            reply(dbus.UInt32(0), dbus.Dictionary({
                "devices": dbus.UInt32(self.devices or KEYBOARD | POINTER),
                "streams": dbus.Array([dbus.Struct((dbus.UInt32(self.node), props))],
                                      signature="(ua{sv})"),
            }, signature="sv"))

        stream.connect_to_signal("PipeWireStreamAdded", added,
                                 dbus_interface=MUTTER_SC + ".Stream")
        self.rd.Start()

    def mutter_closed(self):
        if self.open:
            self.open = False
            say(ev="mutter-closed")

    def end(self):
        say(ev="end")
        if self.open:
            self.open = False
            self.rd.Stop()
        self.Closed()
        self.owner.sessions.pop(self.path, None)
        self.remove_from_connection()

    @dbus.service.method(SESSION, in_signature="", out_signature="")
    def Close(self):
        say(ev="close")
        # A question still open goes with its session, as GNOME's dialog does.
        for waiting in [w for w in self.owner.waiting if w[0] is self]:
            self.owner.waiting.remove(waiting)
            waiting[1](dbus.UInt32(2), dbus.Dictionary({}, signature="sv"))
        if self.open:
            self.open = False
            try:
                self.rd.Stop()
            except dbus.DBusException:
                pass
        self.owner.sessions.pop(self.path, None)
        self.remove_from_connection()

    @dbus.service.signal(SESSION, signature="")
    def Closed(self):
        pass


class CastSession(dbus.service.Object):
    """A screen cast of its own (a browser's getDisplayMedia): mutter's screen cast session
    recording the one monitor. GNOME's backend asks the person to pick a screen; with a
    single monitor the person's pick is that monitor, so this one picks it unasked."""

    def __init__(self, bus, path, owner):
        super().__init__(bus, path)
        self.path = path
        self.owner = owner
        self.sources = 0
        screencast = bus.get_object(MUTTER_SC, "/org/gnome/Mutter/ScreenCast")
        self.sc_path = screencast.CreateSession(dbus.Dictionary({}, signature="sv"),
                                                dbus_interface=MUTTER_SC)
        self.sc = dbus.Interface(bus.get_object(MUTTER_SC, self.sc_path),
                                 MUTTER_SC + ".Session")
        self.sc.connect_to_signal("Closed", self.mutter_closed)
        self.open = True

    def start(self, bus, reply, error):
        stream_path = self.sc.RecordMonitor("", dbus.Dictionary({}, signature="sv"))
        stream = bus.get_object(MUTTER_SC, stream_path)

        def added(node):
            params = stream.Get(MUTTER_SC + ".Stream", "Parameters", dbus_interface=PROPS)
            x, y = params.get("position", (0, 0))
            w, h = params["size"]
            say(ev="cast-started", node=int(node), x=int(x), y=int(y), w=int(w), h=int(h))
            props = dbus.Dictionary({"position": dbus.Struct((x, y), signature="ii"),
                                     "size": dbus.Struct((w, h), signature="ii"),
                                     "source_type": dbus.UInt32(MONITOR)}, signature="sv")
            reply(dbus.UInt32(0), dbus.Dictionary({
                "streams": dbus.Array([dbus.Struct((dbus.UInt32(int(node)), props))],
                                      signature="(ua{sv})"),
            }, signature="sv"))

        stream.connect_to_signal("PipeWireStreamAdded", added,
                                 dbus_interface=MUTTER_SC + ".Stream")
        self.sc.Start()

    def mutter_closed(self):
        if self.open:
            self.open = False
            say(ev="cast-mutter-closed")
            self.Closed()

    def end(self):
        say(ev="cast-end")
        if self.open:
            self.open = False
            self.sc.Stop()
        self.Closed()
        self.owner.sessions.pop(self.path, None)
        self.remove_from_connection()

    @dbus.service.method(SESSION, in_signature="", out_signature="")
    def Close(self):
        say(ev="cast-close")
        if self.open:
            self.open = False
            try:
                self.sc.Stop()
            except dbus.DBusException:
                pass
        self.owner.sessions.pop(self.path, None)
        self.remove_from_connection()

    @dbus.service.signal(SESSION, signature="")
    def Closed(self):
        pass


class ScreenCast(dbus.service.Object):
    """org.freedesktop.impl.portal.ScreenCast's own sessions. A separate class because its
    CreateSession and Start share their names with RemoteDesktop's (dbus-python finds a
    method by name and interface along the class hierarchy)."""

    @dbus.service.method(SC, in_signature="oosa{sv}", out_signature="ua{sv}")
    def CreateSession(self, handle, session_handle, app_id, options):
        say(ev="cast-create", session=str(session_handle))
        self.sessions[str(session_handle)] = CastSession(self.bus, str(session_handle), self)
        return dbus.UInt32(0), dbus.Dictionary({}, signature="sv")

    @dbus.service.method(SC, in_signature="oossa{sv}", out_signature="ua{sv}",
                         async_callbacks=("reply", "error"))
    def Start(self, handle, session_handle, app_id, parent_window, options, reply, error):
        session = self.sessions.get(str(session_handle))
        if not isinstance(session, CastSession):
            reply(dbus.UInt32(2), dbus.Dictionary({}, signature="sv"))
            return
        say(ev="cast-start", types=session.sources)
        session.start(self.bus, reply, error)


class Backend(ScreenCast):
    def __init__(self, bus):
        super().__init__(bus, PATH)
        self.bus = bus
        self.sessions = {}
        self.waiting = []  # (session, reply, error) of Start calls the test has to answer

    # --- properties ---------------------------------------------------------------
    PROPERTIES = {
        RD: {"AvailableDeviceTypes": dbus.UInt32(KEYBOARD | POINTER), "version": dbus.UInt32(1)},
        SC: {"AvailableSourceTypes": dbus.UInt32(MONITOR), "AvailableCursorModes": dbus.UInt32(1),
             "version": dbus.UInt32(4)},
    }

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.PROPERTIES[interface][name]

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return dbus.Dictionary(self.PROPERTIES.get(interface, {}), signature="sv")

    # --- RemoteDesktop --------------------------------------------------------------
    @dbus.service.method(RD, in_signature="oosa{sv}", out_signature="ua{sv}")
    def CreateSession(self, handle, session_handle, app_id, options):
        say(ev="create", session=str(session_handle))
        self.sessions[str(session_handle)] = Session(self.bus, str(session_handle), self)
        return dbus.UInt32(0), dbus.Dictionary({}, signature="sv")

    @dbus.service.method(RD, in_signature="oosa{sv}", out_signature="ua{sv}")
    def SelectDevices(self, handle, session_handle, app_id, options):
        session = self.sessions[str(session_handle)]
        session.devices = int(options.get("types", KEYBOARD | POINTER))
        say(ev="devices", types=session.devices,
            persist_mode=int(options.get("persist_mode", 0)),
            restore_token=str(options.get("restore_token", "")))
        return dbus.UInt32(0), dbus.Dictionary({}, signature="sv")

    @dbus.service.method(RD, in_signature="oossa{sv}", out_signature="ua{sv}",
                         async_callbacks=("reply", "error"))
    def Start(self, handle, session_handle, app_id, parent_window, options, reply, error):
        session = self.sessions[str(session_handle)]
        self.waiting.append((session, reply, error))
        say(ev="ask")

    def answer(self, line):
        if line == "end":
            # The person ends the sharing from the desktop itself.
            for session in list(self.sessions.values()):
                session.end()
            return
        if not self.waiting:
            say(ev="nothing-to-answer")
            return
        session, reply, error = self.waiting.pop(0)
        if line == "allow":
            session.start(self.bus, reply, error)
        else:
            reply(dbus.UInt32(1), dbus.Dictionary({}, signature="sv"))

    def forward(self, method, session_handle, *args):
        session = self.sessions.get(str(session_handle))
        say(ev="notify", m=method, a=[float(a) if isinstance(a, dbus.Double) else int(a)
                                       for a in args])
        if session is None or not session.open:
            return
        getattr(session.rd, method)(*args, reply_handler=lambda *r: None,
                                    error_handler=lambda e: say(ev="error", m=method, e=str(e)))

    @dbus.service.method(RD, in_signature="oa{sv}dd", out_signature="")
    def NotifyPointerMotion(self, session_handle, options, dx, dy):
        self.forward("NotifyPointerMotionRelative", session_handle, dx, dy)

    @dbus.service.method(RD, in_signature="oa{sv}udd", out_signature="")
    def NotifyPointerMotionAbsolute(self, session_handle, options, stream, x, y):
        session = self.sessions.get(str(session_handle))
        if session is None or session.node != int(stream):
            say(ev="unknown-stream", stream=int(stream))
            return
        say(ev="notify", m="NotifyPointerMotionAbsolute", a=[int(stream), float(x), float(y)])
        session.rd.NotifyPointerMotionAbsolute(
            session.stream_path, x, y, reply_handler=lambda *r: None,
            error_handler=lambda e: say(ev="error", m="NotifyPointerMotionAbsolute", e=str(e)))

    @dbus.service.method(RD, in_signature="oa{sv}iu", out_signature="")
    def NotifyPointerButton(self, session_handle, options, button, state):
        self.forward("NotifyPointerButton", session_handle, dbus.Int32(button), dbus.Boolean(state))

    @dbus.service.method(RD, in_signature="oa{sv}dd", out_signature="")
    def NotifyPointerAxis(self, session_handle, options, dx, dy):
        self.forward("NotifyPointerAxis", session_handle, dx, dy, dbus.UInt32(0))

    @dbus.service.method(RD, in_signature="oa{sv}ui", out_signature="")
    def NotifyPointerAxisDiscrete(self, session_handle, options, axis, steps):
        self.forward("NotifyPointerAxisDiscrete", session_handle, dbus.UInt32(axis),
                     dbus.Int32(steps))

    @dbus.service.method(RD, in_signature="oa{sv}iu", out_signature="")
    def NotifyKeyboardKeycode(self, session_handle, options, keycode, state):
        self.forward("NotifyKeyboardKeycode", session_handle, dbus.UInt32(keycode),
                     dbus.Boolean(state))

    @dbus.service.method(RD, in_signature="oa{sv}iu", out_signature="")
    def NotifyKeyboardKeysym(self, session_handle, options, keysym, state):
        self.forward("NotifyKeyboardKeysym", session_handle, dbus.UInt32(keysym),
                     dbus.Boolean(state))

    # --- ScreenCast, for the remote desktop session's one monitor -------------------
    @dbus.service.method(SC, in_signature="oosa{sv}", out_signature="ua{sv}")
    def SelectSources(self, handle, session_handle, app_id, options):
        session = self.sessions.get(str(session_handle))
        if session is None:
            return dbus.UInt32(2), dbus.Dictionary({}, signature="sv")
        session.sources = int(options.get("types", MONITOR))
        say(ev="sources", types=session.sources, multiple=bool(options.get("multiple", False)))
        return dbus.UInt32(0), dbus.Dictionary({}, signature="sv")


class Locale(dbus.service.Object):
    """systemd-localed's keyboard layout, which mutter reads at start on the system bus."""

    def __init__(self, bus, layout, variant):
        super().__init__(bus, "/org/freedesktop/locale1")
        self.values = {"X11Layout": layout, "X11Variant": variant, "X11Model": "pc105",
                       "X11Options": "", "VConsoleKeymap": "", "VConsoleKeymapToggle": "",
                       "Locale": dbus.Array(["LANG=es_ES.UTF-8"], signature="s")}

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.values[name]

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return dbus.Dictionary(self.values, signature="sv")


def locale_main(layout, variant):
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    locale = Locale(bus, layout, variant)
    locale.name = dbus.service.BusName("org.freedesktop.locale1", bus, do_not_queue=True)
    say(ev="ready")
    GLib.MainLoop().run()


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "locale1":
        locale_main(sys.argv[2], sys.argv[3])
        return
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    backend = Backend(bus)
    backend.name = dbus.service.BusName(NAME, bus, do_not_queue=True)  # kept while it runs
    loop = GLib.MainLoop()

    def on_stdin(source, condition):
        line = sys.stdin.readline()
        if not line:
            loop.quit()
            return False
        backend.answer(line.strip())
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_stdin)
    say(ev="ready")
    loop.run()


if __name__ == "__main__":
    main()
