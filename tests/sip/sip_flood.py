#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Robustness: a SIPp flood of malformed and valid requests at a high rate against the
engine. It must keep answering, keep its memory bounded (the response cache stays at its
cap) and take a normal call right after.
Usage: sip_flood.py PATH/TO/sip_peer   (QUILLET_FLOOD_SECONDS sets the length, default 20)"""

import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sipharness as h  # noqa: E402

PEER = os.path.abspath(sys.argv[1])
SECONDS = int(os.environ.get("QUILLET_FLOOD_SECONDS", "20"))
RATE = int(os.environ.get("QUILLET_FLOOD_RATE", "400"))
run = h.TestRun(row="sipp")


def stats(peer):
    peer.send("stats")
    m = peer.wait_for(r"^STATS cache=(\d+) cachebytes=(\d+) received=(\d+) dropped=(\d+)", 5)
    return tuple(int(x) for x in m.groups()) if m else None


with h.TempRun() as d, h.Peer(PEER, d, "a", "alice", args=["--signalling-only"]) as peer:
    time.sleep(0.5)
    before = h.rss_kib(peer.proc.pid)
    flood = h.Sipp(d, "uac_flood.xml", "127.0.0.1:%d" % peer.port, rate=RATE,
                   calls=RATE * SECONDS, timeout=SECONDS + 30,
                   extra=["-l", str(RATE * 2)])
    samples = []
    start = time.time()
    while flood.proc.running() and time.time() - start < SECONDS + 30:
        time.sleep(1)
        samples.append(h.rss_kib(peer.proc.pid))
    rc = flood.wait(30)
    after = h.rss_kib(peer.proc.pid)
    st = stats(peer)
    alive = peer.proc.poll() is None
    out = flood.proc.output()
    m = re.search(r"Successful call\s*\|\s*\d+\s*\|\s*(\d+)", out)
    successful = int(m.group(1)) if m else 0
    peak = max(samples) if samples else after
    print("flood: %d s at %d rounds/s (6 datagrams each); successful rounds %d; "
          "RSS before %d kB, peak %d kB, after %d kB; stats %s"
          % (SECONDS, RATE, successful, before, peak, after, st), flush=True)
    run.check("the engine survives the flood and answers the valid requests",
              alive and successful >= RATE * SECONDS * 0.9,
              "rc=%s successful=%d\n%s" % (rc, successful, out[-3000:]))
    run.check("memory stays bounded under the flood (response cache at its cap)",
              st is not None and st[2] > RATE * SECONDS and st[0] <= 4096 and
              peak - before < 64 * 1024,
              "stats=%s before=%d peak=%d" % (st, before, peak))
    call = h.Sipp(d, "uac_call.xml", "127.0.0.1:%d" % peer.port, extra=["-s", "alice"],
                  subs={"hold": 500}, name="after")
    rc = call.wait(30)
    run.check("a call right after the flood works", rc == 0, call.messages()[-3000:])

sys.exit(run.finish())
