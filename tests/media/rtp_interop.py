# SPDX-License-Identifier: Apache-2.0
"""Media interop tests: quillet-tool rtp against GStreamer's RTP stack, a loopback per
codec, a lossy reordering relay, in-band DTMF checked by spandsp and RFC 2833 events, and
G.726-32 in both byte orders against GStreamer's payloader and depayloader, G.722 and Opus
both ways against GStreamer, and Opus against PCMU through random losses.

usage: rtp_interop.py CASE QUILLET_TOOL DTMF_DETECT WORKDIR
CASE: gst-to-quillet | quillet-to-gst | loopback | relay | dtmf-inband | dtmf-events | g726 |
      wideband | loss
"""
import json
import os
import random
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sip"))
from sipharness import free_udp_port  # noqa: E402
from media_audio import (aligned_snr, best_lag, piece_correlations, piece_snrs,  # noqa: E402
                         read_wav, write_wav)

TOOL, DETECT, WORK = sys.argv[2], sys.argv[3], sys.argv[4]
failures = []

# Minimum signal-to-noise (dB) of one encode/decode of speech per codec. Measured values
# are printed; G.711 reaches about 37 dB, G.726-32 about 21 dB, GSM about 11 dB.
MIN_SNR = {"pcmu": 30.0, "pcma": 30.0, "g726-32": 15.0, "aal2-g726-32": 15.0, "gsm": 7.0}
GST = {
    "pcmu": ("PCMU", 0, "mulawenc", "rtppcmupay", "rtppcmudepay", "mulawdec"),
    "pcma": ("PCMA", 8, "alawenc", "rtppcmapay", "rtppcmadepay", "alawdec"),
    "gsm": ("GSM", 3, "gsmenc", "rtpgsmpay", "rtpgsmdepay", "gsmdec"),
}


def check(condition, text):
    print(("ok   " if condition else "FAIL ") + text, flush=True)
    if not condition:
        failures.append(text)


def speech_wav():
    """About 4 s of synthetic speech at 8000 Hz (espeak-ng, then sox)."""
    path = os.path.join(WORK, "speech.wav")
    if not os.path.exists(path):
        raw = os.path.join(WORK, "speech22.wav")
        subprocess.run(["espeak-ng", "-w", raw, "The quick brown fox jumps over the lazy dog. "
                        "One two three four five."], check=True, capture_output=True)
        # No dither: the same speech each run (ffmpeg's G.726 decoder strays on some inputs).
        subprocess.run(["sox", "-D", raw, "-r", "8000", "-c", "1", "-b", "16", path], check=True)
    return path


def start_receive(port, codec, seconds, out, extra=()):
    return subprocess.Popen([TOOL, "rtp", "receive", "--port", str(port), "--codec", codec,
                             "--seconds", str(seconds), *extra, out], stdout=subprocess.PIPE,
                            text=True)


def send(codec, port, wav, extra=()):
    result = subprocess.run([TOOL, "rtp", "send", "--codec", codec, "--to", f"127.0.0.1:{port}",
                             *extra, wav], capture_output=True, text=True, timeout=60)
    if result.returncode != 0:
        raise RuntimeError(f"rtp send failed: {result.stderr}")
    return json.loads(result.stdout)


def finish(receiver):
    out, _ = receiver.communicate(timeout=60)
    if receiver.returncode != 0:
        raise RuntimeError("rtp receive failed")
    return json.loads(out)


def snr_of(reference_path, received_path):
    reference, _ = read_wav(reference_path)
    received, _ = read_wav(received_path)
    return aligned_snr(reference, received)


def played_snr_of(reference_path, received_path):
    """The median SNR of the voiced pieces of what our receiver played, and the lag of the
    first: its playout may move later words a little against the earlier ones."""
    reference, _ = read_wav(reference_path)
    received, _ = read_wav(received_path)
    return float(np.median(piece_snrs(reference, received))), best_lag(reference, received)


