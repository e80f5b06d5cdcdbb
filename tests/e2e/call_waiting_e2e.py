#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Call waiting between three quillet --headless profiles on loopback (Bob's line registered
with a local Kamailio, so that calls straight from Alice and Carol ring until answered).
Alice calls Bob, who answers; Carol calls Bob while that call is up: she hears it ring (180),
Bob's log names the waiting call and his speaker carries the quiet two-beep tone over the
call. Bob answers: Alice is held (she hears only the soft hold tone, none of Bob's words),
Bob and Carol hear each other. Bob resumes: Carol is held, Alice and Bob hear each other
again. Carol hangs up; with Settings/CallWaiting=0 her next call is refused with 486.
Each profile says its own short phrase over and over.
Usage: call_waiting_e2e.py PATH/TO/quillet"""
import os
import time
import unittest

import numpy as np

from e2e_support import (RATE, LabCase, from_first_sound, take_binary_argument, wait_for,
                         write_wav)
import sipharness as h  # noqa: E402 (on the path that e2e_support sets)

take_binary_argument()

PHRASE_S = 1.5  # each profile's phrase: a piece of the speech sample
PAUSE_S = 1.0
ALICE_QUIET_S = 7.0  # Alice says nothing at first: Bob's speaker then carries the tone alone


def tone_share(samples, hz, width=30.0):
    """The share of the samples' energy within `width` Hz of `hz`."""
    spectrum = np.abs(np.fft.rfft(samples)) ** 2
    freqs = np.fft.rfftfreq(len(samples), 1.0 / RATE)
    return float(spectrum[np.abs(freqs - hz) < width].sum()) / (float(spectrum.sum()) or 1.0)


class CallWaitingTest(LabCase):
    prefix = "quillet-waiting-"

    def phrase(self, at):
        """PHRASE_S of the speech sample from `at` s (words of its own for each profile)."""
        return self.speech[int(at * RATE):int((at + PHRASE_S) * RATE)]

    def microphone(self, name, phrase, quiet_s=0.0):
        """A WAV file of `phrase` again and again after `quiet_s` of silence."""
        path = os.path.join(self.dir, name + ".wav")
        once = np.concatenate([phrase, np.zeros(int(PAUSE_S * RATE))])
        write_wav(path, np.concatenate([np.zeros(int(quiet_s * RATE))] + [once] * 24))
        return path

    def test_a_call_waits_is_answered_and_switched_back(self):
        kam = h.Kamailio(self.dir, {"bob": "bob-pw"})
        self.cleanup.append(kam.stop)
        says = {"alice": self.phrase(0.0), "bob": self.phrase(1.8), "carol": self.phrase(3.6)}
        alice = self.quillet("alice", self.microphone("alice", says["alice"], ALICE_QUIET_S))
        bob = self.quillet("bob", self.microphone("bob", says["bob"]), {
            "DefaultLine": {"Proxy": "127.0.0.1:%d" % kam.port, "ProxyPassword": "bob-pw"}})
        carol = self.quillet("carol", self.microphone("carol", says["carol"]))
        for p in (alice, bob, carol):
            p.start()
        self.assertTrue(wait_for(lambda: "Registered as: sip:bob@" in bob.log_text(), 10),
                        bob.log_text())

        # Alice calls Bob; it rings until he answers.
        self.assertEqual(alice.run("-dial", bob.address), 0)
        self.assertTrue(wait_for(lambda: "rings until answered" in bob.log_text(), 10),
                        bob.log_text())
        self.assertEqual(bob.run("-answer"), 0)
        self.assertTrue(wait_for(lambda: "The call was started" in alice.log_text(), 10))
        # The answered call made Alice a contact of Bob's; the contact's host (loopback, also
        # Carol's) would make Carol's call an intercom call, which a call in progress refuses.
        self.assertTrue(wait_for(lambda: "Alice" in self.tool(bob, "contacts", "list"), 5))
        self.tool(bob, "contacts", "delete", "Alice")

        # Carol calls Bob: it rings as a waiting call with the tone in Bob's call.
        self.assertEqual(carol.run("-dial", bob.address), 0)
        self.assertTrue(wait_for(lambda: "Call waiting: carol@" in bob.log_text(), 10),
                        bob.log_text()[-3000:] + carol.log_text()[-2000:])
        rang_at = len(bob.heard())
        time.sleep(1.5)
        ringing = bob.heard()[max(0, rang_at - RATE // 2):]
        self.assertIn("SIP/2.0 180 Ringing", carol.trace_text())
        self.assertNotIn("The call was started", carol.log_text())
        peak, share = int(np.abs(ringing).max()), tone_share(ringing, 440.0)
        print("Bob while Carol waits: %.1f s, peak %d, %.0f %% at 440 Hz"
              % (len(ringing) / RATE, peak, 100 * share))
        self.assertGreater(share, 0.6)
        self.assertTrue(300 < peak < 3000, peak)  # there, and quiet

        # Bob answers Carol: Alice is held, Bob and Carol talk.
        self.assertEqual(bob.run("-answer"), 0)
        self.assertTrue(wait_for(lambda: "The call was started" in carol.log_text(), 10),
                        bob.log_text()[-3000:])
        self.assertTrue(wait_for(lambda: "Call held by the far end" in alice.log_text(), 5),
                        alice.log_text()[-2000:] + bob.log_text()[-2000:])
        held_at = len(alice.heard())
        time.sleep(2 * (PHRASE_S + PAUSE_S) + 0.5)
        self.assert_words_heard("Carol hears Bob", from_first_sound(carol.heard(), 3000),
                                says["bob"])
        self.assert_words_heard("Bob hears Carol", from_first_sound(bob.heard(), 3000),
                                says["carol"])

        # Bob switches back: Carol is held, Alice and Bob hear each other again.
        # From half a second after the hold (what Bob said before his side took the answer
        # to his re-INVITE may still come) until the switch back.
        switched_at = len(alice.heard())
        while_held = alice.heard()[held_at + RATE // 2:switched_at]
        loudest = int(np.argmax(np.abs(while_held)))
        print("Alice while held: %.1f s, peak %d at %.2f s" % (
            len(while_held) / RATE, int(np.abs(while_held[loudest])), loudest / RATE))
        self.assertGreater(len(while_held), 2 * RATE)
        self.assertLess(np.abs(while_held).max(), 2000)  # the soft hold tone, no words
        self.assertEqual(bob.run("-resume"), 0)
        self.assertTrue(wait_for(lambda: "Call held by the far end" in carol.log_text(), 5),
                        bob.log_text()[-3000:])
        self.assertTrue(wait_for(lambda: "Call resumed by the far end" in alice.log_text(), 5))
        time.sleep(max(2 * (PHRASE_S + PAUSE_S) + 0.5,
                       ALICE_QUIET_S + 2 * (PHRASE_S + PAUSE_S) - (len(alice.heard()) / RATE)))
        self.assert_words_heard("Alice hears Bob again",
                                from_first_sound(alice.heard()[switched_at:], 3000), says["bob"])
        self.assert_words_heard("Bob hears Alice again", from_first_sound(bob.heard(), 3000),
                                says["alice"])

        # Carol hangs up; with call waiting off her next call is busy.
        self.assertEqual(carol.run("-hangup"), 0)
        self.assertTrue(wait_for(lambda: "The second call was stopped" in bob.log_text(), 5))
        self.switch_call_waiting_off(bob)
        self.assertEqual(carol.run("-dial", bob.address), 0)
        self.assertTrue(wait_for(lambda: "SIP/2.0 486 Busy Here" in carol.trace_text(), 10),
                        carol.trace_text()[-3000:] + bob.log_text()[-2000:])
        self.assertIn("call waiting is off", bob.log_text())
        self.assertEqual(bob.log_text().count("Call waiting: "), 1)
        self.assertEqual(alice.run("-hangup"), 0)
        self.assertTrue(wait_for(lambda: "The call was stopped" in bob.log_text(), 5))

    def switch_call_waiting_off(self, profile):
        """Settings/CallWaiting=0 in the running profile's file (read again once changed)."""
        path = os.path.join(profile.home, "settings.ini")
        with open(path) as f:
            text = f.read()
        with open(path + ".new", "w") as f:
            f.write(text.replace("[Settings]\n", "[Settings]\nCallWaiting=0\n", 1))
        os.chmod(path + ".new", 0o600)
        os.replace(path + ".new", path)


if __name__ == "__main__":
    unittest.main()
