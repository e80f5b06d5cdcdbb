#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Quillet against Linphone's command-line phone (linphonec), both in the network
namespace the test runs in (tests/in-netns): Linphone calls Quillet and Quillet calls
Linphone, each side speaking from a WAV file, and each must hear the other.
Linphone plays and records WAV files ("soundcard use files"); Quillet uses its file
devices. Linphone also calls Quillet over TLS."""
import os
import re
import shutil
import subprocess
import time
import unittest

import numpy as np

from e2e_support import (RATE, ConsolePhone, LabCase, from_first_sound, pieces_intact, read_wav,
                         run_tests, take_binary_argument, wait_for, write_wav)
import sipharness as h  # noqa: E402 (on the path that e2e_support sets)

take_binary_argument()

LINPHONEC = shutil.which("linphonec")
# Linphone answers after the caller's words: its speech starts this late in its file.
REPLY_DELAY = 6.0


class Linphone(ConsolePhone):
    """linphonec with a configuration of its own, playing and recording WAV files."""

    def __init__(self, folder, port, play, record, sip_extra=""):
        """sip_extra: more lines of the [sip] section."""
        home = os.path.join(folder, "linphone")
        os.makedirs(os.path.join(home, ".local", "share", "linphone"))
        self.port = port
        rc = os.path.join(home, "linphonerc")
        with open(rc, "w") as f:
            f.write("[sip]\nsip_port=%d\nsip_tcp_port=-1\nsip_tls_port=-1\n"
                    "contact=sip:linphone@127.0.0.1\nguess_hostname=0\n%s"
                    "[rtp]\naudio_rtp_port=%d\n[sound]\nechocancellation=0\n"
                    "[net]\nnat_policy_ref=\n" % (port, sip_extra, h.free_udp_port()))
        super().__init__([LINPHONEC, "-c", rc, "-a"], home, "linphonec")
        time.sleep(1.5)
        self.command("soundcard use files")
        self.command("play " + play)
        self.command("record " + record)


@unittest.skipUnless(LINPHONEC, "linphonec is not installed (package linphone-cli)")
class LinphoneTest(LabCase):
    prefix = "quillet-linphone-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.caller_file = os.path.join(cls.root, "caller.wav")
        write_wav(cls.caller_file, np.concatenate([cls.speech, np.zeros(RATE * 15)]))
        cls.reply_file = os.path.join(cls.root, "reply.wav")
        write_wav(cls.reply_file, np.concatenate([np.zeros(int(RATE * REPLY_DELAY)), cls.speech,
                                                  np.zeros(RATE * 15)]))

    def start(self, quillet_mic, linphone_mic, line=None, sip_extra=""):
        q = self.quillet("quillet", quillet_mic, {"Intercom": {"AutoTalkBack": "1"},
                                                  "DefaultLine": line or {}})
        heard = os.path.join(self.dir, "linphone-heard.wav")
        lp = Linphone(self.dir, h.free_udp_port(), linphone_mic, heard, sip_extra)
        self.cleanup.append(lp.stop)
        q.start()
        return q, lp, heard

    def check_heard(self, who, heard):
        # The reply comes seconds into the call.
        self.assert_words_heard(who, from_first_sound(heard), average=np.median)

    def linphone_calls(self, q, lp, target, quillet_hangs_up=False):
        """Linphone calls `target`; the speech and Quillet's reply play, then one side hangs
        up (Linphone unless `quillet_hangs_up`) and both see the call end."""
        lp.command("call " + target)
        self.assertTrue(wait_for(lambda: "The call was started" in q.log_text(), 10),
                        q.log_text() + lp.output())
        time.sleep(REPLY_DELAY + len(self.speech) / RATE + 1.5)
        if quillet_hangs_up:
            self.assertEqual(q.run("-hangup"), 0)
        else:
            lp.command("terminate")
        self.assertTrue(wait_for(lambda: "The call was stopped" in q.log_text(), 10),
                        lp.output()[-4000:])
        self.assertTrue(wait_for(lambda: "ended" in lp.output(), 5),
                        lp.output()[-4000:] + q.trace_text()[-4000:])
        lp.stop()
        q.stop()

    def quillet_calls(self, q, lp):
        """Quillet calls Linphone; the speech and Linphone's reply play, Quillet hangs up."""
        self.assertEqual(q.run("-dial", "sip:linphone@127.0.0.1:%d" % lp.port), 0)
        self.assertTrue(wait_for(lambda: "The call was started" in q.log_text(), 10),
                        q.log_text() + lp.output())
        time.sleep(REPLY_DELAY + len(self.speech) / RATE + 1.5)
        self.assertEqual(q.run("-hangup"), 0)
        self.assertTrue(wait_for(lambda: "The call was stopped" in q.log_text(), 10))
        self.assertTrue(wait_for(lambda: "ended" in lp.output(), 5), lp.output())
        lp.stop()
        q.stop()

    def test_linphone_calls_quillet_audio_both_ways(self):
        q, lp, heard_file = self.start(self.reply_file, self.caller_file)
        self.linphone_calls(q, lp, "sip:quillet@127.0.0.1:%d" % q.sip_port)
        self.check_heard("Linphone -> Quillet", q.heard())
        self.check_heard("Quillet -> Linphone", read_wav_any(heard_file))

    def test_opus_both_ways(self):
        # A line offering Opus first, as shipped: Linphone's Opus is taken, and the words
        # pass both ways (compared through the best short filter: Opus codes perceptually).
        q, lp, heard_file = self.start(self.reply_file, self.caller_file,
                                       {"Codecs": "opus,g722,pcmu"})
        self.linphone_calls(q, lp, "sip:quillet@127.0.0.1:%d" % q.sip_port)
        trace = q.trace_text()
        offer, answer = re.findall(r"m=audio \d+ \S+ (\d+)", trace)[:2]
        self.assertRegex(trace, r"a=rtpmap:%s opus/48000/2" % answer)
        for who, heard in (("Linphone -> Quillet", q.heard()),
                           ("Quillet -> Linphone", read_wav_any(heard_file))):
            intact, voiced = pieces_intact(self.speech, from_first_sound(heard))
            print("Opus, %s: %d of %d voiced pieces intact" % (who, intact, voiced))
            self.assertGreaterEqual(intact, 0.9 * voiced, who)

    def test_quillet_calls_linphone_audio_both_ways(self):
        q, lp, heard_file = self.start(self.caller_file, self.reply_file)
        self.quillet_calls(q, lp)
        self.check_heard("Quillet -> Linphone", read_wav_any(heard_file))
        self.check_heard("Linphone -> Quillet", q.heard())

    def test_linphone_calls_quillet_over_tls_audio_both_ways(self):
        # Quillet's certificate is the self-signed one its profile made: Linphone is told
        # not to check it. Quillet ends the call, so requests go both ways on the
        # connection Linphone opened. (Linphone 5.1 takes no incoming TLS connection:
        # its log says "New connection arriving on TLS, not handled !", so the other way
        # cannot be tried.)
        q, lp, heard_file = self.start(self.reply_file, self.caller_file, {"Transport": "tls"},
                                       linphone_tls())
        self.linphone_calls(q, lp, "sip:quillet@127.0.0.1:%d;transport=tls" % (q.sip_port + 1),
                            quillet_hangs_up=True)
        trace = q.trace_text()
        self.assertIn("SIP/2.0/TLS ", trace)
        self.assertNotIn("SIP/2.0/UDP ", trace)
        self.assertRegex(trace, r"BYE sip:[^\r\n]*transport=tls")
        self.check_heard("over TLS, Linphone -> Quillet", q.heard())
        self.check_heard("over TLS, Quillet -> Linphone", read_wav_any(heard_file))

    def test_linphone_calls_quillet_with_sdes_keys_over_tls(self):
        # Linphone insists on SRTP (RTP/SAVP); Quillet's line requires encrypted media.
        q, lp, heard_file = self.start(
            self.reply_file, self.caller_file,
            {"Transport": "tls", "MediaEncryption": "sdes", "MediaEncryptionRequired": "1"},
            linphone_tls() + "media_encryption=srtp\nmedia_encryption_mandatory=1\n")
        self.linphone_calls(q, lp, "sip:quillet@127.0.0.1:%d;transport=tls" % (q.sip_port + 1))
        self.assertRegex(q.trace_text(), r"m=audio \d+ RTP/SAVP ")
        self.assertRegex(q.log_text(), r"Media: SRTP AES_CM_128_HMAC_SHA1_(80|32) \(SDES\)")
        self.assertNotIn("failed authentication", q.log_text())
        self.check_heard("SDES, Linphone -> Quillet", q.heard())
        self.check_heard("SDES, Quillet -> Linphone", read_wav_any(heard_file))

    def test_linphone_calls_quillet_with_dtls(self):
        q, lp, heard_file = self.start(
            self.reply_file, self.caller_file,
            {"MediaEncryption": "dtls", "MediaEncryptionRequired": "1"},
            "media_encryption=dtls\nmedia_encryption_mandatory=1\n")
        self.linphone_calls(q, lp, "sip:quillet@127.0.0.1:%d" % q.sip_port)
        self.assert_dtls(q)
        self.check_heard("DTLS, Linphone -> Quillet", q.heard())
        self.check_heard("DTLS, Quillet -> Linphone", read_wav_any(heard_file))

    def test_quillet_calls_linphone_with_dtls(self):
        q, lp, heard_file = self.start(
            self.caller_file, self.reply_file,
            {"MediaEncryption": "dtls", "MediaEncryptionRequired": "1"},
            "media_encryption=dtls\nmedia_encryption_mandatory=1\n")
        self.quillet_calls(q, lp)
        self.assert_dtls(q)
        self.check_heard("DTLS, Quillet -> Linphone", read_wav_any(heard_file))
        self.check_heard("DTLS, Linphone -> Quillet", q.heard())

    def assert_dtls(self, q):
        self.assertRegex(q.trace_text(), r"m=audio \d+ UDP/TLS/RTP/SAVPF? ")
        self.assertRegex(q.log_text(), r"Media: SRTP \S+ \(DTLS, fingerprint verified\)")
        self.assertNotIn("failed authentication", q.log_text())


