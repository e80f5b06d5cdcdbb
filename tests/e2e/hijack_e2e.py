#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""A third program sends RTP into a running intercom call between two quillet --headless
profiles on loopback: loud tone packets of the call's payload type to the callee's RTP port
(read from its answer in the SIP trace), from another address and from another port of the
caller's, with an SSRC of their own and with the caller's. The callee's speaker file holds
none of it, and the caller's words arrive whole."""
import os
import re
import socket
import struct
import threading
import time
import unittest

import numpy as np

from e2e_support import RATE, LabCase, take_binary_argument, wait_for

take_binary_argument()

TONE_HZ = 1000  # eight samples a period at 8000 Hz


def mu_law(sample):
    """G.711 mu-law code of a 16-bit sample."""
    sign = 0x80 if sample < 0 else 0
    magnitude = min(abs(int(sample)), 32635) + 0x84
    exponent = max(0, magnitude.bit_length() - 8)
    mantissa = (magnitude >> (exponent + 3)) & 0x0F
    return ~(sign | (exponent << 4) | mantissa) & 0xFF


def tone_payload():
    """20 ms of a full-scale 1 kHz tone in mu-law (the same each frame: a whole number of
    periods)."""
    t = np.arange(160) / RATE
    return bytes(mu_law(s) for s in 30000 * np.sin(2 * np.pi * TONE_HZ * t))


def tone_frames(heard, frame=160):
    """How many 20 ms frames of what was heard are loud and mostly the injected tone."""
    count = 0
    t = np.arange(frame) / RATE
    probe = np.exp(-2j * np.pi * TONE_HZ * t)
    for i in range(len(heard) // frame):
        piece = heard[i * frame:(i + 1) * frame]
        power = float(np.dot(piece, piece))
        if np.abs(piece).max() > 2000 and abs(np.dot(piece, probe)) ** 2 / frame > 0.3 * power:
            count += 1
    return count


class Injector(threading.Thread):
    """Sends tone packets from `source` (address, port) to `target`, 20 ms apart, until
    stopped; `ssrc`, `sequence` and `timestamp` start the stream's numbering."""

    def __init__(self, source, target, ssrc, sequence, timestamp):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(source)
        self.target = target
        self.numbers = [ssrc, sequence, timestamp]
        self.stopped = threading.Event()
        self.sent = 0

    def run(self):
        payload = tone_payload()
        ssrc, sequence, timestamp = self.numbers
        while not self.stopped.wait(0.02):
            header = struct.pack("!BBHII", 0x80, 0, sequence & 0xFFFF, timestamp & 0xFFFFFFFF,
                                 ssrc & 0xFFFFFFFF)
            self.sock.sendto(header + payload, self.target)
            sequence, timestamp, self.sent = sequence + 1, timestamp + 160, self.sent + 1

    def stop(self):
        self.stopped.set()
        self.join(5)
        self.sock.close()


class HijackTest(LabCase):
    prefix = "quillet-hijack-"

    def test_rtp_from_strangers_is_not_played(self):
        # A plain call, and one encrypted as two profiles set up by default (DTLS-SRTP).
        for encryption in ("off", "auto"):
            with self.subTest(encryption=encryption):
                self.check_strangers_are_not_played(encryption)
        # The check can fail: the same tone played is found.
        loud = np.tile(30000 * np.sin(2 * np.pi * TONE_HZ * np.arange(160) / RATE), 10)
        self.assertEqual(tone_frames(loud), 10)

    def check_strangers_are_not_played(self, encryption):
        line = {"DefaultLine": {"MediaEncryption": encryption}}
        a = self.quillet("alice", self.speech_file, line)
        b = self.quillet("bob", self.silence_file,
                         dict(line, Settings={"SipTraceAudioOn": "1"}))
        b.start()
        a.start("-dial", b.address)
        self.assertTrue(wait_for(lambda: "The call was started" in b.log_text(), 10),
                        b.log_text())
        # The callee's RTP port from its answer; the caller's stream from what the callee
        # received of it.
        answer = re.search(r"SIP/2\.0 200 OK\r?\n.*?\nm=audio (\d+) [A-Z/]+ 0\b",
                           b.trace_text(), re.S)
        self.assertIsNotNone(answer, b.trace_text())
        target = ("127.0.0.1", int(answer.group(1)))
        first = re.compile(r"Rtp <<< 127\.0\.0\.1:(\d+) +0 seq=(\d+) ts=(-?\d+) ssrc=(-?\d+) ")
        self.assertTrue(wait_for(lambda: first.search(b.trace_text()), 5), b.trace_text()[-2000:])
        caller_port, sequence, timestamp, ssrc = map(int, first.search(b.trace_text()).groups())
        injectors = [
            # The caller's stream, continued from another port of its host and from another
            # host, 40 ms ahead of it; and a stream of its own.
            Injector(("127.0.0.1", 0), target, ssrc, sequence + 2, timestamp + 320),
            Injector(("127.0.0.2", 0), target, ssrc, sequence + 2, timestamp + 320),
            Injector(("127.0.0.2", 0), target, 0x5EED, 1, 0),
        ]
        self.assertNotEqual(injectors[0].sock.getsockname()[1], caller_port)
        for injector in injectors:
            self.owned(injector).start()
        time.sleep(len(self.speech) / RATE + 1.0)
        for injector in injectors:
            injector.stop()
        self.assertTrue(all(i.sent > 100 for i in injectors), [i.sent for i in injectors])
        a.stop()
        self.assertTrue(wait_for(lambda: "The call was stopped" in b.log_text(), 10))
        b.stop()

        heard = b.heard()
        print("%s: tone frames heard: %d; speaker %.1f s"
              % (encryption, tone_frames(heard), len(heard) / RATE))
        self.assertEqual(tone_frames(heard), 0)
        self.assert_words_heard("bob", heard)
        if encryption == "off":
            # One log line for the call, naming the first stranger.
            dropped = re.findall(r"RTP: packets from a stranger dropped \(127\.0\.0\.[12]:\d+\)",
                                 b.log_text())
            self.assertEqual(len(dropped), 1, b.log_text())
        else:
            # Without the call's keys nothing passes, wherever it comes from.
            self.assertIn("Media: SRTP", b.log_text())
            self.assertRegex(b.log_text(), r"\d+ received packets failed authentication")

if __name__ == "__main__":
    unittest.main(verbosity=2)
