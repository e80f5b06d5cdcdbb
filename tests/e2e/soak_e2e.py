#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Back-to-back intercom calls between two quillet --headless profiles: each call is
placed with -dial, answered by the far end, held briefly and ended with -hangup. Open
descriptors and resident memory of both programs must not grow beyond the reaper's
retention of ended dialogs (which holds no descriptors); the figures are printed.
Usage: soak_e2e.py PATH/TO/quillet [--calls N] (the long run: --calls 200)"""
import argparse
import os
import shutil
import signal
import sys
import tempfile
import time

import numpy as np

if len(sys.argv) > 1:
    os.environ["QUILLET_BINARY"] = sys.argv[1]
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import RATE, Profile, open_fds, rss_kib, wait_for, write_wav  # noqa: E402



def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("quillet")
    parser.add_argument("--calls", type=int, default=20)
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="quillet-soak-")
    failures = []
    profiles = []
    try:
        tone = os.path.join(root, "tone.wav")
        t = np.arange(RATE * 30) / RATE
        write_wav(tone, 3000 * np.sin(2 * np.pi * 440 * t))
        alice = Profile(root, "alice", 5740, 26300, "alice", tone)
        bob = Profile(root, "bob", 5742, 26400, "bob", tone)
        profiles = [alice, bob]
        bob.start()
        alice.start()
        time.sleep(1.0)
        pids = {p.user: p.process.pid for p in profiles}
        figures = {name: [] for name in pids}

        def sample():
            for name, pid in pids.items():
                figures[name].append((open_fds(pid), rss_kib(pid)))

        sample()
        began = time.monotonic()
        for n in range(1, args.calls + 1):
            if alice.run("-dial", bob.address) != 0:
                failures.append("dial %d" % n)
                break
            if not wait_for(lambda: bob.log_text().count("The call was started") >= n, 15):
                failures.append("call %d not answered" % n)
                break
            time.sleep(0.3)
            alice.run("-hangup")
            if not wait_for(lambda: bob.log_text().count("The call was stopped") >= n and
                            alice.log_text().count("The call was stopped") >= n, 15):
                failures.append("call %d not ended" % n)
                break
            wait_for(lambda: "Call has disconnected" in alice.log_text(), 5)
            if n == 1 or n % 10 == 0:
                sample()
        elapsed = time.monotonic() - began
        time.sleep(2.0)
        sample()
        print("soak: %d calls in %.0f s" % (args.calls, elapsed))
        for name, values in figures.items():
            fds = [v[0] for v in values]
            rss = [v[1] for v in values]
            print("  %s: descriptors idle %d, after first call %d, peak %d, end %d; "
                  "RSS idle %d KiB, after first call %d KiB, peak %d KiB, end %d KiB"
                  % (name, fds[0], fds[1], max(fds), fds[-1], rss[0], rss[1], max(rss),
                     rss[-1]))
            if fds[-1] > fds[1] + 3:
                failures.append("%s descriptors grew %d -> %d" % (name, fds[1], fds[-1]))
            # Each ended dialog is kept 300 s (a few KiB each); anything beyond points at a leak.
            if rss[-1] > rss[1] + 64 * args.calls + 8192:
                failures.append("%s memory grew %d -> %d KiB" % (name, rss[1], rss[-1]))
        for p in profiles:
            p.process.send_signal(signal.SIGTERM)
            code = p.process.wait(timeout=20)
            if code != 0:
                failures.append("%s exit %s" % (p.user, code))
    finally:
        for p in profiles:
            p.stop()
        shutil.rmtree(root, ignore_errors=True)
    for failure in failures:
        print("FAIL " + failure)
    print("ok" if not failures else "failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
