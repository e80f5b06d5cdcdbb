#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Quillet against Twinkle's console phone (twinkle-console), in the network namespace the
test runs in (tests/in-netns): Twinkle calls Quillet and Quillet calls Twinkle, each call
answered and ended from the other side. Twinkle has no file audio of its own: when the paced
test PCM of tests/audio_devices is at hand (QUILLET_ALSA_PACED), its microphone and speaker
are ALSA file devices over it and the call Twinkle makes is checked for speech both ways;
otherwise its devices are the null PCM and only the signalling is checked."""
import os
import shutil
import time
import unittest

import numpy as np

from e2e_support import (RATE, ConsolePhone, LabCase, from_first_sound,
                         read_wav, run_tests, take_binary_argument, wait_for, write_wav)
import sipharness as h  # noqa: E402 (on the path that e2e_support sets)

take_binary_argument()


TWINKLE = shutil.which("twinkle-console")
# The paced test PCM (tests/audio_devices) that gives Twinkle real-time file audio.
PACED = os.environ.get("QUILLET_ALSA_PACED")


class Twinkle(ConsolePhone):
    """twinkle-console with a home folder of its own (its profile "twinkle")."""

    def __init__(self, folder, port, microphone=None):
        home = os.path.join(folder, "twinkle")
        config = os.path.join(home, ".twinkle")
        os.makedirs(config)
        self.port = port
        self.heard_raw = os.path.join(home, "heard.raw")
        mic = speaker = "alsa:null"
        env = {}
        if microphone and PACED:
            # Real-time ALSA devices that read the microphone from a file and write what is
            # heard to one: the file plugin over the paced test PCM.
            raw = os.path.join(home, "mic.raw")
            with open(raw, "wb") as f:
                f.write(np.asarray(read_wav(microphone), dtype="<i2").tobytes())
            asound = os.path.join(home, "asound.conf")
            with open(asound, "w") as f:
                f.write('pcm_type.quillet_paced { lib "%s" }\n' % PACED)
                for name, infile, outfile in (("twmic", raw, "/dev/null"),
                                              ("twspk", None, self.heard_raw)):
                    f.write('pcm.%s { type file slave.pcm { type quillet_paced rate 8000 '
                            'channels 1 } file "%s" %s format "raw" }\n' % (
                                name, outfile, 'infile "%s"' % infile if infile else ""))
            env["ALSA_CONFIG_PATH"] = "/usr/share/alsa/alsa.conf:" + asound
            mic, speaker = "alsa:twmic", "alsa:twspk"
        with open(os.path.join(config, "twinkle.sys"), "w") as f:
            f.write(("dev_ringtone=alsa:null\ndev_speaker=%s\ndev_mic=%s\n" % (speaker, mic)) +
                    "sip_udp_port=%d\nrtp_port=%d\nlog_show_sip=yes\n"
                    "start_user_profile=twinkle\n" % (port, h.free_udp_port()))
        with open(os.path.join(config, "twinkle.cfg"), "w") as f:
            f.write("user_name=twinkle\nuser_domain=127.0.0.1\nuser_display=Twinkle\n"
                    "register_at_startup=no\n")
        super().__init__([TWINKLE], home, "console", env)

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

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # Quillet answers after Twinkle's words: its speech starts 6 s into its file.
        cls.reply_file = os.path.join(cls.root, "reply.wav")
        write_wav(cls.reply_file, np.concatenate([np.zeros(RATE * 6), cls.speech,
                                                  np.zeros(RATE * 10)]))

    def setUp(self):
        super().setUp()
        self.q = self.quillet("quillet", self.reply_file, {"Intercom": {"AutoTalkBack": "1"}})
        self.tw = Twinkle(self.dir, h.free_udp_port())
        self.cleanup.append(self.tw.stop)
        self.q.start()
        self.assertTrue(wait_for(lambda: "Twinkle" in self.tw.output(), 10), self.tw.output())

    def test_twinkle_calls_quillet(self):
        # This call carries speech from Twinkle's file microphone.
        self.tw.stop()
        self.tw = Twinkle(os.path.join(self.dir, "speaking"), h.free_udp_port(), self.speech_file)
        self.cleanup.append(self.tw.stop)
        self.assertTrue(wait_for(lambda: "Twinkle" in self.tw.output(), 10), self.tw.output())
        self.tw.command("call sip:quillet@127.0.0.1:%d" % self.q.sip_port)
        self.assertTrue(wait_for(lambda: "The call was started" in self.q.log_text(), 10),
                        self.q.log_text() + self.tw.output()[-3000:])
        time.sleep(6 + len(self.speech) / RATE + 1.5 if PACED else 2)
        self.tw.command("bye")
        self.assertTrue(wait_for(lambda: "The call was stopped" in self.q.log_text(), 10),
                        self.tw.output()[-3000:])
        if PACED:
            self.q.stop()
            self.tw.stop()
            with open(self.tw.heard_raw, "rb") as f:
                twinkle_heard = np.frombuffer(f.read(), dtype="<i2").astype(float)
            for who, heard in (("Twinkle -> Quillet", self.q.heard()),
                               ("Quillet -> Twinkle", twinkle_heard)):
                self.assert_words_heard(who, from_first_sound(heard))

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
