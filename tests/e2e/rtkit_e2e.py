#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Real-time audio threads on the user's path: a private system bus with polkit and rtkit, two
profiles call each other; on the one that reaches rtkit the capture and playback threads run
round-robin real-time at priority 10 while the call is up, and its log says so once; the other,
whose system bus has no rtkit, says it has no real-time priority and its call is as good."""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from e2e_support import LabCase, Process, run_tests, take_binary_argument, wait_for

take_binary_argument()

RTKIT = "/usr/libexec/rtkit-daemon"
POLKIT = "/usr/lib/polkit-1/polkitd"
SCHED_FIFO, SCHED_RR = 1, 2

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow send_type="signal"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
  </policy>
</busconfig>
"""


def on_bus(env, name):
    """Whether `name` has an owner on the bus of env's DBUS_SYSTEM_BUS_ADDRESS."""
    reply = subprocess.run(["dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.DBus",
                            "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                            "string:" + name], env=env, capture_output=True, text=True)
    return "boolean true" in reply.stdout


def realtime_threads(pid):
    """{thread name: (policy, priority)} of the process's threads that run real-time."""
    found = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                stat = f.read()
        except OSError:
            continue  # ended meanwhile
        name = stat[stat.index("(") + 1:stat.rindex(")")]
        fields = stat[stat.rindex(")") + 2:].split()
        policy, priority = int(fields[38]), int(fields[37])
        if policy in (SCHED_FIFO, SCHED_RR):
            found["%s/%s" % (name, tid)] = (policy, priority)
    return found


@unittest.skipUnless(os.path.exists(RTKIT) and os.path.exists(POLKIT) and shutil.which("dbus-daemon"),
                     "rtkit, polkit or dbus-daemon not installed")
@unittest.skipUnless(os.geteuid() == 0, "the private system bus's daemons run as root")
class RealtimeAudioThreads(LabCase):
    def system_bus(self):
        """A system bus of the test's own with polkit and rtkit on it: its address."""
        # polkitd connects after dropping to its own user: the socket's folder is open to all.
        folder = tempfile.mkdtemp(prefix="quillet-bus-")
        os.chmod(folder, 0o755)
        self.cleanup.append(lambda: shutil.rmtree(folder, ignore_errors=True))
        socket_path = os.path.join(folder, "system_bus_socket")
        config = os.path.join(self.dir, "bus.conf")
        with open(config, "w") as f:
            f.write(BUS_CONFIG % socket_path)
        self.owned(Process(["dbus-daemon", "--config-file=" + config, "--nofork"], self.dir, "bus"))
        self.assertTrue(wait_for(lambda: os.path.exists(socket_path), 5))
        address = "unix:path=" + socket_path
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address)
        self.polkit = self.owned(Process([POLKIT, "--no-debug"], self.dir, "polkit", env))
        self.assertTrue(wait_for(lambda: on_bus(env, "org.freedesktop.PolicyKit1"), 10),
                        self.polkit.output())
        # rtkit limits its own file size to nothing: its messages reach the log through a pipe.
        rtkit = self.owned(Process(["sh", "-c", 'exec "$0" --no-canary --stderr 2>&1 | cat', RTKIT],
                                   self.dir, "rtkit", env))
        self.assertTrue(wait_for(lambda: on_bus(env, "org.freedesktop.RealtimeKit1"), 10),
                        rtkit.output())
        self.rtkit = rtkit
        return address

    def test_audio_threads_run_real_time_where_rtkit_grants_it(self):
        address = self.system_bus()
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = address
        talk_back = {"Intercom": {"AutoTalkBack": "1"}}
        a = self.quillet("alice", self.speech_file, talk_back)
        a.start()
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + os.path.join(self.dir, "no-bus")
        b = self.quillet("bob", self.silence_file, talk_back)
        b.start()
        del os.environ["DBUS_SYSTEM_BUS_ADDRESS"]

        self.assertEqual(a.run("-dial", b.address), 0)
        self.assertTrue(wait_for(lambda: "The call was started" in b.log_text(), 10), a.log_text())
        time.sleep(1.5)
        during = realtime_threads(a.process.pid)
        print("real-time threads during the call:", during)
        self.assertGreaterEqual(len(during), 2, a.log_text() + self.rtkit.output() + self.polkit.output())  # capture and playback
        self.assertTrue(all(v == (SCHED_RR, 10) for v in during.values()), during)
        self.assertEqual(realtime_threads(b.process.pid), {})
        granted = "Audio threads: real-time priority 10 (SCHED_RR) from rtkit"
        self.assertEqual(a.log_text().count(granted), 1, a.log_text())
        self.assertIn("Audio threads: no real-time priority (no system bus", b.log_text())
        time.sleep(len(self.speech) / 8000)
        self.assertEqual(a.run("-hangup"), 0)
        self.assertTrue(wait_for(lambda: "The call was stopped" in b.log_text(), 10))
        self.assert_words_heard("bob heard alice", b.heard())


if __name__ == "__main__":
    run_tests({})
