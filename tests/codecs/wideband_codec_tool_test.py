#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""quillet-tool codec with G.722 and Opus against ffmpeg: G.722 streams compared byte for
byte and sample for sample; our Opus packets decoded by ffmpeg (through libopus and
through its own decoder) from an Ogg file written here; ffmpeg's own Opus encoder
decoded by us; lost packets; and the inputs the tool must refuse.

Usage: wideband_codec_tool_test.py PATH/TO/quillet-tool
"""
import os
import struct
import subprocess
import sys
import tempfile

import numpy as np

TOOL = sys.argv[1]
FAILURES = []


def check(condition, text):
    print(("ok   " if condition else "FAIL ") + text)
    if not condition:
        FAILURES.append(text)


def run(*args):
    return subprocess.run(list(args), capture_output=True, text=True)


def tool(*args):
    return run(TOOL, *args)


def read_wav(path):
    with open(path, "rb") as f:
        data = f.read()
    assert data[:4] == b"RIFF" and data[8:12] == b"WAVE", path
    pos = 12
    while pos + 8 <= len(data):
        tag, size = struct.unpack("<4sI", data[pos:pos + 8])
        if tag == b"data":
            return np.frombuffer(data[pos + 8:pos + 8 + size], dtype="<i2").astype(np.float64)
        pos += 8 + size + (size & 1)
    raise AssertionError("no data chunk in " + path)


def read_raw(path):
    with open(path, "rb") as f:
        return np.frombuffer(f.read(), dtype="<i2").astype(np.float64)


def snr(ref, out, max_delay=0):
    """The best ratio of ref to the difference over delays of out of 0 .. max_delay."""
    best = -100.0
    for d in range(max_delay + 1):
        n = min(len(ref), len(out) - d)
        if n <= 0:
            break
        noise = np.sum((out[d:d + n] - ref[:n]) ** 2)
        value = 200.0 if noise == 0 else 10 * np.log10(np.sum(ref[:n] ** 2) / noise)
        best = max(best, value)
    return best


# --- Ogg Opus, just enough to hand packets to ffmpeg and take them back -----------------

def ogg_crc(data):
    crc = 0
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


def ogg_page(packet, granule, sequence, flags):
    lacing = [255] * (len(packet) // 255) + [len(packet) % 255]
    header = struct.pack("<4sBBqIIIB", b"OggS", 0, flags, granule, 0x5157, sequence, 0,
                         len(lacing)) + bytes(lacing)
    page = header + packet
    return page[:22] + struct.pack("<I", ogg_crc(page)) + page[26:]


def write_ogg_opus(path, packets, samples_per_packet):
    head = struct.pack("<8sBBHIhB", b"OpusHead", 1, 1, 0, 48000, 0, 0)
    tags = b"OpusTags" + struct.pack("<I", 7) + b"quillet" + struct.pack("<I", 0)
    pages = [ogg_page(head, 0, 0, 0x02), ogg_page(tags, 0, 1, 0)]
    for k, packet in enumerate(packets):
        last = k + 1 == len(packets)
        pages.append(ogg_page(packet, (k + 1) * samples_per_packet, k + 2, 0x04 if last else 0))
    with open(path, "wb") as f:
        f.write(b"".join(pages))


def read_ogg_packets(path):
    with open(path, "rb") as f:
        data = f.read()
    packets, current, pos = [], b"", 0
    while pos + 27 <= len(data):
        assert data[pos:pos + 4] == b"OggS", "not an Ogg page at %d" % pos
        count = data[pos + 26]
        lacing = data[pos + 27:pos + 27 + count]
        pos += 27 + count
        for size in lacing:
            current += data[pos:pos + size]
            pos += size
            if size < 255:
                packets.append(current)
                current = b""
    return packets[2:]  # after OpusHead and OpusTags


def read_records(path):
    with open(path, "rb") as f:
        data = f.read()
    packets, pos = [], 0
    while pos < len(data):
        length = data[pos] << 8 | data[pos + 1]
        packets.append(data[pos + 2:pos + 2 + length])
        pos += 2 + length
    return packets


def write_records(path, packets):
    with open(path, "wb") as f:
        for packet in packets:
            f.write(struct.pack(">H", len(packet)) + packet)


def ffmpeg_raw(out, *args):
    r = run("ffmpeg", "-v", "error", "-y", *args, "-f", "s16le", "-acodec", "pcm_s16le", out)
    check(r.returncode == 0, "ffmpeg %s %s decodes %s" % (" ".join(args[:-2]), r.stderr.strip(),
                                                        os.path.basename(args[-1])))
    return read_raw(out) if r.returncode == 0 else np.zeros(1)


def test_g722(p):
    r = tool("codec", "encode", "g722", p("speech16k.wav"), p("ours.g722"))
    check(r.returncode == 0, "g722 encode (%s)" % (r.stdout.strip() or r.stderr.strip()))
    speech = read_wav(p("speech16k.wav"))
    frames = (len(speech) + 319) // 320
    check(os.path.getsize(p("ours.g722")) == frames * 160, "g722: %d frames of 160 bytes" % frames)
    r = tool("codec", "decode", "g722", p("ours.g722"), p("ours-g722.wav"))
    check(r.returncode == 0, "g722 decode")
    ours = read_wav(p("ours-g722.wav"))
    check(len(ours) == frames * 320, "g722 decodes 320 samples a frame at 16000 Hz")
    own = snr(speech, ours, 64)
    print("     g722 round trip: %.2f dB" % own)
    check(own > 20, "g722 round trip above 20 dB")

    # ffmpeg's decoder of our stream, and its encoder against ours, sample and byte exact.
    theirs = ffmpeg_raw(p("ff-of-ours.raw"), "-f", "g722", "-i", p("ours.g722"))
    n = min(len(theirs), len(ours))
    check(n >= len(ours) - 320 and np.array_equal(theirs[:n], ours[:n]),
          "ffmpeg decodes our G.722 stream to the same %d samples" % n)
    r = run("ffmpeg", "-v", "error", "-y", "-i", p("speech16k.wav"), "-acodec", "g722", "-f",
            "g722", p("ffmpeg.g722"))
    check(r.returncode == 0, "ffmpeg encodes G.722")
    with open(p("ffmpeg.g722"), "rb") as f:
        theirs_bytes = f.read()
    with open(p("ours.g722"), "rb") as f:
        ours_bytes = f.read()
    check(len(theirs_bytes) > 0.9 * len(ours_bytes) and
          ours_bytes[:len(theirs_bytes)] == theirs_bytes,
          "our G.722 encoder writes ffmpeg's bytes (%d compared)" % len(theirs_bytes))
    r = tool("codec", "decode", "g722", p("ffmpeg.g722"), p("ours-of-ffmpeg.wav"))
    ref = ffmpeg_raw(p("ff-of-ffmpeg.raw"), "-f", "g722", "-i", p("ffmpeg.g722"))
    check(r.returncode == 0 and np.array_equal(read_wav(p("ours-of-ffmpeg.wav"))[:len(ref)], ref),
          "we decode ffmpeg's G.722 stream as ffmpeg does")


def test_opus(p):
    speech = read_wav(p("speech48k.wav"))
    r = tool("codec", "encode", "opus", p("speech48k.wav"), p("ours.opk"))
    check(r.returncode == 0, "opus encode (%s)" % (r.stdout.strip() or r.stderr.strip()))
    packets = read_records(p("ours.opk"))
    frames = (len(speech) + 959) // 960
    check(len(packets) == frames, "opus: one packet per 20 ms (%d)" % len(packets))
    rate = sum(len(x) for x in packets) * 8 / (frames * 0.02)
    print("     opus at %.0f bit/s" % rate)
    check(20000 < rate < 40000, "opus near the default 32 kbit/s")
    twenty_ms = (1, 5, 9, 13, 15, 19, 23, 27, 31)  # the table-of-contents configurations
    check(all(x[0] & 3 == 0 and x[0] >> 3 in twenty_ms for x in packets),
          "opus packets of one 20 ms frame each")
    r = tool("codec", "decode", "opus", p("ours.opk"), p("ours-opus.wav"))
    check(r.returncode == 0 and '"lost":0' in r.stdout, "opus decode")
    ours = read_wav(p("ours-opus.wav"))
    own = snr(speech, ours, 960)
    print("     opus round trip: %.2f dB" % own)
    check(own > 6, "opus round trip above 6 dB")

    # Our packets through ffmpeg: libopus decodes what we decode; ffmpeg's own decoder,
    # another implementation, hears the same speech.
    write_ogg_opus(p("ours.opus"), packets, 960)
    libopus = ffmpeg_raw(p("ff-libopus.raw"), "-c:a", "libopus", "-i", p("ours.opus"))
    native = ffmpeg_raw(p("ff-native.raw"), "-c:a", "opus", "-i", p("ours.opus"))
    same, other = snr(ours, libopus), snr(ours, native, 400)
    heard = snr(speech, native, 960)
    print("     ffmpeg of our opus: libopus %.1f dB, its own decoder %.1f dB against ours; "
          "its own against the speech %.1f dB" % (same, other, heard))
    check(same > 40, "ffmpeg's libopus decoder agrees with ours")
    check(other > 15, "ffmpeg's own Opus decoder agrees with ours")
    check(heard > own - 3, "ffmpeg's own decoder hears our Opus as well as we do")

    # ffmpeg's own Opus encoder, decoded by us as by ffmpeg.
    r = run("ffmpeg", "-v", "error", "-y", "-i", p("speech48k.wav"), "-c:a", "opus", "-strict",
            "-2", "-b:a", "32k", "-ac", "1", p("ffmpeg.opus"))
    check(r.returncode == 0, "ffmpeg encodes Opus %s" % r.stderr.strip())
    theirs = read_ogg_packets(p("ffmpeg.opus"))
    write_records(p("ffmpeg.opk"), theirs)
    r = tool("codec", "decode", "opus", p("ffmpeg.opk"), p("ours-of-ffmpeg.wav"))
    check(r.returncode == 0, "we decode ffmpeg's %d Opus packets" % len(theirs))
    ours_of_theirs = read_wav(p("ours-of-ffmpeg.wav"))
    ref = ffmpeg_raw(p("ff-of-ffmpeg.raw"), "-c:a", "libopus", "-i", p("ffmpeg.opus"))
    agree = snr(ref, ours_of_theirs, 960)
    print("     ffmpeg's opus encoder: our decode against ffmpeg's %.1f dB" % agree)
    check(agree > 40, "our decode of ffmpeg's Opus matches ffmpeg's decode")

    # Lost packets marked as empty records: concealed, and from FEC close to the clean decode.
    lossy = [x if k % 7 != 3 else b"" for k, x in enumerate(packets)]
    write_records(p("lossy.opk"), lossy)
    r = tool("codec", "decode", "opus", p("lossy.opk"), p("lossy.wav"))
    lost = sum(1 for x in lossy if not x)
    check(r.returncode == 0 and '"lost":%d' % lost in r.stdout, "decode counts %d lost" % lost)
    out = read_wav(p("lossy.wav"))
    check(len(out) == len(ours), "lost packets keep the timing")
    voiced = [k for k, x in enumerate(lossy) if not x and np.std(ours[k * 960:(k + 1) * 960]) > 300]
    values = [snr(ours[k * 960:(k + 1) * 960], out[k * 960:(k + 1) * 960]) for k in voiced]
    mean = sum(values) / max(len(values), 1)
    print("     %d voiced lost packets recovered at %.1f dB on average" % (len(voiced), mean))
    check(len(voiced) > 5 and mean > 8, "lost packets come back from the FEC data")

    r = tool("codec", "encode", "opus", p("speech48k.wav"), p("low.opk"), "--bitrate", "12000",
             "--frame-ms", "10")
    low = read_records(p("low.opk"))
    check(r.returncode == 0 and len(low) == (len(speech) + 479) // 480 and
          all(x[0] & 3 == 0 and x[0] >> 3 in [c - 1 for c in twenty_ms] for x in low),
          "--frame-ms 10 makes 10 ms packets")
    low_rate = sum(len(x) for x in low) * 8 / (len(low) * 0.01)
    check(8000 < low_rate < 17000, "--bitrate 12000 gives %.0f bit/s" % low_rate)


def test_refusals(p):
    def refused(args, words, status=1):
        r = tool("codec", *args)
        check(r.returncode == status and words in r.stderr,
              "refuses %s with exit %d (%s)" % (" ".join(args[:2] + args[4:]) or args, status,
                                                r.stderr.strip()))

    refused(["encode", "opus", p("speech16k.wav"), p("x")], "not 48000 Hz mono")
    refused(["encode", "g722", p("speech48k.wav"), p("x")], "not 16000 Hz mono")
    refused(["encode", "g722", p("speech16k.wav"), p("x"), "--bitrate", "20000"], "opus only", 2)
    refused(["encode", "opus", p("speech48k.wav"), p("x"), "--bitrate", "1"], "6000 .. 510000", 2)
    with open(p("ours.opk"), "rb") as f:
        good = f.read()
    for name, data, words in (("cut.opk", good[:-3], "only"), ("odd.opk", b"\x00", "partial"),
                              ("big.opk", b"\x07\xd0" + bytes(2000), "more than"),
                              ("bad.opk", b"\x00\x03\xff\xff\xff", "not a valid Opus packet")):
        with open(p(name), "wb") as f:
            f.write(data)
        refused(["decode", "opus", p(name), p("x.wav")], words)
    # G.722 decodes any number of bytes, a truncated file included.
    with open(p("cut.g722"), "wb") as f:
        f.write(bytes(range(77)))
    r = tool("codec", "decode", "g722", p("cut.g722"), p("cut.wav"))
    check(r.returncode == 0 and len(read_wav(p("cut.wav"))) == 154, "a truncated G.722 file decodes")
    r = tool("codec", "encode", "ilbc", p("speech16k.wav"), p("x"))
    check(r.returncode == 2 and "g722, opus" in r.stderr, "unknown codec is bad usage")


def main():
    work = tempfile.mkdtemp(prefix="quillet-wideband-")
    p = lambda name: os.path.join(work, name)
    r = run("espeak-ng", "-v", "en", "-s", "150", "-w", p("speech22k.wav"),
            "Please call me back at half past seven. The door code is four two six nine.")
    check(r.returncode == 0, "espeak-ng makes speech")
    for rate in (16000, 48000):
        r = run("sox", "-D", p("speech22k.wav"), "-r", str(rate), "-c", "1", "-b", "16",
                p("speech%dk.wav" % (rate // 1000)), "gain", "-n", "-6")
        check(r.returncode == 0, "sox converts it to %d Hz" % rate)
    test_g722(p)
    test_opus(p)
    test_refusals(p)
    subprocess.run(["rm", "-rf", work])
    if FAILURES:
        print("%d check(s) failed" % len(FAILURES))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
