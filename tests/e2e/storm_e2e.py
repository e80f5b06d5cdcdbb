#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""An INVITE followed at once by a CANCEL, over and over from one host, against a running
quillet --headless profile under a 1024 descriptor limit. Afterwards OPTIONS gets 200, a
real intercom call is answered, SIGTERM ends the program with status 0 and its open
descriptors are back to their idle count (ended dialogs hold none).
Usage: storm_e2e.py PATH/TO/quillet [--seconds N] [--rate PAIRS_PER_S]
(the 5-minute run: --seconds 300 --rate 40)"""
import argparse
import os
import resource
import shutil
import sys
import tempfile
import threading
import time

import numpy as np

if len(sys.argv) > 1:
    os.environ["QUILLET_BINARY"] = sys.argv[1]
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import (RATE, Checks, Profile, intercom_call, open_fds, rss_kib,  # noqa: E402
                         sigterm_status, wait_for, write_wav)
from sip_caller import Caller  # noqa: E402



class Storm:
    """Sends INVITE+CANCEL pairs at a steady rate and acknowledges every final answer."""

    def __init__(self, port, rate):
        self.caller = Caller(port, user="storm")
        self.rate = rate
        self.calls = {}
        self.statuses = {}
        self.stopping = False
        self.receiver = threading.Thread(target=self._receive, daemon=True)
        self.receiver.start()

    def _receive(self):
        while not self.stopping:
            message = self.caller.receive(0.2)
            if message is None or not message.status:
                continue
            self.statuses[message.status] = self.statuses.get(message.status, 0) + 1
            call = self.calls.get(message.header("Call-ID"))
            if call is not None and message.status >= 300 and message.cseq_method == "INVITE":
                tag = message.header("To").split("tag=")[-1].split(";")[0]
                call.to_tag = tag
                self.caller.ack(call)
                self.calls.pop(call.call_id, None)

    def run(self, seconds, sample):
        began = time.monotonic()
        sent = 0
        while time.monotonic() - began < seconds:
            call = self.caller.invite(rtp_port=40000)
            self.calls[call.call_id] = call
            self.caller.cancel(call)
            sent += 1
            if sent % self.rate == 0:
                sample()
            due = began + sent / self.rate
            time.sleep(max(0.0, due - time.monotonic()))
        return sent

    def close(self):
        self.stopping = True
        self.receiver.join()
        self.caller.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("quillet")
    parser.add_argument("--seconds", type=int, default=int(os.environ.get("QUILLET_STORM_SECONDS",
                                                                          "30")))
    parser.add_argument("--rate", type=int, default=40)
    args = parser.parse_args()
    # The profile inherits the limit.
    resource.setrlimit(resource.RLIMIT_NOFILE, (1024, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))

    root = tempfile.mkdtemp(prefix="quillet-storm-")
    check = Checks()
    bob = None
    try:
        silence = os.path.join(root, "silence.wav")
        write_wav(silence, np.zeros(RATE * 20))
        bob = Profile(root, "bob", 5710, 26000, "bob", silence)
        bob.start()
        pid = bob.process.pid
        time.sleep(1.0)
        idle_fds, idle_rss = open_fds(pid), rss_kib(pid)
        peak = {"fds": idle_fds, "rss": idle_rss}

        def sample():
            if bob.process.poll() is None:
                peak["fds"] = max(peak["fds"], open_fds(pid))
                peak["rss"] = max(peak["rss"], rss_kib(pid))

        storm = Storm(bob.sip_port, args.rate)
        sent = storm.run(args.seconds, sample)
        time.sleep(2.0)
        storm.close()
        print("storm: %d INVITE+CANCEL pairs in %d s; answers %s; descriptors idle %d, peak %d; "
              "RSS idle %d KiB, peak %d KiB" % (sent, args.seconds, dict(sorted(
                  storm.statuses.items())), idle_fds, peak["fds"], idle_rss, peak["rss"]),
              flush=True)
        check.expect(bob.process.poll() is None, "the program survives the storm", bob.log_text()[-3000:])
        check.expect(peak["fds"] < 512, "descriptors stay well below the limit during the storm",
                     "peak %d" % peak["fds"])

        probe = Caller(bob.sip_port)
        options_ok = False
        for _ in range(20):  # the last calls of the storm may still be ending
            call = probe.options()
            if probe.wait_response(call, range(200, 700), 2, method="OPTIONS") is not None and \
                    200 in call.responses:
                options_ok = True
                break
            time.sleep(0.5)
        check.expect(options_ok, "OPTIONS gets 200 after the storm")

        call, answered = intercom_call(bob, probe, 40100)
        check.expect(answered, "a real intercom call is answered after the storm",
                     bob.log_text()[-3000:])
        probe.bye(call)
        probe.wait_response(call, [200], 5, method="BYE")
        wait_for(lambda: "The call was stopped" in bob.log_text().split("storm")[-1], 5)
        time.sleep(1.0)
        after = open_fds(pid)
        print("descriptors after the storm and the call: %d (idle %d)" % (after, idle_fds))
        check.expect(after <= idle_fds + 2, "descriptors are back to their idle count",
                     "after %d idle %d" % (after, idle_fds))
        probe.close()

        code = sigterm_status(bob)
        check.expect(code == 0, "SIGTERM ends the program with status 0", "status %s" % code)
        bob.output.close()
        with open(os.path.join(bob.home, "stderr.txt"), errors="replace") as f:
            errors = f.read()
        check.expect("Sanitizer" not in errors and "runtime error:" not in errors,
                     "no sanitizer report", errors[-4000:])
    finally:
        if bob is not None:
            bob.stop()
        shutil.rmtree(root, ignore_errors=True)
    sys.exit(1 if check.failed else 0)


if __name__ == "__main__":
    main()
