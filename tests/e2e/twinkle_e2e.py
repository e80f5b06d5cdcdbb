#!/usr/bin/python3
"""Quillet against Twinkle's console phone (twinkle-console), in the network namespace the
test runs in (tests/in-netns): Twinkle calls Quillet and Quillet calls Twinkle, each call
answered and ended from the other side. Twinkle has no file audio of its own; its ALSA
devices are the null PCM, so only the signalling and the RTP that reaches Quillet are
checked."""
import os
import shutil
import sys
import time
import unittest

if len(sys.argv) > 1:
    os.environ["QUILLET_BINARY"] = sys.argv.pop(1)
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "sip"))
import sipharness as h  # noqa: E402
from e2e_support import ConsolePhone, LabCase, run_tests, wait_for  # noqa: E402

TWINKLE = shutil.which("twinkle-console")


class Twinkle(ConsolePhone):
    """twinkle-console with a home folder of its own (its profile "twinkle")."""

    def __init__(self, folder, port):
        home = os.path.join(folder, "twinkle")
        config = os.path.join(home, ".twinkle")
        os.makedirs(config)
        self.port = port
        with open(os.path.join(config, "twinkle.sys"), "w") as f:
            f.write("dev_ringtone=alsa:null\ndev_speaker=alsa:null\ndev_mic=alsa:null\n"
                    "sip_udp_port=%d\nrtp_port=%d\nlog_show_sip=yes\n"
                    "start_user_profile=twinkle\n" % (port, h.free_udp_port()))
        with open(os.path.join(config, "twinkle.cfg"), "w") as f:
            f.write("user_name=twinkle\nuser_domain=127.0.0.1\nuser_display=Twinkle\n"
                    "register_at_startup=no\n")
        super().__init__([TWINKLE], home, "console.log")

    def output(self):
        # The SIP messages go to its own log file.
        text = super().output()
        log = os.path.join(self.home, ".twinkle", "twinkle.log")
        if os.path.exists(log):
            with open(log, "rb") as f:
                text += f.read().decode("utf-8", "replace")
        return text


@unittest.skipUnless(TWINKLE, "twinkle-console is not installed (package twinkle-console)")
class TwinkleTest(LabCase):
    prefix = "quillet-twinkle-"

    def setUp(self):
        super().setUp()
        self.q = self.quillet("quillet", self.silence_file)
        self.tw = Twinkle(self.dir, h.free_udp_port())
        self.cleanup.append(self.tw.stop)
        self.q.start()
        self.assertTrue(wait_for(lambda: "Twinkle" in self.tw.output(), 10), self.tw.output())

    def test_twinkle_calls_quillet(self):
        self.tw.command("call sip:quillet@127.0.0.1:%d" % self.q.sip_port)
        self.assertTrue(wait_for(lambda: "The call was started" in self.q.log_text(), 10),
                        self.q.log_text() + self.tw.output()[-3000:])
        time.sleep(2)
        self.tw.command("bye")
        self.assertTrue(wait_for(lambda: "The call was stopped" in self.q.log_text(), 10),
                        self.tw.output()[-3000:])

    def test_quillet_calls_twinkle(self):
        self.assertEqual(self.q.run("-dial", "sip:twinkle@127.0.0.1:%d" % self.tw.port), 0)
        self.assertTrue(wait_for(lambda: "SIP/2.0 180 Ringing" in self.tw.output(), 10),
                        self.tw.output()[-3000:])
        self.tw.command("answer")
        self.assertTrue(wait_for(lambda: "The call was started" in self.q.log_text(), 15),
                        self.q.log_text() + self.tw.output()[-3000:])
        time.sleep(2)
        self.assertEqual(self.q.run("-hangup"), 0)
        self.assertTrue(wait_for(lambda: "The call was stopped" in self.q.log_text(), 10))


if __name__ == "__main__":
    run_tests({"test_twinkle_calls_quillet": "twinkle", "test_quillet_calls_twinkle": "twinkle"})
