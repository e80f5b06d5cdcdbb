#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Desktop services for tests on the session bus given by DBUS_SESSION_BUS_ADDRESS:
org.freedesktop.Notifications writes each Notify call as a JSON line to the file named
first and, when the file named second holds the name of an action, invokes it on a
notification that offers it, half a second after it arrived; the desktop portal's Settings
answer org.freedesktop.appearance color-scheme from the file named third (0, 1 dark,
2 light) and signal each change of it. With a fourth file name the portal also offers
GlobalShortcuts: each session, binding and closing is written there as a JSON line, and the
test presses and releases a bound shortcut with the methods Press and Release of
org.quillet.TestPortal (answering "open", "closed" or "unbound"). Ends on SIGTERM."""
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
SHORTCUTS = "org.freedesktop.portal.GlobalShortcuts"
REQUEST = "org.freedesktop.portal.Request"
SESSION = "org.freedesktop.portal.Session"
TEST = "org.quillet.TestPortal"


def record(path, entry):
    with open(path, "a") as f:
        f.write(json.dumps(entry) + "\n")


class Request(dbus.service.Object):
    """Answers once with Response, then leaves the bus."""

    def __init__(self, bus, path, results):
        super().__init__(bus, path)
        GLib.timeout_add(20, self._answer, results)

    def _answer(self, results):
        self.Response(dbus.UInt32(0), results)
        self.remove_from_connection()
        return False

    @dbus.service.signal(REQUEST, signature="ua{sv}")
    def Response(self, code, results):
        pass


class Session(dbus.service.Object):
    def __init__(self, bus, path, portal):
        super().__init__(bus, path)
        self.path = path
        self.portal = portal
        self.open = True
        self.bound = []

    @dbus.service.method(SESSION, in_signature="", out_signature="")
    def Close(self):
        self.open = False
        record(self.portal.shortcuts_file, {"closed": self.path})
        self.remove_from_connection()


class Portal(dbus.service.Object):
    def __init__(self, bus, scheme_file, shortcuts_file):
        super().__init__(bus, PORTAL_PATH)
        self.bus = bus
        self.shortcuts_file = shortcuts_file
        self.sessions = []
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

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface == SHORTCUTS and name == "version" and self.shortcuts_file:
            return dbus.UInt32(1, variant_level=1)
        raise dbus.exceptions.DBusException("no such property",
                                            name="org.freedesktop.DBus.Error.UnknownProperty")

    def _handle(self, sender, kind, token):
        return "%s/%s/%s/%s" % (PORTAL_PATH, kind, sender[1:].replace(".", "_"), token)

    def _offered(self):
        if not self.shortcuts_file:
            raise dbus.exceptions.DBusException(
                "no global shortcuts", name="org.freedesktop.DBus.Error.UnknownMethod")

    @dbus.service.method(SHORTCUTS, in_signature="a{sv}", out_signature="o",
                         sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        self._offered()
        path = self._handle(sender, "session", options["session_handle_token"])
        self.sessions.append(Session(self.bus, path, self))
        record(self.shortcuts_file, {"session": path})
        request = self._handle(sender, "request", options["handle_token"])
        Request(self.bus, request, {"session_handle": dbus.String(path, variant_level=1)})
        return dbus.ObjectPath(request)

    @dbus.service.method(SHORTCUTS, in_signature="oa(sa{sv})sa{sv}", out_signature="o",
                         sender_keyword="sender")
    def BindShortcuts(self, session, shortcuts, parent, options, sender=None):
        self._offered()
        target = [s for s in self.sessions if s.path == session][0]
        target.bound = [str(sid) for sid, _ in shortcuts]
        record(self.shortcuts_file, {"bind": str(session), "shortcuts": [
            [str(sid), str(p.get("description", "")), str(p.get("preferred_trigger", ""))]
            for sid, p in shortcuts]})
        answer = dbus.Array([dbus.Struct((sid, dbus.Dictionary({
            "description": dbus.String(p.get("description", ""), variant_level=1),
            "trigger_description": dbus.String(p.get("preferred_trigger", ""), variant_level=1)},
            signature="sv"))) for sid, p in shortcuts], signature="(sa{sv})")
        request = self._handle(sender, "request", options["handle_token"])
        Request(self.bus, request, {"shortcuts": dbus.Array(answer, variant_level=1)})
        return dbus.ObjectPath(request)

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Activated(self, session, shortcut, timestamp, options):
        pass

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Deactivated(self, session, shortcut, timestamp, options):
        pass

    def _latest(self, shortcut):
        bound = [s for s in self.sessions if shortcut in s.bound]
        return bound[-1] if bound else None

    @dbus.service.method(TEST, in_signature="s", out_signature="s")
    def Press(self, shortcut):
        """Activated on the latest session that bound the shortcut, open or not (a closed
        one's signal must be ignored)."""
        session = self._latest(shortcut)
        if session is None:
            return "unbound"
        self.Activated(dbus.ObjectPath(session.path), shortcut, dbus.UInt64(0), {})
        return "open" if session.open else "closed"

    @dbus.service.method(TEST, in_signature="s", out_signature="s")
    def Release(self, shortcut):
        session = self._latest(shortcut)
        if session is None:
            return "unbound"
        self.Deactivated(dbus.ObjectPath(session.path), shortcut, dbus.UInt64(0), {})
        return "open" if session.open else "closed"


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
    Portal(bus, sys.argv[3], sys.argv[4] if len(sys.argv) > 4 else "")
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    print("ready", flush=True)
    loop.run()


if __name__ == "__main__":
    main()
