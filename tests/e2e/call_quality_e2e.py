#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""The running call's figures from outside: `quillet-tool call stats` asked twice during a
call between two profiles gives growing packet counts and a round trip, and a clear answer
without a call; then a relay between the two sides' RTP drops 5 % of each direction's
packets (seeded), holds every packet 30 ms plus 0 to 40 ms, and RTCP 30 ms: the loss each
side reports matches what the relay dropped to it, its jitter the interarrival jitter of
what the relay sent it, and the round trip the time the relay held RTCP both ways.

The relay stands where each side's SDP says the other is: the profiles advertise a static
public address of their own (127.1.0.1, 127.1.0.2: loopback, but not a private address to
the program) with a port base the relay listens on, so each side talks to the relay's face
of the other and hears the other from it."""
import heapq
import json
import os
import random
import re
import select
import socket
import subprocess
import threading
import time

import numpy as np

from e2e_support import (LabCase, free_udp_port, pink_noise, run_tests, take_binary_argument,
                         wait_for, write_wav)

take_binary_argument()

QUALITY = re.compile(r"Call quality: sent (\d+) packets, received (\d+), lost (\d+) "
                     r"\((\d+\.\d) %\), jitter (\d+) ms, round trip (\d+|unknown)")
RECEIVED = re.compile(r"Rtp <<< \S+ (?:Mark| {4}) \d+ seq=(\d+) ")
PORT_SPAN = 8  # ports of each relay face: room for the profile's RTP port to move on
FIXED_MS = 30
JITTER_MS = 40
DROP = 0.05


def tool_binary():
    return os.path.join(os.path.dirname(os.path.abspath(os.environ["QUILLET_BINARY"])),
                        "quillet-tool")


def call_stats(profile):
    """(exit status, the JSON `quillet-tool call stats` printed for the profile)."""
    result = subprocess.run([tool_binary(), "call", "stats"], env=profile.env(), timeout=10,
                            capture_output=True, text=True)
    return result.returncode, json.loads(result.stdout)


def is_rtcp(data):
    return len(data) >= 8 and data[0] & 0xC0 == 0x80 and 192 <= data[1] <= 223


def rfc_jitter_ms(packets):
    """The interarrival jitter (RFC 3550 A.8, in ms) of (arrival s, RTP timestamp) packets
    in the order they arrived."""
    jitter, transit = 0.0, None
    for arrival, timestamp, _ in packets:
        now = int(arrival * 8000) & 0xFFFFFFFF
        t = (now - timestamp) & 0xFFFFFFFF
        if transit is not None:
            d = (t - transit) & 0xFFFFFFFF
            d = d - (1 << 32) if d >= 1 << 31 else d
            jitter += (abs(d) - jitter) / 16
        transit = t
    return jitter / 8


class Side:
    """One profile as the relay sees it: where its RTP really is (127.0.0.1 from its port
    base) and the relay's face of it (public address, port base) that the other side talks
    to."""

    def __init__(self, name, public):
        self.name = name
        self.public = public
        self.face_base = free_udp_port(span=PORT_SPAN)
        self.rtp_base = free_udp_port(span=PORT_SPAN)
        self.faces = []
        for k in range(PORT_SPAN):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind((public, self.face_base + k))
            self.faces.append(s)

    def settings(self):
        return {"SIP": {"RTPPortBase": str(self.rtp_base), "STATIC": "1",
                        "STATICPublicIP": self.public,
                        "STATICRTPPortBase": str(self.face_base)},
                "Settings": {"SipTraceAudioOn": "1"}, "Intercom": {"AutoTalkBack": "1"}}

    def close(self):
        for s in self.faces:
            s.close()


class Relay(threading.Thread):
    """Carries the datagrams between the two sides: what comes to a face of `to` from
    `source` port P goes to `to`'s real port at the same offset, from `source`'s face at
    P's offset. RTP: DROP of it dropped (seeded), the rest held FIXED_MS + 0..JITTER_MS;
    RTCP: held FIXED_MS. Per direction it counts what it dropped and forwarded, with the
    send time, timestamp and sequence number of each forwarded packet, and how long it
    really held each RTCP packet (a busy machine wakes it late)."""

    def __init__(self, a, b, seed=3550):
        super().__init__(daemon=True)
        self.sides = (a, b)
        self.random = random.Random(seed)
        self.queue = []
        self.order = 0
        self.stopped = threading.Event()
        self.counts = {}
        for s in self.sides:
            self.counts[s.name] = {"dropped": 0, "received": 0, "sent": [], "held": []}

    def run(self):
        sockets = {}
        for index, side in enumerate(self.sides):
            for k, s in enumerate(side.faces):
                sockets[s] = (self.sides[1 - index], side, k)
        while not self.stopped.is_set():
            timeout = 0.05
            if self.queue:
                timeout = max(0.0, min(timeout, self.queue[0][0] - time.monotonic()))
            readable, _, _ = select.select(list(sockets), [], [], timeout)
            for s in readable:
                data, source = s.recvfrom(4096)
                source_side, to, k = sockets[s]
                self.take(data, source, source_side, to, k)
            self.send_due()

    def take(self, data, source, source_side, to, k):
        offset = source[1] - source_side.rtp_base
        if source[0] != "127.0.0.1" or not 0 <= offset < PORT_SPAN:
            return  # nobody of this call
        delay = FIXED_MS / 1000
        rtp = not is_rtcp(data) and len(data) >= 12
        if rtp:
            self.counts[to.name]["received"] += 1
            if self.random.random() < DROP:
                self.counts[to.name]["dropped"] += 1
                return
            delay += self.random.uniform(0, JITTER_MS) / 1000
        self.order += 1
        # To `to`'s own port at the offset of the face it came to, from the source's face.
        now = time.monotonic()
        heapq.heappush(self.queue, (now + delay, self.order, data, rtp, source_side.faces[offset],
                                    ("127.0.0.1", to.rtp_base + k), to.name, now))

    def send_due(self):
        while self.queue and self.queue[0][0] <= time.monotonic():
            _, _, data, rtp, face, destination, name, came = heapq.heappop(self.queue)
            face.sendto(data, destination)
            if not rtp:
                self.counts[name]["held"].append(time.monotonic() - came)
            else:
                sequence, timestamp = int.from_bytes(data[2:4], "big"), int.from_bytes(data[4:8], "big")
                self.counts[name]["sent"].append((time.monotonic(), timestamp, sequence))

    def stop(self):
        self.stopped.set()
        self.join(5)


class CallQualityTest(LabCase):
    prefix = "quillet-quality-"

    def noise_file(self):
        """40 s of steady noise: each side sends a voice packet every 20 ms."""
        path = os.path.join(self.dir, "noise.wav")
        write_wav(path, pink_noise(8000 * 40, 3000))
        return path

    def wait_started(self, a, b):
        self.assertTrue(wait_for(lambda: "The call was started" in b.log_text(), 10),
                        a.log_text() + b.log_text())
        self.assertTrue(wait_for(lambda: "The call was started" in a.log_text(), 10),
                        a.log_text())

    def test_call_stats_during_a_call(self):
        noise = self.noise_file()
        a = self.quillet("alice", noise, {"Intercom": {"AutoTalkBack": "1"}})
        b = self.quillet("bob", noise, {"Intercom": {"AutoTalkBack": "1"}})
        status, answer = call_stats(a)
        self.assertEqual(status, 1)
        self.assertFalse(answer["call"])
        self.assertIn("no quillet runs on this profile", answer["reason"])
        b.start()
        self.assertEqual(call_stats(b), (1, {"call": False, "reason": "no call is up"}))
        a.start("-dial", b.address)
        self.wait_started(a, b)
        time.sleep(2)
        first = {p.user: call_stats(p) for p in (a, b)}
        asked = time.monotonic()
        # A report that answers the other side's first one comes 9.3 s into the call at the
        # latest (the first reports 1.0 to 3.1 s in, the next 2.1 to 6.2 s after): both round
        # trips are known by then.
        time.sleep(5.5)
        self.assertTrue(wait_for(lambda: all(call_stats(p)[1].get("round_trip_ms") is not None
                                             for p in (a, b)), 4))
        second = {p.user: call_stats(p) for p in (a, b)}
        between = time.monotonic() - asked
        for user in ("alice", "bob"):
            print("%s: %s\n%s  %s" % (user, first[user][1], " " * len(user), second[user][1]))
            for status, figures in (first[user], second[user]):
                self.assertEqual(status, 0, figures)
                self.assertTrue(figures["call"])
                self.assertEqual(figures["codec"], "PCMU/8000")
                self.assertEqual((figures["packets_lost"], figures["loss_percent"]), (0, 0.0))
                self.assertLess(figures["jitter_ms"], 60)
            before, after = first[user][1], second[user][1]
            # A packet every 20 ms each way between the two questions.
            for key in ("packets_sent", "packets_received"):
                self.assertGreater(after[key] - before[key], 40 * between, (key, before, after))
                self.assertLess(after[key] - before[key], 60 * between, (key, before, after))
            self.assertGreaterEqual(after["seconds"] - before["seconds"], 5)
            self.assertIsNotNone(after["round_trip_ms"], after)
            self.assertLess(after["round_trip_ms"], 200)
            self.assertGreaterEqual(after["round_trip_reports"], 1)
        # What one side sent the other received, but what went between the two questions.
        self.assertLess(abs(second["alice"][1]["packets_sent"] -
                            second["bob"][1]["packets_received"]), 60)
        a.stop()
        self.assertTrue(wait_for(lambda: "The call was stopped" in b.log_text(), 10))
        self.assertEqual(call_stats(b), (1, {"call": False, "reason": "no call is up"}))

    def test_relay_loss_jitter_and_round_trip(self):
        sides = (Side("alice", "127.1.0.1"), Side("bob", "127.1.0.2"))
        for side in sides:
            self.cleanup.append(side.close)
        relay = self.owned(Relay(*sides))
        relay.start()
        noise = self.noise_file()
        a = self.quillet("alice", noise, sides[0].settings())
        b = self.quillet("bob", noise, sides[1].settings())
        b.start()
        a.start("-dial", b.address)
        self.wait_started(a, b)
        self.assertTrue(wait_for(lambda: all(relay.counts[s.name]["sent"] for s in sides), 3),
                        "no RTP through the relay: " + a.trace_text()[-3000:])
        time.sleep(10)
        live = {p.user: call_stats(p)[1] for p in (a, b)}
        time.sleep(10)
        a.stop()
        self.assertTrue(wait_for(lambda: "Call quality:" in b.log_text(), 10), b.log_text())
        b.stop()
        relay.stop()

        # The round trip the relay really added: what it held RTCP both ways, on average.
        added = 1000 * sum(np.mean(relay.counts[s.name]["held"]) for s in sides)
        for p in (a, b):
            found = QUALITY.findall(p.log_text())
            self.assertEqual(len(found), 1, p.log_text()[-3000:])
            sent, received, lost, percent, jitter, round_trip = found[0]
            counts = relay.counts[p.user]
            dropped = 100.0 * counts["dropped"] / counts["received"]
            # What the relay sent it, up to the last packet it read (its trace says which).
            last = int(RECEIVED.findall(p.trace_text())[-1])
            forwarded = counts["sent"][:max(i for i, s in enumerate(counts["sent"])
                                            if s[2] == last) + 1]
            expected_jitter = rfc_jitter_ms(forwarded)
            print("%s: %s" % (p.user, re.search(r"Call quality: [^\r\n]*", p.log_text()).group(0)))
            print("%s: during the call %s" % (" " * len(p.user), live[p.user]))
            print("%s  relay: %d of %d dropped (%.2f %%), jitter of what it sent %.1f ms, "
                  "round trip added %.1f ms" % (" " * len(p.user), counts["dropped"],
                                                counts["received"], dropped, expected_jitter,
                                                added))
            self.assertGreater(int(received), 800)
            self.assertLessEqual(abs(float(percent) - dropped), 1.0)
            self.assertLessEqual(abs(int(jitter) - expected_jitter), 5.0)
            self.assertNotEqual(round_trip, "unknown")
            self.assertLessEqual(abs(int(round_trip) - added), 5)
            # The live figures say the same, half way.
            self.assertTrue(live[p.user]["call"])
            self.assertLessEqual(abs(live[p.user]["loss_percent"] - dropped), 2.0)
            self.assertLessEqual(abs(live[p.user]["round_trip_ms"] - added), 5)


if __name__ == "__main__":
    run_tests({})
