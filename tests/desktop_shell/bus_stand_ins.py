"""A tray host's StatusNotifierWatcher and a notification service, for the tests only.

Runs on the session bus named by DBUS_SESSION_BUS_ADDRESS and prints one JSON object per
line for what it is told: {"register": service, "sender": unique name} for each
RegisterStatusNotifierItem, {"notify": [summary, body]} for each Notify, {"gone": name}
when a registered item leaves the bus. Needs Debian's python3-dbus and python3-gi.

    bus_stand_ins.py watcher|notifications ...
"""

import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib


def say(**record):
    sys.stdout.write(json.dumps(record) + "\n")
    sys.stdout.flush()


class Watcher(dbus.service.Object):
    IFACE = "org.kde.StatusNotifierWatcher"

    def __init__(self, bus):
        self.bus = bus
        self.name = dbus.service.BusName(self.IFACE, bus)
        super().__init__(bus, "/StatusNotifierWatcher")
        self.items = {}
        bus.add_signal_receiver(self._owner_changed, "NameOwnerChanged",
                                "org.freedesktop.DBus", "org.freedesktop.DBus",
                                "/org/freedesktop/DBus")

    @dbus.service.method(IFACE, in_signature="s", out_signature="", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        self.items[str(sender)] = str(service)
        say(register=str(service), sender=str(sender))
        self.StatusNotifierItemRegistered(service)

    @dbus.service.method(IFACE, in_signature="s", out_signature="")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(IFACE, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        return self.GetAll(interface)[prop]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {
            "RegisteredStatusNotifierItems": dbus.Array(list(self.items.values()), signature="s"),
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
        }

    def _owner_changed(self, name, old, new):
        if not new and (name in self.items or name in self.items.values()):
            self.items.pop(name, None)
            say(gone=str(name))


class Notifications(dbus.service.Object):
    IFACE = "org.freedesktop.Notifications"

    def __init__(self, bus):
        self.name = dbus.service.BusName(self.IFACE, bus)
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.next_id = 0

    @dbus.service.method(IFACE, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        self.next_id += 1
        say(notify=[str(summary), str(body)], app=str(app))
        return dbus.UInt32(self.next_id)

    @dbus.service.method(IFACE, in_signature="", out_signature="as")
    def GetCapabilities(self):
        return dbus.Array(["body", "body-markup"], signature="s")

    @dbus.service.method(IFACE, in_signature="", out_signature="ssss")
    def GetServerInformation(self):
        return ("stand-in", "tests", "1", "1.2")

    @dbus.service.method(IFACE, in_signature="u", out_signature="")
    def CloseNotification(self, notification_id):
        pass


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    keep = []
    if "watcher" in sys.argv[1:]:
        keep.append(Watcher(bus))
    if "notifications" in sys.argv[1:]:
        keep.append(Notifications(bus))
    say(ready=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
