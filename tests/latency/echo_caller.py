# SPDX-License-Identifier: Apache-2.0
"""A caller for delay measurements: places an intercom call (SIP on loopback), sends a
signal as PCMU paced at 20 ms and keeps, with the time of each, every packet it sent and
every packet that came back. Its own microphone and speaker are the wire, so the times it
keeps are the wire's. The stream it sends can be shaped: held once (a stall), delayed at
random (jitter), or handed to a new synchronisation source mid-call.

    caller = EchoCaller(callee_sip_port)
    caller.call()                         # answered, or an error
    caller.send(signal, shape=Stall(at=5.0, hold=0.3))
    caller.hang_up()
    caller.returned()                     # [(arrival s, samples)], one entry per packet
"""
import heapq
import os
import random
import socket
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from sip_caller import Caller  # noqa: E402

RATE = 8000
FRAME = 160  # samples per packet: 20 ms


# --- G.711 µ-law --------------------------------------------------------------------------

def _ulaw_decode_table():
    table = np.zeros(256, dtype=np.int32)
    for code in range(256):
        u = ~code & 0xFF
        t = ((u & 0x0F) << 3) + 0x84
        t <<= (u & 0x70) >> 4
        table[code] = (0x84 - t) if (u & 0x80) else (t - 0x84)
    return table


ULAW_DECODE = _ulaw_decode_table()


def ulaw_encode(samples):
    x = np.clip(np.asarray(samples, dtype=np.int32), -32635, 32635)
    sign = np.where(x < 0, 0x80, 0)
    magnitude = np.abs(x) + 0x84
    exponent = np.floor(np.log2(magnitude)).astype(np.int32) - 7
    mantissa = (magnitude >> (exponent + 3)) & 0x0F
    return (~(sign | (exponent << 4) | mantissa) & 0xFF).astype(np.uint8).tobytes()


def ulaw_decode(payload):
    return ULAW_DECODE[np.frombuffer(payload, dtype=np.uint8)]


# --- Stream shapes: when each packet leaves, and under which source --------------------------

class Steady:
    """Every packet on time, one source."""

    def delay(self, index):
        return 0.0

    def ssrc_epoch(self, index):
        return 0


class Stall(Steady):
    """Packets due from `at` s on are held until `at + hold`, then go out at once."""

    def __init__(self, at, hold):
        self.first = int(at * RATE / FRAME)
        self.hold = hold

    def delay(self, index):
        due = index * FRAME / RATE
        release = self.first * FRAME / RATE + self.hold
        return max(0.0, release - due) if index >= self.first else 0.0


class Jitter(Steady):
    """Each packet is delayed by a uniform 0..`most` s (so some overtake others)."""

    def __init__(self, most, seed=1):
        self.most = most
        self.random = random.Random(seed)
        self.delays = {}

    def delay(self, index):
        return self.delays.setdefault(index, self.random.uniform(0.0, self.most))


class SourceSwitch(Steady):
    """From `at` s on the packets come from a new source (new SSRC, sequence and timestamp
    line), as when a server in the path bridges the call to another stream."""

    def __init__(self, at):
        self.first = int(at * RATE / FRAME)

    def ssrc_epoch(self, index):
        return 1 if index >= self.first else 0


# --- The caller ---------------------------------------------------------------------------

class EchoCaller:
    def __init__(self, sip_port, target_user="bob"):
        self.sip = Caller(sip_port, target_user=target_user)
        self.rtp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.rtp.bind(("127.0.0.1", 0))
        self.rtp.settimeout(0.05)
        self.far = None
        self.call_ = None
        self.sent = []       # (send s, packet index, ssrc epoch)
        self.received = []   # (arrival s, sequence, timestamp, ssrc, samples)
        self.epoch0 = None   # monotonic time of packet 0's due time
        self._stop = threading.Event()
        self._receiver = threading.Thread(target=self._receive, daemon=True)

    def call(self, timeout=10.0):
        """Places the call and waits for its 200; raises when it is not answered."""
        self.call_ = self.sip.invite(rtp_port=self.rtp.getsockname()[1], intercom=True)
        answer = self.sip.wait_response(self.call_, range(200, 300), timeout)
        if answer is None:
            raise RuntimeError("the call was not answered (%s)" % self.call_.responses)
        self.sip.ack(self.call_)
        self.far = _sdp_media(answer.text)
        self._receiver.start()
        return answer

    def hang_up(self):
        if self.call_ is not None and self.call_.to_tag:
            self.sip.bye(self.call_)
            self.sip.wait_response(self.call_, range(200, 700), 3.0, method="BYE")
        self._stop.set()
        if self._receiver.is_alive():
            self._receiver.join(2)
        self.rtp.close()
        self.sip.close()

    def send(self, signal, shape=None):
        """Sends the signal (int16 samples at 8000 Hz) as one talk spurt, packet by packet at
        its due time plus what the shape adds; returns when the last packet is out."""
        shape = shape or Steady()
        frames = [np.asarray(signal[i:i + FRAME]) for i in range(0, len(signal) - FRAME + 1,
                                                                    FRAME)]
        lines = [(random.getrandbits(32), random.getrandbits(16), random.getrandbits(32))
                 for _ in range(2)]
        queue = []
        start = time.monotonic() + 0.02
        self.epoch0 = start
        for index, frame in enumerate(frames):
            epoch = shape.ssrc_epoch(index)
            ssrc, seq, ts = lines[epoch]
            first = min(i for i in range(len(frames)) if shape.ssrc_epoch(i) == epoch)
            n = index - first
            header = bytes([0x80, (0x80 if n == 0 else 0) | 0]) + \
                ((seq + n) & 0xFFFF).to_bytes(2, "big") + \
                ((ts + n * FRAME) & 0xFFFFFFFF).to_bytes(4, "big") + ssrc.to_bytes(4, "big")
            due = start + index * FRAME / RATE + shape.delay(index)
            heapq.heappush(queue, (due, index, epoch, header + ulaw_encode(frame)))
        while queue:
            due, index, epoch, packet = heapq.heappop(queue)
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            self.rtp.sendto(packet, self.far)
            self.sent.append((time.monotonic(), index, epoch))

    def _receive(self):
        while not self._stop.is_set():
            try:
                data, _ = self.rtp.recvfrom(2048)
            except socket.timeout:
                continue
            except OSError:
                return
            now = time.monotonic()
            # PCMU only, and not the keep-alives without payload.
            if len(data) <= 12 or data[0] >> 6 != 2 or data[1] & 0x7F != 0:
                continue
            self.received.append((now, int.from_bytes(data[2:4], "big"),
                                  int.from_bytes(data[4:8], "big"),
                                  int.from_bytes(data[8:12], "big"), ulaw_decode(data[12:])))

    def returned(self):
        """What came back: [(arrival s since packet 0 was due, samples)]."""
        return [(t - self.epoch0, s) for t, _, _, _, s in self.received
                if self.epoch0 is not None and t >= self.epoch0]


