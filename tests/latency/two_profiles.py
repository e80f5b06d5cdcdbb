#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Mouth-to-ear delay between two quillet --headless profiles, timed on the wire.

The caller's microphone is a file holding a click every 2 s; it places an intercom call to
a callee on a private PipeWire desktop (pipewire_lab.py), which answers by itself and talks
back. The callee plays each click into the desktop's null sink, whose monitor is looped into
its microphone, and its talk-back sends the click back. Every packet on loopback is captured
with the kernel's receive time (a packet socket: root or CAP_NET_RAW), and per click:

- wire to wire: from the caller's packet holding the click to the callee's packet holding it
  back: the callee's ear half (jitter buffer, playback queue) and mouth half (capture,
  packetisation); between two ends alike it is the one-way mouth-to-ear delay;
- the caller's mouth half: from the click's place in the microphone file (the file is paced
  from the moment the call is placed, the INVITE's time on the wire) to its packet leaving;
- the round trip, mouth to own ear: the caller's mouth half, wire to wire, and the caller's
  ear half as its playout reports it (playout delay and device queue);
- the jitter of each stream on the wire, next to what each side's playout measured.

One JSON line per call, then a summary line:

    two_profiles.py [--quillet build/bin/quillet] [--calls 3] [--clicks 5] [--quantum N]
                    [--setting SECTION/NAME=VALUE ...]

The media is plain (the capture reads the voice); `--setting DefaultLine/Codecs=opus` (or
g722) measures a wideband call, decoded with the quillet-tool beside the binary.

Exit status 0 when every figure is there and sane (every click came back, round trip >
one way > 0), 1 when not, 77 when packets on loopback cannot be captured.
"""
import argparse
import json
import os
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
for folder in ("pipewire", "e2e", "sip"):
    sys.path.insert(0, os.path.join(HERE, "..", folder))
import e2e_support  # noqa: E402
from callees import QuilletCallee, playout_report  # noqa: E402
from e2e_support import RATE, Profile, read_wav_rate, wait_for, write_wav  # noqa: E402
from echo_caller import click_train, first_click_back, holds_click, ulaw_decode  # noqa: E402
from pipewire_lab import PipeWireLab  # noqa: E402
from sipharness import free_udp_port  # noqa: E402

SO_TIMESTAMPNS = 35  # Linux; the socket module does not name it
ETH_P_IP = 0x0800
PACKET_OUTGOING = 4


class LoopbackCapture:
    """Every UDP datagram on `lo` from start() to stop(): [(kernel time s, source port,
    destination port, payload)]."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(ETH_P_IP))
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.bind(("lo", 0))
        self.sock.settimeout(0.1)
        self.datagrams = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()
        self._thread.join(2)
        self.sock.close()

    def _run(self):
        while not self._stop.is_set():
            try:
                data, ancillary, _, address = self.sock.recvmsg(65535, 64)
            except socket.timeout:
                continue
            if address[2] == PACKET_OUTGOING or len(data) < 28 or data[9] != socket.IPPROTO_UDP:
                continue
            stamp = next((struct.unpack("qq", payload[:16]) for level, kind, payload
                          in ancillary if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS),
                         None)
            at = stamp[0] + stamp[1] / 1e9 if stamp else time.time()
            header = (data[0] & 0x0F) * 4
            source, destination = struct.unpack("!HH", data[header:header + 4])
            self.datagrams.append((at, source, destination, data[header + 8:]))

    def between(self, one, other):
        """The datagrams from port `one` to port `other`."""
        return [(t, d) for t, s, p, d in self.datagrams if (s, p) == (one, other)]


def sdp_audio_port(message):
    for line in message.decode("latin-1").split("\r\n"):
        if line.startswith("m=audio "):
            return int(line.split()[1])
    return None


# The voice payload types the profiles send: (codec, RTP clock units per ms).
VOICE = {0: ("pcmu", 8), 9: ("g722", 8), 111: ("opus", 48)}


def is_voice(datagram):
    return len(datagram) > 12 and datagram[0] >> 6 == 2 and datagram[1] & 0x7F in VOICE


def voice_frames(datagrams):
    """[(time s, samples)] of the voice packets among the datagrams. PCMU is decoded here;
    G.722 and Opus by quillet-tool, the stream at once (its decoder has state), each packet
    then taking its equal share of the samples."""
    packets = [(t, d) for t, d in datagrams if is_voice(d)]
    if not packets:
        return []
    codec = VOICE[packets[0][1][1] & 0x7F][0]
    if codec == "pcmu":
        return [(t, ulaw_decode(d[12:])) for t, d in packets]
    folder = tempfile.mkdtemp(prefix="quillet-voice-")
    try:
        coded, decoded = os.path.join(folder, "stream"), os.path.join(folder, "stream.wav")
        with open(coded, "wb") as f:
            for _, d in packets:  # Opus: each packet after its length in two bytes
                f.write((struct.pack("!H", len(d) - 12) if codec == "opus" else b"") + d[12:])
        tool = os.path.join(os.path.dirname(e2e_support.QUILLET), "quillet-tool")
        subprocess.run([tool, "codec", "decode", codec, coded, decoded], check=True,
                       capture_output=True)
        samples = read_wav_rate(decoded)[1]
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    share = len(samples) // len(packets)
    return [(t, samples[i * share:(i + 1) * share]) for i, (t, _) in enumerate(packets)]


def wire_jitter(datagrams, voice_only):
    """The spread (95th percentile less the least) of the RTP packets' transit, arrival less
    timestamp, in ms: what a receiver's jitter buffer has to cover."""
    # RTP, not RTCP sharing its port (packet types 192-223 in the second byte).
    rtp = [(t, d) for t, d in datagrams if len(d) > 12 and d[0] >> 6 == 2 and
           not 192 <= d[1] <= 223 and (is_voice(d) or not voice_only)]
    voice = next((d for t, d in rtp if is_voice(d)), None)
    clock = VOICE[voice[1] & 0x7F][1] if voice else 8
    transit = sorted(1000.0 * t - int.from_bytes(d[4:8], "big") / clock for t, d in rtp)
    return round(transit[(len(transit) - 1) * 95 // 100] - transit[0], 1) if transit else None


def wire_figures(capture, caller, callee, times):
    """The call's figures from the capture: per click its mouth half and wire-to-wire delay
    (the RTP ports from the offer and the answer), and the jitter of each stream."""
    to_callee = capture.between(caller.sip_port, callee.sip_port)
    to_caller = capture.between(callee.sip_port, caller.sip_port)
    invite = next(((t, d) for t, d in to_callee if d.startswith(b"INVITE ")), None)
    answer = next((d for t, d in to_caller if d.startswith(b"SIP/2.0 200") and b"m=audio" in d),
                  None)
    if invite is None or answer is None:
        return [], [], {}
    ours, theirs = sdp_audio_port(invite[1]), sdp_audio_port(answer)
    # Comfort noise counts as a receiver counts it; voice alone shows what the senders add.
    jitter = {"%s%s" % (way, kind): wire_jitter(capture.between(*ports), kind == "_voice")
              for way, ports in (("to_callee", (ours, theirs)), ("to_caller", (theirs, ours)))
              for kind in ("", "_voice")}
    out = voice_frames(capture.between(ours, theirs))
    back = voice_frames(capture.between(theirs, ours))
    mouths, delays = [], []
    for t in times:
        # Within the 2 s to the next click: a call answered late sends the spool's clicks late.
        said = invite[0] + t
        left = next((u for u, samples in out if said < u < said + 1.9 and holds_click(samples)),
                    None)
        hit = None if left is None else first_click_back(left, back)
        mouths.append(None if left is None else 1000.0 * (left - said))
        delays.append(None if hit is None else 1000.0 * (hit - left))
    return mouths, delays, jitter


def measure_call(lab, root, label, clicks, capture, settings=None):
    """One call from a fresh caller to a fresh callee (both with `settings`, {section:
    {name: value}}, over their own); answers its figures."""
    signal, times = click_train(4.0 + 2.0 * clicks, first=4.0)
    microphone = os.path.join(root, label + "-clicks.wav")
    write_wav(microphone, signal)
    callee = QuilletCallee(lab, root, label + "-callee", settings)
    port = free_udp_port(5400, 5900)
    caller = Profile(root, "%s-caller-%d" % (label, port), port, free_udp_port(), "alice",
                     microphone, settings)
    try:
        callee.start()
        caller.start("-dial", callee.address)
        if not wait_for(lambda: "The call was started" in callee.log_text(), 10):
            return {"error": "the call was not answered"}
        time.sleep(len(signal) / RATE - 1.0)
        caller.stop()  # hangs up first
        wait_for(lambda: callee.playout_report(), 5)
    finally:
        caller.stop()
        callee.stop()
    mouths, delays, jitter = wire_figures(capture, caller, callee, times)
    heard = [d for d in delays if d is not None]
    figures = {"clicks": len(times), "clicks_back": len(heard),
               "wire_to_wire_ms": [None if d is None else round(d, 1) for d in delays],
               "wire_jitter_ms": jitter, "callee": playout_report(callee.log_text()),
               "caller": playout_report(caller.log_text())}
    sent = [m for m in mouths if m is not None]
    ear = figures["caller"].get("delay", 0) + figures["caller"].get("device_queue", 0)
    if heard and sent:
        one_way = statistics.median(heard)
        figures.update({"one_way_estimate_ms": round(one_way, 1),
                        "caller_mouth_ms": round(statistics.median(sent), 1),
                        "caller_ear_ms": ear,
                        "round_trip_ms": round(statistics.median(sent) + one_way + ear, 1)})
    return figures


def problems(figures):
    """What is wrong with a call's figures (empty when they are sane)."""
    found = []
    if figures.get("clicks_back") != figures.get("clicks"):
        found.append("clicks back %s of %s" % (figures.get("clicks_back"), figures.get("clicks")))
    one_way, round_trip = figures.get("one_way_estimate_ms"), figures.get("round_trip_ms")
    if not (isinstance(one_way, (int, float)) and isinstance(round_trip, (int, float))
            and round_trip > one_way > 0):
        found.append("round trip %s, one way %s" % (round_trip, one_way))
    for side in ("callee", "caller"):
        report = figures.get(side, {})
        if not all(isinstance(report.get(k), int) for k in ("target", "delay", "device_queue")):
            found.append("the %s reported no playout target, delay or device queue" % side)
    return found


def summary(results):
    line = {"calls": len(results)}
    for key in ("one_way_estimate_ms", "round_trip_ms", "caller_mouth_ms", "caller_ear_ms"):
        values = [r[key] for r in results if key in r]
        if values:
            line[key] = {"median": statistics.median(values), "min": min(values),
                         "max": max(values)}
    for key in ("jitter", "target", "delay", "device_queue"):
        values = [r["callee"][key] for r in results if key in r.get("callee", {})]
        if values:
            line["callee_%s_ms" % key] = statistics.median(values)
    return line


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quillet", default="build/bin/quillet")
    parser.add_argument("--calls", type=int, default=3)
    parser.add_argument("--clicks", type=int, default=5)
    parser.add_argument("--quantum", type=int, default=0, help="0: the desktop's default")
    parser.add_argument("--setting", action="append", default=[], metavar="SECTION/NAME=VALUE",
                        help="a setting of both profiles (repeatable)")
    args = parser.parse_args()
    # Plain media unless asked otherwise: the capture reads the voice in the packets.
    settings = {"DefaultLine": {"MediaEncryption": "off"}}
    for item in args.setting:
        key, _, value = item.partition("=")
        section, _, name = key.partition("/")
        if not name:
            parser.error("--setting takes SECTION/NAME=VALUE, not %r" % item)
        settings.setdefault(section, {})[name] = value
    # e2e_support took its binary when it was imported; the one asked for replaces it.
    os.environ["QUILLET_BINARY"] = e2e_support.QUILLET = os.path.abspath(args.quillet)
    try:
        capture = LoopbackCapture()
    except OSError as error:
        print("two_profiles.py: cannot capture on loopback (%s): needs root or CAP_NET_RAW"
              % error, file=sys.stderr)
        return 77
    root = tempfile.mkdtemp(prefix="quillet-two-profiles-")
    lab = PipeWireLab(os.path.join(root, "lab"), quantum=args.quantum).start()
    capture.start()
    results, failed = [], False
    try:
        for call in range(args.calls):
            figures = measure_call(lab, root, "call%d" % call, args.clicks, capture, settings)
            results.append(figures)
            print(json.dumps(figures), flush=True)
            for problem in problems(figures):
                print("call %d: %s" % (call, problem), file=sys.stderr)
                failed = True
    finally:
        capture.stop()
        lab.stop()
        shutil.rmtree(root, ignore_errors=True)
    print(json.dumps(summary(results)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
