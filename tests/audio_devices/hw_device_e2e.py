#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""A call through `quillet --headless` on a plain ALSA hardware-style device that has one
rate only (48000 Hz stereo, the paced test PCM named by its card, "quillet_hw:CARD=Test", whose
card "hw:Test" is the test mixer): capture and playback open and resample, the far end hears
the device's capture whole, the stored play volume is set on the card's speaker lines when
the call starts while the microphone's passthrough to the speaker stays as it was, and the
temporary sound files are deleted at exit.

Usage: hw_device_e2e.py QUILLET PACED_PCM_MODULE MIXER_MODULE [unittest options]"""
import os
import shutil
import sys
import tempfile
import time
import unittest

import numpy as np

if len(sys.argv) > 3:
    os.environ["QUILLET_BINARY"] = sys.argv.pop(1)
    PCM_MODULE = os.path.abspath(sys.argv.pop(1))
    CTL_MODULE = os.path.abspath(sys.argv.pop(1))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from e2e_support import RATE, Profile, make_speech, wait_for, write_wav  # noqa: E402

DEVICE_RATE = 48000
ALSA_CONF = """pcm_type.quillet_paced { lib "%(pcm)s" }
ctl_type.quillet_mixer { lib "%(ctl)s" }
pcm.quillet_hw {
  @args [ CARD ] @args.CARD { type string }
  type quillet_paced rate %(rate)d channels 2
}
ctl.!hw {
  @args [ CARD ] @args.CARD { type string }
  type quillet_mixer state "%(state)s"
}
"""
DEVICE = "quillet_hw:CARD=Test"


class DeviceProfile(Profile):
    def __init__(self, alsa_conf, tmp, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.alsa_conf = alsa_conf
        self.tmp = tmp

    def env(self):
        env = super().env()
        env["ALSA_CONFIG_PATH"] = "/usr/share/alsa/alsa.conf:" + self.alsa_conf
        env["TMPDIR"] = self.tmp
        return env


def ramp_snr(heard, window=200):
    """The capture's ramp (sample n holds n mod 32768) as the call carries it at 8000 Hz: a
    sawtooth. Answers its power against what is left of it off straight lines fitted over
    short windows (those that hold a wrap left out), in dB."""
    residual = []
    jump = -0.25 * (heard.max() - heard.min())
    x = np.arange(window)
    for at in range(0, len(heard) - window, window):
        part = heard[at: at + window]
        if np.diff(part).min() < jump:
            continue
        residual.append(part - np.polyval(np.polyfit(x, part, 1), x))
    error = np.mean(np.concatenate(residual) ** 2)
    return 10 * np.log10(np.var(heard) / max(error, 1e-9))


class HardwareDeviceCall(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="quillet-hw-e2e-")
        self.state = os.path.join(self.root, "mixer-state")
        self.alsa_conf = os.path.join(self.root, "alsa.conf")
        with open(self.alsa_conf, "w") as f:
            f.write(ALSA_CONF % {"pcm": PCM_MODULE, "ctl": CTL_MODULE, "rate": DEVICE_RATE,
                                 "state": self.state})
        self.tmp = os.path.join(self.root, "tmp")
        os.makedirs(self.tmp)
        self.profiles = []

    def tearDown(self):
        for p in self.profiles:
            p.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def mixer(self):
        values = {}
        if os.path.exists(self.state):
            with open(self.state) as f:
                for line in f:
                    name, _, value = line.strip().partition("=")
                    values[name] = [int(v) for v in value.split()]
        return values

    def test_call_over_a_single_rate_device(self):
        speech = make_speech(self.root)
        mic = os.path.join(self.root, "alice-mic.wav")
        write_wav(mic, np.concatenate([speech, np.zeros(RATE * 10)]))
        # Left behind by an earlier run: the temporary recordings go at exit, nothing else.
        for name in ("left.aud", "left.grf", "keep.wav"):
            open(os.path.join(self.tmp, name), "w").close()
        b = DeviceProfile(self.alsa_conf, self.tmp, self.root, "bob", 5520, 22400, "bob",
                          mic, {"Settings": {"RecordDevice": DEVICE, "PlayDevice": DEVICE,
                                             "PlayVolume": "-10"},
                                "Intercom": {"AutoTalkBack": "1"}})
        a = Profile(self.root, "alice", 5522, 22440, "alice", mic)
        self.profiles += [a, b]
        # The card as a user left it: the speaker muted, the microphone's analog passthrough
        # to the speaker a little up and switched off (on, it would feed the microphone to
        # the speaker).
        before = {"Master Playback Volume": [20, 20], "Master Playback Switch": [0, 0],
                  "PCM Playback Volume": [200, 200], "Mic Playback Volume": [7, 7],
                  "Mic Playback Switch": [0, 0]}
        with open(self.state, "w") as f:
            f.writelines("%s=%d %d\n" % (name, *v) for name, v in before.items())
        b.start()
        a.start("-dial", b.address)
        self.assertTrue(wait_for(lambda: "The call was started" in b.log_text(), 10),
                        b.log_text())
        # -10 is 26 steps of 1424 above the floor: 37024 of 65535, 49 on Master's 0..87 and
        # 144 on PCM's 0..255.
        self.assertTrue(wait_for(lambda: self.mixer().get("Master Playback Volume") == [49, 49],
                                 5), "%s\n%s" % (self.mixer(), b.log_text()))
        time.sleep(4)
        a.stop()
        self.assertTrue(wait_for(lambda: "The call was stopped" in b.log_text(), 10))
        b.stop()
        self.assertEqual(b.process.returncode, 0)
        self.assertNotRegex(b.log_text(), "device failed|delivered nothing|cannot open")
        after = self.mixer()
        print("card's playback controls before the call -> after: %s" % "; ".join(
            "%s %s -> %s" % (name, before[name], after.get(name)) for name in before))
        self.assertEqual(after["Master Playback Switch"], [1, 1])
        self.assertEqual(after["PCM Playback Volume"], [144, 144])
        for name in ("Mic Playback Volume", "Mic Playback Switch"):
            self.assertEqual(after.get(name), before[name], name)
        heard = a.heard()
        voiced = np.nonzero(np.abs(heard) > 300)[0]
        self.assertGreater(len(voiced), RATE * 2, "alice heard bob's microphone")
        part = heard[voiced[0] + RATE // 2: voiced[0] + RATE // 2 + RATE * 3]
        snr = ramp_snr(part)
        # The ramp wraps every 32768 device frames: 5461 frames of the call at 8000 Hz.
        wraps = np.nonzero(np.diff(part) < -0.25 * (part.max() - part.min()))[0]
        periods = [p for p in np.diff(wraps) if p > 100]
        print("48000 Hz stereo device: the far end hears its capture at %.1f dB SNR (mu-law "
              "steps), the ramp wrapping every %s frames" % (snr, periods))
        self.assertGreater(snr, 20.0)
        self.assertTrue(any(abs(p - 32768 / 6) < 0.02 * 32768 / 6 for p in periods), periods)
        self.assertEqual(sorted(os.listdir(self.tmp)), ["keep.wav"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
