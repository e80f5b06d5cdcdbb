#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""RTCP on the user's path: two profiles call each other with talk-back on, RTCP shares the RTP
port (both offer a=rtcp-mux), and each sends sender reports under the SSRC of its own RTP, then
BYE; the call's quality line in both logs shows no loss, a small jitter and a round trip. A
capture on the loopback interface (in the test's own network namespace) sees the reports on
the wire, and tshark, where installed, decodes every one of them without a complaint."""
import os
import re
import shutil
import socket
import struct
import subprocess
import threading
import time

from e2e_support import (LabCase, LoopbackCapture, intercom_call, run_tests, take_binary_argument,
                         wait_for)
from sip_caller import Caller

take_binary_argument()

QUALITY = re.compile(r"Call quality: sent (\d+) packets, received (\d+), lost (\d+) "
                     r"\((\d+\.\d) %\), jitter (\d+) ms, round trip (\d+|unknown)")


def is_rtcp(payload):
    return len(payload) >= 8 and payload[0] & 0xC0 == 0x80 and 192 <= payload[1] <= 223


def rtp_pair():
    """Two UDP sockets on 127.0.0.1 at an even port and the one above it: (RTP, RTCP)."""
    for _ in range(100):
        rtcp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        rtcp.bind(("127.0.0.1", 0))
        port = rtcp.getsockname()[1] - 1
        if port % 2 == 0:
            rtp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            try:
                rtp.bind(("127.0.0.1", port))
                return rtp, rtcp
            except OSError:
                rtp.close()
        rtcp.close()
    raise RuntimeError("no free even/odd port pair")


def read_compound(data):
    """(SR SSRC or None, its NTP time, BYE SSRCs) of an RTCP compound."""
    sender, ntp, byes, at = None, 0, [], 0
    while at + 8 <= len(data):
        count, kind = data[at] & 31, data[at + 1]
        length = (struct.unpack("!H", data[at + 2:at + 4])[0] + 1) * 4
        if kind == 200:
            sender, ntp = struct.unpack("!IQ", data[at + 4:at + 16])
        elif kind == 203:
            byes += list(struct.unpack("!%dI" % count, data[at + 4:at + 4 + 4 * count]))
        at += length
    return sender, ntp, byes


class Talker(threading.Thread):
    """A far end's RTP: 20 ms PCMU packets from its RTP socket until stopped."""

    def __init__(self, sock, target):
        super().__init__(daemon=True)
        self.sock, self.target, self.sent = sock, target, 0
        self.stopped = threading.Event()

    def run(self):
        while not self.stopped.wait(0.02):
            header = struct.pack("!BBHII", 0x80, 0, self.sent, 160 * self.sent, 0x5EED)
            self.sock.sendto(header + b"\xff" * 160, self.target)
            self.sent += 1

    def stop(self):
        self.stopped.set()
        self.join(5)


class Capture(LoopbackCapture):
    """The loopback capture, read as RTP and RTCP."""

    def rtp_ssrcs(self, port):
        """The SSRCs of the RTP sent from `port`."""
        return {struct.unpack("!I", d[2][8:12])[0] for d in self.datagrams
                if d[0] == port and len(d[2]) >= 12 and d[2][0] & 0xC0 == 0x80
                and not is_rtcp(d[2])}

    def rtcp(self, port):
        """The RTCP compounds sent from `port`, as lists of (packet type, first SSRC)."""
        found = []
        for sport, _, payload, _ in self.datagrams:
            if sport != port or not is_rtcp(payload):
                continue
            packets, at = [], 0
            while at + 8 <= len(payload):
                length = (struct.unpack("!H", payload[at + 2:at + 4])[0] + 1) * 4
                packets.append((payload[at + 1], struct.unpack("!I", payload[at + 4:at + 8])[0]))
                at += length
            found.append(packets)
        return found


class RtcpTest(LabCase):
    prefix = "quillet-rtcp-"

    def setUp(self):
        super().setUp()
        self.capture = None
        if os.environ.get("QUILLET_IN_NETNS") == "1":
            self.capture = Capture()
            self.cleanup.append(self.capture.stop)

    def rtp_port(self, profile, other):
        """The profile's RTP port: where the other side's RTP went."""
        sent = re.search(r"Rtp >>> [^ ]+:(\d+) ", other.trace_text())
        self.assertIsNotNone(sent, other.trace_text()[-3000:])
        return int(sent.group(1))

    def test_both_sides_report_and_log_the_calls_quality(self):
        # Plain RTP, so that the reports can be read on the wire.
        audio = {"Settings": {"SipTraceAudioOn": "1"}, "Intercom": {"AutoTalkBack": "1"},
                 "DefaultLine": {"MediaEncryption": "off"}}
        a = self.quillet("alice", self.speech_file, audio)
        b = self.quillet("bob", self.silence_file, audio)
        b.start()
        a.start("-dial", b.address)
        self.assertTrue(wait_for(lambda: "The call was started" in b.log_text(), 10),
                        a.log_text() + b.log_text())
        # Long enough for each side's second report, which answers the other's first: at
        # most 3.1 s and 6.2 s after the start.
        time.sleep(11)
        a.stop()
        self.assertTrue(wait_for(lambda: "The call was stopped" in b.log_text(), 10))
        self.assertTrue(wait_for(lambda: "Call quality:" in b.log_text(), 5), b.log_text())
        b.stop()

        figures = {}
        for p, other in ((a, b), (b, a)):
            trace = p.trace_text()
            self.assertIn("a=rtcp-mux", trace)
            # The trace: SRs under the SSRC of the profile's own RTP, the other's read.
            ssrcs = set(re.findall(r"Rtp >>> \S+ (?:Mark| {4}) \d+ seq=\d+ ts=-?\d+ ssrc=(-?\d+)",
                                   trace))
            self.assertEqual(len(ssrcs), 1, ssrcs)
            reports = re.findall(r"Rtcp >>> \S+ SR ssrc=(-?\d+)", trace)
            print("%s sent %d sender reports" % (p.user, len(reports)))
            self.assertGreaterEqual(len(reports), 2, trace[-3000:])
            self.assertEqual(set(reports), ssrcs)
            self.assertRegex(trace, r"Rtcp >>> \S+ .*BYE ssrc=%s" % ssrcs.pop())
            self.assertIn("Rtcp <<< ", trace)
            found = QUALITY.findall(p.log_text())
            self.assertEqual(len(found), 1, p.log_text())
            line = re.search(r"Call quality: [^\r\n]*", p.log_text()).group(0)
            print("%s: %s" % (p.user, line))
            figures[p.user] = found[0]
        for user, other in (("alice", "bob"), ("bob", "alice")):
            sent, received, lost, percent, jitter, round_trip = figures[user]
            self.assertEqual((lost, percent), ("0", "0.0"))
            self.assertGreater(int(sent), 10)
            # All the other side sent but its first packet (the source's probation).
            self.assertLessEqual(abs(int(received) - (int(figures[other][0]) - 1)), 3)
            self.assertLess(int(jitter), 60)  # the file microphone sends in bursts
            self.assertNotEqual(round_trip, "unknown")
            self.assertLess(int(round_trip), 200)
        if self.capture:
            self.check_the_wire(a, b)

    def test_a_far_end_without_rtcp_mux_gets_reports_on_the_port_above(self):
        b = self.quillet("bob", self.silence_file, {"Intercom": {"AutoTalkBack": "1"}})
        b.start()
        rtp, rtcp = rtp_pair()
        self.cleanup += [rtp.close, rtcp.close]
        probe = Caller(b.sip_port)
        self.cleanup.append(probe.close)
        call = probe.invite(rtp_port=rtp.getsockname()[1])
        answer = probe.wait_response(call, [200], 10)
        self.assertIsNotNone(answer)
        probe.ack(call)
        self.assertNotIn("a=rtcp-mux", answer.text)
        bob_rtp = int(re.search(r"m=audio (\d+) ", answer.text).group(1))
        talker = self.owned(Talker(rtp, ("127.0.0.1", bob_rtp)))
        talker.start()
        # Bob's first report comes from the port above its RTP to the one above ours, under
        # the SSRC of its RTP.
        rtcp.settimeout(5)
        data, source = rtcp.recvfrom(2000)
        self.assertEqual(source, ("127.0.0.1", bob_rtp + 1))
        ssrc, ntp, _ = read_compound(data)
        rtp.settimeout(2)
        self.assertEqual(ssrc, struct.unpack("!I", rtp.recv(2000)[8:12])[0])
        # Our receiver report about it, held 10 ms, from our RTCP port.
        rr = struct.pack("!BBHI", 0x81, 201, 7, 0x5EED) + struct.pack(
            "!IIIIII", ssrc, 0, 0, 0, (ntp >> 16) & 0xFFFFFFFF, 655)
        rtcp.sendto(rr, ("127.0.0.1", bob_rtp + 1))
        time.sleep(0.5)
        talker.stop()
        probe.bye(call)
        self.assertTrue(wait_for(lambda: "Call quality:" in b.log_text(), 10), b.log_text())
        found = QUALITY.findall(b.log_text())
        print("bob: %s" % re.search(r"Call quality: [^\r\n]*", b.log_text()).group(0))
        sent, received, lost, percent, jitter, round_trip = found[0]
        self.assertEqual((lost, percent), ("0", "0.0"))
        self.assertLessEqual(abs(int(received) - (talker.sent - 1)), 3)
        self.assertNotEqual(round_trip, "unknown")
        self.assertLess(int(round_trip), 200)
        # And BYE at the end.
        rtcp.settimeout(3)
        byes = []
        while not byes:
            byes = read_compound(rtcp.recv(2000))[2]
        self.assertEqual(byes, [ssrc])
        b.stop()

    def check_the_wire(self, a, b):
        self.capture.stop()
        ports = {"alice": self.rtp_port(a, b), "bob": self.rtp_port(b, a)}
        for user, port in ports.items():
            ssrcs = self.capture.rtp_ssrcs(port)
            self.assertEqual(len(ssrcs), 1, (user, ssrcs))
            compounds = self.capture.rtcp(port)
            # Every compound starts with a report (SR while sending) by the RTP's SSRC and
            # names its CNAME; the last says BYE.
            self.assertGreaterEqual(len(compounds), 2, (user, compounds))
            for packets in compounds:
                self.assertIn(packets[0][0], (200, 201))
                self.assertEqual(packets[0][1], next(iter(ssrcs)))
                self.assertIn(202, [t for t, _ in packets])
            self.assertEqual(compounds[0][0][0], 200)
            self.assertEqual(compounds[-1][-1][0], 203)
        tshark = shutil.which("tshark")
        if not tshark:
            print("tshark is not installed: the capture is not decoded")
            return
        pcap = os.path.join(self.dir, "rtcp.pcap")
        self.capture.write_pcap(pcap, lambda d: is_rtcp(d[2]))
        decode = []
        for port in ports.values():
            decode += ["-d", "udp.port==%d,rtcp" % port]
        result = subprocess.run([tshark, "-n", "-r", pcap, *decode, "-V"], capture_output=True,
                                text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        text = result.stdout
        count = len(self.capture.rtcp(ports["alice"])) + len(self.capture.rtcp(ports["bob"]))
        print("tshark decoded %d RTCP compounds" % count)
        self.assertNotRegex(text, r"(?i)malformed|Expert Info \(Error|Expert Info \(Warning")
        self.assertEqual(text.count("Packet type: Sender Report (200)"),
                         sum(1 for c in self.capture.rtcp(ports["alice"]) +
                             self.capture.rtcp(ports["bob"]) if c[0][0] == 200))
        self.assertEqual(text.count("Packet type: Goodbye (203)"), 2)
        self.assertEqual(text.count("Type: CNAME (user and domain) (1)"), count)


if __name__ == "__main__":
    run_tests({})
