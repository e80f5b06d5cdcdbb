#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Delay through quillet --headless end to end, with the caller's stream shaped on the wire
(echo_caller.py): a short run of the mouth-to-ear measurement, a long talk spurt stalled
once by 300 ms, 0-60 ms of uniform jitter, and a change of the sending source mid-call.
The callee sits on a private PipeWire desktop whose speaker's monitor is its microphone
(pipewire_lab.py), so its talk-back returns what it plays and the caller can time it.

Usage: latency_e2e.py QUILLET [unittest options]"""
import os
import shutil
import statistics
import sys
import tempfile
import time
import unittest

import numpy as np

if len(sys.argv) > 1:
    os.environ["QUILLET_BINARY"] = os.path.abspath(sys.argv.pop(1))
HERE = os.path.dirname(os.path.abspath(__file__))
for folder in ("pipewire", "e2e", "sip"):
    sys.path.insert(0, os.path.join(HERE, "..", folder))
from callees import QuilletCallee  # noqa: E402
from e2e_support import RATE, Profile, find_in, wait_for  # noqa: E402
from echo_caller import (EchoCaller, Jitter, SourceSwitch, Stall, spurt_heard,  # noqa: E402
                         talk_spurt, track_delay)
from mouth_to_ear import measure_call  # noqa: E402
from pipewire_lab import PipeWireLab  # noqa: E402
from sipharness import free_udp_port  # noqa: E402


def largest_step(samples):
    return float(np.abs(np.diff(samples)).max()) if len(samples) > 1 else 0.0


class LatencyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="quillet-latency-e2e-")
        cls.lab = PipeWireLab(os.path.join(cls.root, "lab")).start()

    @classmethod
    def tearDownClass(cls):
        cls.lab.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    def setUp(self):
        self.callee = QuilletCallee(self.lab, self.root, self._testMethodName[5:20])
        self.callee.start()

    def tearDown(self):
        self.callee.stop()

    def talk(self, signal, shape, linger=0.6):
        """One call with the signal as the caller's talk spurt (after 2 s of quiet while the
        callee's cue plays), hung up `linger` s after the last packet; answers the caller,
        the stream sent and the spurt's start in it (s)."""
        lead = 2.0
        stream = np.concatenate([np.zeros(int(lead * RATE)), signal])
        caller = EchoCaller(self.callee.sip_port)
        try:
            caller.call()
            caller.send(stream, shape)
            time.sleep(linger)
        finally:
            caller.hang_up()
        self.assertTrue(wait_for(lambda: self.callee.playout_report(), 5),
                        self.callee.log_text()[-1500:])
        return caller, stream, lead

    def test_mouth_to_ear_measurement_reports_each_click(self):
        figures = measure_call(self.callee, clicks=3)
        print("mouth to ear: %s" % figures)
        self.assertEqual(figures["clicks_back"], 3, figures)
        self.assertTrue(wait_for(lambda: self.callee.playout_report(), 5))
        report = self.callee.playout_report()
        self.assertIn(report.get("device_queue"), range(30, 61), report)
        for key in ("jitter", "target", "delay"):
            self.assertIn(key, report)
        # Not a figure to hold it to (tests/latency/mouth_to_ear.py measures that): a delay as long as the
        # cue, or as a device queue of 100 ms blocks, is a fault.
        self.assertLess(figures["median_ms"], 250, figures)

    def test_a_stall_of_300_ms_is_caught_up_within_five_seconds_without_a_step(self):
        spurt = talk_spurt(12.0)
        own_rms = float(np.sqrt((spurt ** 2).mean()))
        stall_at = 4.0  # into the spurt
        caller, stream, lead = self.talk(spurt, Stall(at=2.0 + stall_at, hold=0.3))
        track = track_delay(stream, caller)
        good = [(t - lead, d) for t, d, score in track if score > 0.6 and t >= lead]
        before = statistics.median([d for t, d in good if stall_at - 2.0 <= t < stall_at])
        after = [(t, d) for t, d in good if t >= stall_at]
        print("stall: delay %.0f ms before; after it: %s" % (
            before, " ".join("%.1f:%.0f" % (t, d) for t, d in after[::5])))
        self.assertGreater(max(d for t, d in after[:10]), before + 150,
                           "the stall did not hold the stream back")
        # Back: a second on end near the delay before, starting within 5 s. The aim is 20 ms
        # (the figure this test prints). On a machine with more busy threads than cores the
        # path back through the lab has come out 40-50 ms longer after the stall while the
        # callee's own playout delay was back where it was, so the check holds it to 60 ms:
        # a buffer that only grows after a stall stays 300 ms up, one that never shrinks
        # 140-160 ms.
        settled = next((t for i, (t, d) in enumerate(after)
                        if all(abs(e - before) <= 60 for u, e in after[i:] if u < t + 1.0)),
                       None)
        self.assertIsNotNone(settled, "the delay did not come back: %s" % after)
        self.assertLessEqual(settled - (stall_at + 0.3), 5.0)
        # Around the stall the speech goes on: no gap before it or once packets come again
        # (while none come, the concealment fades out), no step above the signal's own.
        release = lead + stall_at + 0.3
        for name, begin, end in (("before", lead + 0.5, lead + stall_at),
                                 ("after", release + 0.15, lead + len(spurt) / RATE - 0.5)):
            heard = spurt_heard(caller, begin, end)
            frames = heard[:len(heard) // 160 * 160].reshape(-1, 160)
            quietest = float(np.sqrt((frames ** 2).mean(axis=1)).min())
            print("stall: %s it, quietest frame %.0f (signal %.0f)" % (name, quietest, own_rms))
            self.assertGreater(quietest, own_rms / 4, "a gap in the speech %s the stall" % name)
        heard = spurt_heard(caller, lead + 0.5, lead + len(spurt) / RATE - 0.5)
        own = max(largest_step(spurt), largest_step(spurt_heard(caller, lead + 0.5,
                                                                   lead + stall_at)))
        print("stall: largest step %.0f, the signal's own %.0f" % (largest_step(heard), own))
        self.assertLessEqual(largest_step(heard), 1.25 * own)
        print("stall: %s" % self.callee.playout_report())

    def test_uniform_jitter_of_60_ms_sets_the_target_and_conceals_nothing(self):
        spurt = talk_spurt(10.0)
        # Hung up at once after the last packet: the concealment of a stream that has ended
        # would not be that of a lost packet.
        caller, stream, lead = self.talk(spurt, Jitter(0.060), linger=0.0)
        report = self.callee.playout_report()
        track = [d for t, d, score in track_delay(stream, caller) if score > 0.6 and t > lead + 5]
        print("jitter 0-60 ms: %s; delay in the last 5 s %.0f ms" % (report,
                                                                    statistics.median(track)))
        # A BYE handled late on a busy machine lets the playout run past the last packet; those
        # few frames at the end are not a lost packet's concealment.
        self.assertLessEqual(report["concealed"], 60, report)
        self.assertEqual(report["dropped"] if "dropped" in report else 0, 0, report)
        self.assertGreaterEqual(report["jitter"], 45, report)
        self.assertLessEqual(report["jitter"], 65, report)
        self.assertLessEqual(report["target"], report["jitter"] + 25, report)


class SourceSwitchTest(unittest.TestCase):
    """A new sending source mid-call (as from a server that bridges the call to another
    stream): the callee goes on playing it. Its speaker is a file."""

    def test_audio_goes_on_after_the_source_changes(self):
        root = tempfile.mkdtemp(prefix="quillet-ssrc-e2e-")
        silence = os.path.join(root, "silence.wav")
        from e2e_support import write_wav
        write_wav(silence, np.zeros(RATE * 10))
        callee = Profile(root, "bob", free_udp_port(5400, 5900), free_udp_port(), "bob", silence)
        callee.start()
        try:
            spurt = talk_spurt(6.0, seed=11)
            caller = EchoCaller(callee.sip_port)
            try:
                caller.call()
                caller.send(spurt, SourceSwitch(at=3.0))
                time.sleep(0.5)
            finally:
                caller.hang_up()
            self.assertTrue(wait_for(lambda: "The call was stopped" in callee.log_text(), 5))
            callee.stop()
            heard = callee.heard()
            # Pieces of 0.2 s, each found on its own (the playout may shorten the pauses).
            for name, begin, end in (("before", 1.6, 2.8), ("after", 3.3, 5.5)):
                snrs = [find_in(spurt[int(t * RATE):int((t + 0.2) * RATE)], heard)[1]
                        for t in np.arange(begin, end, 0.2)]
                print("source switch: %s it, %s dB" % (name, " ".join("%.0f" % v for v in snrs)))
                # A piece where the playout shortened or stretched the audio matches less.
                self.assertGreater(statistics.median(snrs), 25.0, "%s the switch" % name)
                self.assertGreaterEqual(sum(v > 15.0 for v in snrs), 0.7 * len(snrs), name)
        finally:
            callee.stop()
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
