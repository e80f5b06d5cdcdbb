#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Quillet on a desktop whose ALSA `default` is PipeWire, against a private PipeWire daemon
(pipewire_lab.py): a null sink is the speaker and the speaker's monitor comes back through a
loopback as the microphone, an acoustic echo path of unit gain.

Usage: pipewire_e2e.py QUILLET QUILLET-TOOL [unittest options]. QUILLET_PW_CALLS sets the
calls per quantum (default 3)."""
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import unittest

import numpy as np

if len(sys.argv) > 2:
    os.environ["QUILLET_BINARY"] = sys.argv.pop(1)
    TOOL = sys.argv.pop(1)
else:
    TOOL = "build/bin/quillet-tool"
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "latency"))
from e2e_support import (RATE, Profile, make_speech, pieces_intact, read_wav,  # noqa: E402
                         wait_for, write_wav)
from echo_caller import EchoCaller, Stall, Steady  # noqa: E402
from pipewire_lab import PipeWireLab  # noqa: E402
from sipharness import end_process, free_udp_port  # noqa: E402

CALLS = int(os.environ.get("QUILLET_PW_CALLS", "3"))
# A tool that waits on its device uses a few per cent of a core; one that spins uses all.
IDLE_CPU = 0.25


class DeskProfile(Profile):
    """A profile whose processes run in the lab (its devices are PipeWire's)."""

    def __init__(self, lab, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.lab = lab

    def env(self):
        return self.lab.env(super().env())


def timed(args, env):
    """Runs a command; answers (exit code, wall seconds, CPU seconds of the child)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    began = time.monotonic()
    code = subprocess.run(args, env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=60).returncode
    wall = time.monotonic() - began
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return code, wall, cpu


class Stalls(Steady):
    """The caller's stream held for `hold` s at each of `times` and then sent at once."""

    def __init__(self, times, hold):
        self.stalls = [Stall(at, hold) for at in times]

    def delay(self, index):
        return max(stall.delay(index) for stall in self.stalls)


class PipeWireTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="quillet-pw-e2e-")
        cls.lab = PipeWireLab(os.path.join(cls.root, "lab")).start()
        cls.speech = make_speech(cls.root)
        cls.silence_file = os.path.join(cls.root, "silence.wav")
        write_wav(cls.silence_file, np.zeros(RATE * 30))
        # The caller says its words, then keeps quiet while the callee answers.
        cls.caller_file = os.path.join(cls.root, "caller.wav")
        write_wav(cls.caller_file, np.concatenate([cls.speech, np.zeros(RATE * 20)]))
        # The callee's own words, said in its room (the same words backwards).
        cls.callee_voice = cls.speech[::-1].copy()
        cls.callee_file = os.path.join(cls.root, "callee-voice.wav")
        write_wav(cls.callee_file, cls.callee_voice)
        # The caller's words three times over, a second apart.
        pause = np.zeros(RATE)
        cls.said_thrice = np.concatenate([pause, cls.speech, pause, cls.speech, pause, cls.speech])
        cls.said_thrice_file = os.path.join(cls.root, "said-thrice.wav")
        write_wav(cls.said_thrice_file, cls.said_thrice)

    @classmethod
    def tearDownClass(cls):
        cls.lab.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    def setUp(self):
        self.profiles = []
        self.lab.set_quantum(0)

    def tearDown(self):
        for p in self.profiles:
            p.stop()

    def _ports(self):
        return free_udp_port(5400, 5900), free_udp_port()

    def desk(self, name, settings=None):
        """A profile on the lab's default devices (ALSA default is PipeWire)."""
        port, rtp = self._ports()
        values = {"Settings": {"RecordDevice": "", "PlayDevice": ""}}
        for section, pairs in (settings or {}).items():
            values.setdefault(section, {}).update(pairs)
        p = DeskProfile(self.lab, self.root, "%s-%d" % (name, port), port, rtp, name,
                        self.silence_file, values)
        self.profiles.append(p)
        return p

    def filed(self, name, microphone, settings=None):
        """A profile with WAV files as microphone and speaker."""
        port, rtp = self._ports()
        p = Profile(self.root, "%s-%d" % (name, port), port, rtp, name, microphone, settings)
        self.profiles.append(p)
        return p

    def test_callee_answers_every_call_on_its_first_ring_at_each_quantum(self):
        for quantum in (0, 256, 2048):
            with self.subTest(quantum=quantum):
                self.lab.set_quantum(quantum)
                b = self.desk("bob")
                a = self.filed("alice", self.silence_file)
                b.start()
                a.start()
                answers = []
                for i in range(CALLS):
                    began = time.monotonic()
                    self.assertEqual(a.run("-dial", b.address), 0)
                    self.assertTrue(wait_for(
                        lambda: b.log_text().count("The call was started") > i, 8), b.log_text())
                    answers.append(time.monotonic() - began)
                    self.assertEqual(a.run("-hangup"), 0)
                    self.assertTrue(wait_for(
                        lambda: b.log_text().count("The call was stopped") > i, 8), b.log_text())
                print("quantum %s: %d of %d calls answered, %.2f-%.2f s from dial to answer"
                      % (quantum or "default", len(answers), CALLS, min(answers), max(answers)))
                # The 1.3 s ring sound, then the answer; a second ring would come 2 s later.
                self.assertLess(max(answers), 3.2)
                a.stop()
                b.stop()

    def test_tool_plays_to_the_end_on_time_and_idles_while_recording(self):
        tone = os.path.join(self.root, "tone10.wav")
        write_wav(tone, np.sin(2 * np.pi * 440 * np.arange(RATE * 10) / RATE) * 6000)
        env = self.lab.env()
        for quantum in (0, 2048):
            self.lab.set_quantum(quantum)
            code, wall, cpu = timed([TOOL, "audio", "play", tone], env)
            print("quantum %s: audio play of 10 s returned after %.2f s, CPU %.1f %% of a core"
                  % (quantum or "default", wall, 100 * cpu / wall))
            self.assertEqual(code, 0)
            self.assertGreater(wall, 9.9)
            self.assertLess(wall, 10.3)
            # The figure is reported; the bound only catches a loop that spins on the
            # device instead of waiting for it (a shared CI core makes finer bounds flaky).
            self.assertLess(cpu / wall, IDLE_CPU)
        self.lab.set_quantum(0)
        out = os.path.join(self.root, "recorded.wav")
        code, wall, cpu = timed([TOOL, "audio", "record", out, "--seconds", "10"], env)
        print("audio record of 10 s: %.2f s, CPU %.1f %% of a core" % (wall, 100 * cpu / wall))
        self.assertEqual(code, 0)
        self.assertLess(cpu / wall, IDLE_CPU)

    def talk_back_through_the_room(self, echo_settings, calls, codecs=None):
        """A calls B `calls` times on a new profile; B's speaker and microphone share the
        lab's room. In the last call B talks back after A's words. Answers A's own voice
        coming back in each call (dB against what it said) and B's words as A heard them.
        `codecs`: both lines' codecs (the narrowband ones when None)."""
        line = {"DefaultLine": {"Codecs": codecs}} if codecs else {}
        b = self.desk("bob", dict({"Settings": echo_settings, "Intercom": {"AutoTalkBack": "1"}},
                                  **line))
        b.start()
        said = len(self.speech) / RATE
        backs = []
        for call in range(1, calls + 1):
            a = self.filed("alice", self.caller_file, line)
            a.start("-dial", b.address)
            self.assertTrue(wait_for(
                lambda: b.log_text().count("The call was started") == call, 10))
            time.sleep(said + 1.5)
            if call == calls:
                voice = self.lab.play_into_room(self.callee_file)
                voice.wait(timeout=30)
                time.sleep(1.5)
            a.stop()
            self.assertTrue(wait_for(
                lambda: b.log_text().count("The call was stopped") == call, 10))
            heard = a.heard().astype(float)
            # Before B's words begin, A's speaker carries only what came back of A's voice.
            window = heard[:int(RATE * (said + 1.0))]
            backs.append(10 * np.log10((np.sum(window ** 2) + 1)
                                       / np.sum(self.speech.astype(float) ** 2)))
        b.stop()
        # B's words as A heard them: their level against what B said in the room.
        voice = heard[int(RATE * (said + 1.0)):]
        level = 10 * np.log10((np.sum(voice ** 2) + 1)
                              / np.sum(self.callee_voice.astype(float) ** 2))
        return backs, level

    def test_talk_back_through_the_room_takes_the_callers_voice_out(self):
        # A new profile has learned nothing of the room: the echo control starts from an
        # echo as loud as the speaker and holds it back from the first block of the first
        # call; what it learned carries over to the next calls.
        figures = {}
        # The noise suppressor is on as it comes (behind the canceller it also takes out the
        # echo the canceller leaves; after the suppressor alone it takes noise only).
        shipped = {"UseEchoCancellation": "1", "UseNoiseSuppression": None}
        for name, settings, calls, codecs in (
                ("canceller and suppressor", shipped, 3, None),
                ("canceller and suppressor, Opus", shipped, 2, "opus"),
                ("suppressor alone", dict(shipped, UseEchoCanceller="0"), 2, None),
                ("no echo control", {"UseEchoCancellation": "0"}, 1, None)):
            backs, level = self.talk_back_through_the_room(settings, calls, codecs)
            figures[name] = backs
            print("%s: own voice back %s dB in calls 1..%d; the callee heard at %.1f dB"
                  % (name, ", ".join("%.1f" % b for b in backs), calls, level))
            self.assertGreater(level, -12.0, "%s: the caller hears the callee" % name)
        self.assertGreater(figures["no echo control"][0], -3.0)  # the room's echo is there
        # Echo control as it comes (the canceller on): 25 dB down, the first call too. On a
        # busy two-core machine one call in about a dozen has come back at -15 dB, so each
        # call is held to 12 dB and the calls' median to 25.
        with_canceller = figures["canceller and suppressor"]
        self.assertLess(with_canceller[0], -25.0)
        self.assertLess(statistics.median(with_canceller), -25.0)
        self.assertLess(max(with_canceller), -12.0)
        # The same at 16000 Hz, in an Opus call.
        self.assertLess(statistics.median(figures["canceller and suppressor, Opus"]), -25.0)
        # The suppressor alone lines up as fast, but learns the room's echo within the first call.
        self.assertLess(figures["suppressor alone"][0], -15.0)
        self.assertLess(figures["suppressor alone"][1], -25.0)

    def caller_heard_through_its_echo_control(self, settings):
        """A desk caller (on the lab's default devices, the given echo settings, every other
        setting its default) calls a filed callee that stays silent; the caller's words,
        said three times in its room once the call is up, as the callee heard them:
        (intact, voiced) 200 ms pieces."""
        a = self.desk("alice", {"Settings": dict({"UseAGC": None, "UseEchoCancellation": None,
                                                  "UseNoiseSuppression": None}, **settings)})
        b = self.filed("bob", self.silence_file)
        b.start()
        a.start("-dial", b.address)
        self.assertTrue(wait_for(lambda: "The call was started" in b.log_text(), 10))
        time.sleep(1.0)
        self.lab.play_into_room(self.said_thrice_file).wait(timeout=60)
        time.sleep(1.0)
        a.stop()
        b.stop()
        return pieces_intact(self.said_thrice, b.heard().astype(float))

    def test_the_callers_words_pass_its_echo_control_whole(self):
        # The echo control is in the caller's path with the far end silent: what it does to
        # the words may be a filter (a DC notch, pre-emphasis, a gain), never garbling.
        shares = {}
        for name, settings in (("as shipped", {}),
                               ("suppressor alone", {"UseEchoCanceller": "0"}),
                               ("no echo control", {"UseEchoCancellation": "0"})):
            intact, voiced = self.caller_heard_through_its_echo_control(settings)
            shares[name] = intact / voiced
            print("%s: %d of %d voiced pieces intact" % (name, intact, voiced))
        self.assertGreaterEqual(shares["no echo control"], 0.95)
        self.assertGreaterEqual(shares["as shipped"], 0.95)
        self.assertGreaterEqual(shares["suppressor alone"], 0.95)

    def test_a_stalling_stream_from_the_caller_brings_none_of_its_voice_back(self):
        # The caller's stream stops for 300 ms in the middle of a word and comes back in a
        # burst, once in each sentence after its first (the echo control has learned the
        # room by then): the callee's speaker runs short and its device goes on later than
        # before. The echo control must hold the echo back across it.
        b = self.desk("bob", {"Settings": {"UseEchoCancellation": "1", "UseNoiseSuppression": None},
                              "Intercom": {"AutoTalkBack": "1"}})
        b.start()
        words = self.speech[np.flatnonzero(np.abs(self.speech) > 100)[0]:]
        stream = np.concatenate([np.zeros(2 * RATE)] + [words] * 5)
        level = float(np.mean(words ** 2))
        # In each of them the loudest 100 ms of one half of it, the other half the next time.
        half = len(words) // 2
        power = np.convolve(words ** 2, np.ones(RATE // 10), "valid")
        stalls = [2.0 + (k * len(words) + k % 2 * half
                         + int(np.argmax(power[k % 2 * half:(k % 2 + 1) * half]))) / RATE
                  for k in range(1, 5)]
        backs = []
        for _ in range(2):
            caller = EchoCaller(b.sip_port)
            try:
                caller.call()
                caller.send(stream, Stalls(stalls, 0.3))
                time.sleep(0.5)
            finally:
                caller.hang_up()
            back = caller.returned()
            for at in stalls:
                # The second after the stall: the burst and the words after it.
                heard = [s for t, s in back if at <= t < at + 1.0]
                energy = float(np.sum(np.concatenate(heard).astype(float) ** 2)) if heard else 0
                backs.append(10 * np.log10((energy + 1) / (level * RATE)))
        b.stop()
        print("stalled stream: own voice back in the second after each stall %s dB"
              % ", ".join("%.1f" % v for v in backs))
        # Echo that leaks through a slipped path comes back at -17 to -3 dB in such a second;
        # held back, the worst second seen was -25.6 dB on a machine busy with a second lab.
        self.assertLess(max(backs), -20.0)

    def desktop_volume(self):
        return self.lab.run(["wpctl", "get-volume", "@DEFAULT_AUDIO_SINK@"]).strip()

    def test_a_calls_volume_is_its_own_not_the_desktops(self):
        # The desktop's speaker volume, as its user set it, belongs to the desktop: the call
        # on the default device plays at PlayVolume on its own stream.
        tone = os.path.join(self.root, "tone400.wav")
        write_wav(tone, np.sin(2 * np.pi * 400 * np.arange(RATE * 10) / RATE) * 8000)
        self.lab.run(["wpctl", "set-volume", "@DEFAULT_AUDIO_SINK@", "0.40"])
        before = self.desktop_volume()
        self.assertEqual(before, "Volume: 0.40")
        levels = {}
        for volume in (0, -20):
            b = self.desk("bob", {"Settings": {"PlayVolume": str(volume)}})
            a = self.filed("alice", tone)
            b.start()
            a.start("-dial", b.address)
            self.assertTrue(wait_for(lambda: "The call was started" in b.log_text(), 10))
            time.sleep(0.5)
            heard = os.path.join(self.root, "speaker%d.wav" % volume)
            recorder = self.lab.record_speaker(heard, None)
            time.sleep(2.0)
            end_process(recorder)
            a.stop()
            b.stop()
            samples = read_wav(heard)
            blocks = np.sqrt(np.mean(samples[:len(samples) // 400 * 400].reshape(-1, 400) ** 2,
                                     axis=1))
            levels[volume] = 20 * np.log10(np.median(blocks[blocks > blocks.max() / 2]) + 1e-9)
        after = self.desktop_volume()
        step = levels[-20] - levels[0]
        print("desktop speaker %s before the calls, %s after; the call heard at %.1f dBFS "
              "with PlayVolume 0 (the tone was said at %.1f), %.1f dBFS with -20: %.1f dB"
              % (before, after, levels[0] - 20 * np.log10(32768),
                 20 * np.log10(8000 / np.sqrt(2) / 32768), levels[-20] - 20 * np.log10(32768),
                 step))
        self.assertEqual(after, before)
        self.assertAlmostEqual(step, -20.0, delta=1.0)

    def test_zz_sound_server_stopping_mid_call_leaves_the_call_up(self):
        a = self.filed("alice", self.caller_file)
        b = self.desk("bob", {"Intercom": {"AutoTalkBack": "1"}})
        b.start()
        a.start("-dial", b.address)
        try:
            self.assertTrue(wait_for(lambda: "The call was started" in b.log_text(), 10))
            time.sleep(1)
            self.lab.stop_pipewire()
            why = re.compile(r"(playback|capture) device (failed|delivered nothing)")
            self.assertTrue(wait_for(lambda: why.search(b.log_text()), 10), b.log_text()[-1500:])
            time.sleep(1)
            self.assertIsNone(b.process.poll())
            self.assertNotIn("The call was stopped", b.log_text())
            self.assertEqual(a.run("-hangup"), 0)
            self.assertTrue(wait_for(lambda: "The call was stopped" in b.log_text(), 10),
                            b.log_text()[-800:] + a.log_text()[-500:])
            b.stop()
            self.assertEqual(b.process.returncode, 0)
            print("sound server gone: %s" % why.search(b.log_text()).group(0))
        finally:
            self.lab.start_pipewire()


if __name__ == "__main__":
    unittest.main(verbosity=2)