def case_gst_to_quillet():
    wav = speech_wav()
    for codec, (name, pt, enc, pay, _, _) in GST.items():
        port = free_udp_port()
        out = os.path.join(WORK, f"gst_to_quillet_{codec}.wav")
        receiver = start_receive(port, codec, 6, out)
        time.sleep(0.5)
        # G.711 in 20 ms packets as phones send them; GStreamer's default packets for GSM.
        ptime = ["max-ptime=20000000"] if pt != 3 else []
        subprocess.run(["gst-launch-1.0", "-q", "filesrc", f"location={wav}", "!", "wavparse", "!",
                        "audioconvert", "!", "audioresample", "!",
                        "audio/x-raw,rate=8000,channels=1", "!", enc, "!", pay, *ptime, "!",
                        "udpsink", "host=127.0.0.1", f"port={port}", "sync=true"],
                       check=True, timeout=30)
        stats = finish(receiver)
        snr, lag = played_snr_of(wav, out)
        check(snr >= MIN_SNR[codec] and stats["packets"] > 0,
              f"GStreamer {pay} -> quillet-tool rtp receive: SNR {snr:.1f} dB "
              f"(lag {lag} samples, {stats['packets']} packets)")


def case_quillet_to_gst():
    wav = speech_wav()
    for codec, (name, pt, _, _, depay, dec) in GST.items():
        port = free_udp_port()
        out = os.path.join(WORK, f"quillet_to_gst_{codec}.wav")
        caps = f"application/x-rtp,media=audio,clock-rate=8000,encoding-name={name},payload={pt}"
        gst = subprocess.Popen(["gst-launch-1.0", "-q", "-e", "udpsrc", f"port={port}",
                                f"caps={caps}", "!", "rtpjitterbuffer", "!", depay, "!", dec, "!",
                                "audioconvert", "!", "audio/x-raw,format=S16LE", "!", "wavenc",
                                "!", "filesink", f"location={out}"])
        try:
            time.sleep(1.0)
            stats = send(codec, port, wav)
            time.sleep(0.5)
        finally:
            gst.send_signal(signal.SIGINT)
            gst.wait(timeout=20)
        snr, lag = snr_of(wav, out)
        check(snr >= MIN_SNR[codec],
              f"quillet-tool rtp send -> GStreamer {depay}: SNR {snr:.1f} dB "
              f"({stats['packets']} packets)")


def case_loopback():
    wav = speech_wav()
    for codec in ("pcmu", "pcma", "g726-32", "gsm"):
        port = free_udp_port()
        out = os.path.join(WORK, f"loopback_{codec}.wav")
        extra = ["--pt", "97"] if codec == "g726-32" else []
        receiver = start_receive(port, codec, 6, out, extra)
        time.sleep(0.4)
        sent = send(codec, port, wav, extra)
        stats = finish(receiver)
        snr, lag = played_snr_of(wav, out)
        check(snr >= MIN_SNR[codec] and stats["packets"] >= sent["packets"] - 1,
              f"loopback {codec}: SNR {snr:.1f} dB, {sent['packets']} sent, "
              f"{stats['packets']} received")


class Relay(threading.Thread):
    """Forwards datagrams with reordering, duplicates, delays and losses."""

    def __init__(self, listen_port, target_port, seed=7):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", listen_port))
        self.sock.settimeout(0.2)
        self.target = ("127.0.0.1", target_port)
        self.random = random.Random(seed)
        self.stop = False
        self.counts = {"in": 0, "lost": 0, "duplicated": 0, "swapped": 0, "delayed": 0}
        self.held = None
        self.timers = []

    def later(self, data, delay):
        timer = threading.Timer(delay, self.sock.sendto, (data, self.target))
        timer.start()
        self.timers.append(timer)

    def run(self):
        while not self.stop:
            try:
                data, _ = self.sock.recvfrom(5000)
            except socket.timeout:
                if self.held is not None:
                    self.sock.sendto(self.held, self.target)
                    self.held = None
                continue
            self.counts["in"] += 1
            r = self.random.random()
            if r < 0.03:
                self.counts["lost"] += 1
                continue
            if r < 0.08 and self.held is None:
                self.held = data  # goes out after the next one: swapped
                self.counts["swapped"] += 1
                continue
            if r < 0.11:
                self.counts["delayed"] += 1
                self.later(data, 0.03)
            else:
                self.sock.sendto(data, self.target)
            if r > 0.95:
                self.counts["duplicated"] += 1
                self.sock.sendto(data, self.target)
            if self.held is not None:
                self.sock.sendto(self.held, self.target)
                self.held = None


