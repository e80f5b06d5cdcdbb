#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""End-to-end intercom calls between two quillet --headless profiles on loopback.

Each profile has its own QUILLET_HOME, SIP and RTP ports and WAV files as microphone and
speaker. The tests check what one side's speaker file heard against what the other side's
microphone file said, and the call decisions in the logs and SIP traces.
"""
import contextlib
import os
import re
import signal
import time
import unittest

import numpy as np

from e2e_support import (RATE, LabCase, find_words, pieces_intact, pink_noise, read_wav_rate,
                          resample, take_binary_argument, voiced_segments, wait_for, write_wav)
import sipharness as h  # noqa: E402 (on the path that e2e_support sets)

take_binary_argument()


def tone_power(frame, hertz):
    """The power of one frequency in a frame relative to the frame's power (0.5 for a pure
    tone of that frequency)."""
    t = np.arange(len(frame)) / RATE
    component = np.abs(np.dot(frame, np.exp(-2j * np.pi * hertz * t))) ** 2 / len(frame)
    return component / max(float(np.dot(frame, frame)), 1e-9)


def find_cue(heard, frame=160):
    """Where the intercom cue starts (s): a frame dominated by 880 Hz followed within 0.3 s
    by one dominated by 1320 Hz, both loud; None when there is none."""
    low_at = None
    for i in range(len(heard) // frame):
        piece = heard[i * frame:(i + 1) * frame]
        if np.abs(piece).max() < 2000:
            continue
        if tone_power(piece, 880) > 0.4:
            low_at = i if low_at is None or i - low_at > 15 else low_at
        elif tone_power(piece, 1320) > 0.4 and low_at is not None and i - low_at <= 15:
            return low_at * frame / RATE
    return None


def band_level(samples, rate=16000, low=4000, high=7000):
    """The power of a 16000 Hz signal between `low` and `high` Hz, in dB (summed over it)."""
    spectrum = np.abs(np.fft.rfft(samples)) ** 2
    f = np.fft.rfftfreq(len(samples), 1 / rate)
    return 10 * np.log10(spectrum[(f >= low) & (f <= high)].sum() / len(samples) + 1e-9)


class IntercomTest(LabCase):
    prefix = "quillet-e2e-"

    @contextlib.contextmanager
    def ring_only_peer(self):
        """A SIPp UAS that rings and never answers; yields its address."""
        with h.Sipp(self.dir, "uas_ring_only.xml") as sipp:
            yield "sip:door@127.0.0.1:%d" % sipp.port

    def call_and_hear(self, a, b, seconds):
        b.start()
        a.start("-dial", b.address)
        self.assertTrue(wait_for(lambda: "The call was started" in b.log_text(), 10), b.log_text())
        time.sleep(seconds)
        a.stop()
        self.assertTrue(wait_for(lambda: "The call was stopped" in b.log_text(), 10), b.log_text())
        b.stop()

    def wideband_microphone(self):
        """The speech at 16000 Hz with a 4.3-6.8 kHz hiss while it is voiced (what only a
        wideband call carries); its path."""
        path = os.path.join(self.dir, "wide.wav")
        speech = resample(self.speech, RATE, 16000)
        spectrum = np.fft.rfft(np.random.default_rng(5).standard_normal(len(speech)))
        f = np.fft.rfftfreq(len(speech), 1 / 16000)
        spectrum[(f < 4300) | (f > 6800)] = 0
        hiss = np.fft.irfft(spectrum, len(speech))
        envelope = np.convolve(np.abs(speech), np.ones(320) / 320, mode="same")
        hiss *= 0.5 * envelope / np.sqrt(np.mean(hiss ** 2))
        write_wav(path, speech + hiss, 16000)
        return path

    def test_first_word_reaches_the_far_end_per_codec(self):
        mic = self.wideband_microphone()
        for codecs, codec in (("pcmu,pcma", "PCMU"), ("gsm", "GSM"), ("opus,pcmu", "Opus"),
                              ("g722,pcmu", "G722")):
            with self.subTest(codec=codec):
                settings = {"DefaultLine": {"Codecs": codecs}}
                a = self.quillet("alice", mic, settings)
                b = self.quillet("bob", self.silence_file, settings)
                self.call_and_hear(a, b, len(self.speech) / RATE + 1.5)
                # The INVITE asked B to answer by itself, B rang and answered at once.
                self.assertIn("Answer-Mode: Auto", b.trace_text())
                self.assertRegex(b.trace_text(), r"User-Agent: Quillet/\d+\.\d+\.\d+\r?\n")
                self.assertIn("Incoming SIP call", b.log_text())
                self.assertIn("Answering call", b.log_text())
                # B's answer chose the codec.
                chosen = re.search(r"SIP/2.0 200 OK[\s\S]*?m=audio \d+ RTP/AVP (\d+)",
                                   b.trace_text())
                self.assertEqual(chosen and chosen.group(1),
                                 {"PCMU": "0", "GSM": "3", "Opus": "111", "G722": "9"}[codec])
                heard = b.heard()
                words = find_words(self.speech, heard)
                snrs = [w[2] for w in words]
                # The 4-7 kHz band of what A said, on B's speaker: within 6 dB through a
                # wideband codec, gone through a narrowband one.
                rate, wide = read_wav_rate(b.speaker)
                band_db = band_level(resample(wide, rate, 16000)) - band_level(read_wav_rate(mic)[1])
                print("%s: %d words, the first heard %.3f s into B's speaker file; word SNR "
                      "min %.1f / mean %.1f dB; 4-7 kHz %.1f dB of the source's, speaker at %d Hz"
                      % (codec, len(words), words[0][1] or -1, min(snrs), float(np.mean(snrs)),
                         band_db, rate))
                if codec in ("Opus", "G722"):
                    self.assertEqual(rate, 16000)
                    self.assertLess(abs(band_db), 6.0, "the 4-7 kHz band")
                else:
                    self.assertLess(band_db, -20.0, "a narrowband call carried 4-7 kHz")
                # The intercom cue sounds on B's speaker before the first word, and every
                # word still arrives after it.
                cue = find_cue(heard)
                print("%s: cue at %s s" % (codec, cue))
                self.assertIsNotNone(cue, "no intercom cue on the speaker")
                self.assertTrue(all(w[1] is not None for w in words), words)
                self.assertLessEqual(cue + 0.24, words[0][1], "the cue overlaps the first word")
                minimum = 15.0 if codec in ("PCMU", "G722") else 3.0
                self.assertGreater(snrs[0], minimum, "the first word is heard in full")
                self.assertGreater(float(np.mean(snrs)), minimum, words)
                self.assertGreater(min(snrs), minimum - 8, words)
                # Nothing from B (talk-back off) reached A.
                self.assertLess(np.abs(a.heard()).max(initial=0), 600)

    def test_the_callers_words_pass_its_audio_chain_as_shipped(self):
        # Echo control, noise suppression and the automatic gain at their defaults on the
        # caller, in a G.722 call: they may filter and level the words, never garble them,
        # and they keep the wideband speech wideband. (The caller also names itself as its
        # user set.)
        mic = self.wideband_microphone()
        shipped = {"Settings": {"UseAGC": None, "UseEchoCancellation": None,
                                "UseNoiseSuppression": None},
                   "SIP": {"UserAgent": "Front door\rX: 1"},
                   "DefaultLine": {"Codecs": "g722,pcmu"}}
        a = self.quillet("alice", mic, shipped)
        b = self.quillet("bob", self.silence_file, {"DefaultLine": {"Codecs": "g722,pcmu"}})
        self.call_and_hear(a, b, len(self.speech) / RATE + 1.5)
        self.assertIn("User-Agent: Front doorX: 1\n", b.trace_text())
        intact, voiced = pieces_intact(self.speech, b.heard().astype(float))
        # The 4-7 kHz band against the 0.3-3.4 kHz one (the gain control levels the whole),
        # on B's speaker and in the source.
        rate, wide = read_wav_rate(b.speaker)
        source = read_wav_rate(mic)[1]
        heard = resample(wide, rate, 16000)
        tilt_db = ((band_level(heard) - band_level(heard, low=300, high=3400))
                   - (band_level(source) - band_level(source, low=300, high=3400)))
        print("as shipped (G.722): %d of %d voiced pieces intact; 4-7 kHz %.1f dB of the "
              "source's (%.1f dB against 0.3-3.4 kHz), speaker at %d Hz"
              % (intact, voiced, band_level(heard) - band_level(source), tilt_db, rate))
        self.assertGreaterEqual(intact, 0.95 * voiced)
        self.assertEqual(rate, 16000)
        self.assertLess(abs(tilt_db), 6.0, "the 4-7 kHz band through the echo control")

    def test_talk_back_yes_sends_this_side(self):
        a = self.quillet("alice", self.silence_file)
        b = self.quillet("bob", self.speech_file, {"Intercom": {"AutoTalkBack": "1"}})
        self.call_and_hear(a, b, len(self.speech) / RATE + 1.5)
        self.assertIn('Press "Intercom" button to stop call', b.log_text())
        words = find_words(self.speech, a.heard())
        # The cue is the answering side's: the caller hears B's speech without one.
        self.assertIsNone(find_cue(a.heard()))
        snrs = [w[2] for w in words]
        print("talk-back: B's %d words heard at A, SNR min %.1f / mean %.1f dB"
              % (len(words), min(snrs), float(np.mean(snrs))))
        self.assertGreater(float(np.mean(snrs)), 15.0, words)

    def test_every_microphone_passes_echo_control(self):
        # The microphones of both sides (A from the dial, B after talk-back Yes) pass the
        # echo control, whose noise gate learns the background noise and stores it when the
        # call ends.
        rng = np.random.default_rng(5)
        noisy = os.path.join(self.root, "noisy-speech.wav")
        write_wav(noisy, np.concatenate([self.speech, np.zeros(RATE * 4)])
                  + rng.normal(0, 150, len(self.speech) + RATE * 4))
        echo = {"UseEchoCancellation": "1"}
        a = self.quillet("alice", noisy, {"Settings": echo})
        b = self.quillet("bob", noisy, {"Settings": echo, "Intercom": {"AutoTalkBack": "1"}})
        self.call_and_hear(a, b, 2.5)
        for p in (a, b):
            with open(os.path.join(p.home, "settings.ini")) as f:
                stored = dict(re.findall(r"^(NoiseGateBand\d)=(-?\d+)$", f.read(), re.M))
            print("%s learned noise gate %s" % (p.user, stored))
            self.assertTrue(any(int(v) > 0 for v in stored.values()), stored)

    def test_noise_suppression_takes_a_fan_out_of_the_callers_words(self):
        # A fan at -40 dBFS, 3 s alone, then the caller's sentence twice over it and 3 s of
        # fan again: with the noise suppressor as a stage of its own and inside the echo
        # control the callee hears the fan at least 15 dB lower (in the quietest fifth of the
        # call's 20 ms frames: the pauses, which the sender may also shorten once they are
        # quiet; the echo control's gate alone takes it down as far), and the words intact.
        words_at, tail = 3.0, 3.0
        sentence = np.concatenate([self.speech, np.zeros(RATE // 2), self.speech])
        fan = pink_noise(int(RATE * (words_at + tail)) + len(sentence), 32767 * 10 ** -2)
        said = np.concatenate([np.zeros(int(RATE * words_at)), sentence,
                               np.zeros(int(RATE * tail))])
        mic = os.path.join(self.root, "fan-speech.wav")
        write_wav(mic, np.clip(said + fan, -32768, 32767))
        first, last = voiced_segments(self.speech)[0]
        word = self.speech[first:last]
        fan_db, kept_by = {}, {}
        for name, settings in (("off", {"UseNoiseSuppression": "0"}),
                               ("its own stage", {"UseNoiseSuppression": "1"}),
                               ("off, echo control", {"UseNoiseSuppression": "0",
                                                      "UseEchoCancellation": "1"}),
                               ("in the echo control", {"UseNoiseSuppression": "1",
                                                        "UseEchoCancellation": "1"})):
            a = self.quillet("alice", mic, {"Settings": settings})
            b = self.quillet("bob", self.silence_file)
            self.call_and_hear(a, b, len(said) / RATE + 3.0)  # the call takes a while to start
            heard = b.heard().astype(float)
            cue = find_cue(heard)
            self.assertIsNotNone(cue, name)
            begin = int(RATE * (cue + 0.3))  # after the intercom cue
            # Where the sentence starts: its first word, found after the cue and before the
            # sentence's second time.
            early = heard[begin:begin + int(RATE * (words_at + 1.5))]
            score = (np.correlate(early, word, "valid")
                     / np.sqrt(np.maximum(np.convolve(early ** 2, np.ones(len(word)), "valid"),
                                          1e-9)))
            start = begin + int(np.argmax(score)) - first
            span = heard[begin:start + len(sentence) + 2 * RATE]
            frames = np.mean(span[:len(span) // 160 * 160].reshape(-1, 160) ** 2, axis=1)
            fan_db[name] = 10 * np.log10(np.percentile(frames, 20) + 1e-9)
            kept, voiced = pieces_intact(sentence, heard[max(begin, start - RATE // 2):])
            print("noise suppression %s: the quietest fifth of the frames at %.1f dB, %d of %d "
                  "voiced pieces intact" % (name, fan_db[name], kept, voiced))
            kept_by[name] = kept
            if not name.startswith("off"):
                self.assertLessEqual(fan_db[name], fan_db["off"] - 15, name)
        self.assertGreaterEqual(kept_by["its own stage"], 0.95 * voiced)
        # In the echo control, between the canceller and the gate, it has cost one or two
        # quiet pieces of the 34 that the echo control without it kept: no more than two.
        self.assertGreaterEqual(kept_by["in the echo control"], kept_by["off, echo control"] - 2)

    def test_calling_sound_plays_on_the_callers_speaker(self):
        # While the far end rings (a SIPp UAS that only rings), "Calling.wav" of the System
        # Tones folder plays over and over on this side's speaker.
        with self.ring_only_peer() as door:
            a = self.quillet("alice", self.silence_file)
            os.makedirs(os.path.join(a.home, "System Tones"))
            tone = np.sin(2 * np.pi * 440 * np.arange(RATE // 4) / RATE) * 8000
            write_wav(os.path.join(a.home, "System Tones", "Calling.wav"), tone)
            a.start("-dial", door)
            self.assertTrue(wait_for(lambda: len(a.heard()) > RATE * 1.5, 15), len(a.heard()))
            a.stop()
            self.assertNotIn("Hold Connection Failed", a.log_text())
            heard = a.heard()[:RATE].astype(float)  # four times round the loop
            spectrum = np.abs(np.fft.rfft(heard))
            self.assertGreater(spectrum[440] / (np.median(spectrum) + 1), 100, "calling tone")

    def test_allow_list(self):
        cases = (
            ("alice", True),          # an item (a user name) occurs in the caller's address
            ("127.0.0.9, carol", False),
            ("", False),              # an empty list allows nobody
            ("carol,,dave", True),    # an empty item matches everybody
        )
        for allow, allowed in cases:
            with self.subTest(allow=allow):
                a = self.quillet("alice", self.speech_file)
                b = self.quillet("bob", self.silence_file,
                                 {"Intercom": {"AllowAll": "0", "Allow": allow}})
                b.start()
                a.start("-dial", b.address)
                if allowed:
                    self.assertTrue(wait_for(lambda: "The call was started" in b.log_text()))
                    time.sleep(2)
                    self.assertGreater(np.abs(b.heard()).max(initial=0), 2000)
                else:
                    self.assertTrue(wait_for(lambda: "Rejecting intercom call because not on the "
                                             "allow list" in b.log_text()), b.log_text())
                    self.assertTrue(wait_for(lambda: "Call has disconnected" in a.log_text()
                                             or "rejected" in a.log_text().lower()))
                    time.sleep(1)
                    self.assertNotIn("The call was started", b.log_text())
                    self.assertFalse(os.path.exists(b.speaker), "no ring sound, nothing played")
                a.stop()
                b.stop()

    def test_do_not_disturb_refuses_with_480(self):
        a = self.quillet("alice", self.speech_file)
        b = self.quillet("bob", self.silence_file, {"Settings": {"DoNotDisturb": "1"}})
        b.start()
        a.start("-dial", b.address)
        self.assertTrue(wait_for(lambda: "SIP/2.0 480" in b.trace_text()), b.trace_text())
        self.assertTrue(wait_for(lambda: "Other side said: Temporarily Unavailable"
                                 in a.log_text()), a.log_text())
        self.assertNotIn("Incoming SIP call", b.log_text())

    def test_remote_commands_act_on_the_running_call(self):
        a = self.quillet("alice", self.speech_file, {"Settings": {"SipTraceAudioOn": "1"}})
        b = self.quillet("bob", self.silence_file)
        b.start()
        a.start("-dial", b.address)
        self.assertTrue(wait_for(lambda: "The call was started" in a.log_text()))
        self.assertEqual(a.run("-dtmf", "123"), 0)
        # The digits go out as telephone events (payload type 101).
        events = re.compile(r"Rtp >>> \S+ (Mark| {4}) 101 ")
        self.assertTrue(wait_for(lambda: events.search(a.trace_text())), a.trace_text()[-2000:])
        self.assertEqual(a.run("-hangup"), 0)
        self.assertTrue(wait_for(lambda: "The call was stopped" in a.log_text()), a.log_text())
        self.assertTrue(wait_for(lambda: "The call was stopped" in b.log_text()), b.log_text())
        self.assertIn("BYE sip:", a.trace_text())
        self.assertEqual(a.run("-exit"), 0)
        self.assertEqual(a.process.wait(timeout=10), 0)

    def test_sigterm_during_a_call_ends_it_with_bye(self):
        a = self.quillet("alice", self.speech_file)
        b = self.quillet("bob", self.silence_file)
        b.start()
        a.start("-dial", b.address)
        self.assertTrue(wait_for(lambda: "The call was started" in b.log_text()))
        a.process.send_signal(signal.SIGTERM)
        self.assertEqual(a.process.wait(timeout=10), 0)
        self.assertIn("BYE sip:", a.trace_text())
        self.assertTrue(wait_for(lambda: "The call was stopped" in b.log_text()), b.log_text())

    def test_unanswered_call_without_microphone_is_hung_up_after_25_s(self):
        # The far end rings and never answers (a SIPp UAS that only rings); without a
        # microphone nothing reports levels, so the no-activity time-out ends the call.
        with self.ring_only_peer() as door:
            a = self.quillet("alice", os.path.join(self.root, "no-such-microphone.wav"))
            a.start("-dial", door)
            began = time.monotonic()
            self.assertTrue(wait_for(lambda: "CANCEL sip:" in a.trace_text(), 40), a.trace_text())
            elapsed = time.monotonic() - began
            print("unanswered intercom call cancelled after %.1f s" % elapsed)
            self.assertGreater(elapsed, 23)
            self.assertLess(elapsed, 30)


if __name__ == "__main__":
    unittest.main(verbosity=2)
