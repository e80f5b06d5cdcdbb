#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""What a caller hears before the far end answers, on one quillet profile and SIPp callees.
A phone call (-call) to a callee that answers 183 with SDP and plays an announcement as RTP:
the announcement's words are in quillet's speaker file before the 200 is sent. A phone call to
a callee that rings (180 without SDP): the ringback tone plays while it rings and gives way to
the callee's audio at the answer. An intercom call (-dial) to that callee: its own calling sound plays, not the ringback. And
-hangup cancels a phone call that still rings.
Usage: early_media_e2e.py QUILLET"""
import os
import subprocess
import time

import numpy as np

from e2e_support import RATE, LabCase, run_tests, take_binary_argument, wait_for, write_wav
import sipharness as h  # noqa: E402 (on the path that e2e_support sets)

take_binary_argument()

RING_MS = 3000
CALLING_HZ = 600.0  # the test's calling sound, well away from the 425 Hz ringback
ANSWER_HZ = 1000.0  # what the callee that rings sends once it answers


def tone_share(samples, hz, width=60.0):
    """The share of the samples' energy within `width` Hz of `hz`."""
    spectrum = np.abs(np.fft.rfft(samples)) ** 2
    freqs = np.fft.rfftfreq(len(samples), 1.0 / RATE)
    total = float(spectrum.sum()) or 1.0
    return float(spectrum[np.abs(freqs - hz) < width].sum()) / total


def seconds_of_day(at):
    """A time.time() value as the seconds of the local day (as SIPp's trace shows times)."""
    local = time.localtime(at)
    return local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec + at % 1


