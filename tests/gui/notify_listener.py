#!/usr/bin/python3
"""Desktop services for tests on the session bus given by DBUS_SESSION_BUS_ADDRESS:
org.freedesktop.Notifications writes each Notify call as a JSON line to the file named
first and, when the file named second holds the name of an action, invokes it on a
notification that offers it, half a second after it arrived; the desktop portal's Settings
answer org.freedesktop.appearance color-scheme from the file named third (0, 1 dark,
2 light) and signal each change of it. Ends on SIGTERM."""
import json
import signal
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.Notifications"
PATH = "/org/freedesktop/Notifications"
PORTAL = "org.freedesktop.portal.Desktop"
PORTAL_PATH = "/org/freedesktop/portal/desktop"
SETTINGS = "org.freedesktop.portal.Settings"


class Portal(dbus.service.Object):
    def __init__(self, bus, scheme_file):
        super().__init__(bus, PORTAL_PATH)
        self.scheme_file = scheme_file
        self.scheme = self._read()
        GLib.timeout_add(100, self._poll)

    def _read(self):
        try:
            with open(self.scheme_file) as f:
                return int(f.read().strip() or 0)
        except (OSError, ValueError):
            return 0

    def _poll(self):
        scheme = self._read()
        if scheme != self.scheme:
            self.scheme = scheme
            self.SettingChanged("org.freedesktop.appearance", "color-scheme",
                                dbus.UInt32(scheme, variant_level=1))
        return True

    @dbus.service.method(SETTINGS, in_signature="ss", out_signature="v")
    def Read(self, group, key):
        if group == "org.freedesktop.appearance" and key == "color-scheme":
            return dbus.UInt32(self.scheme, variant_level=2)
        raise dbus.exceptions.DBusException("no such setting",
                                            name="org.freedesktop.portal.Error.NotFound")

    @dbus.service.signal(SETTINGS, signature="ssv")
    def SettingChanged(self, group, key, value):
        pass


class Notifications(dbus.service.Object):
    def __init__(self, bus, record, action_file):
        super().__init__(bus, PATH)
        self.record = record
        self.action_file = action_file
        self.next_id = 0

    @dbus.service.method(NAME, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        self.next_id += 1
        nid = self.next_id
        entry = {"id": nid, "app": str(app), "summary": str(summary), "body": str(body),
                 "actions": [str(a) for a in actions],
                 "hints": {str(k): str(v) for k, v in hints.items()}}
        with open(self.record, "a") as f:
            f.write(json.dumps(entry) + "\n")
        try:
            with open(self.action_file) as f:
                action = f.read().strip()
        except OSError:
            action = ""
        if action and action in entry["actions"]:
            GLib.timeout_add(500, self._invoke, nid, action)
        return dbus.UInt32(nid)

    def _invoke(self, nid, action):
        self.ActionInvoked(dbus.UInt32(nid), action)
        return False

    @dbus.service.method(NAME, in_signature="u", out_signature="")
    def CloseNotification(self, nid):
        with open(self.record, "a") as f:
            f.write(json.dumps({"closed": int(nid)}) + "\n")

    @dbus.service.method(NAME, in_signature="", out_signature="as")
    def GetCapabilities(self):
        return ["actions", "body"]

    @dbus.service.method(NAME, in_signature="", out_signature="ssss")
    def GetServerInformation(self):
        return ["quillet-test", "quillet", "1", "1.2"]

    @dbus.service.signal(NAME, signature="us")
    def ActionInvoked(self, nid, action):
        pass


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    names = [dbus.service.BusName(NAME, bus), dbus.service.BusName(PORTAL, bus)]  # noqa: F841
    Notifications(bus, sys.argv[1], sys.argv[2])
    Portal(bus, sys.argv[3])
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    print("ready", flush=True)
    loop.run()


if __name__ == "__main__":
    main()