def linphone_tls():
    """The [sip] lines of a Linphone that calls over TLS: a TLS port of its own, the far
    end's certificate not checked. In the namespace Linphone finds no network after a few
    seconds and drops its connections unless its network watch is off (auto_net_state_mon)."""
    return ("sip_tls_port=%d\nverify_server_certs=0\nverify_server_cn=0\n"
            "auto_net_state_mon=0\n" % h.free_udp_port())


def read_wav_any(path):
    """Linphone records 16-bit WAV at the call's rate (8000 Hz for G.711); other rates are
    brought to 8000 Hz with sox."""
    import wave
    with wave.open(path) as w:
        rate, channels = w.getframerate(), w.getnchannels()
    if rate == RATE and channels == 1:
        return read_wav(path)
    converted = path + ".8k.wav"
    subprocess.run(["sox", path, "-r", str(RATE), "-c", "1", "-b", "16", converted], check=True)
    return read_wav(converted)


if __name__ == "__main__":
    run_tests({"test_linphone_calls_quillet_audio_both_ways": "linphone",
               "test_quillet_calls_linphone_audio_both_ways": "linphone",
               "test_linphone_calls_quillet_over_tls_audio_both_ways": "linphone-tls",
               "test_linphone_calls_quillet_with_sdes_keys_over_tls": "linphone-srtp",
               "test_linphone_calls_quillet_with_dtls": "linphone-dtls-srtp",
               "test_quillet_calls_linphone_with_dtls": "linphone-dtls-srtp",
               "test_opus_both_ways": "linphone-opus"})
