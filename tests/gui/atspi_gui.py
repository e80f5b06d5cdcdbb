#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""The window as a screen reader sees it: quillet runs on Xvfb with a private session bus
and its accessibility bus (at-spi-bus-launcher); the test walks the window's accessibility
tree over AT-SPI, finds every button and field by its accessible name, and presses
Intercom through the action interface: the selected contact (a UDP socket on loopback)
receives the call's INVITE and the button turns into Cancel.

usage: atspi_gui.py QUILLET_BINARY
"""
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from desktop_services import WindowProfile, write_sounds
from e2e_support import wait_for
from sipharness import end_process

# The controls of the main window, by accessible role and name (Do Not Disturb stays pressed:
# a check box to AT-SPI). The contact list is named by its selected row, as a combo box reads
# out.
BUTTONS = {"Intercom", "Do Not Disturb", "Options"}
FIELDS = {("slider", "Speaker volume"), ("slider", "Microphone volume")}


def free_display():
    for n in range(141, 190):
        if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
            return n
    raise RuntimeError("no free X display number")


class AccessibleDesktop:
    """Xvfb, a session bus and the accessibility bus on it; stop() ends them in reverse."""

    SCREEN = "800x720x24"

    def __init__(self):
        self.procs = []
        try:
            self._start()
        except BaseException:
            self.stop()
            raise

    def _start(self):
        n = free_display()
        self.display = ":%d" % n
        self.procs.append(subprocess.Popen(["Xvfb", self.display, "-screen", "0", self.SCREEN,
                                            "-nolisten", "tcp"], stderr=subprocess.DEVNULL))
        assert wait_for(lambda: os.path.exists("/tmp/.X11-unix/X%d" % n), 10), "no Xvfb"
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                               stdout=subprocess.PIPE, text=True)
        self.procs.append(bus)
        address = bus.stdout.readline().strip()
        self.env = dict(os.environ, DISPLAY=self.display, XDG_SESSION_TYPE="x11",
                        DBUS_SESSION_BUS_ADDRESS=address, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                        QT_ACCESSIBILITY="1", NO_AT_BRIDGE="0")
        for name in ("QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "AT_SPI_BUS_ADDRESS"):
            self.env.pop(name, None)
        launcher = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                                    env=self.env, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        self.procs.append(launcher)
        # Asked by name only once the launcher owns it: a call to org.a11y.Bus before that
        # has the session bus start a second launcher of its own.
        assert wait_for(self._launcher_owns_bus, 10), "the accessibility bus did not start"
        assert wait_for(self._bus_ready, 10), "the accessibility bus gives no address"

    def _send(self, *args):
        return subprocess.run(["dbus-send", "--session", "--print-reply=literal", *args],
                              env=self.env, capture_output=True, text=True, timeout=5)

    def _launcher_owns_bus(self):
        r = self._send("--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                       "org.freedesktop.DBus.NameHasOwner", "string:org.a11y.Bus")
        return r.returncode == 0 and "true" in r.stdout

    def _bus_ready(self):
        r = self._send("--dest=org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus.GetAddress")
        return r.returncode == 0 and "unix:" in r.stdout

    def stop(self):
        for p in reversed(self.procs):
            end_process(p)
            if p.stdout:
                p.stdout.close()
        self.procs = []


def registry_answers(pyatspi):
    try:
        return pyatspi.Registry.getDesktop(0).childCount >= 0
    except Exception:  # not started yet
        return False


def walk(node, depth=0):
    """Every accessible below node (depth first)."""
    if node is None or depth > 40:
        return
    yield node
    for i in range(node.childCount):
        yield from walk(node.getChildAtIndex(i), depth + 1)


class AtSpiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="quillet-atspi-")
        cls.desktop = AccessibleDesktop()
        # pyatspi talks to the bus of this process's environment: the test's own.
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = cls.desktop.env["DBUS_SESSION_BUS_ADDRESS"]
        os.environ["DISPLAY"] = cls.desktop.display
        import pyatspi  # noqa: E402 (needs the bus address first)
        cls.pyatspi = pyatspi
        # The registry up before quillet starts: a toolkit registers its application with a
        # call that waits for the registry's answer, so a registry slow to start (a loaded
        # machine) would otherwise hold the window's start.
        assert wait_for(lambda: registry_answers(pyatspi), 20), "the registry did not start"

    @classmethod
    def tearDownClass(cls):
        cls.desktop.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    def application(self):
        desktop = self.pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.name.lower() == "quillet":
                return app
        return None

    def controls(self, app):
        """(role name, accessible name, accessible) of every showing button and field."""
        roles = {"push button", "toggle button", "check box", "radio button", "combo box",
                 "text", "entry", "spin button", "slider", "password text"}
        found = []
        for node in walk(app):
            try:
                role = node.getRoleName()
                showing = node.getState().contains(self.pyatspi.STATE_SHOWING)
            except Exception:  # a node that went away while walking
                continue
            if role in roles and showing:
                found.append((role, node.name, node))
        return found

    def test_every_control_has_a_name_and_intercom_presses_through_the_action(self):
        door = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        door.bind(("127.0.0.1", 0))
        door.settimeout(0.2)
        self.addCleanup(door.close)
        port = door.getsockname()[1]
        _, silence = write_sounds(self.root)
        profile = WindowProfile(self.root, "alice", 5480, 28400, "alice", silence,
                                {"Recent": {"LastRecentIndex": "0"}})
        door_address = "sip:door@127.0.0.1:%d" % port
        profile.write_contacts(("Door", door_address))
        self.addCleanup(profile.stop)
        profile.start_window(self.desktop, timeout=40)

        self.assertTrue(wait_for(lambda: self.application() is not None, 15),
                        "quillet is not on the accessibility bus")
        app = self.application()
        found = []

        def all_there():
            found[:] = self.controls(app)
            buttons = {name for role, name, _ in found
                       if role in ("push button", "toggle button", "check box")}
            fields = {(role, name) for role, name, _ in found}
            return (BUTTONS <= buttons and FIELDS <= fields and
                    ("combo box", "Door <%s>" % door_address) in fields)
        self.assertTrue(wait_for(all_there, 15),
                        "found: %s" % sorted((r, n) for r, n, _ in found))
        unnamed = [role for role, name, _ in found if not name.strip()]
        self.assertEqual(unnamed, [], "controls without an accessible name")

        intercom = next(node for role, name, node in found
                        if role in ("push button", "toggle button") and name == "Intercom")
        self.assertTrue(intercom.getState().contains(self.pyatspi.STATE_ENABLED))
        action = intercom.queryAction()
        names = [action.getName(i).lower() for i in range(action.nActions)]
        press = next(i for i, n in enumerate(names) if n in ("press", "click"))
        self.assertTrue(action.doAction(press))

        # The press started a call: the contact's socket receives the INVITE.
        invite = b""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not invite.startswith(b"INVITE "):
            try:
                invite = door.recv(65535)
            except socket.timeout:
                pass
        self.assertTrue(invite.startswith(b"INVITE sip:door@127.0.0.1:%d" % port),
                        invite[:200] + profile.log_text().encode()[-2000:])
        # and the button now offers to cancel the call, under its new name.
        self.assertTrue(wait_for(lambda: any(
            name == "Cancel" for _, name, _ in self.controls(app)), 10),
            sorted(n for _, n, _ in self.controls(app)))


if __name__ == "__main__":
    unittest.main(verbosity=2)
