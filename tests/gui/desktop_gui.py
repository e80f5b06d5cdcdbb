#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""The window on a real X server (Xvfb) with a private D-Bus session: the global
push-to-talk hot key while another program's window has the focus, the tray icon in a tray
host (trayer), desktop notifications with their actions (a test notification service),
and sip: links opened by xdg-open reaching the running instance. With QUILLET_SCREENSHOTS
set to a folder, pictures of the window and the tray menu are saved there.

usage: desktop_gui.py QUILLET_BINARY
"""
import ctypes
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import numpy as np

from desktop_services import F7, F8, F9, F11, HERE, SessionServices, WindowProfile, write_sounds
from e2e_support import QUILLET, Profile, wait_for
from sipharness import Sipp


def free_display():
    for n in range(91, 140):
        if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
            return n
    raise RuntimeError("no free X display number")


class Desktop(SessionServices):
    """Xvfb, a private session bus, the test notification service and trayer."""

    def _start(self, root):
        n = free_display()
        self.display = ":%d" % n
        self.procs.append(subprocess.Popen(["Xvfb", self.display, "-screen", "0", "800x720x24",
                                            "-nolisten", "tcp"], stderr=subprocess.DEVNULL))
        assert wait_for(lambda: os.path.exists("/tmp/.X11-unix/X%d" % n), 10), "Xvfb did not start"
        env = dict(os.environ, DISPLAY=self.display, XDG_SESSION_TYPE="x11")
        env.pop("QT_QPA_PLATFORM", None)
        env.pop("WAYLAND_DISPLAY", None)
        self.start_services(root, env)
        self.procs.append(subprocess.Popen(
            ["trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel",
             "--width", "120", "--height", "28", "--transparent", "false", "--tint", "0x303a4a"],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        assert wait_for(lambda: self.window_ids("panel") != [], 10), "trayer did not start"

    def run(self, *args, env=None, timeout=20):
        return subprocess.run(list(args), env=env or self.env, capture_output=True, text=True,
                              timeout=timeout)

    def window_ids(self, name):
        r = self.run("xdotool", "search", "--onlyvisible", "--name", name)
        return [w for w in r.stdout.split() if w]

    def tree(self, window):
        return self.run("xwininfo", "-tree", "-id", window).stdout

    def geometry(self, window):
        out = self.run("xdotool", "getwindowgeometry", "--shell", window).stdout
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def screenshot(self, path, box=None):
        x, y, w, h = box or (0, 0, 800, 720)
        x, y = max(0, x), max(0, y)
        w, h = min(w, 800 - x) // 2 * 2, min(h, 720 - y) // 2 * 2
        subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "x11grab", "-video_size",
                        "%dx%d" % (w, h), "-i", "%s+%d,%d" % (self.display, x, y),
                        "-frames:v", "1", path], check=True, env=self.env, timeout=20)

    def invoke_on_next(self, action):
        with open(self.action_file, "w") as f:
            f.write(action)

    def set_color_scheme(self, scheme):
        with open(self.scheme_file, "w") as f:
            f.write(str(scheme))

    def pixel(self, x, y):
        """The colour of one pixel of the screen as (r, g, b)."""
        out = subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "x11grab", "-video_size",
                              "2x2", "-i", "%s+%d,%d" % (self.display, x, y), "-frames:v", "1",
                              "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                             capture_output=True, env=self.env, timeout=20).stdout
        return tuple(out[:3])

    def notices_seen(self):
        if not os.path.exists(self.notices):
            return []
        with open(self.notices) as f:
            return [json.loads(line) for line in f if line.strip()]


class OtherClient:
    """Another X11 client, which tries to grab a key on the root window as a program with
    hot keys of its own would: the grab fails while Quillet holds the key."""

    def __init__(self, display):
        x = self.x = ctypes.CDLL("libX11.so.6")
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ctypes.c_ulong
        x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x.XStringToKeysym.restype = ctypes.c_ulong
        x.XStringToKeysym.argtypes = [ctypes.c_char_p]
        x.XKeysymToKeycode.restype = ctypes.c_ubyte
        x.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        x.XGrabKey.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_uint, ctypes.c_ulong,
                               ctypes.c_int, ctypes.c_int, ctypes.c_int]
        x.XUngrabKey.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_uint, ctypes.c_ulong]
        x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.display = x.XOpenDisplay(display.encode())
        assert self.display, "cannot open the X display"
        self.refused = False
        handler_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
        self.handler = handler_type(self._on_error)
        x.XSetErrorHandler(self.handler)

    def _on_error(self, display, event):
        self.refused = True  # BadAccess: another client has the key
        return 0

    def can_grab(self, key):
        x = self.x
        root = x.XDefaultRootWindow(self.display)
        code = x.XKeysymToKeycode(self.display, x.XStringToKeysym(key.encode()))
        self.refused = False
        x.XGrabKey(self.display, code, 0, root, 0, 1, 1)
        x.XSync(self.display, 0)
        if self.refused:
            return False
        x.XUngrabKey(self.display, code, 0, root)
        x.XSync(self.display, 0)
        return True

    def close(self):
        self.x.XCloseDisplay(self.display)


class DesktopTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="quillet-gui-")
        cls.addClassCleanup(cls.remove_root)
        cls.shots = os.environ.get("QUILLET_SCREENSHOTS")
        cls.desktop = Desktop(cls.root)
        # Class cleanups run also when this set-up fails half way (tearDownClass does not).
        cls.addClassCleanup(cls.desktop.stop)
        cls.speech_file, cls.silence_file = write_sounds(cls.root)
        cls.bob = Profile(cls.root, "bob", 5460, 26000, "bob", cls.silence_file)
        # Alice: F11 is a hot key for an intercom call to Bob, F9 shows and F8 hides the
        # window (records 1 and 2; F10 is a second key for record 2, as a door station's
        # button asked for with ButtonNumber 0); xdg-open knows Quillet.
        cls.alice = WindowProfile(cls.root, "alice", 5462, 26200, "alice", cls.speech_file, {
            "Settings": {"ShowStatus": "1", "UseEchoCancellation": "0", "ButtonNumber": "0"},
            # Calls that do not ask for auto-answer ring until the user answers.
            "Intercom": {"AnswerAll": "0"},
            "Hotkey/Details": {"MaxID": "3"},
            "Hotkey/Details\\0": {"Key": str(F11), "Command": "1", "CommandTo": cls.bob.address},
            "Hotkey/Details\\1": {"Key": str(F9), "Command": "2"},
            "Hotkey/Details\\2": {"Key": str(F8 | 2 << 16), "Command": "3"},
        })
        cls.alice.write_contacts(("Bob", cls.bob.address),
                                 ("Front door", "sip:door@127.0.0.1:5999"))
        cls.install_desktop_entry()
        cls.addClassCleanup(cls.bob.stop)
        cls.addClassCleanup(cls.alice.stop)
        cls.bob.start()
        cls.alice.start_window(cls.desktop)
        assert wait_for(lambda: cls.desktop.window_ids("^Quillet$") != [], 10)
        cls.window = cls.desktop.window_ids("^Quillet$")[0]
        time.sleep(1.0)

    @classmethod
    def install_desktop_entry(cls):
        data = os.path.join(cls.root, "xdg-data", "applications")
        config = os.path.join(cls.root, "xdg-config")
        os.makedirs(data)
        os.makedirs(config)
        with open(os.path.join(HERE, "..", "..", "data", "quillet.desktop")) as f:
            entry = f.read().replace("Exec=quillet ", "Exec=%s " % QUILLET)
        with open(os.path.join(data, "quillet.desktop"), "w") as f:
            f.write(entry)
        with open(os.path.join(config, "mimeapps.list"), "w") as f:
            f.write("[Default Applications]\n" + "".join(
                "x-scheme-handler/%s=quillet.desktop\n" % s for s in ("sip", "callto", "tel")))
        cls.desktop.env["XDG_DATA_HOME"] = os.path.join(cls.root, "xdg-data")
        cls.desktop.env["XDG_CONFIG_HOME"] = config

    @classmethod
    def remove_root(cls):
        if os.environ.get("QUILLET_KEEP"):
            print("kept", cls.root)
        else:
            shutil.rmtree(cls.root, ignore_errors=True)

    def shot(self, name, box=None):
        if self.shots:
            os.makedirs(self.shots, exist_ok=True)
            self.desktop.screenshot(os.path.join(self.shots, name), box)

    def window_box(self):
        return self.desktop.geometry(self.window)

    def calls_started(self, profile):
        return profile.log_text().count("The call was started ...")

    def wait_idle(self):
        self.assertTrue(wait_for(lambda: self.alice.log_text().count("The call was stopped ...")
                                 >= self.calls_started(self.alice), 30), self.alice.log_text())

    def test_0_window_starts_maximised(self):
        state = self.desktop.run("xprop", "-id", self.window, "_NET_WM_STATE").stdout
        self.assertIn("_NET_WM_STATE_MAXIMIZED_VERT", state)
        self.assertIn("_NET_WM_STATE_MAXIMIZED_HORZ", state)

    def test_1_tray_icon_is_docked_and_its_menu_opens(self):
        self.shot("window-idle.png", self.window_box())
        panel = self.desktop.window_ids("panel")[0]
        # The tray host embeds a window of Quillet's.
        self.assertTrue(wait_for(lambda: self.desktop.tree(panel).count("child") >= 1, 10),
                        self.desktop.tree(panel))
        x, y, w, h = self.desktop.geometry(panel)
        self.desktop.run("xdotool", "mousemove", str(x + w - 14), str(y + h // 2), "click", "3")
        time.sleep(0.8)
        self.shot("tray-menu.png", (800 - 260, 720 - 200, 260, 200))
        self.desktop.run("xdotool", "key", "Escape")
        # Hidden in the background, a click on the tray icon brings the window back.
        self.assertEqual(self.alice.run("-hide"), 0)
        self.assertTrue(wait_for(lambda: self.window not in self.desktop.window_ids("^Quillet$"), 5))
        self.desktop.run("xdotool", "mousemove", str(x + w - 14), str(y + h // 2), "click", "1")
        self.assertTrue(wait_for(lambda: self.window in self.desktop.window_ids("^Quillet$"), 5))

    def test_2_hot_key_talks_while_another_window_has_the_focus(self):
        panel = self.desktop.window_ids("panel")[0]
        self.desktop.run("xdotool", "windowfocus", "--sync", panel)
        focused = self.desktop.run("xdotool", "getwindowfocus").stdout.strip()
        self.assertNotEqual(focused, self.window)
        before = self.calls_started(self.bob)
        # Held down (the key repeats), the call to Bob is placed and stays up.
        self.desktop.run("xdotool", "keydown", "F11")
        self.assertTrue(wait_for(lambda: "Initiated sip call to: " in self.alice.log_text(), 5),
                        self.alice.log_text())
        self.assertTrue(wait_for(lambda: self.calls_started(self.bob) > before, 10),
                        self.bob.log_text())
        time.sleep(1.5)
        self.shot("window-in-call.png", self.window_box())
        self.assertNotIn("The call was stopped", self.alice.log_text())
        # Released: the call ends a moment later (push-to-talk).
        self.desktop.run("xdotool", "keyup", "F11")
        self.wait_idle()
        heard = self.bob.heard()
        self.assertGreater(np.abs(heard).max() if len(heard) else 0, 2000, "Bob heard nothing")

    def test_2b_window_hot_keys_and_f10(self):
        panel = self.desktop.window_ids("panel")[0]
        self.desktop.run("xdotool", "windowfocus", "--sync", panel)
        visible = lambda: self.window in self.desktop.window_ids("^Quillet$")  # noqa: E731
        self.assertTrue(visible())
        self.desktop.run("xdotool", "key", "ctrl+F8")  # record 2: Hide Quillet
        self.assertTrue(wait_for(lambda: not visible(), 5))
        self.desktop.run("xdotool", "key", "F9")  # record 1: Show Quillet
        self.assertTrue(wait_for(visible, 5))
        # F10 (Settings/ButtonNumber 0) is hot key 2 too, acting on its release.
        self.desktop.run("xdotool", "keydown", "F10")
        time.sleep(0.5)
        self.assertTrue(visible())
        self.desktop.run("xdotool", "keyup", "F10")
        self.assertTrue(wait_for(lambda: not visible(), 5))
        self.desktop.run("xdotool", "key", "F9")
        self.assertTrue(wait_for(visible, 5))

    def test_3_notifications_with_actions(self):
        alice = "sip:alice@127.0.0.1:%d" % self.alice.sip_port
        # A phone call (no auto-answer asked) rings: the notice offers Answer and Refuse;
        # the test service invokes Refuse, which ends the ringing call.
        self.desktop.invoke_on_next("refuse")
        refused = Sipp(self.root, "uac_refused.xml", remote="127.0.0.1:%d" % self.alice.sip_port,
                       extra=("-s", "alice"), name="refused",
                       subs={"status": "487", "from": "carol", "headers": "",
                             "check_header": "To", "check_value": "alice"})
        self.assertTrue(wait_for(lambda: any(n.get("summary") == "Incoming call"
                                             for n in self.desktop.notices_seen()), 10),
                        self.alice.log_text() + refused.messages())
        time.sleep(0.2)
        self.shot("window-ringing.png", self.window_box())
        self.assertEqual(refused.wait(20), 0, refused.messages())
        incoming = [n for n in self.desktop.notices_seen() if n.get("summary") == "Incoming call"][0]
        self.assertEqual(incoming["hints"]["category"], "call.incoming")
        self.assertEqual(incoming["actions"], ["answer", "Answer", "refuse", "Refuse"])
        self.assertIn("carol@127.0.0.1", incoming["body"])
        # Answer, from the notice, answers the ringing call.
        self.desktop.invoke_on_next("answer")
        started = self.calls_started(self.alice)
        answered = Sipp(self.root, "uac_call.xml", remote="127.0.0.1:%d" % self.alice.sip_port,
                        extra=("-s", "alice"), name="answered", subs={"hold": "1000"})
        self.assertEqual(answered.wait(30), 0, answered.messages())
        self.assertGreater(self.calls_started(self.alice), started)
        self.wait_idle()
        # A caller who gives up before the answer leaves a missed-call notice.
        self.desktop.invoke_on_next("")
        cancel = Sipp(self.root, "uac_cancel.xml", remote="127.0.0.1:%d" % self.alice.sip_port,
                      extra=("-s", "alice"), name="cancel")
        self.assertEqual(cancel.wait(20), 0, cancel.messages())
        self.assertTrue(wait_for(lambda: any(n.get("summary") == "Missed call"
                                             for n in self.desktop.notices_seen()), 5),
                        self.desktop.notices_seen())
        missed = [n for n in self.desktop.notices_seen() if n.get("summary") == "Missed call"][0]
        self.assertEqual(missed["hints"]["category"], "call.unanswered")
        self.assertEqual(missed["actions"], [])
        # An intercom call that plays at once gets no notice.
        count = len(self.desktop.notices_seen())
        self.assertEqual(self.bob.run("-dial", alice), 0)
        self.assertTrue(wait_for(lambda: self.calls_started(self.bob) >= 2, 10), self.bob.log_text())
        time.sleep(1.0)
        self.assertEqual(self.bob.run("-hangup"), 0)
        self.wait_idle()
        self.assertEqual([n for n in self.desktop.notices_seen()[count:] if "summary" in n], [])

    def test_3c_call_waiting_lists_both_calls(self):
        # Alice talks to Bob; a phone call comes in and waits, then is answered: Bob is held.
        self.assertEqual(self.alice.run("-dial", self.bob.address), 0)
        self.assertTrue(wait_for(lambda: "The call was started" in self.alice.log_text()
                                 .split("Initiated sip call to: " + self.bob.address)[-1], 10),
                        self.alice.log_text()[-2000:])
        waiting = Sipp(self.root, "uac_auto_answer.xml",
                       remote="127.0.0.1:%d" % self.alice.sip_port, extra=("-s", "alice"),
                       name="waiting", subs={
                           "from": "carol", "headers": "X-Dialect: none", "media": "",
                           "hold": "3000", "mode_header": "Answer-Mode",
                           "mode_check": 'check_it_inverse="true"', "check_header": "CSeq",
                           "check_value": "INVITE"})
        self.assertTrue(wait_for(lambda: "Call waiting: " in self.alice.log_text(), 10),
                        self.alice.log_text()[-2000:] + waiting.messages())
        time.sleep(0.5)
        self.shot("window-call-waiting.png", self.window_box())
        self.assertEqual(self.alice.run("-answer"), 0)
        self.assertTrue(wait_for(lambda: "The second call was started" in self.alice.log_text(),
                                 10), self.alice.log_text()[-2000:])
        self.assertTrue(wait_for(lambda: "Call held by the far end" in self.bob.log_text(), 5))
        time.sleep(0.8)
        self.shot("window-two-calls.png", self.window_box())
        self.assertEqual(waiting.wait(30), 0, waiting.messages())
        self.assertEqual(self.alice.run("-hangup"), 0)  # the held call, the one left
        self.wait_idle()

    def test_5_window_follows_the_desktop_colour_scheme(self):
        x, y, w, h = self.window_box()
        background = lambda: sum(self.desktop.pixel(x + 2, y + 110)) / 3  # noqa: E731
        self.assertGreater(background(), 160)  # light to begin with
        self.desktop.set_color_scheme(1)
        self.assertTrue(wait_for(lambda: background() < 90, 5), background())
        self.shot("window-dark.png", self.window_box())
        self.desktop.set_color_scheme(2)
        self.assertTrue(wait_for(lambda: background() > 160, 5), background())

    def test_4_xdg_open_hands_a_sip_link_to_the_running_instance(self):
        before = self.calls_started(self.bob)
        r = self.desktop.run("xdg-open", self.bob.address, env=dict(
            self.desktop.env, QUILLET_HOME=self.alice.home))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(wait_for(lambda: self.calls_started(self.bob) > before, 15),
                        self.alice.log_text())
        self.assertEqual(self.alice.run("-hangup"), 0)
        self.wait_idle()
        # Still one instance: the link went to the running one.
        self.assertIsNone(self.alice.process.poll())

    def test_6_hot_keys_are_released_while_options_is_open(self):
        other = OtherClient(self.desktop.display)
        self.addCleanup(other.close)
        self.assertFalse(other.can_grab("F11"), "Quillet does not hold its hot key")
        self.desktop.run("xdotool", "windowfocus", "--sync", self.window)
        self.desktop.run("xdotool", "key", "3")  # Options
        self.assertTrue(wait_for(lambda: self.desktop.window_ids("^Options$") != [], 10),
                        self.alice.log_text())
        # While Options is open the key is free for others and does not reach Quillet.
        self.assertTrue(wait_for(lambda: other.can_grab("F11"), 5))
        before = self.alice.log_text().count("Initiated sip call to: ")
        options = self.desktop.window_ids("^Options$")[0]
        self.desktop.run("xdotool", "windowfocus", "--sync", options)
        self.desktop.run("xdotool", "key", "F11")
        time.sleep(1.0)
        self.assertEqual(self.alice.log_text().count("Initiated sip call to: "), before)
        # Closed, the hot keys are Quillet's again.
        self.desktop.run("xdotool", "key", "Escape")
        self.assertTrue(wait_for(lambda: self.desktop.window_ids("^Options$") == [], 5))
        self.assertTrue(wait_for(lambda: not other.can_grab("F11"), 5))

    def test_7_launcher_without_a_link_brings_the_window_forward(self):
        # The desktop entry's command with its %u left empty, as a launcher click runs it.
        with open(os.path.join(self.root, "xdg-data", "applications", "quillet.desktop")) as f:
            line = [l for l in f.read().splitlines() if l.startswith("Exec=")][0]
        command = [a for a in line[len("Exec="):].split() if a != "%u"]
        self.assertEqual(command[1:], ["-dial"])
        env = dict(self.desktop.env, QUILLET_HOME=self.alice.home)
        visible = lambda: self.window in self.desktop.window_ids("^Quillet$")  # noqa: E731
        focused = lambda: self.desktop.run("xdotool", "getwindowfocus").stdout.strip()  # noqa
        calls = self.alice.log_text().count("Initiated sip call to: ")
        # Hidden in the background: shown again.
        self.assertEqual(self.alice.run("-hide"), 0)
        self.assertTrue(wait_for(lambda: not visible(), 5))
        self.assertEqual(self.desktop.run(*command, env=env).returncode, 0)
        self.assertTrue(wait_for(visible, 5))
        # Behind another program's window that has the focus: raised and given the focus.
        panel = self.desktop.window_ids("panel")[0]
        self.desktop.run("xdotool", "windowfocus", "--sync", panel)
        self.assertNotEqual(focused(), self.window)
        self.assertEqual(self.desktop.run(*command, env=env).returncode, 0)
        self.assertTrue(wait_for(lambda: focused() == self.window, 5), focused())
        # No link, nothing dialled; still the one instance.
        self.assertEqual(self.alice.log_text().count("Initiated sip call to: "), calls)
        self.assertIsNone(self.alice.process.poll())

    def test_8_portal_shortcuts_are_closed_while_options_is_open(self):
        # An X11 program on a Wayland desktop (XWayland) takes the portal's shortcuts, as
        # grabs would see keys only while one of its own windows has the focus.
        carol = WindowProfile(self.root, "carol", 5464, 26400, "carol", self.silence_file, {
            "Hotkey/Details": {"MaxID": "2"},
            "Hotkey/Details\\0": {"Key": str(F11), "Command": "3"},
            "Hotkey/Details\\1": {"Key": str(F9), "Command": "2"},
        })
        carol.write_contacts(("Bob", self.bob.address))
        self.addCleanup(carol.stop)
        carol.start_window(self.desktop, XDG_SESSION_TYPE="wayland")
        binds = lambda: [e for e in self.desktop.shortcut_events() if "bind" in e]  # noqa: E731
        self.assertTrue(wait_for(lambda: len(binds()) == 1, 10), carol.log_text())
        self.assertIn("Hot keys are global shortcuts of the desktop portal", carol.log_text())
        self.assertTrue(wait_for(lambda: len(self.desktop.window_ids("^Quillet$")) == 2, 10))
        window = [w for w in self.desktop.window_ids("^Quillet$") if w != self.window][0]
        visible = lambda: window in self.desktop.window_ids("^Quillet$")  # noqa: E731
        self.assertEqual(self.desktop.portal("Press", "hotkey0"), "open")  # Hide Quillet
        self.desktop.portal("Release", "hotkey0")
        self.assertTrue(wait_for(lambda: not visible(), 5))
        self.assertEqual(self.desktop.portal("Press", "hotkey1"), "open")  # Show Quillet
        self.desktop.portal("Release", "hotkey1")
        self.assertTrue(wait_for(visible, 5))
        # Options closes the session; a signal of the closed session does nothing.
        self.desktop.run("xdotool", "windowfocus", "--sync", window)
        self.desktop.run("xdotool", "key", "3")
        self.assertTrue(wait_for(lambda: self.desktop.window_ids("^Options$") != [], 10))
        session = binds()[0]["bind"]
        self.assertTrue(wait_for(lambda: {"closed": session} in self.desktop.shortcut_events(), 5))
        self.assertEqual(self.desktop.portal("Press", "hotkey0"), "closed")
        self.desktop.portal("Release", "hotkey0")
        time.sleep(1.0)
        self.assertTrue(visible())
        # Closed, a new session binds the keys again and they act.
        options = self.desktop.window_ids("^Options$")[0]
        self.desktop.run("xdotool", "windowfocus", "--sync", options)
        self.desktop.run("xdotool", "key", "Escape")
        self.assertTrue(wait_for(lambda: self.desktop.window_ids("^Options$") == [], 5))
        self.assertTrue(wait_for(lambda: len(binds()) == 2, 5), self.desktop.shortcut_events())
        self.assertNotEqual(binds()[1]["bind"], session)
        self.assertEqual(self.desktop.portal("Press", "hotkey0"), "open")
        self.desktop.portal("Release", "hotkey0")
        self.assertTrue(wait_for(lambda: not visible(), 5))

    # Closing while a question or dialog is open: SIGTERM (a session manager, systemd), a
    # later start's -exit and the close hot key cancel it and end the program normally.
    def start_behind(self, name, port, title, settings, contacts=False):
        """A profile of its own, started until the window `title` shows."""
        profile = WindowProfile(self.root, name, port, port * 10 - 26000, name,
                                self.silence_file, settings)
        if contacts:
            profile.write_contacts(("Bob", self.bob.address))
        self.addCleanup(profile.stop)
        profile.launch(self.desktop)
        self.assertTrue(wait_for(lambda: self.desktop.window_ids(title) != [], 15),
                        profile.log_text())
        time.sleep(0.3)
        return profile

    def assert_closes(self, profile, title):
        try:
            code = profile.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.fail("still running 5 s after the close with %s open" % title)
        self.assertEqual(code, 0)
        self.assertIn("Closing Quillet", profile.log_text())
        # The teardown ran: it writes the do-not-disturb flag back.
        with open(os.path.join(profile.home, "settings.ini")) as f:
            stored = f.read()
        self.assertIn("DoNotDisturb=0", stored)
        self.assertEqual(self.desktop.window_ids(title), [])
        return stored

    def test_9a_sigterm_ends_the_welcome_question(self):
        carol = self.start_behind("welcome", 5466, "^Welcome$",
                                  {"Settings": {"NewInstall": "1", "InstallWizRun": "0"}})
        carol.process.send_signal(signal.SIGTERM)
        stored = self.assert_closes(carol, "^Welcome$")
        self.assertNotIn("NewInstall=0", stored)  # unanswered: asked again next time

    def test_9b_sigterm_ends_the_contact_dialog_of_the_start(self):
        # No contacts: the start opens the Contact dialog.
        dave = self.start_behind("nocontacts", 5468, "^Add New Contact$", {})
        dave.process.send_signal(signal.SIGTERM)
        self.assert_closes(dave, "^Add New Contact$")
        book = os.path.join(dave.home, "contacts.ini")
        self.assertNotIn("entry0name", open(book).read() if os.path.exists(book) else "")

    def test_9c_exit_from_a_second_start_ends_options(self):
        erin = self.start_behind("options", 5470, "^Quillet$", {}, contacts=True)
        self.assertTrue(wait_for(lambda: "SIP Number:" in erin.log_text(), 10))
        window = [w for w in self.desktop.window_ids("^Quillet$") if w != self.window][-1]
        self.desktop.run("xdotool", "windowfocus", "--sync", window)
        self.desktop.run("xdotool", "key", "3")
        self.assertTrue(wait_for(lambda: self.desktop.window_ids("^Options$") != [], 10))
        second = subprocess.run([QUILLET, "-exit"], env=dict(self.desktop.env,
                                                            QUILLET_HOME=erin.home),
                                capture_output=True, timeout=10)
        self.assertEqual(second.returncode, 0, second.stderr)
        self.assert_closes(erin, "^Options$")

    def test_9d_close_hot_key_ends_the_welcome_question(self):
        frank = self.start_behind("hotkey", 5472, "^Welcome$", {
            "Settings": {"NewInstall": "1", "InstallWizRun": "0"},
            "Hotkey/Details": {"MaxID": "1"},
            "Hotkey/Details\\0": {"Key": str(F7), "Command": "4"},  # Close Quillet
        })
        self.desktop.run("xdotool", "key", "F7")
        self.assert_closes(frank, "^Welcome$")


if __name__ == "__main__":
    unittest.main(verbosity=2)
