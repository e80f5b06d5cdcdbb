#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""The window on a Wayland desktop (weston, headless) with no X11 display: the hot keys
become the desktop portal's global shortcuts (a test portal on a private session bus),
bound with their keys, and the portal's Activated and Deactivated signals drive the same
commands as the keys do: push-to-talk while held, F10 on its release.

usage: wayland_gui.py QUILLET_BINARY
"""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import numpy as np

from desktop_services import F8, F9, F11, SessionServices, WindowProfile, write_sounds
from e2e_support import Profile, wait_for


class WaylandDesktop(SessionServices):
    """weston with its headless back end, a private session bus and the test portal."""

    def _start(self, root):
        runtime = os.path.join(root, "runtime")
        os.makedirs(runtime, mode=0o700)
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE")}
        env.update(XDG_RUNTIME_DIR=runtime, WAYLAND_DISPLAY="wayland-quillet",
                   QT_QPA_PLATFORM="wayland")
        self.start_services(root, env)
        self.procs.append(subprocess.Popen(
            ["weston", "--backend=headless-backend.so", "--socket=wayland-quillet",
             "--shell=kiosk-shell.so", "--idle-time=0", "--width=800", "--height=720"],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        assert wait_for(lambda: os.path.exists(os.path.join(runtime, "wayland-quillet")), 10), \
            "weston did not start"


class WaylandTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="quillet-wayland-")
        cls.addClassCleanup(shutil.rmtree, cls.root, ignore_errors=True)
        cls.desktop = WaylandDesktop(cls.root)
        cls.addClassCleanup(cls.desktop.stop)
        speech, silence = write_sounds(cls.root)
        cls.bob = Profile(cls.root, "bob", 5480, 26400, "bob", silence)
        # F11 talks to Bob, F9 shows the window, Ctrl+F8 (and F10, hot key 2 as well, on
        # its release, as a door station's button asked for with ButtonNumber 0) closes Quillet.
        cls.alice = WindowProfile(cls.root, "alice", 5482, 26600, "alice", speech, {
            "Settings": {"ButtonNumber": "0"},
            "Hotkey/Details": {"MaxID": "3"},
            "Hotkey/Details\\0": {"Key": str(F11), "Command": "1", "CommandTo": cls.bob.address},
            "Hotkey/Details\\1": {"Key": str(F9), "Command": "2"},
            "Hotkey/Details\\2": {"Key": str(F8 | 2 << 16), "Command": "4"},
        })
        cls.alice.write_contacts(("Bob", cls.bob.address))
        cls.addClassCleanup(cls.bob.stop)
        cls.addClassCleanup(cls.alice.stop)
        cls.bob.start()
        cls.alice.start_window(cls.desktop)

    def bound(self):
        binds = [e for e in self.desktop.shortcut_events() if "bind" in e]
        return binds[-1] if binds else None

    def calls_started(self, profile):
        return profile.log_text().count("The call was started ...")

    def test_1_shortcuts_are_bound_with_their_keys(self):
        self.assertTrue(wait_for(lambda: self.bound() is not None, 10),
                        self.alice.log_text() + str(self.desktop.shortcut_events()))
        log = self.alice.log_text()
        self.assertIn("Hot keys are global shortcuts of the desktop portal", log)
        self.assertNotIn("X11", log)
        self.assertEqual([(s[0], s[2]) for s in self.bound()["shortcuts"]],
                         [("hotkey0", "F11"), ("hotkey1", "F9"), ("hotkey2", "CTRL+F8"),
                          ("f10", "F10")])
        self.assertEqual(self.bound()["shortcuts"][0][1], "Intercom with " + self.bob.address)
        self.assertTrue(wait_for(lambda: "Global shortcuts bound" in self.alice.log_text(), 5))

    def test_2_held_shortcut_talks_until_released(self):
        self.assertTrue(wait_for(lambda: self.bound() is not None, 10))
        before = self.calls_started(self.bob)
        self.assertEqual(self.desktop.portal("Press", "hotkey0"), "open")
        self.assertTrue(wait_for(lambda: self.calls_started(self.bob) > before, 10),
                        self.alice.log_text())
        # Held well beyond the single press's 800 ms: the call stays up.
        time.sleep(2.0)
        self.assertNotIn("The call was stopped", self.alice.log_text())
        self.assertEqual(self.desktop.portal("Release", "hotkey0"), "open")
        self.assertTrue(wait_for(lambda: "The call was stopped" in self.alice.log_text(), 5),
                        self.alice.log_text())
        heard = self.bob.heard()
        self.assertGreater(np.abs(heard).max() if len(heard) else 0, 2000, "Bob heard nothing")

    def test_3_f10_acts_on_its_release(self):
        self.assertTrue(wait_for(lambda: self.bound() is not None, 10))
        self.assertEqual(self.desktop.portal("Press", "f10"), "open")
        time.sleep(1.0)
        self.assertIsNone(self.alice.process.poll())
        # Hot key 2 is "Close Quillet": the program ends, and its session with it.
        self.assertEqual(self.desktop.portal("Release", "f10"), "open")
        self.assertTrue(wait_for(lambda: self.alice.process.poll() is not None, 15),
                        self.alice.log_text()[-1500:])
        self.assertEqual(self.alice.process.returncode, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