def case_relay():
    wav = speech_wav()
    port = free_udp_port()
    relay_port = free_udp_port()
    out = os.path.join(WORK, "relay_pcmu.wav")
    relay = Relay(relay_port, port)
    relay.start()
    # About 4.5 s of speech; the receiver's 8 s leave room for a slow start under load.
    receiver = start_receive(port, "pcmu", 8, out)
    time.sleep(0.4)
    send("pcmu", relay_port, wav)
    stats = finish(receiver)
    relay.stop = True
    relay.join()
    reference, _ = read_wav(wav)
    received, _ = read_wav(out)
    snr, lag = aligned_snr(reference, received)
    # In order and without gaps: every half second of speech is heard and keeps most of its
    # match; losses are concealed, not skipped.
    pieces = piece_correlations(reference, received)
    correlation = float(np.median(pieces))
    check(correlation > 0.85 and min(pieces) > 0.5 and len(received) == 8 * 8000,
          f"relay {relay.counts}: {stats['packets']} received, SNR {snr:.1f} dB, "
          f"correlation {correlation:.3f} (worst piece {min(pieces):.3f}), "
          f"{len(received) / 8000:.3f} s played")


def case_dtmf_inband():
    silence = os.path.join(WORK, "silence.wav")
    write_wav(silence, np.zeros(8000 * 3))
    for codec in ("pcmu", "pcma", "gsm", "g722", "opus"):
        port = free_udp_port()
        out = os.path.join(WORK, f"dtmf_{codec}.wav")
        receiver = start_receive(port, codec, 5, out)
        time.sleep(0.4)
        send(codec, port, silence, ["--inband", "--dtmf", "159#*0"])
        finish(receiver)
        if codec in ("g722", "opus"):  # the detector reads 8000 Hz
            narrow = os.path.join(WORK, f"dtmf_{codec}_8k.wav")
            subprocess.run(["sox", "-D", out, "-r", "8000", narrow], check=True)
            out = narrow
        digits = subprocess.run([DETECT, out], capture_output=True, text=True).stdout.strip()
        check(digits == "159#*0", f"in-band digits over {codec} detected by spandsp: '{digits}'")


def case_dtmf_events():
    """A raw receiver sees the six event packets of a digit, and no voice meanwhile."""
    wav = speech_wav()
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))
    sock.settimeout(2.0)
    port = sock.getsockname()[1]
    result = {}
    thread = threading.Thread(target=lambda: result.update(send("pcmu", port, wav,
                                                               ["--dtmf", "5", "--event-pt", "100"])))
    thread.start()
    packets = []
    try:
        while True:
            data, _ = sock.recvfrom(5000)
            packets.append((time.monotonic(), data))
    except socket.timeout:
        pass
    thread.join()
    events = [(t, d) for t, d in packets if d[1] & 0x7F == 100]
    payloads = [d[12:16].hex() for _, d in events]
    check(payloads == ["050a0000", "050a0320", "050a0320", "058a0640", "058a0640", "058a0640"],
          f"events of digit 5 with type 100: {payloads}")
    if len(events) == 6:
        span = (events[-1][0] - events[0][0]) * 1000
        check(140 <= span <= 400, f"events spread over {span:.0f} ms (170 ms nominal)")
        first = packets.index(events[0])
        last = packets.index(events[-1])
        between = [d for _, d in packets[first:last] if d[1] & 0x7F == 0]
        check(not between, "no voice packet between the first and the last event")
        seqs = [struct.unpack("!H", d[2:4])[0] for _, d in packets]
        steps = {(b - a) & 0xFFFF for a, b in zip(seqs, seqs[1:])}
        check(steps <= {0, 1}, f"sequence numbers only repeat or step by one: {sorted(steps)}")


