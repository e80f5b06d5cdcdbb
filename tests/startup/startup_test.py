#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""End-to-end checks of the quillet executable's start-up and exit, and quillet-tool settings.

usage: startup_test.py QUILLET QUILLET_TOOL
"""
import glob
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

QUILLET = None
TOOL = None


def wait_for(predicate, timeout=10.0, step=0.02):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def voluntary_switches(pid):
    """Sum of voluntary context switches over every thread of the process."""
    total = 0
    for status in glob.glob(f"/proc/{pid}/task/*/status"):
        try:
            with open(status) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches"):
                        total += int(line.split()[1])
        except FileNotFoundError:
            pass
    return total


class Profile:
    def __init__(self):
        self.home = tempfile.mkdtemp(prefix="quillet-e2e-")
        self.env = dict(os.environ, QUILLET_HOME=self.home)
        self.procs = []

    def start(self, *args):
        # No STUN: a test never asks the public servers of the default settings.
        settings = os.path.join(self.home, "settings.ini")
        if not os.path.exists(settings):
            with open(os.open(settings, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
                f.write("[SIP]\nSTUN=0\n")
        proc = subprocess.Popen([QUILLET, "--headless", *args], env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.procs.append(proc)
        return proc

    def run(self, *args, timeout=10):
        return subprocess.run([QUILLET, *args], env=self.env, capture_output=True,
                              timeout=timeout)

    def tool(self, *args):
        return subprocess.run([TOOL, "settings", *args], env=self.env, capture_output=True,
                              timeout=10)

    def log_text(self):
        files = glob.glob(os.path.join(self.home, "Logs", "*"))
        text = ""
        for name in files:
            with open(name, "rb") as f:
                text += f.read().decode("utf-8", "replace")
        return text

    def wait_ready(self):
        """The instance is ready once its control socket exists and the log says so."""
        return wait_for(lambda: os.path.exists(os.path.join(self.home, "quillet.sock"))
                        and "Quillet Run" in self.log_text())

    def close(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            for stream in (proc.stdout, proc.stderr):
                if stream:
                    stream.close()
        shutil.rmtree(self.home, ignore_errors=True)


class StartupTest(unittest.TestCase):
    def setUp(self):
        self.profiles = []

    def tearDown(self):
        for profile in self.profiles:
            profile.close()

    def profile(self):
        p = Profile()
        self.profiles.append(p)
        return p

    def test_help_version_and_bad_option(self):
        p = self.profile()
        r = p.run("--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn(b"--headless", r.stdout)
        self.assertIn(b"no window", r.stdout)
        r = p.run("--version")
        self.assertEqual(r.returncode, 0)
        self.assertRegex(r.stdout.decode(), r"^quillet \d+\.\d+\.\d+\n$")
        r = p.run("--no-such-option")
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"unknown option", r.stderr)
        self.assertFalse(os.path.exists(os.path.join(p.home, "Logs")))

    def test_fresh_profile_run_log_and_orderly_exit(self):
        p = self.profile()
        self.assertEqual(p.tool("set", "Settings", "DoNotDisturb", "1").returncode, 0)
        proc = p.start()
        self.assertTrue(p.wait_ready())
        logs = glob.glob(os.path.join(p.home, "Logs", "*"))
        self.assertEqual(len(logs), 1)
        name = os.path.basename(logs[0])
        self.assertRegex(name, r"^\d{4}-\d{2}-\d{2} Quillet Log\.txt$")
        with open(logs[0], "rb") as f:
            data = f.read()
        self.assertRegex(data, rb"^\d{2}:\d{2}:\d{2} Quillet Run\r\n")
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=10), 0)
        # Headless: the log line also went to standard error.
        self.assertRegex(proc.stderr.read(), rb"\d{2}:\d{2}:\d{2} Quillet Run\n")
        settings = os.path.join(p.home, "settings.ini")
        self.assertEqual(stat.S_IMODE(os.stat(settings).st_mode), 0o600)
        with open(settings) as f:
            self.assertIn("DoNotDisturb=1", f.read())
        self.assertFalse(os.path.exists(os.path.join(p.home, "quillet.sock")))

    def test_sigint_writes_do_not_disturb_off_by_default(self):
        p = self.profile()
        proc = p.start()
        self.assertTrue(p.wait_ready())
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=10), 0)
        r = p.tool("get", "settings", "donotdisturb")
        self.assertEqual((r.returncode, r.stdout), (0, b"0\n"))

    def test_second_start_hands_over_and_exits_while_first_runs(self):
        p = self.profile()
        first = p.start()
        self.assertTrue(p.wait_ready())
        began = time.monotonic()
        r = p.run("-dial", "Front Door", timeout=5)
        elapsed = time.monotonic() - began
        self.assertEqual(r.returncode, 0)
        print(f"second start ended after {elapsed:.3f} s", file=sys.stderr)
        # It does not wait for anything but the running instance's answer (about 10 ms on
        # an idle machine); the bound leaves room for a loaded CI machine.
        self.assertLess(elapsed, 5.0)
        self.assertIsNone(first.poll())
        # The running instance received the arguments as one list, quoting kept: it tries
        # to call the address with the blank in it.
        self.assertTrue(wait_for(lambda: "Initiated sip call to: Front Door" in p.log_text()))
        self.assertEqual(p.log_text().count("Quillet Run"), 1)
        # A bare link dials as -dial does; an argument it does not know is logged.
        self.assertEqual(p.run("tel:+1-555-0100", "-bogus").returncode, 0)
        self.assertTrue(wait_for(lambda: "Initiated sip call to: +15550100" in p.log_text()))
        self.assertIn("Command line argument not understood, ignored: -bogus", p.log_text())
        # "-exit" handed over ends the running instance in order.
        self.assertEqual(p.run("-exit").returncode, 0)
        self.assertEqual(first.wait(timeout=10), 0)

    def test_options_refused_by_the_running_instance_exit_non_zero(self):
        # What a running instance of another user does: it takes the connection and
        # answers nothing. The options were not carried out, so the start fails.
        import socket
        p = self.profile()
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(os.path.join(p.home, "quillet.sock"))
        listener.listen(4)
        refuser = threading.Thread(target=lambda: [c.close() for c, _ in [listener.accept()]],
                                   daemon=True)
        refuser.start()
        try:
            r = p.run("-exit")
        finally:
            refuser.join(5)
            listener.close()
        self.assertIn(b"did not answer", r.stderr)
        self.assertNotEqual(r.returncode, 0)

    def test_starts_together_leave_exactly_one_instance(self):
        p = self.profile()
        procs = [p.start() for _ in range(4)]
        self.assertTrue(p.wait_ready())
        time.sleep(0.5)
        running = [proc for proc in procs if proc.poll() is None]
        ended = [proc for proc in procs if proc.poll() is not None]
        self.assertEqual(len(running), 1)
        for proc in ended:
            self.assertEqual(proc.returncode, 0)
        self.assertEqual(p.log_text().count("Quillet Run"), 1)
        running[0].send_signal(signal.SIGTERM)
        self.assertEqual(running[0].wait(timeout=10), 0)

    def test_instance_killed_hard_leaves_no_obstacle(self):
        p = self.profile()
        proc = p.start()
        self.assertTrue(p.wait_ready())
        proc.kill()
        proc.wait()
        self.assertTrue(os.path.exists(os.path.join(p.home, "quillet.sock")))  # stale
        again = p.start()
        self.assertTrue(wait_for(lambda: p.log_text().count("Quillet Run") == 2))
        self.assertIsNone(again.poll())
        again.send_signal(signal.SIGTERM)
        self.assertEqual(again.wait(timeout=10), 0)

    def test_idle_instance_sleeps(self):
        p = self.profile()
        proc = p.start()
        self.assertTrue(p.wait_ready())
        time.sleep(0.3)
        before = voluntary_switches(proc.pid)
        time.sleep(2.0)
        woke = voluntary_switches(proc.pid) - before
        print(f"idle wake-ups in 2 s: {woke}", file=sys.stderr)
        self.assertLess(woke, 10)  # no busy loop, no polling in slices
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=10), 0)


class SettingsToolTest(unittest.TestCase):
    def setUp(self):
        self.p = Profile()

    def tearDown(self):
        self.p.close()

    def test_get_set_list_delete_and_exit_statuses(self):
        p = self.p
        self.assertEqual(p.tool("get", "DefaultLine", "UserName").returncode, 1)
        self.assertEqual(p.tool("set", "DefaultLine", "UserName", "201").returncode, 0)
        self.assertEqual(p.tool("set", "Hotkey/Details\\0", "Key", "65").returncode, 0)
        self.assertEqual(p.tool("set", "SIP", "Odd", "a\nb\\c").returncode, 0)
        r = p.tool("get", "defaultline", "USERNAME")
        self.assertEqual((r.returncode, r.stdout), (0, b"201\n"))
        r = p.tool("list")
        self.assertEqual(r.returncode, 0)
        import json
        data = json.loads(r.stdout)
        self.assertEqual(data["DefaultLine"], {"UserName": "201"})
        self.assertEqual(data["Hotkey/Details\\0"], {"Key": "65"})
        self.assertEqual(data["SIP"]["Odd"], "a\nb\\c")
        self.assertEqual(json.loads(p.tool("list", "sip").stdout), {"SIP": {"Odd": "a\nb\\c"}})
        self.assertEqual(p.tool("set", "S", "bad=name", "v").returncode, 1)
        self.assertEqual(p.tool("delete", "SIP", "Odd").returncode, 0)
        self.assertEqual(p.tool("delete", "SIP", "Odd").returncode, 1)
        self.assertEqual(p.tool("get", "only-one-arg").returncode, 2)
        self.assertEqual(p.tool("frobnicate").returncode, 2)
        mode = stat.S_IMODE(os.stat(os.path.join(p.home, "settings.ini")).st_mode)
        self.assertEqual(mode, 0o600)

    def test_damaged_file_is_read_without_failing(self):
        p = self.p
        with open(os.path.join(p.home, "settings.ini"), "wb") as f:
            f.write(b"\xff\xfe garbage\n[S]\nA=\xff\n=x\n[\n")
        r = p.tool("list")
        self.assertEqual(r.returncode, 0)
        self.assertIn("S", r.stdout.decode())
        self.assertEqual(p.tool("set", "S", "B", "1").returncode, 0)
        with open(os.path.join(p.home, "settings.ini"), "rb") as f:
            self.assertTrue(f.read().startswith(b"\xff\xfe garbage\n"))  # kept as written


if __name__ == "__main__":
    QUILLET = os.path.abspath(sys.argv[1])
    TOOL = os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v"])
