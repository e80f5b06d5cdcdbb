#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Mouth-to-ear delay through a callee on a headless PipeWire desktop: the caller (this
script's own RTP end, whose microphone and speaker are the wire) sends a click every 2 s;
the callee plays it into the desktop's null sink, whose monitor is looped into the callee's
microphone, and its talk-back sends it back. The wire-to-wire delay at the callee is the
time from the packet holding a click leaving to the first packet holding it coming back.

That delay holds one ear half (jitter buffer, playback queue) and one mouth half (capture
period, packetisation) of the callee: between two ends of one kind it is the one-way
mouth-to-ear delay, and the round trip (mouth to own ear through an echoing far end) is
twice it. Reported as JSON, one line per call, then a summary per callee:

    mouth_to_ear.py --quillet build/bin/quillet [--quillet OTHER] [--baresip] [--calls 5]
                    [--clicks 5] [--quantum N]

Each --quillet binary is measured in turn in the same run (to compare two builds). With
--baresip, baresip is measured in the same run too, with its default jitter buffer and with
it off. Quillet's lines carry its own playout figures: the jitter
measured, the playout target, and the device queue.

Single clicks spread by up to one graph cycle: the sound server hands capture over a cycle
at a time (1024/48000, 21.3 ms, at the default quantum), which 2 s does not divide, so each
click waits a little longer for its frame than the one before until the wait wraps (about
+5 ms a click, then -16 ms). Compare medians over clicks, not single clicks.
"""
import argparse
import json
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "pipewire"))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from callees import BaresipCallee, QuilletCallee  # noqa: E402
import e2e_support  # noqa: E402
from e2e_support import wait_for  # noqa: E402
from echo_caller import EchoCaller, click_delays, click_train  # noqa: E402
from pipewire_lab import PipeWireLab  # noqa: E402


def measure_call(callee, clicks, settle=3.0):
    """One call to a started callee: answers a dict of the figures."""
    caller = EchoCaller(callee.sip_port)
    try:
        caller.call()
        # The stream runs from the answer, as a caller's does; the callee's cue is over and
        # its talk-back is on before the first click.
        signal, times = click_train(settle + 2.0 * clicks, first=settle)
        caller.send(signal)
        time.sleep(0.5)
    finally:
        caller.hang_up()
    delays = click_delays(caller, times)
    heard = [d for d in delays if d is not None]
    figures = {"callee": callee.name, "clicks": len(times), "clicks_back": len(heard),
               "wire_to_wire_ms": [None if d is None else round(d, 1) for d in delays]}
    if heard:
        median = statistics.median(heard)
        figures.update({"first_ms": round(delays[0], 1) if delays[0] is not None else None,
                        "median_ms": round(median, 1),
                        "one_way_estimate_ms": round(median, 1),
                        "round_trip_ms": round(2 * median, 1)})
    return figures


def run_callee(make, calls, clicks, out):
    """`calls` calls to a callee made by `make()`: a started callee for each call, then
    stopped (so each call is its first)."""
    results = []
    for _ in range(calls):
        callee = make()
        callee.start()
        try:
            figures = measure_call(callee, clicks)
        finally:
            time.sleep(0.3)
            callee.stop()
        if isinstance(callee, QuilletCallee):
            wait_for(lambda: callee.playout_report(), 3)
            figures.update({k + "_ms": v for k, v in callee.playout_report().items()})
        results.append(figures)
        print(json.dumps(figures), file=out, flush=True)
    return results


def summary(name, results):
    firsts = [r["first_ms"] for r in results if r.get("first_ms") is not None]
    medians = [r["median_ms"] for r in results if "median_ms" in r]
    every = [d for r in results for d in r["wire_to_wire_ms"] if d is not None]
    line = {"callee": name, "calls": len(results)}
    for key, values in (("first_click", firsts), ("call_median", medians), ("all_clicks", every)):
        if values:
            line[key + "_ms"] = {"median": round(statistics.median(values), 1),
                                 "min": round(min(values), 1), "max": round(max(values), 1)}
    for key in ("jitter_ms", "target_ms", "device_queue_ms"):
        values = [r[key] for r in results if key in r]
        if values:
            line[key] = statistics.median(values)
    return line


def quillet_maker(lab, root, binary):
    """A maker of Quillet callees running `binary`."""
    def make():
        # e2e_support took its binary when imported: the one asked for here replaces it.
        os.environ["QUILLET_BINARY"] = e2e_support.QUILLET = binary
        return QuilletCallee(lab, root, "quillet")
    return make


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quillet", action="append", help="a binary to measure (repeatable)")
    parser.add_argument("--baresip", action="store_true", help="measure baresip too")
    parser.add_argument("--calls", type=int, default=5)
    parser.add_argument("--clicks", type=int, default=5)
    parser.add_argument("--quantum", type=int, default=0, help="0: the desktop's default")
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="quillet-latency-")
    lab = PipeWireLab(os.path.join(root, "lab"), quantum=args.quantum).start()
    binaries = [os.path.abspath(path) for path in args.quillet or ["build/bin/quillet"]]
    callees = [(binary if len(binaries) > 1 else "quillet", quillet_maker(lab, root, binary))
               for binary in binaries]
    if args.baresip:
        callees += [("baresip", lambda: BaresipCallee(lab, root, "baresip", True)),
                    ("baresip, jitter buffer off",
                     lambda: BaresipCallee(lab, root, "baresip-nojb", False))]
    lines = []
    try:
        for name, make in callees:
            lines.append(summary(name, run_callee(make, args.calls, args.clicks, sys.stdout)))
    finally:
        lab.stop()
        shutil.rmtree(root, ignore_errors=True)
    for line in lines:
        print(json.dumps(line))
    return 0 if all("all_clicks_ms" in line for line in lines) else 1


if __name__ == "__main__":
    sys.exit(main())