# GStreamer's G.726 payloader and depayloader in both orders: with force-aal2=false they
# follow the encoding name ("G726-32": the earlier sample in the low four bits, RFC 3551),
# with force-aal2=true they keep the AAL2 order (earlier sample high) whatever the name.
# Their unpacked side is the AAL2 order, which ffmpeg's g726 format reads and writes.
G726_ORDERS = (("g726-32", "G726-32", "false", 96), ("aal2-g726-32", "AAL2-G726-32", "true", 97))


def case_g726():
    # Whole 20 ms frames: wavparse stops at once on a WAV whose data chunk needs padding.
    speech, _ = read_wav(speech_wav())
    wav = os.path.join(WORK, "speech-frames.wav")
    write_wav(wav, np.concatenate([speech, np.zeros(-len(speech) % 160)]))
    adpcm = os.path.join(WORK, "speech-g726.wav")  # ffmpeg's encoder, in a WAV for timing
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", wav, "-acodec", "g726", "-code_size", "4",
                    adpcm], check=True)
    caps = "audio/x-adpcm,layout=g726,bitrate=32000,rate=8000,channels=1"
    for codec, name, force, pt in G726_ORDERS:
        # GStreamer sends, quillet-tool receives.
        port = free_udp_port()
        out = os.path.join(WORK, f"gst_to_quillet_{codec}.wav")
        receiver = start_receive(port, codec, 6, out, ["--pt", str(pt)])
        time.sleep(0.5)
        # wavparse names caps its template lacks: capssetter restates them for the payloader.
        subprocess.run(["gst-launch-1.0", "-q", "filesrc", f"location={adpcm}", "!", "wavparse",
                        "!", "capssetter", "replace=true", f"caps={caps}", "!", "rtpg726pay",
                        f"force-aal2={force}", f"pt={pt}", "max-ptime=20000000", "!", "udpsink",
                        "host=127.0.0.1", f"port={port}", "sync=true"], check=True, timeout=30)
        stats = finish(receiver)
        snr, lag = played_snr_of(wav, out)
        check(snr >= MIN_SNR[codec] and stats["packets"] > 0,
              f"GStreamer rtpg726pay force-aal2={force} -> quillet-tool rtp receive {codec}: "
              f"SNR {snr:.1f} dB (lag {lag}, {stats['packets']} packets)")

        # quillet-tool sends, GStreamer depayloads, ffmpeg decodes.
        port = free_udp_port()
        raw = os.path.join(WORK, f"quillet_to_gst_{codec}.g726")
        rtp = f"application/x-rtp,media=audio,clock-rate=8000,encoding-name={name},payload={pt}"
        gst = subprocess.Popen(["gst-launch-1.0", "-q", "-e", "udpsrc", f"port={port}",
                                f"caps={rtp}", "!", "rtpg726depay",
                                f"force-aal2={force}", "!", "filesink", f"location={raw}"])
        try:
            time.sleep(1.0)
            sent = send(codec, port, wav, ["--pt", str(pt)])
            time.sleep(0.5)
        finally:
            gst.send_signal(signal.SIGINT)
            gst.wait(timeout=20)
        # Exactly the codes of quillet-tool's own encoder in the AAL2 order, whose coder is
        # bit-exact with spandsp's: the order on the wire is the one GStreamer reads.
        ours = os.path.join(WORK, f"offline_{codec}.g726")
        subprocess.run([TOOL, "codec", "encode", "aal2-g726-32", wav, ours], check=True,
                       capture_output=True)
        with open(raw, "rb") as got, open(ours, "rb") as want:
            same = got.read() == want.read()
        check(same, f"quillet-tool rtp send {codec} -> GStreamer rtpg726depay force-aal2={force}: "
              f"{os.path.getsize(raw)} bytes, {'the' if same else 'not the'} codes of the "
              f"encoder ({os.path.getsize(ours)} bytes)")
        out = os.path.join(WORK, f"quillet_to_gst_{codec}.wav")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "g726", "-code_size", "4",
                        "-sample_rate", "8000", "-i", raw, out], check=True)
        snr, lag = snr_of(wav, out)
        check(snr >= MIN_SNR[codec],
              f"quillet-tool rtp send {codec} -> GStreamer rtpg726depay force-aal2={force} -> "
              f"ffmpeg -f g726: SNR {snr:.1f} dB ({sent['packets']} packets)")


