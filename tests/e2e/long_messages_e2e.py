#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Long SIP messages and NAT reports against a running quillet --headless profile:
- a 10 KB INVITE through many proxies is answered with every Via and Record-Route value
  as it was sent (the top Via stamped with received and rport), and the BYE of the call
  carries the whole recorded route;
- a registrar (SIPp) that reports another address in its Via (received, rport) makes the
  program register once more from that address, and not again."""
import os
import re
import socket
import sys
import time

from e2e_support import LabCase, run_tests, take_binary_argument, wait_for

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sip"))
import sipharness as h  # noqa: E402

take_binary_argument()

SDP = ("v=0\r\no=t 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
       "m=audio 40000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n")


def headers_named(message, *names):
    """The values of every header line of `message` with one of these names, in order."""
    head = message.split("\r\n\r\n", 1)[0].split("\r\n")[1:]
    return [line.split(":", 1)[1].lstrip() for line in head
            if line.split(":", 1)[0].strip().lower() in names]


class LongMessagesTest(LabCase):
    prefix = "quillet-long-"

    def setUp(self):
        super().setUp()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.me = self.sock.getsockname()[1]
        self.cleanup.append(self.sock.close)

    def receive(self, seconds, until):
        """Datagrams received within `seconds`, until one satisfies `until`."""
        got = []
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                data, _ = self.sock.recvfrom(65536)
            except socket.timeout:
                break
            got.append(data.decode("utf-8", "replace"))
            if until(got[-1]):
                break
        return got

    def long_invite(self, port):
        """A 10 KB INVITE from this socket as if through 20 proxies; answers the text, its
        Via values as the answers must echo them, and its Record-Route values. The first
        route points back here, so that the program's BYE comes to this socket."""
        vias = ["SIP/2.0/UDP 192.0.2.44:5099;rport;branch=z9hG4bK-long-top"]
        vias += ["SIP/2.0/UDP proxy%d.example.net:5060;branch=z9hG4bK-%d-%s;received=198.51.100.%d"
                 % (i, i, "v" * 300, i) for i in range(20)]
        routes = ["<sip:127.0.0.1:%d;lr;ftag=%s>" % (self.me, "a" * 400)]
        routes += ["<sip:rr%d.example.net;lr;x=%s>" % (i, chr(ord("b") + i) * 300)
                   for i in range(8)]
        routes.append("<sip:rr8.example.net;lr>, <sip:rr9.example.net;lr;y=%s>" % ("z" * 300))
        call_id = "long-%d@192.0.2.44" % time.time_ns()
        lines = (["INVITE sip:quillet@127.0.0.1:%d SIP/2.0" % port] +
                 ["Via: " + v for v in vias] + ["Record-Route: " + r for r in routes] +
                 ["From: <sip:long@192.0.2.44>;tag=l1", "To: <sip:quillet@127.0.0.1:%d>" % port,
                  "Call-ID: " + call_id, "CSeq: 1 INVITE", "Max-Forwards: 50",
                  "Contact: <sip:long@127.0.0.1:%d>" % self.me, "Answer-Mode: Auto",
                  "Content-Type: application/sdp", "Content-Length: %d" % len(SDP)])
        text = "\r\n".join(lines) + "\r\n\r\n" + SDP
        stamped = vias[0].replace(";rport;", ";rport=%d;" % self.me) + ";received=127.0.0.1"
        return text, [stamped] + vias[1:], routes, call_id

    def test_long_invite_is_answered_with_its_vias_and_routes_whole(self):
        q = self.quillet("quillet", self.silence_file)
        q.start()
        invite, vias, routes, call_id = self.long_invite(q.sip_port)
        self.assertGreater(len(invite), 10000)
        self.sock.sendto(invite.encode(), ("127.0.0.1", q.sip_port))
        answers = self.receive(8, lambda m: m.startswith("SIP/2.0 200"))
        self.assertTrue(answers and answers[-1].startswith("SIP/2.0 200"),
                        ([a.split("\r\n")[0] for a in answers], q.log_text()[-3000:]))
        for answer in answers:
            first = answer.split("\r\n")[0]
            self.assertEqual(headers_named(answer, "via", "v"), vias, first)
            self.assertEqual(headers_named(answer, "record-route"), routes, first)
        ok = answers[-1]
        to = headers_named(ok, "to", "t")[0]
        ack = "\r\n".join([
            "ACK sip:quillet@127.0.0.1:%d SIP/2.0" % q.sip_port,
            "Via: SIP/2.0/UDP 127.0.0.1:%d;branch=z9hG4bK-long-ack" % self.me,
            "From: <sip:long@192.0.2.44>;tag=l1", "To: " + to, "Call-ID: " + call_id,
            "CSeq: 1 ACK", "Max-Forwards: 70", "Content-Length: 0", "", ""])
        self.sock.sendto(ack.encode(), ("127.0.0.1", q.sip_port))
        self.assertTrue(wait_for(lambda: "The call was started" in q.log_text(), 5),
                        q.log_text()[-3000:])

        # The program ends the call: its BYE follows the recorded route, whole.
        self.assertEqual(q.run("-hangup"), 0)
        got = self.receive(8, lambda m: m.startswith("BYE "))
        byes = [m for m in got if m.startswith("BYE ")]
        self.assertTrue(byes, [m.split("\r\n")[0] for m in got])
        bye = byes[0]
        self.assertTrue(bye.startswith("BYE sip:long@127.0.0.1:%d SIP/2.0\r\n" % self.me),
                        bye.split("\r\n")[0])
        self.assertEqual(headers_named(bye, "route"), [",".join(routes)])
        bye_vias = headers_named(bye, "via", "v")
        reply = "\r\n".join(["SIP/2.0 200 OK"] + ["Via: " + v for v in bye_vias] + [
            "From: " + headers_named(bye, "from", "f")[0], "To: " + headers_named(bye, "to", "t")[0],
            "Call-ID: " + call_id, "CSeq: " + headers_named(bye, "cseq")[0], "Content-Length: 0",
            "", ""])
        self.sock.sendto(reply.encode(), ("127.0.0.1", q.sip_port))
        self.assertTrue(wait_for(lambda: "The call was stopped" in q.log_text(), 5))
        self.assertIsNone(q.process.poll())
        print("a %d-byte INVITE: %d answers with %d Vias and %d Record-Routes whole; the BYE "
              "carried a %d-byte Route" % (len(invite), len(answers), len(vias), len(routes),
                                           len(",".join(routes))))

    def test_registrar_reported_address_is_registered_once(self):
        received, rport = "203.0.113.50", 40123
        registrar = h.Sipp(self.dir, "uas_registrar_rport.xml", name="registrar", timeout=30,
                           subs={"received": received, "received_re": re.escape(received),
                                 "rport": rport})
        self.cleanup.append(registrar.stop)
        # The first REGISTER must find SIPp listening (a lost one would be resent 7 s later).
        self.assertTrue(wait_for(lambda: not h._bindable(registrar.port), 10), registrar.messages())
        q = self.quillet("quillet", self.silence_file, {"DefaultLine": {
            "Proxy": "127.0.0.1:%d" % registrar.port}})
        q.start()
        rc = registrar.wait(30)
        sent = [e for e in h.trace_entries(os.path.join(q.home, "Logs")) if e[0] == "sent" and
                e[2].startswith("REGISTER ")]
        self.assertEqual(rc, 0, registrar.messages()[-4000:])
        self.assertEqual(len(sent), 2, [s[2] for s in sent])
        self.assertIn("Contact: <sip:quillet@127.0.0.1:%d>" % q.sip_port, sent[0][2])
        self.assertIn("Contact: <sip:quillet@%s:%d>" % (received, rport), sent[1][2])
        line = "SIP Public IP is: %s:%d (from the registrar's Via)" % (received, rport)
        self.assertTrue(wait_for(lambda: line in q.log_text(), 2), q.log_text()[-3000:])
        self.assertEqual(q.log_text().count(line), 1)
        self.assertIsNone(q.process.poll())


if __name__ == "__main__":
    run_tests({})
