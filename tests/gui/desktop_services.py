"""What the window tests share: the argument that names the quillet binary, the key codes
of the hot-key records, and a private session bus with the test notification service and
desktop portal (notify_listener.py), whose global shortcuts a test presses and releases."""
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
if len(sys.argv) > 1 and os.path.isfile(sys.argv[1]):
    os.environ["QUILLET_BINARY"] = sys.argv.pop(1)
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "sip"))
from sipharness import end_process  # noqa: E402

# Key codes of the hot-key records (function keys 11, 9 and 8).
F11, F9, F8, F7 = 0x7A, 0x78, 0x77, 0x76


class SessionServices:
    """Processes the test started, ended in reverse order by stop()."""

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
