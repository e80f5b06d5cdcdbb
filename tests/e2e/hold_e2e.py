#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Hold and resume both ways. SIPp holds a quillet (a=sendonly, c=0.0.0.0, a=inactive) and
resumes: every answer states the reverse direction, and a capture on the loopback interface
sees quillet's voice stop while held (its RTCP goes on) and come back. A quillet holds SIPp,
which refuses the first re-INVITE with 488: the call goes on, the second hold is taken and
only silence goes out until the resume. baresip holds with its own command and resumes:
quillet stops sending and hears the words again afterwards. linphonec pauses and resumes, and
is held and resumed by quillet: each side sends nothing while the other holds it and its
audio again afterwards. Two quillets: the caller holds,
the far end hears the soft hold tone and not the words said meanwhile, and after the
resume the words again.
Usage: hold_e2e.py QUILLET [QUILLET_TOOL]"""
import os
import re
import shutil
import subprocess
import sys
import time

import numpy as np

if len(sys.argv) > 2:
    os.environ["QUILLET_BINARY"] = sys.argv.pop(1)
    TOOL = os.path.abspath(sys.argv.pop(1))
else:
    TOOL = "build/bin/quillet-tool"

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sip"))
import sipharness as h  # noqa: E402
from e2e_support import (RATE, LabCase, loopback_capture, find_words, from_first_sound,  # noqa: E402
                         run_tests, wait_for, write_wav)
_argv, sys.argv = sys.argv, sys.argv[:1]  # linphone_e2e reads its own arguments on import
from linphone_e2e import LINPHONEC, Linphone  # noqa: E402
sys.argv = _argv

VOICE_BYTES = 20  # an RTP payload longer than this is sound (comfort packets carry 0 or 1)


def is_voice(payload):
    """RTP whose PCMU payload is more than silence (0xFF and 0x7F are zero; the lower the
    seven bits, the louder)."""
    return len(payload) - 12 > VOICE_BYTES and any((~b & 0x7F) > 0x10 for b in payload[12:])


def is_rtcp(payload):
    return len(payload) >= 8 and payload[0] & 0xC0 == 0x80 and 192 <= payload[1] <= 223


def is_rtp(payload):
    return len(payload) >= 12 and payload[0] & 0xC0 == 0x80 and not is_rtcp(payload)


class Phases:
    """The capture cut at SIP messages: the datagrams between the n-th and the next match
    of the given patterns, in the order they crossed the loopback."""

    def __init__(self, capture, marks):
        self.datagrams = list(capture.datagrams)
        self.cuts = []
        at = 0
        for pattern in marks:
            while at < len(self.datagrams) and not re.search(pattern, self.datagrams[at][2]):
                at += 1
            self.cuts.append(at)
            at += 1

    def between(self, first, last):
        """Datagrams after mark `first` (-1: the start) and before mark `last` (None: end)."""
        start = self.cuts[first] + 1 if first >= 0 else 0
        end = self.cuts[last] if last is not None else len(self.datagrams)
        return self.datagrams[start:end]


def sent_from(datagrams, port):
    """(voice RTP, all RTP, RTCP) counts of what went out from `port` or the one above."""
    voice = rtp = rtcp = 0
    for sport, _, payload, _ in datagrams:
        if sport not in (port, port + 1):
            continue
        if is_rtcp(payload):
            rtcp += 1
        elif is_rtp(payload) and sport == port:
            rtp += 1
            voice += is_voice(payload)
    return voice, rtp, rtcp


def answer_port(capture, sport):
    """The audio port of the first SDP sent from `sport`."""
    for source, _, payload, _ in capture.datagrams:
        found = re.search(rb"\r\nm=audio (\d+) ", payload) if source == sport else None
        if found:
            return int(found.group(1))
    return None


def tone_share(samples, hz=425.0, width=60.0):
    """The share of the samples' energy within `width` Hz of `hz`."""
    spectrum = np.abs(np.fft.rfft(samples)) ** 2
    freqs = np.fft.rfftfreq(len(samples), 1.0 / RATE)
    total = float(spectrum.sum()) or 1.0
    return float(spectrum[np.abs(freqs - hz) < width].sum()) / total


