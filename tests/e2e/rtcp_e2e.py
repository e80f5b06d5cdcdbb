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

from e2e_support import LabCase, run_tests, take_binary_argument, wait_for

take_binary_argument()

QUALITY = re.compile(r"Call quality: sent (\d+) packets, received (\d+), lost (\d+) "
                     r"\((\d+\.\d) %\), jitter (\d+) ms, round trip (\d+|unknown)")
PACKET_OUTGOING = 4


def is_rtcp(payload):
    return len(payload) >= 8 and payload[0] & 0xC0 == 0x80 and 192 <= payload[1] <= 223


class Capture:
    """The UDP datagrams on the loopback interface while it runs (each once), as
    (source port, destination port, payload, Ethernet frame)."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.ntohs(3))
        self.sock.bind(("lo", 0))
        self.sock.settimeout(0.2)
        self.datagrams = []
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                frame, address = self.sock.recvfrom(70000)
            except socket.timeout:
                continue
            # Loopback shows each packet going out and coming in: the incoming one counts.
            if address[2] == PACKET_OUTGOING or len(frame) < 42 or frame[12:14] != b"\x08\x00":
                continue
            ip = frame[14:]
            header = (ip[0] & 15) * 4
            if ip[9] != 17:
                continue
            sport, dport = struct.unpack("!HH", ip[header:header + 4])
            self.datagrams.append((sport, dport, bytes(ip[header + 8:]), bytes(frame)))

    def stop(self):
        if self.running:
            self.running = False
            self.thread.join()
            self.sock.close()

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

    def write_pcap(self, path, keep):
        with open(path, "wb") as f:
            f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
            for i, d in enumerate(x for x in self.datagrams if keep(x)):
                f.write(struct.pack("<IIII", 1700000000 + i, 0, len(d[3]), len(d[3])) + d[3])


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
        audio = {"Settings": {"SipTraceAudioOn": "1"}, "Intercom": {"AutoTalkBack": "1"}}
        a = self.quillet("alice", self.speech_file, audio)
        b = self.quillet("bob", self.silence_file, audio)
        b.start()
        a.start("-dial", b.address)
        self.assertTrue(wait_for(lambda: "The call was started" in b.log_text(), 10),
                        a.log_text() + b.log_text())
        # Long enough for each side's second report, which answers the other's first.
        time.sleep(10)
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
            self.assertLess(int(jitter), 30)
            self.assertNotEqual(round_trip, "unknown")
            self.assertLess(int(round_trip), 200)
        if self.capture:
            self.check_the_wire(a, b)

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
