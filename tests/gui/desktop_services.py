# SPDX-License-Identifier: Apache-2.0
"""What the window tests share: the argument that names the quillet binary, the key codes
of the hot-key records, their sounds, profiles whose window runs on the test desktop, and a
private session bus with the test notification service and desktop portal
(notify_listener.py), whose global shortcuts a test presses and releases."""
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
if len(sys.argv) > 1 and os.path.isfile(sys.argv[1]):
    os.environ["QUILLET_BINARY"] = sys.argv.pop(1)
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "sip"))
import numpy as np  # noqa: E402
from e2e_support import QUILLET, RATE, Profile, wait_for, write_wav  # noqa: E402
from sipharness import end_process  # noqa: E402

# Key codes of the hot-key records (function keys 11, 9 and 8).
F11, F9, F8, F7 = 0x7A, 0x78, 0x77, 0x76


def write_sounds(root):
    """A gliding tone that stands for speech and a silence, 30 s each: their paths."""
    tones = 300 + 1200 * np.abs(np.sin(np.arange(RATE * 30) / 900.0))
    speech = os.path.join(root, "speech.wav")
    write_wav(speech, 8000 * np.sin(np.cumsum(2 * np.pi * tones / RATE)))
    silence = os.path.join(root, "silence.wav")
    write_wav(silence, np.zeros(RATE * 30))
    return speech, silence


class WindowProfile(Profile):
    """A profile whose quillet runs with its window on the test desktop."""

    def launch(self, desktop, **extra_env):
        self.output = open(os.path.join(self.home, "stderr.txt"), "wb")
        # The window speaks English unless a test asks for another language: the tests find
        # its windows by their English titles whatever the machine's language.
        env = dict(desktop.env, LANG="C.UTF-8", LANGUAGE="", LC_ALL="", LC_MESSAGES="")
        env.update(QUILLET_HOME=self.home, **extra_env)
        self.process = subprocess.Popen([QUILLET], env=env, stdout=self.output,
                                        stderr=subprocess.STDOUT)

    def start_window(self, desktop, timeout=15, **extra_env):
        self.launch(desktop, **extra_env)
        assert wait_for(lambda: "SIP Number:" in self.log_text(), timeout), \
            (self.log_text(), self.output_text())

    def output_text(self):
        with open(os.path.join(self.home, "stderr.txt"), "rb") as f:
            return f.read().decode(errors="replace")

    def write_contacts(self, *contacts):
        """The address book: these (name, address) entries."""
        lines = ["[contacts]", "entrycount=%d" % len(contacts)]
        for n, (name, phone) in enumerate(contacts):
            lines += ["entry%did=%d" % (n, n), "entry%dname=%s" % (n, name),
                      "entry%dphone=%s" % (n, phone), "entry%demail=" % n]
        with open(os.path.join(self.home, "contacts.ini"), "w") as f:
            f.write("\r\n".join(lines) + "\r\n")


class SessionServices:
    """Processes the test started, ended in reverse order by stop(); a subclass starts
    them in _start(root), and what it started is ended if that fails half way."""

    def __init__(self, root):
        self.root = root
        self.procs = []
        try:
            self._start(root)
        except BaseException:
            self.stop()
            raise

    def start_services(self, root, env):
        """The bus and the listener; self.env is `env` with the bus address."""
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                               stdout=subprocess.PIPE, text=True)
        self.procs.append(bus)
        self.env = dict(env, DBUS_SESSION_BUS_ADDRESS=bus.stdout.readline().strip())
        self.notices = os.path.join(root, "notices.jsonl")
        self.action_file = os.path.join(root, "action.txt")
        self.scheme_file = os.path.join(root, "color-scheme.txt")
        self.shortcuts = os.path.join(root, "shortcuts.jsonl")
        listener = subprocess.Popen([sys.executable, os.path.join(HERE, "notify_listener.py"),
                                     self.notices, self.action_file, self.scheme_file,
                                     self.shortcuts], env=self.env,
                                    stdout=subprocess.PIPE, text=True)
        self.procs.append(listener)
        assert listener.stdout.readline().strip() == "ready"

    def portal(self, method, shortcut):
        """Presses or releases a shortcut bound at the test portal: "open", "closed" (the
        session that bound it is closed) or "unbound"."""
        return subprocess.run(
            ["dbus-send", "--session", "--print-reply=literal",
             "--dest=org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
             "org.quillet.TestPortal." + method, "string:" + shortcut],
            env=self.env, capture_output=True, text=True, timeout=10).stdout.strip()

    def shortcut_events(self):
        if not os.path.exists(self.shortcuts):
            return []
        with open(self.shortcuts) as f:
            return [json.loads(line) for line in f if line.strip()]

    def stop(self):
        for p in reversed(self.procs):
            end_process(p)