def speech_wav_16k():
    """The speech sample at 16000 Hz, whole 20 ms frames."""
    path = os.path.join(WORK, "speech16.wav")
    if not os.path.exists(path):
        speech_wav()
        raw = os.path.join(WORK, "speech16-raw.wav")
        subprocess.run(["sox", "-D", os.path.join(WORK, "speech22.wav"), "-r", "16000", "-c", "1",
                        "-b", "16", raw], check=True)
        speech, _ = read_wav(raw)
        write_wav(path, np.concatenate([speech, np.zeros(-len(speech) % 320)]), 16000)
    return path


def found_piece_correlations(reference, received, piece=3200):
    """The correlation of each voiced piece of `reference` with the best match for it
    anywhere in `received`: a playout that shortens a pause or conceals a loss moves what
    follows, which a search near the previous piece can lose."""
    found = []
    for start in range(0, len(reference) - piece + 1, piece):
        ref = reference[start:start + piece]
        if np.sqrt(np.mean(ref ** 2)) < 300:
            continue
        lag = best_lag(ref, received)
        part = received[lag:lag + piece]
        found.append(float(np.corrcoef(ref, part)[0, 1]) if len(part) == piece else 0.0)
    return found


def band_db(reference, received, rate=16000):
    """The 4-7 kHz band's level in `received` against the reference's, in dB (aligned)."""
    lag = best_lag(reference, received)
    part = received[lag:lag + len(reference)]
    ref = reference[:len(part)]

    def level(x):
        spectrum = np.abs(np.fft.rfft(x)) ** 2
        freqs = np.fft.rfftfreq(len(x), 1 / rate)
        return np.sum(spectrum[(freqs >= 4000) & (freqs <= 7000)])
    return 10 * np.log10(max(level(part), 1e-9) / max(level(ref), 1e-9))


# GStreamer's side of each wideband codec: encoder chain, payloader, caps, depayloader chain.
WIDE = {
    "g722": (["avenc_g722"], ["rtpg722pay"],
             "clock-rate=8000,encoding-name=G722,payload=9", ["rtpg722depay", "!", "avdec_g722"]),
    "opus": (["opusenc", "bitrate=32000"], ["rtpopuspay", "pt=111"],
             "clock-rate=48000,encoding-name=OPUS,payload=111", ["rtpopusdepay", "!", "opusdec"]),
}
# The least median correlation of the voiced pieces: G.722 keeps the waveform, Opus is
# perceptual and keeps less of it.
MIN_CORRELATION = {"g722": 0.95, "opus": 0.8}


def case_wideband():
    """G.722 and Opus both ways against GStreamer's encoders, decoders and payloaders: the
    words arrive and the 4-7 kHz band is kept."""
    wav = speech_wav_16k()
    reference, _ = read_wav(wav)
    for codec, (enc, pay, caps, depay) in WIDE.items():
        port = free_udp_port()
        out = os.path.join(WORK, f"gst_to_quillet_{codec}.wav")
        receiver = start_receive(port, codec, 6, out)
        time.sleep(0.5)
        subprocess.run(["gst-launch-1.0", "-q", "filesrc", f"location={wav}", "!", "wavparse", "!",
                        "audioconvert", "!", "audioresample", "!",
                        "audio/x-raw,rate=16000,channels=1", "!", *enc, "!", *pay, "!",
                        "udpsink", "host=127.0.0.1", f"port={port}", "sync=true"],
                       check=True, timeout=30)
        stats = finish(receiver)
        received, rate = read_wav(out)
        correlation = float(np.median(found_piece_correlations(reference, received)))
        band = band_db(reference, received)
        check(rate == 16000 and correlation >= MIN_CORRELATION[codec] and abs(band) < 6.0,
              f"GStreamer {pay[0]} -> quillet-tool rtp receive {codec}: correlation "
              f"{correlation:.3f}, 4-7 kHz {band:+.1f} dB, {rate} Hz, {stats['packets']} packets")

        port = free_udp_port()
        out = os.path.join(WORK, f"quillet_to_gst_{codec}.wav")
        gst = subprocess.Popen(["gst-launch-1.0", "-q", "-e", "udpsrc", f"port={port}",
                                f"caps=application/x-rtp,media=audio,{caps}", "!",
                                "rtpjitterbuffer", "!", *depay, "!", "audioconvert", "!",
                                "audioresample", "!", "audio/x-raw,format=S16LE,rate=16000,channels=1",
                                "!", "wavenc", "!", "filesink", f"location={out}"])
        try:
            time.sleep(1.0)
            sent = send(codec, port, wav)
            time.sleep(0.5)
        finally:
            gst.send_signal(signal.SIGINT)
            gst.wait(timeout=20)
        received, _ = read_wav(out)
        correlation = float(np.median(found_piece_correlations(reference, received)))
        band = band_db(reference, received)
        check(correlation >= MIN_CORRELATION[codec] and abs(band) < 6.0,
              f"quillet-tool rtp send {codec} -> GStreamer {depay[-1]}: correlation "
              f"{correlation:.3f}, 4-7 kHz {band:+.1f} dB ({sent['packets']} packets)")