class HoldTest(LabCase):
    prefix = "quillet-hold-"

    def setUp(self):
        super().setUp()
        self.capture = loopback_capture(self.cleanup)
        # A microphone that never goes quiet: every frame is voice, never comfort noise.
        self.hum_file = os.path.join(self.root, "hum.wav")
        if not os.path.exists(self.hum_file):
            t = np.arange(RATE * 40) / RATE
            write_wav(self.hum_file, 6000 * np.sin(2 * np.pi * 300 * t))

    def sipp(self, scenario, remote=None, subs=None):
        s = h.Sipp(self.dir, scenario, remote, extra=["-s", "quillet"], subs=subs, timeout=40)
        self.cleanup.append(s.stop)
        return s

    def tool(self, profile, *args):
        return subprocess.run([TOOL, "call", *args], env=profile.env(), timeout=20,
                              capture_output=True, text=True)

    def test_the_far_end_holds_and_resumes(self):
        q = self.quillet("quillet", self.hum_file, {"Intercom": {"AutoTalkBack": "1"}})
        q.start()
        s = self.sipp("uac_hold.xml", "127.0.0.1:%d" % q.sip_port,
                      subs={"talk": 2500, "held": 4000})
        rc = s.wait(60)
        self.assertEqual(rc, 0, s.messages()[-4000:] + q.log_text()[-3000:])
        log = q.log_text()
        self.assertIn("Call held by the far end", log)
        self.assertIn("Call resumed by the far end", log)
        self.assertLess(log.index("Call held by the far end"),
                        log.index("Call resumed by the far end"))
        self.assertTrue(wait_for(lambda: "The call was stopped" in q.log_text(), 10))
        port = self.media_port_on_the_wire(q)
        if port is None:
            return
        # Cuts: quillet's answers to the four re-INVITEs, then SIPp's BYE.
        cut = Phases(self.capture, [rb"^SIP/2.0 200 OK[\s\S]*a=recvonly",
                                    rb"^SIP/2.0 200 OK[\s\S]*a=recvonly",
                                    rb"^SIP/2.0 200 OK[\s\S]*a=inactive",
                                    rb"^SIP/2.0 200 OK[\s\S]*a=sendrecv", rb"^BYE "])
        before = sent_from(cut.between(-1, 0), port)
        held = sent_from(cut.between(0, 3), port)
        after = sent_from(cut.between(3, 4), port)
        print("voice/RTP/RTCP from quillet: before %s, held %s, resumed %s" % (before, held, after))
        self.assertGreater(before[0], 50)
        self.assertEqual(held[1], 0)  # nothing at all while the far end takes nothing
        self.assertGreater(held[2], 0)  # while its reports go on
        self.assertGreater(after[0], 50)

    def media_port_on_the_wire(self, q):
        """The capture stopped and quillet's media port in it (from its answer); None
        without a network namespace."""
        if not self.capture:
            print("no network namespace: the media is not checked on the wire")
            return None
        self.capture.stop()
        port = answer_port(self.capture, q.sip_port)
        self.assertIsNotNone(port)
        return port

    def test_our_hold_survives_a_refusal_and_resumes(self):
        s = self.sipp("uas_hold_refused.xml")
        self.assertTrue(wait_for(lambda: not h._bindable(s.port), 10), s.messages())
        q = self.quillet("quillet", self.hum_file, {"Settings": {"HoldTone": "0"}})
        q.start("-dial", "sip:sipp@127.0.0.1:%d" % s.port)
        self.assertTrue(wait_for(lambda: "The call was started" in q.log_text(), 10),
                        q.log_text() + s.messages()[-3000:])
        time.sleep(2)
        self.assertEqual(q.run("-hold"), 0)
        self.assertTrue(wait_for(lambda: "(488 Not Acceptable Here); the call goes on as before"
                                 in q.log_text(), 10), q.log_text()[-3000:])
        time.sleep(1.5)
        stats = self.tool(q, "stats")
        self.assertEqual(stats.returncode, 0, stats.stdout + stats.stderr)
        self.assertIn('"hold":"none"', stats.stdout)
        done = self.tool(q, "hold")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertTrue(wait_for(lambda: "Call held\n" in q.log_text(), 10), q.log_text()[-3000:])
        self.assertIn('"hold":"here"', self.tool(q, "stats").stdout)
        refused = self.tool(q, "hold")
        self.assertEqual(refused.returncode, 1)
        self.assertIn("on hold already", refused.stderr)
        time.sleep(7)  # longer than the longest gap between two RTCP reports
        self.assertEqual(q.run("-resume"), 0)
        self.assertTrue(wait_for(lambda: "Call resumed" in q.log_text(), 10), q.log_text()[-3000:])
        time.sleep(2)
        self.assertEqual(q.run("-hangup"), 0)
        rc = s.wait(30)
        self.assertEqual(rc, 0, s.messages()[-4000:] + q.log_text()[-3000:])
        port = self.media_port_on_the_wire(q)
        if port is None:
            return
        cut = Phases(self.capture, [rb"^SIP/2.0 488 ", rb"^SIP/2.0 200 OK[\s\S]*a=recvonly",
                                    rb"^SIP/2.0 200 OK[\s\S]*a=sendrecv", rb"^BYE "])
        refused = sent_from(cut.between(0, 1), port)
        held = sent_from(cut.between(1, 2), port)
        after = sent_from(cut.between(2, 3), port)
        print("voice/RTP/RTCP from quillet: after the 488 %s, held %s, resumed %s"
              % (refused, held, after))
        self.assertGreater(refused[0], 20)  # the refused hold changed nothing
        # Silence while held (PCMU silence: no comfort noise was agreed); a frame begun
        # before the answer came may still carry the microphone.
        self.assertLessEqual(held[0], 1)
        self.assertGreater(held[1], 100)
        self.assertGreater(held[2], 0)
        self.assertGreater(after[0], 50)

    def test_words_are_heard_again_after_resume(self):
        # The caller says the sentence twice: once while the call is held, once after.
        speech = self.speech
        lead, gap = int(2.5 * RATE), int(1.5 * RATE)
        said = np.concatenate([np.zeros(lead), speech, np.zeros(gap), speech,
                               np.zeros(RATE * 10)])
        microphone = os.path.join(self.dir, "twice.wav")
        write_wav(microphone, said)
        a = self.quillet("alice", microphone)
        b = self.quillet("bob", self.silence_file, {"Intercom": {"AutoTalkBack": "1"}})
        b.start()
        a.start("-dial", b.address)
        self.assertTrue(wait_for(lambda: "The call was started" in b.log_text(), 10),
                        a.log_text() + b.log_text())
        started = time.monotonic()
        self.assertEqual(a.run("-hold"), 0)
        self.assertTrue(wait_for(lambda: "Call held\n" in a.log_text(), 5), a.log_text())
        held = time.monotonic() - started
        self.assertTrue(wait_for(lambda: "Call held by the far end" in b.log_text(), 5))
        # Resume once the first sentence is over.
        time.sleep(max(0.0, (lead + len(speech)) / RATE + 0.3 - (time.monotonic() - started)))
        self.assertEqual(a.run("-resume"), 0)
        self.assertTrue(wait_for(lambda: "Call resumed" in a.log_text(), 5), a.log_text())
        resumed = time.monotonic() - started
        self.assertLess(resumed, (lead + len(speech) + gap) / RATE - 0.2, "resumed too late")
        time.sleep((lead + gap) / RATE + 2 * len(speech) / RATE + 1.5 - resumed)
        self.assertEqual(a.run("-hangup"), 0)
        self.assertTrue(wait_for(lambda: "The call was stopped" in b.log_text(), 10))
        b.stop()
        # Two profiles as set up by default encrypt their call: the hold and the resume
        # re-INVITEs keep the one handshake's keys, and nothing fails authentication.
        for p in (a, b):
            self.assertEqual(p.log_text().count("(DTLS, fingerprint verified)"), 1, p.log_text())
            self.assertNotIn("failed authentication", p.log_text())
        heard = b.heard()
        if os.environ.get("HOLD_DEBUG"):
            write_wav(os.environ["HOLD_DEBUG"], heard)
            print("held at %.2f, resumed at %.2f" % (held, resumed))
        # While held: the soft tone, not the sentence said meanwhile.
        window = heard[int((held + 0.5) * RATE):int((resumed - 1.0) * RATE)]
        self.assertGreater(len(window), RATE)
        loud = np.abs(window) > 200
        share = tone_share(window)
        print("held: %.1f s heard, %.0f %% of its energy is the hold tone, peak %d" % (
            len(window) / RATE, 100 * share, int(np.abs(window).max())))
        self.assertTrue(loud.any(), "no hold tone heard")
        self.assertGreater(share, 0.8)
        self.assertLess(np.abs(window).max(), 2000)  # soft: about -30 dB
        # After the resume: the words again, from the first sound louder than the tone.
        after = heard[int((held + 0.5) * RATE):]
        loud = np.flatnonzero(np.abs(after) > 3000)
        self.assertTrue(len(loud), "nothing heard after the resume")
        after = after[max(0, int(loud[0]) - RATE // 2):]
        words = find_words(speech, after)
        snrs = [w[2] for w in words]
        print("after the resume: %d words, SNR mean %.1f dB" % (len(words), float(np.mean(snrs))))
        self.assertGreater(float(np.mean(snrs)), 10.0, words)

    def test_baresip_holds_and_resumes(self):
        """A quillet calls baresip, whose file says the sentence again and again; baresip
        holds the call with its hold command, and quillet answers recvonly and stops
        sending; after baresip's resume quillet hears the words again."""
        if not shutil.which("baresip"):
            self.skipTest("baresip is not installed")
        pause = np.zeros(RATE)
        talker = os.path.join(self.dir, "repeating.wav")
        write_wav(talker, np.concatenate([pause] + [np.concatenate([self.speech, pause])] * 8))
        port = h.free_udp_port()
        account = "<sip:bob@127.0.0.1:%d>;regint=0;answermode=auto" % port
        b = self.owned(h.Baresip(self.dir, "bob", port, [account], play_wav=talker, answer="auto"))
        q = self.quillet("quillet", self.hum_file)
        q.start("-dial", "sip:bob@127.0.0.1:%d" % port)
        self.assertTrue(wait_for(lambda: "The call was started" in q.log_text(), 10),
                        q.log_text() + b.output()[-3000:])
        self.assertIsNotNone(b.wait_call_event("CALL_ESTABLISHED", 10), b.output()[-3000:])
        time.sleep(1)
        b.command("hold")
        self.assertTrue(wait_for(lambda: "Call held by the far end" in q.log_text(), 10),
                        q.log_text()[-3000:] + b.output()[-3000:])
        time.sleep(2)
        b.command("resume")
        self.assertTrue(wait_for(lambda: "Call resumed by the far end" in q.log_text(), 10),
                        q.log_text()[-3000:] + b.output()[-3000:])
        resumed_at = len(q.heard())
        time.sleep(len(self.speech) / RATE * 2 + 3)
        self.assertEqual(q.run("-hangup"), 0)
        self.assertTrue(wait_for(lambda: "The call was stopped" in q.log_text(), 10))
        q.stop()
        trace = q.trace_text()
        self.assertRegex(trace, r"SIP/2.0 200 OK[\s\S]*a=recvonly")
        if self.capture:
            self.capture.stop()
            port = answer_port(self.capture, q.sip_port)
            cut = Phases(self.capture, [rb"^SIP/2.0 200 OK[\s\S]*a=recvonly",
                                        rb"^SIP/2.0 200 OK[\s\S]*a=sendrecv"])
            held = sent_from(cut.between(0, 1), port)
            print("voice/RTP/RTCP from quillet while held: %s" % (held,))
            # One packet may already have been on its way as the answer left.
            self.assertLessEqual(held[1], 1)
        # The words after the resume, from the first whole sentence on.
        after = q.heard()[resumed_at:]
        loud = np.flatnonzero(np.abs(after) > 3000)
        self.assertTrue(len(loud), "nothing heard after the resume")
        whole = after[int(loud[0]):]
        # A sentence begins after each second of pause: look from the next one.
        quiet = [i for i in range(0, len(whole) - RATE // 2, RATE // 10)
                 if np.abs(whole[i:i + RATE // 2]).max() < 300]
        self.assertTrue(quiet, "no pause heard after the resume")
        following = whole[quiet[0] + RATE // 4:]
        words = find_words(self.speech, following[max(0, int(np.flatnonzero(
            np.abs(following) > 300)[0]) - RATE // 2):])
        snrs = [w[2] for w in words]
        print("baresip after its resume: %d words, SNR mean %.1f dB" % (
            len(words), float(np.mean(snrs))))
        self.assertGreater(float(np.mean(snrs)), 10.0, words)

    def test_linphone_holds_and_is_held(self):
        """A quillet calls linphonec, whose file says the sentence again and again.
        linphonec pauses the call and resumes it: quillet answers recvonly, sends nothing
        meanwhile and its microphone again afterwards. Then quillet holds with -hold and
        resumes with -resume: linphonec sends no voice and quillet hears nothing meanwhile,
        and its words again afterwards."""
        if not LINPHONEC:
            self.skipTest("linphonec is not installed (package linphone-cli)")
        pause = np.zeros(RATE)
        talker = os.path.join(self.dir, "repeating.wav")
        write_wav(talker, np.concatenate([pause] + [np.concatenate([self.speech, pause])] * 6))
        lp = self.owned(Linphone(self.dir, h.free_udp_port(), talker,
                                 os.path.join(self.dir, "linphone-heard.wav")))
        q = self.quillet("quillet", self.hum_file)
        q.start("-dial", "sip:linphone@127.0.0.1:%d" % lp.port)
        self.assertTrue(wait_for(lambda: "The call was started" in q.log_text(), 10),
                        q.log_text() + lp.output()[-3000:])
        time.sleep(1.5 + len(self.speech) / RATE)
        before = q.heard()
        lp.command("pause")
        self.assertTrue(wait_for(lambda: "Call held by the far end" in q.log_text(), 10),
                        q.log_text()[-3000:] + lp.output()[-3000:])
        time.sleep(2)
        lp.command("resume")
        self.assertTrue(wait_for(lambda: "Call resumed by the far end" in q.log_text(), 10),
                        q.log_text()[-3000:] + lp.output()[-3000:])
        time.sleep(2)
        self.assertEqual(q.run("-hold"), 0)
        self.assertTrue(wait_for(lambda: "Call held\n" in q.log_text(), 10), q.log_text()[-3000:])
        held_at = len(q.heard())
        time.sleep(2.5)
        held_until = len(q.heard())
        self.assertEqual(q.run("-resume"), 0)
        self.assertTrue(wait_for(lambda: "Call resumed\n" in q.log_text(), 10),
                        q.log_text()[-3000:])
        time.sleep(3)
        self.assertEqual(q.run("-hangup"), 0)
        self.assertTrue(wait_for(lambda: "The call was stopped" in q.log_text(), 10))
        q.stop()
        heard = q.heard()
        self.assert_words_heard("linphonec before its pause", from_first_sound(before),
                                average=np.median)
        during = heard[held_at + RATE // 2:held_until]
        after = heard[held_until:]
        print("while quillet holds: %.1f s heard, peak %d; after: peak %d" % (
            len(during) / RATE, int(np.abs(during).max(initial=0)),
            int(np.abs(after).max(initial=0))))
        self.assertGreater(len(during), RATE)
        self.assertLess(np.abs(during).max(), 300)
        self.assertGreater(np.abs(after).max(initial=0), 3000)
        if not self.capture:
            print("no network namespace: the media are not checked on the wire")
            return
        self.capture.stop()
        ours = answer_port(self.capture, q.sip_port)
        theirs = answer_port(self.capture, lp.port)
        self.assertIsNotNone(ours)
        self.assertIsNotNone(theirs)
        # Cuts: quillet's answers to linphonec's pause and resume, quillet's own hold and
        # resume re-INVITEs, the BYE.
        cut = Phases(self.capture, [rb"^SIP/2.0 200 OK[\s\S]*a=(recvonly|inactive)",
                                    rb"^SIP/2.0 200 OK[\s\S]*a=sendrecv",
                                    rb"^INVITE [\s\S]*a=sendonly",
                                    rb"^INVITE [\s\S]*a=sendrecv", rb"^BYE "])
        phases = [sent_from(cut.between(-1, 0), ours), sent_from(cut.between(0, 1), ours),
                  sent_from(cut.between(1, 2), ours), sent_from(cut.between(2, 3), theirs),
                  sent_from(cut.between(3, 4), theirs)]
        print("voice/RTP/RTCP: quillet before, during and after linphonec's pause %s; "
              "linphonec during and after quillet's hold %s" % (phases[:3], phases[3:]))
        self.assertGreater(phases[0][0], 50)
        self.assertEqual(phases[1][1], 0)
        self.assertGreater(phases[2][0], 50)
        self.assertLessEqual(phases[3][0], 3)
        self.assertGreater(phases[4][0], 50)


if __name__ == "__main__":
    run_tests({"test_the_far_end_holds_and_resumes": "sipp-hold",
               "test_our_hold_survives_a_refusal_and_resumes": "sipp-hold",
               "test_baresip_holds_and_resumes": "baresip",
               "test_linphone_holds_and_is_held": "linphone"})