def _sdp_media(text):
    host, port = "127.0.0.1", 0
    for line in text.split("\r\n"):
        if line.startswith("c=IN IP4 "):
            host = line.split()[-1]
        elif line.startswith("m=audio "):
            port = int(line.split()[1])
    return host, port


# --- Signals and their analysis -----------------------------------------------------------

def click_train(seconds, every=2.0, first=1.0, amplitude=20000):
    """Silence with a click (a 2 ms burst at 1 kHz) every `every` s from `first` on; answers
    (signal, click times in s)."""
    signal = np.zeros(int(seconds * RATE))
    burst = amplitude * np.sin(2 * np.pi * 1000 * np.arange(16) / RATE) * np.hanning(16)
    times = list(np.arange(first, seconds - 0.5, every))
    for t in times:
        at = int(t * RATE)
        signal[at:at + 16] = burst
    return signal, times


def holds_click(samples, threshold=4000):
    return len(samples) > 0 and np.abs(samples).max() > threshold


def first_click_back(left, back, window=1.5):
    """When the first packet of `back` ([(arrival s, samples)]) that holds a click came,
    within `window` s after `left` (None when none did)."""
    return next((arrival for arrival, samples in back
                 if left < arrival < left + window and holds_click(samples)), None)


def click_delays(caller, times):
    """For each click: ms from the packet holding it leaving to the first packet back that
    holds it (None when it did not come back)."""
    back = caller.returned()
    sent = {index: t - caller.epoch0 for t, index, _ in caller.sent}
    delays = []
    for t in times:
        left = sent.get(int(t * RATE) // FRAME)
        hit = None if left is None else first_click_back(left, back)
        delays.append(None if hit is None else 1000.0 * (hit - left))
    return delays


def talk_spurt(seconds, seed=7, amplitude=6000):
    """A long talk spurt without pauses: low-passed noise (no pitch, so that a lag found
    by correlation is the only one)."""
    rng = np.random.default_rng(seed)
    noise = rng.standard_normal(int(seconds * RATE) + 64)
    kernel = np.hanning(9)
    shaped = np.convolve(noise, kernel / kernel.sum(), "same")[:int(seconds * RATE)]
    return amplitude * shaped / np.abs(shaped).max()


def returned_line(caller):
    """What came back laid out by its RTP timestamps (the far end's own sample clock, so
    its playout's shortening and stretching stays in it), with the arrival time (s since
    packet 0 was due) of the packet that held each sample; None where nothing came."""
    back = [(t - caller.epoch0, ts, s) for t, _, ts, _, s in caller.received
            if caller.epoch0 is not None and len(s)]
    if not back:
        return np.zeros(0), np.zeros(0)
    first = back[0][1]
    ends = [((ts - first) & 0xFFFFFFFF) + len(s) for _, ts, s in back]
    length = max(e for e in ends if e < 3600 * RATE)
    heard = np.zeros(length)
    arrival = np.full(length, np.nan)
    for (t, ts, samples), end in zip(back, ends):
        if end <= length:
            heard[end - len(samples):end] = samples
            arrival[end - len(samples):end] = t
    return heard, arrival


def track_delay(signal, caller, step=0.1, piece=0.1):
    """The wire-to-wire delay of the stream that came back, every `step` s of the signal:
    each piece of the signal is looked for in what came back (by correlation) and timed
    from when its end was due to leave to when the packet holding its end came back.
    Answers [(signal time s, delay ms, correlation)]."""
    heard, arrival = returned_line(caller)
    n = int(piece * RATE)
    out = []
    if len(heard) < 2 * n:
        return out
    energy = np.convolve(heard ** 2, np.ones(n), "valid")
    for start in np.arange(0.2, len(signal) / RATE - piece - 0.2, step):
        a = int(start * RATE)
        ref = signal[a:a + n]
        if not np.any(ref):
            continue
        score = np.correlate(heard, ref, "valid") / (np.sqrt(energy * np.dot(ref, ref)) + 1e-9)
        best = int(np.argmax(score))
        back = arrival[best + n - 1]
        if not np.isnan(back):
            out.append((float(start), 1000.0 * (back - start - piece), float(score[best])))
    return out


def spurt_heard(caller, begin, end):
    """The samples that came back between `begin` and `end` s after the first was due,
    on the far end's own sample clock."""
    heard, arrival = returned_line(caller)
    return heard[(arrival >= begin) & (arrival <= end)]