class LossyRelay(threading.Thread):
    """Forwards datagrams, losing each with the given chance (the same losses each run)."""

    def __init__(self, listen_port, target_port, loss, seed=11):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", listen_port))
        self.sock.settimeout(0.2)
        self.target = ("127.0.0.1", target_port)
        self.random = random.Random(seed)
        self.loss = loss
        self.stop = False
        self.lost = 0

    def run(self):
        while not self.stop:
            try:
                data, _ = self.sock.recvfrom(5000)
            except socket.timeout:
                continue
            if self.random.random() < self.loss:
                self.lost += 1
            else:
                self.sock.sendto(data, self.target)


def case_loss():
    """Opus with its in-band redundancy against PCMU through the same random losses: the
    median correlation of the voiced pieces, printed for both; Opus must keep its words
    (its redundancy brings a lost packet back, PCMU's gap is only concealed)."""
    wav = speech_wav_16k()
    reference, _ = read_wav(wav)
    for loss in (0.05, 0.15):
        figures = {}
        for codec in ("opus", "pcmu"):
            port, relay_port = free_udp_port(), free_udp_port()
            relay = LossyRelay(relay_port, port, loss)
            relay.start()
            out = os.path.join(WORK, f"loss_{codec}_{int(loss * 100)}.wav")
            receiver = start_receive(port, codec, 7, out)
            time.sleep(0.4)
            send(codec, relay_port, wav)
            stats = finish(receiver)
            relay.stop = True
            relay.join()
            received, rate = read_wav(out)
            ref = reference if rate == 16000 else read_wav(speech_wav())[0]
            figures[codec] = (float(np.mean(found_piece_correlations(ref, received))), relay.lost,
                              stats["packets"])
        print(f"     {int(loss * 100)} % loss: " + ", ".join(
            f"{codec} correlation {c:.3f} ({lost} lost, {got} received)"
            for codec, (c, lost, got) in figures.items()), flush=True)
        check(figures["opus"][0] >= 0.7 and figures["opus"][0] >= figures["pcmu"][0] - 0.05 and
              figures["opus"][1] > 0,
              f"Opus through {int(loss * 100)} % loss keeps its words: correlation "
              f"{figures['opus'][0]:.3f} (PCMU {figures['pcmu'][0]:.3f})")


CASES = {
    "gst-to-quillet": case_gst_to_quillet,
    "quillet-to-gst": case_quillet_to_gst,
    "loopback": case_loopback,
    "relay": case_relay,
    "dtmf-inband": case_dtmf_inband,
    "dtmf-events": case_dtmf_events,
    "g726": case_g726,
    "wideband": case_wideband,
    "loss": case_loss,
}

if __name__ == "__main__":
    os.makedirs(WORK, exist_ok=True)
    CASES[sys.argv[1]]()
    print(f"{1 if not failures else 0} passed, {len(failures)} failed")
    sys.exit(1 if failures else 0)