class EarlyMediaTest(LabCase):
    prefix = "quillet-early-"

    def sipp(self, scenario, **kwargs):
        s = h.Sipp(self.dir, scenario, timeout=40, **kwargs)
        self.cleanup.append(s.stop)
        self.assertTrue(wait_for(lambda: not h._bindable(s.port), 10), s.messages())
        return s

    def test_what_the_caller_hears_before_the_answer(self):
        speech_seconds = len(self.speech) / RATE
        ulaw = os.path.join(self.dir, "announcement.ul")
        subprocess.run(["sox", self.speech_file, "-t", "ul", ulaw], check=True)
        announcing = self.sipp("uas_early_media.xml", name="announcing",
                               subs={"seconds": int(speech_seconds * 1000) + 2500},
                               keys={"rtp_file": "%s,1,0" % ulaw})
        # The callee that rings answers with a steady tone.
        answer_tone = os.path.join(self.dir, "answer.wav")
        write_wav(answer_tone, np.sin(2 * np.pi * ANSWER_HZ * np.arange(RATE * 10) / RATE) * 6000)
        answer_ulaw = os.path.join(self.dir, "answer.ul")
        subprocess.run(["sox", answer_tone, "-t", "ul", answer_ulaw], check=True)
        # One callee for each call: after a call the profile watches its far end's line (a
        # SUBSCRIBE, which SIPp takes for another call and refuses).
        ringing, called = (self.sipp("uas_ring_then_answer.xml", name=name, calls=3,
                                     subs={"ring": RING_MS},
                                     keys={"rtp_file": "%s,1,0" % answer_ulaw})
                           for name in ("ringing", "called"))
        never = self.sipp("uas_ring_only.xml", name="never")
        q = self.quillet("alice", self.silence_file)
        tones = os.path.join(q.home, "System Tones")
        os.makedirs(tones)
        beep = np.sin(2 * np.pi * CALLING_HZ * np.arange(RATE // 4) / RATE) * 8000
        write_wav(os.path.join(tones, "Calling.wav"), np.concatenate([beep, np.zeros(RATE // 4)]))
        q.start()

        # 1. The announcement before the answer.
        self.assertEqual(q.run("-call", "sip:sipp@127.0.0.1:%d" % announcing.port), 0)
        self.assertTrue(wait_for(lambda: "it is heard now" in q.log_text(), 10),
                        q.log_text()[-3000:] + announcing.messages()[-2000:])
        time.sleep(speech_seconds + 1.3)  # the whole announcement, a second before the 200
        before_answer = q.heard()
        taken_at = seconds_of_day(time.time())
        self.assertTrue(wait_for(lambda: "The call was started" in q.log_text(), 10),
                        q.log_text()[-3000:])
        self.assertEqual(q.run("-hangup"), 0)
        self.assertEqual(announcing.wait(20), 0, announcing.messages()[-3000:])
        self.assertTrue(wait_for(lambda: "The call was stopped" in q.log_text(), 10))
        answered_at = [t for t, way, line in announcing.message_times()
                       if way == "sent" and line.startswith("SIP/2.0 200")]
        self.assertTrue(answered_at, announcing.messages()[-3000:])
        print("speaker file copied %.2f s before the 200 was sent" % (answered_at[0] - taken_at))
        self.assertLess(taken_at, answered_at[0])
        self.assertNotIn("Answer-Mode", q.trace_text())  # a phone call asks for no auto-answer
        self.assert_words_heard("the announcement before the answer", before_answer)

        # 2. The ringback tone while the far end rings, gone once it answers.
        self.assertEqual(q.run("-call", "sip:sipp@127.0.0.1:%d" % ringing.port), 0)
        time.sleep(RING_MS / 1000 - 0.8)
        while_ringing = q.heard()
        self.assertTrue(wait_for(lambda: q.log_text().count("The call was started") == 2, 10),
                        q.log_text()[-3000:])
        time.sleep(1.5)
        after_answer = q.heard()
        self.assertEqual(q.run("-hangup"), 0)
        self.assertTrue(wait_for(lambda: q.log_text().count("The call was stopped") == 2, 10))
        share = tone_share(while_ringing, 425.0)
        print("while ringing: %.1f s heard, %.0f %% of it the ringback tone; after the answer "
              "%.1f s heard, %.0f %% of it the ringback tone, %.0f %% the far end's tone" % (
                  len(while_ringing) / RATE, 100 * share, len(after_answer) / RATE,
                  100 * tone_share(after_answer, 425.0),
                  100 * tone_share(after_answer, ANSWER_HZ)))
        self.assertGreater(np.abs(while_ringing).max(initial=0), 1000, "no ringback heard")
        self.assertGreater(share, 0.8)
        self.assertGreater(len(after_answer), RATE)
        self.assertGreater(tone_share(after_answer, ANSWER_HZ), 0.8)
        self.assertLess(tone_share(after_answer, 425.0), 0.01, "the ringback went on")

        # 3. An intercom call: its calling sound, not the ringback.
        self.assertEqual(q.run("-dial", "sip:sipp@127.0.0.1:%d" % called.port), 0)
        time.sleep(RING_MS / 1000 - 0.8)
        calling = q.heard()
        self.assertTrue(wait_for(lambda: q.log_text().count("The call was started") == 3, 10),
                        q.log_text()[-3000:])
        self.assertEqual(q.run("-hangup"), 0)
        self.assertTrue(wait_for(lambda: q.log_text().count("The call was stopped") == 3, 10))
        for callee in (ringing, called):
            self.assertRegex(callee.messages(), r"received[^\n]*\n\s*BYE ")
        print("intercom call while ringing: %.0f %% at %d Hz, %.0f %% at 425 Hz" % (
            100 * tone_share(calling, CALLING_HZ), CALLING_HZ, 100 * tone_share(calling, 425.0)))
        self.assertGreater(tone_share(calling, CALLING_HZ), 0.8)
        self.assertLess(tone_share(calling, 425.0), 0.05)

        # 4. -hangup cancels a phone call that still rings.
        self.assertEqual(q.run("-call", "sip:sipp@127.0.0.1:%d" % never.port), 0)
        self.assertTrue(wait_for(lambda: "SIP/2.0 180" in q.trace_text().split(
            "sipp@127.0.0.1:%d" % never.port, 1)[-1], 10), q.log_text()[-2000:])
        self.assertEqual(q.run("-hangup"), 0)
        self.assertEqual(never.wait(15), 0, never.messages()[-3000:])
        self.assertTrue(wait_for(lambda: q.log_text().count("The call was stopped") == 4, 10))
        self.assertIn("Call initiate attempt abandoned", q.log_text())


if __name__ == "__main__":
    run_tests({"test_what_the_caller_hears_before_the_answer": "sipp-early-media"})
