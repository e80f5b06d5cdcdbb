#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Multicast paging between three headless quillets in the test's network namespace (groups
routed over loopback). A plain RTP page from quillet-tool reaches two speakers with every
word, one with its pre-announce tone before the words; the third, in do-not-disturb, drops
it, and refuses an emergency page from an address not among its trusted senders. A G.722
page is heard at 16000 Hz. A priority page in the group paging format takes over a normal
one and passes do-not-disturb; its packets, read here from the format's public description,
carry 31 Alerts, 30 ms frames with the frame before as redundancy and End packets; a speaker
told to stop listening to the normal page goes quiet. An emergency page plays at full volume
in do-not-disturb while a GStreamer Opus sender pages another group (at the payload type
that group is set up with) as an independent pager. Last, a quillet pages a group in Opus
from its microphone with -page and another hears it while a storm of junk datagrams hits
group paging; and during a call one mixes a page in, the other holds the call for it.
GStreamer, joined to the group as a desk phone would be, hears the plain RTP page too.

Then an office LAN: three desks and a pager in network namespaces of their own, each with a
veth to a bridge the test makes, multicast routed to it. Pages from the pager (quillet-tool and
GStreamer's rtppcmupay) reach both listening desks with every word, a priority page takes over
a normal one, a desk pages another from its microphone, the desk in do-not-disturb drops the
normal pages and hears an emergency one, and during a call between two desks one mixes a page
in while the other holds the call for it.
Usage: paging_e2e.py QUILLET QUILLET_TOOL"""
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

import numpy as np

from e2e_support import RATE, LabCase, find_words, read_wav, read_wav_rate, resample, run_tests, \
    take_binary_argument, voiced_segments, wait_for, write_wav

TOOL = os.path.abspath(sys.argv.pop(2)) if len(sys.argv) > 2 else "build/bin/quillet-tool"
take_binary_argument()

HALL = "239.10.0.1:6100"
GST_GROUP = ("239.10.0.3", 6104)
GROUP = ("224.0.1.116", 5001)  # group paging's usual group


class GroupPagingReader(threading.Thread):
    """Joins the group paging group and reads every packet: op code (0x0F Alert, 0x10
    Transmit, 0xFF End), channel, 32-bit serial, caller id length and text; Transmit packets
    then carry codec, flags, 32-bit sample count and one or two 30 ms frames."""

    def __init__(self):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(GROUP)
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                             socket.inet_aton(GROUP[0]) + socket.inet_aton("127.0.0.1"))
        self.sock.settimeout(0.2)
        self.packets = []
        self.running = True
        self.start()

    def run(self):
        while self.running:
            try:
                data = self.sock.recv(2048)
            except socket.timeout:
                continue
            if len(data) < 7:
                continue
            op, channel, serial, id_length = struct.unpack(">BBIB", data[:7])
            packet = {"op": op, "channel": channel, "serial": serial,
                      "caller": data[7:7 + id_length].rstrip(b"\0").decode(errors="replace")}
            rest = data[7 + id_length:]
            if op == 0x10 and len(rest) >= 6:
                packet["codec"], packet["flags"], packet["count"] = struct.unpack(">BBI", rest[:6])
                audio = rest[6:]
                packet["redundant"], packet["audio"] = (audio[:240], audio[240:]) \
                    if len(audio) == 480 else (b"", audio)
            self.packets.append(packet)

    def stop(self):
        if self.running:
            self.running = False
            self.join()
            self.sock.close()


def untrusted_emergency(source):
    """The Alerts and Ends of an emergency page (group paging channel 25) sent from `source`,
    an address of the loopback that carol does not trust."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((source, 0))
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
    head = lambda op: struct.pack(">BBIB", op, 25, 0x5EC, 8) + b"Intruder"
    for _ in range(5):
        sock.sendto(head(0x0F), GROUP)
        time.sleep(0.03)
    for _ in range(5):
        sock.sendto(head(0xFF), GROUP)
    sock.close()


def udp_sockets_on(port):
    """How many UDP sockets of this namespace are bound to `port`."""
    with open("/proc/net/udp") as f:
        return sum(1 for line in f.readlines()[1:]
                   if int(line.split()[1].split(":")[1], 16) == port)


def peak_hz(samples):
    return np.argmax(np.abs(np.fft.rfft(samples))) * RATE / len(samples)


def storm(seconds):
    """Datagrams of random length (0 to 1400 bytes) and op code to the group paging group, a
    millisecond apart: some read as Alerts and Ends of random senders, most as nothing."""
    rng = np.random.default_rng(5)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        data = bytearray(rng.integers(0, 256, int(rng.integers(0, 1400)), dtype=np.uint8))
        if len(data) > 2:
            data[0] = int(rng.choice([0x0F, 0x10, 0xFF, data[0]]))
            data[1] = int(rng.integers(0, 30))
        if len(data) > 7:
            data[6] = int(rng.integers(0, 20))
        sock.sendto(bytes(data), GROUP)
        time.sleep(0.001)
    sock.close()


class Paging(LabCase):
    prefix = "quillet-paging-"

    def page(self, group, wav, *options, prefix=()):
        """quillet-tool paging `group` with `wav` (run under `prefix`, e.g. in a namespace)."""
        return subprocess.Popen([*prefix, TOOL, "page", group, wav, *options],
                                stdout=subprocess.PIPE)

    def listener(self, name, microphone, extra):
        settings = {"Paging": {"Listen1": HALL, "Listen1Label": "Hall", "Listen1Priority": "3"}}
        settings["Paging"].update(extra.pop("Paging", {}))
        settings.update(extra)
        return self.quillet(name, microphone, settings)

    def words(self, who, profile, reference, heard=None, opus=False):
        """Every word heard: 10 dB over the waveform's error, or through Opus (whose speech
        coding keeps the sound, not the waveform) as the call tests take it."""
        found = find_words(reference, profile.heard() if heard is None else heard)
        snrs = [w[2] for w in found]
        print("%s: %d words, SNR min %.1f / mean %.1f dB" % (who, len(found), min(snrs),
                                                           float(np.mean(snrs))))
        heard_all = found and all(w[1] is not None for w in found)
        good = min(snrs) > -5.0 and np.mean(snrs) > 3.0 if opus else min(snrs) > 10.0
        self.assertTrue(heard_all and good, (who, found, profile.log_text()[-3000:]))

    def short_words_and_tone(self):
        """The first words of the speech sample (up to a pause after 2 s: short pages), kept
        as self.words_said, and a 2 s tone of 440 Hz: their files."""
        cut = min(end for _, end in voiced_segments(self.speech) if end > 2 * RATE) + RATE // 10
        self.words_said = self.speech[:cut]
        words = os.path.join(self.dir, "words.wav")
        write_wav(words, self.words_said)
        tone = os.path.join(self.dir, "tone.wav")
        write_wav(tone, 8000 * np.sin(2 * np.pi * 440 * np.arange(2 * RATE) / RATE))
        return words, tone

    def test_pages_reach_speakers_by_their_rules(self):
        if not os.environ.get("QUILLET_IN_NETNS"):
            raise unittest.SkipTest("needs the network namespace of tests/in-netns")
        subprocess.run(["ip", "link", "set", "lo", "multicast", "on"], check=True)
        subprocess.run(["ip", "route", "add", "224.0.0.0/4", "dev", "lo"], check=True)
        started = time.monotonic()
        words, tone = self.short_words_and_tone()
        gst = "%s:%d" % GST_GROUP
        words16 = os.path.join(self.dir, "words16.wav")
        write_wav(words16, resample(self.words_said, RATE, 16000), 16000)
        a = self.listener("alice", words, {"Paging": {"GroupChannels": "1,24,25", "Tone": "1",
                                                       "Codec": "opus"}})
        b = self.listener("bob", self.silence_file, {"Paging": {
            "Listen2": gst, "Listen2Label": "Yard", "Listen2Priority": "5", "DuringCall": "hold",
            "Listen2OpusPayloadType": "96"},
            "Settings": {"HoldTone": "0"}})  # alice hears only the page while bob holds
        c = self.listener("carol", self.silence_file, {
            "Paging": {"GroupChannels": "24,25", "TrustedSenders": "127.0.0.1, 192.0.2.10"},
            "Settings": {"DoNotDisturb": "1", "PlayVolume": "-20"}})
        for p in (a, b, c):
            p.start()
            self.assertTrue(wait_for(lambda: "Paging: listening to Hall" in p.log_text(), 5),
                            p.log_text())

        # A plain RTP page: both speakers, every word; do-not-disturb drops it. GStreamer,
        # listening to the group as a desk phone would, hears every word of it too.
        hall, hall_port = HALL.split(":")
        gst_heard = os.path.join(self.dir, "gstreamer-heard.wav")
        gst_receiver = subprocess.Popen([
            "gst-launch-1.0", "-q", "-e", "udpsrc", "address=" + hall, "port=" + hall_port,
            "multicast-iface=lo", "caps=application/x-rtp,media=audio,clock-rate=8000,"
            "encoding-name=PCMU,payload=0", "!", "rtpjitterbuffer", "!", "rtppcmudepay", "!",
            "mulawdec", "!", "audioconvert", "!", "audio/x-raw,format=S16LE,rate=8000,channels=1",
            "!", "wavenc", "!", "filesink", "location=" + gst_heard])
        self.cleanup.append(lambda: gst_receiver.poll() is None and gst_receiver.kill())
        # The page starts once GStreamer's socket is there (beside the three quillets').
        self.assertTrue(wait_for(lambda: udp_sockets_on(int(hall_port)) >= 4, 10))
        time.sleep(0.3)
        self.assertEqual(self.page(HALL, words).wait(20), 0)
        time.sleep(0.3)
        gst_receiver.send_signal(signal.SIGINT)
        self.assertEqual(gst_receiver.wait(10), 0)
        self.words("GStreamer (plain RTP)", a, self.words_said, heard=read_wav(gst_heard))
        self.assertTrue(wait_for(lambda: "Paging: the page on Hall ended" in b.log_text(), 5),
                        b.log_text())
        self.words("alice (plain RTP)", a, self.words_said)
        self.words("bob (plain RTP)", b, self.words_said)
        self.assertIn("dropped: do not disturb", c.log_text())
        self.assertFalse(os.path.exists(c.speaker))
        # Alice's pre-announce tone (Paging/Tone): its low then its high beep, then the words.
        heard_a = a.heard()
        onset = int(np.flatnonzero(np.abs(heard_a) > 1000)[0])
        self.assertAlmostEqual(peak_hz(heard_a[onset:onset + RATE * 8 // 100]), 880, delta=30)
        self.assertAlmostEqual(peak_hz(heard_a[onset + RATE * 15 // 100:onset + RATE * 23 // 100]),
                               1320, delta=30)
        first_word = find_words(self.words_said, heard_a)[0][1]
        self.assertGreater(first_word, onset / RATE + 0.24)

        # An emergency page from an address carol does not trust: refused, with a log line.
        untrusted_emergency("127.0.0.9")
        self.assertTrue(wait_for(lambda: "emergency page on Group paging channel 25 from "
                                 "127.0.0.9 dropped: not a trusted sender" in c.log_text(), 3),
                        c.log_text())
        self.assertFalse(os.path.exists(c.speaker))

        # A G.722 page, heard at 16000 Hz.
        self.assertEqual(self.page(HALL, words16, "--codec", "g722").wait(20), 0)
        self.assertTrue(wait_for(lambda: b.log_text().count("the page on Hall ended") >= 2, 5),
                        b.log_text())
        self.words("alice (G.722)", a, self.words_said)
        self.words("bob (G.722)", b, self.words_said)
        self.assertEqual(read_wav_rate(b.speaker)[0], 16000)

        # A normal page, then a priority page (group paging channel 24) takes over.
        reader = self.owned(GroupPagingReader())
        normal = self.page(HALL, tone)
        time.sleep(0.5)
        priority = self.page("channel:24", words, "--caller", "Front desk",
                             "--serial", "1a2b")
        # Bob stops listening to the normal page a second in: his speaker goes quiet while
        # it is still sent.
        time.sleep(0.5)
        self.assertEqual(b.run("-stoplistening"), 0)
        self.assertTrue(wait_for(lambda: "Paging: stopped listening to the page on Hall"
                                 in b.log_text(), 0.5, 0.02), b.log_text())
        time.sleep(0.1)
        stopped_size = os.path.getsize(b.speaker)
        time.sleep(0.3)
        self.assertIsNone(normal.poll())
        self.assertEqual(os.path.getsize(b.speaker), stopped_size)
        self.assertEqual(priority.wait(20), 0)
        self.assertEqual(normal.wait(5), 0)
        self.assertTrue(wait_for(lambda: "the page on Group paging channel 24 ended"
                                 in a.log_text(), 5), a.log_text())
        self.assertIn("priority page on Group paging channel 24 from Front desk", a.log_text())
        self.words("alice (priority over normal)", a, self.words_said)
        self.words("carol (priority in do-not-disturb)", c, self.words_said)
        quiet = np.sqrt(np.mean(c.heard() ** 2))
        heard_b = b.heard()  # bob does not listen to group paging: the tone alone, cut short
        self.assertEqual(peak_hz(heard_b[RATE // 4:RATE // 4 + RATE // 2]), 440)
        self.assertLess(len(heard_b), 1.6 * RATE)

        packets = [p for p in reader.packets if p["serial"] == 0x1A2B]
        ops = [p["op"] for p in packets]
        self.assertEqual(ops[:31], [0x0F] * 31)
        self.assertEqual(ops[31], 0x10)
        self.assertEqual(ops[-1], 0xFF)
        transmits = [p for p in packets if p["op"] == 0x10]
        self.assertGreater(len(transmits) * 0.03, len(self.words_said) / RATE - 0.1)
        self.assertTrue(all(p["channel"] == 24 and p["caller"] == "Front desk" for p in packets))
        self.assertTrue(all(p["codec"] == 0 and len(p["audio"]) == 240 for p in transmits))
        self.assertEqual(transmits[0]["redundant"], b"")
        for before, after in zip(transmits, transmits[1:]):
            self.assertEqual(after["redundant"], before["audio"])
            self.assertEqual(after["count"] - before["count"], 240)
        reader.stop()

        # An emergency page sounds in do-not-disturb, at full volume, while GStreamer pages
        # the Yard group in Opus (payload type 96, as bob has Yard set up) as a pager of its own.
        gst_sender = subprocess.Popen([
            "gst-launch-1.0", "-q", "filesrc", "location=" + words, "!", "wavparse", "!",
            "audioconvert", "!", "audioresample", "!", "audio/x-raw,rate=16000,channels=1", "!",
            "opusenc", "!", "rtpopuspay", "pt=96", "!", "udpsink", "host=" + GST_GROUP[0],
            "port=%d" % GST_GROUP[1], "auto-multicast=true", "sync=true"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.cleanup.append(lambda: gst_sender.poll() is None and gst_sender.kill())
        emergency = self.page("channel:25", words)
        self.assertEqual(emergency.wait(20), 0)
        self.assertEqual(gst_sender.wait(20), 0)
        self.assertTrue(wait_for(lambda: "the page on Group paging channel 25 ended"
                                 in c.log_text(), 5), c.log_text())
        self.assertTrue(wait_for(lambda: "the page on Yard ended" in b.log_text(), 5))
        self.assertIn("emergency page on Group paging channel 25", c.log_text())
        self.words("carol (emergency in do-not-disturb)", c, self.words_said)
        self.assertGreater(np.sqrt(np.mean(c.heard() ** 2)), 5 * quiet)
        self.words("bob (GStreamer Opus pager)", b, self.words_said, opus=True)
        self.assertEqual(read_wav_rate(b.speaker)[0], 16000)

        # alice pages Hall from her microphone in Opus; bob hears her, alice not herself. Meanwhile a
        # storm of 1000 datagrams a second of any length and op code hits group paging.
        self.assertEqual(a.run("-page", "Hall"), 0)
        storm(1.0)
        time.sleep(max(0.0, len(self.words_said) / RATE))
        self.assertEqual(a.run("-page", "off"), 0)
        self.assertTrue(wait_for(lambda: b.log_text().count("the page on Hall ended") >= 4, 5),
                        b.log_text())
        self.words("bob (-page from alice, Opus)", b, self.words_said, opus=True)
        self.assertEqual(read_wav_rate(b.speaker)[0], 16000)
        self.assertIn("Paging: the page sent ended", a.log_text())
        self.assertEqual(a.log_text().count("normal page on Hall"), 3)  # the first three only
        self.assertRegex(a.log_text(), r"Paging: \d+ packets dropped")
        self.assertLess(a.log_text().count("Paging:"), 40, a.log_text())  # the storm's lines held back
        for p in (a, b, c):
            self.assertIsNone(p.process.poll())

        # During a call: alice mixes the page into the call (DuringCall=mix, the default), bob
        # holds the call for it (DuringCall=hold). Speaker files are read while the page plays
        # (the call's audio starts them again when it ends).
        self.assertEqual(b.run("-dial", a.address), 0)
        self.assertTrue(wait_for(lambda: "The call was started" in a.log_text()
                                 and "The call was started" in b.log_text(), 10), a.log_text())
        self.assertEqual(self.page(HALL, words).wait(20), 0)
        time.sleep(0.3)
        heard_a, heard_b = a.heard(), b.heard()
        self.words("alice (page mixed into a call)", a, self.words_said, heard_a)
        self.words("bob (page with the call held)", b, self.words_said, heard_b)
        self.assertIn("Paging: the call is held for the page", b.log_text())
        self.assertNotIn("Paging: the call is held for the page", a.log_text())
        print("paging e2e: %.1f s" % (time.monotonic() - started))

    def test_pages_cross_a_bridge_to_desks_in_namespaces_of_their_own(self):
        if not os.environ.get("QUILLET_IN_NETNS"):
            raise unittest.SkipTest("needs the network namespace of tests/in-netns")
        lan = self.owned(DeskLan(("alice", "bob", "carol", "pager")))
        words, tone = self.short_words_and_tone()
        own = {"alice": {}, "bob": {"Paging": {"DuringCall": "hold"}},
               "carol": {"Settings": {"DoNotDisturb": "1"}}}
        desks = []
        for name, settings in own.items():
            settings.setdefault("Paging", {})["GroupChannels"] = "1,24,25"
            settings["SIP"] = {"LocalAddress": lan.address[name]}
            p = self.listener(name, words if name == "alice" else self.silence_file, settings)
            p.prefix = lan.prefix(name)
            p.start()
            self.assertTrue(wait_for(lambda: "Paging: listening to Hall" in p.log_text(), 5),
                            p.log_text())
            desks.append(p)
        a, b, c = desks

        def page(*args):
            return self.page(*args, prefix=lan.prefix("pager"))

        # A plain RTP page from the pager's desk: every word on both speakers.
        self.assertEqual(page(HALL, words).wait(20), 0)
        for p in (a, b):
            self.assertTrue(wait_for(lambda: "the page on Hall ended" in p.log_text(), 5),
                            p.log_text())
        self.words("alice (across the bridge)", a, self.words_said)
        self.words("bob (across the bridge)", b, self.words_said)

        # GStreamer on the pager's desk as a pager of its own (rtppcmupay to the group).
        hall, hall_port = HALL.split(":")
        gst = subprocess.Popen(lan.prefix("pager") + [
            "gst-launch-1.0", "-q", "filesrc", "location=" + words, "!", "wavparse", "!",
            "audioconvert", "!", "mulawenc", "!", "rtppcmupay", "!", "udpsink", "host=" + hall,
            "port=" + hall_port, "auto-multicast=true", "sync=true"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.cleanup.append(lambda: gst.poll() is None and gst.kill())
        self.assertEqual(gst.wait(20), 0)
        for who, p in (("alice", a), ("bob", b)):
            self.assertTrue(wait_for(lambda: p.log_text().count("the page on Hall ended") >= 2,
                                     5), p.log_text())
            self.words(who + " (GStreamer pager, across the bridge)", p, self.words_said)

        # A normal page, then a priority page (group paging channel 24) takes over on both.
        normal = page(HALL, tone)
        time.sleep(0.5)
        self.assertEqual(page("channel:24", words, "--caller", "Front desk").wait(20), 0)
        self.assertEqual(normal.wait(5), 0)
        for who, p in (("alice", a), ("bob", b)):
            self.assertTrue(wait_for(lambda: "the page on Group paging channel 24 ended"
                                     in p.log_text(), 5), p.log_text())
            self.assertIn("priority page on Group paging channel 24 from Front desk",
                          p.log_text())
            self.words(who + " (priority over normal, across the bridge)", p, self.words_said)

        # Alice pages Hall from her microphone: bob hears her over the bridge.
        ended = b.log_text().count("the page on Hall ended")
        self.assertEqual(a.run("-page", "Hall"), 0)
        time.sleep(len(self.words_said) / RATE + 0.5)
        self.assertEqual(a.run("-page", "off"), 0)
        self.assertTrue(wait_for(lambda: b.log_text().count("the page on Hall ended") > ended,
                                 5), b.log_text())
        self.words("bob (-page from alice's desk)", b, self.words_said)
        self.assertIn("Paging: the page sent ended", a.log_text())

        # Carol, in do-not-disturb, dropped the normal pages (the priority page passed), and
        # hears an emergency page.
        self.assertEqual(c.log_text().count("normal page on Hall from %s dropped: do not "
                                            "disturb" % lan.address["pager"]), 3)
        self.assertIn("priority page on Group paging channel 24", c.log_text())
        self.assertEqual(page("channel:25", words).wait(20), 0)
        self.assertTrue(wait_for(lambda: "the page on Group paging channel 25 ended"
                                 in c.log_text(), 5), c.log_text())
        self.words("carol (emergency in do-not-disturb, across the bridge)", c, self.words_said)

        # A call between two desks over the bridge: alice mixes a page in, bob holds the call.
        self.assertEqual(a.run("-dial", "sip:bob@%s:%d" % (lan.address["bob"], b.sip_port)), 0)
        self.assertTrue(wait_for(lambda: "The call was started" in a.log_text()
                                 and "The call was started" in b.log_text(), 10), a.log_text())
        self.assertEqual(page(HALL, words).wait(20), 0)
        time.sleep(0.3)
        self.words("alice (page mixed into a call, across the bridge)", a, self.words_said)
        self.words("bob (page with the call held, across the bridge)", b, self.words_said)
        self.assertIn("Paging: the call is held for the page", b.log_text())


class DeskLan:
    """Desks in network namespaces of their own, each with a veth to a bridge in the test's
    namespace (an office switch) and multicast routed to it: address[name], prefix(name)."""

    def __init__(self, names):
        self.tag = "qp%d" % (os.getpid() % 100000)
        self.bridge = self.tag + "br"
        self.ns = {name: "%s%s" % (self.tag, name) for name in names}
        self.address = {name: "10.77.0.%d" % (11 + n) for n, name in enumerate(names)}
        try:
            self._up()
        except BaseException:
            self.stop()
            raise

    def _up(self):
        ip = lambda *args: subprocess.run(["ip", *args], check=True, capture_output=True)
        ip("link", "add", self.bridge, "type", "bridge")
        ip("link", "set", self.bridge, "up")
        for n, (name, ns) in enumerate(self.ns.items()):
            desk, port = "%sd%d" % (self.tag, n), "%sp%d" % (self.tag, n)
            ip("netns", "add", ns)
            ip("link", "add", desk, "type", "veth", "peer", "name", port)
            ip("link", "set", desk, "netns", ns)
            ip("link", "set", port, "master", self.bridge)
            ip("link", "set", port, "up")
            ip("-n", ns, "link", "set", "lo", "up")
            ip("-n", ns, "addr", "add", self.address[name] + "/24", "dev", desk)
            ip("-n", ns, "link", "set", desk, "up")
            ip("-n", ns, "route", "add", "224.0.0.0/4", "dev", desk)

    def prefix(self, name):
        return ["ip", "netns", "exec", self.ns[name]]

    def stop(self):
        for ns in self.ns.values():
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)
        subprocess.run(["ip", "link", "del", self.bridge], capture_output=True)


if __name__ == "__main__":
    run_tests({"test_pages_reach_speakers_by_their_rules": "gstreamer-paging",
               "test_pages_cross_a_bridge_to_desks_in_namespaces_of_their_own":
               "gstreamer-paging"})
