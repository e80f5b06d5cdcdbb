#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Measures (does not test) the CPU share of a callee on the PipeWire lab's devices during a
talk-back intercom call, with the echo canceller and the noise suppressor on (the default),
the canceller without the noise suppressor, the suppressor alone, the noise suppressor alone
and with neither. The caller uses WAV files.

Usage: measure_call_cpu.py [path/to/quillet] [--seconds S]"""
import argparse
import os
import shutil
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
parser = argparse.ArgumentParser()
parser.add_argument("quillet", nargs="?", default="build/bin/quillet")
parser.add_argument("--seconds", type=float, default=15.0)
args = parser.parse_args()
os.environ["QUILLET_BINARY"] = args.quillet
from e2e_support import RATE, Profile, make_speech, wait_for, write_wav  # noqa: E402
from pipewire_lab import PipeWireLab  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


class DeskProfile(Profile):
    def __init__(self, lab, *a, **k):
        super().__init__(*a, **k)
        self.lab = lab

    def env(self):
        return self.lab.env(super().env())


def main():
    root = tempfile.mkdtemp(prefix="quillet-pw-cpu-")
    try:
        with PipeWireLab(os.path.join(root, "lab")) as lab:
            speech = make_speech(root)
            mic = os.path.join(root, "caller.wav")
            write_wav(mic, np.tile(np.concatenate([speech, np.zeros(RATE)]), 6))
            port = 5600
            for name, echo in (("canceller, noise supp.", {"UseEchoCancellation": "1",
                                                           "UseNoiseSuppression": "1"}),
                               ("canceller and suppressor", {"UseEchoCancellation": "1",
                                                             "UseNoiseSuppression": "0"}),
                               ("suppressor alone", {"UseEchoCancellation": "1",
                                                     "UseEchoCanceller": "0",
                                                     "UseNoiseSuppression": "0"}),
                               ("noise suppression alone", {"UseEchoCancellation": "0",
                                                            "UseNoiseSuppression": "1"}),
                               ("no echo control", {"UseEchoCancellation": "0",
                                                    "UseNoiseSuppression": "0"})):
                b = DeskProfile(lab, root, "bob-%d" % port, port, 22000 + port, "bob", mic,
                                {"Settings": dict(echo, RecordDevice="", PlayDevice="",
                                                  UseAGC="1"),
                                 "Intercom": {"AutoTalkBack": "1"}})
                a = Profile(root, "alice-%d" % port, port + 1, 23000 + port, "alice", mic)
                port += 2
                b.start()
                a.start("-dial", b.address)
                assert wait_for(lambda: "The call was started" in b.log_text(), 10)
                time.sleep(2)
                c0, t0 = cpu_seconds(b.process.pid), time.monotonic()
                time.sleep(args.seconds)
                c1, t1 = cpu_seconds(b.process.pid), time.monotonic()
                a.stop()
                b.stop()
                print("%-26s callee CPU %.1f %% of a core over %.0f s of talk-back call"
                      % (name, 100 * (c1 - c0) / (t1 - t0), t1 - t0))
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
