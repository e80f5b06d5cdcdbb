#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""SIP over TLS and TCP on the user's path: two profiles register at Kamailio over TLS
(digest), call each other through it and hear each other; the same over TCP; a server
certificate that cannot be trusted, or names another host, is refused with its log line
and nothing goes out in the clear instead. A capture on the loopback interface (of the
test's own network namespace) watches what crosses the wire."""
import os
import socket
import struct
import threading
import time

from e2e_support import (RATE, LabCase, from_first_sound, make_ca, make_server_cert, run_tests,
                         take_binary_argument, wait_for, write_wav)
import numpy as np
import sipharness as h  # noqa: E402 (on the path that e2e_support sets)

take_binary_argument()


class Capture:
    """Every TCP and UDP payload on the loopback interface while it runs, with its ports."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.ntohs(3))
        self.sock.bind(("lo", 0))
        self.sock.settimeout(0.2)
        self.packets = []
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                frame = self.sock.recv(70000)
            except socket.timeout:
                continue
            if len(frame) < 34 or frame[12:14] != b"\x08\x00":
                continue
            ip = frame[14:]
            header = (ip[0] & 15) * 4
            proto = ip[9]
            body = ip[header:]
            if proto == 17 and len(body) >= 8:
                sport, dport = struct.unpack("!HH", body[:4])
                self.packets.append(("udp", sport, dport, body[8:]))
            elif proto == 6 and len(body) >= 20:
                sport, dport = struct.unpack("!HH", body[:4])
                self.packets.append(("tcp", sport, dport, body[(body[12] >> 4) * 4:]))

    def stop(self):
        self.running = False
        self.thread.join()
        self.sock.close()

    def plaintext_sip(self, ports):
        """Payloads to or from `ports` that read as SIP (but the harness's own readiness
        probe of Kamailio)."""
        return [p for p in self.packets if (p[1] in ports or p[2] in ports) and
                (b"SIP/2.0" in p[3] or b"REGISTER " in p[3]) and b"Call-ID: probe" not in p[3]]

    def count(self, kind, port, other=None):
        """Packets with a payload to or from `port` (and `other`, when given)."""
        return sum(1 for p in self.packets if p[0] == kind and port in (p[1], p[2]) and p[3]
                   and (other is None or other in (p[1], p[2])))


class SecureSignallingTest(LabCase):
    prefix = "quillet-secure-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.reply_delay = 6.0
        cls.reply_file = os.path.join(cls.root, "speech-reply.wav")
        write_wav(cls.reply_file, np.concatenate([np.zeros(int(RATE * cls.reply_delay)),
                                                  cls.speech, np.zeros(RATE * 10)]))
        cls.ca = make_ca(cls.root, "Quillet Test CA")

    def setUp(self):
        super().setUp()
        if os.environ.get("QUILLET_IN_NETNS") != "1":
            self.skipTest("the capture needs the test's own network namespace")
        self.capture = Capture()
        self.cleanup.append(self.capture.stop)

    def kamailio(self, alt_names="IP:127.0.0.1,DNS:localhost"):
        tls = make_server_cert(self.dir, self.ca, alt_names)
        k = h.Kamailio(self.dir, {"alice": "alice-pw", "bob": "bob-pw"}, tls=tls)
        self.cleanup.append(k.stop)
        return k

    def line(self, user, proxy, transport, ca=None):
        line = {"Proxy": proxy, "ProxyPassword": user + "-pw", "Transport": transport}
        if ca:
            line["TLSCAFile"] = ca
        return {"DefaultLine": line, "Intercom": {"AutoTalkBack": "1"}}

    def call_both_ways(self, transport, port, before_call=None):
        ca = self.ca[0] if transport == "tls" else None
        a = self.quillet("alice", self.speech_file,
                         self.line("alice", "127.0.0.1:%d" % port, transport, ca))
        b = self.quillet("bob", self.reply_file,
                         self.line("bob", "127.0.0.1:%d" % port, transport, ca))
        b.start()
        a.start()
        for p in (a, b):
            self.assertTrue(wait_for(lambda: "Registered as: sip:%s@" % p.user in p.log_text(),
                                     10), p.log_text())
        if before_call:
            before_call(a, b)
        self.call_and_hang_up(a, b, self.reply_delay)  # the reply comes seconds in
        a.stop()
        b.stop()
        for p in (a, b):
            self.assertIn("SIP/2.0/%s " % transport.upper(), p.trace_text())
            self.assertNotIn("SIP/2.0/UDP ", p.trace_text())
        for speaker, listener in ((a, b), (b, a)):
            self.assert_words_heard("over %s through Kamailio, %s -> %s" % (
                transport.upper(), speaker.user, listener.user), from_first_sound(listener.heard()))
        return a, b

    def test_tls_registration_and_call_with_nothing_in_the_clear(self):
        k = self.kamailio()
        a, b = self.call_both_ways("tls", k.tls_port)
        self.assertIn(",response=", a.trace_text())  # the digest was sent (inside TLS)
        ports = {k.port, k.tls_port, a.sip_port, a.sip_port + 1, b.sip_port, b.sip_port + 1}
        self.assertEqual(self.capture.plaintext_sip(ports), [])
        self.assertGreater(self.capture.count("tcp", k.tls_port), 10)

    def hostile_connections(self, a, b):
        """Another host (127.0.0.2) opens 200 connections to bob that say nothing, and one
        that never ends its header block: bob keeps a bounded number and says so."""
        held = []
        for _ in range(200):
            c = socket.socket()
            c.bind(("127.0.0.2", 0))
            c.settimeout(2)
            try:
                c.connect(("127.0.0.1", b.sip_port))
            except OSError:
                c.close()
                continue
            held.append(c)
        endless = socket.socket()
        endless.bind(("127.0.0.3", 0))
        endless.connect(("127.0.0.1", b.sip_port))
        endless.sendall(b"INVITE sip:bob@127.0.0.1 SIP/2.0\r\n" + b"X-More: aaaa\r\n" * 5000)
        held.append(endless)
        self.cleanup.append(lambda: [c.close() for c in held])
        self.assertTrue(wait_for(lambda: "refused: too many connections open" in b.log_text(), 5),
                        b.log_text())

    def test_tcp_registration_and_call(self):
        k = self.kamailio()
        a, b = self.call_both_ways("tcp", k.port, self.hostile_connections)
        self.assertGreater(self.capture.count("tcp", k.port), 5)
        for p in (a, b):
            self.assertEqual(self.capture.count("udp", k.port, p.sip_port), 0)

    def refused(self, k, ca, reason):
        a = self.quillet("alice", self.silence_file,
                         self.line("alice", "127.0.0.1:%d" % k.tls_port, "tls", ca))
        a.start()
        self.assertTrue(wait_for(lambda: "TLS: " in a.log_text() and reason in a.log_text(), 15),
                        a.log_text())
        # What the window's status panel shows (a headless run logs it).
        self.assertTrue(wait_for(lambda: "The certificate of 127.0.0.1 was refused" in
                                 a.log_text(), 5), a.log_text())
        time.sleep(1)
        self.assertNotIn("Registered as", a.log_text())
        a.stop()
        # Nothing went to the server another way, and nothing readable at all.
        self.assertEqual(self.capture.count("udp", k.port, a.sip_port), 0)
        self.assertEqual(self.capture.count("tcp", k.port), 0)
        self.assertEqual(self.capture.plaintext_sip({k.port, k.tls_port}), [])

    def test_a_server_not_signed_by_a_trusted_ca_is_refused(self):
        self.refused(self.kamailio(), None, "certificate")

    def test_a_certificate_for_another_host_is_refused(self):
        self.refused(self.kamailio("DNS:pbx.example"), self.ca[0], "mismatch")


if __name__ == "__main__":
    run_tests({"test_tls_registration_and_call_with_nothing_in_the_clear": "kamailio-tls",
               "test_a_server_not_signed_by_a_trusted_ca_is_refused": "kamailio-tls",
               "test_a_certificate_for_another_host_is_refused": "kamailio-tls",
               "test_tcp_registration_and_call": "kamailio-tcp"})
