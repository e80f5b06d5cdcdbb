#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""SIP over TCP against a running quillet --headless profile:
- SIPp calls the profile's TCP port (-t t1): answered, OPTIONS, REFER refused, re-INVITE
  and BYE on the one connection, every answer naming TCP;
- the profile, its line on TCP, calls a SIPp that answers over TCP and hangs up;
- a 40 KB INVITE through many proxies, sent on one connection, is answered with every Via
  and Record-Route line as it was sent, and the BYE of the call carries the whole route.
(Debian's SIPp is built without TLS: "-t l1" says "To use a TLS transport you must compile
SIPp with OpenSSL".)"""
import os
import re
import socket
import time

from e2e_support import LabCase, run_tests, take_binary_argument, wait_for
import sipharness as h  # noqa: E402 (on the path that e2e_support sets)

take_binary_argument()

SDP = ("v=0\r\no=t 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
       "m=audio 40000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n")
SCENARIOS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sip", "scenarios")


def header_lines(message, *names):
    """The header lines (bytes, whole) of `message` with one of these names, in order."""
    head = message.split(b"\r\n\r\n", 1)[0].split(b"\r\n")[1:]
    return [line for line in head if line.split(b":", 1)[0].strip().lower() in names]


class Stream:
    """One TCP connection to the profile that reads whole SIP messages (Content-Length)."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.port = self.sock.getsockname()[1]
        self.buffer = b""

    def send(self, data):
        self.sock.sendall(data)

    def message(self, seconds):
        """The next message, or None after `seconds`."""
        deadline = time.monotonic() + seconds
        while True:
            end = self.buffer.find(b"\r\n\r\n")
            if end >= 0:
                length = re.search(rb"(?im)^(?:content-length|l)\s*:\s*(\d+)", self.buffer[:end])
                total = end + 4 + (int(length.group(1)) if length else 0)
                if len(self.buffer) >= total:
                    message, self.buffer = self.buffer[:total], self.buffer[total:]
                    return message
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                return None
            if not data:
                return None
            self.buffer += data

    def until(self, seconds, done):
        """Messages until one satisfies `done` (or `seconds` pass)."""
        got = []
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            message = self.message(deadline - time.monotonic())
            if message is None:
                break
            got.append(message)
            if done(message):
                break
        return got

    def close(self):
        self.sock.close()

    stop = close


class StreamsTest(LabCase):
    prefix = "quillet-streams-"

    def sipp(self, scenario, remote=None, service="quillet", subs=None):
        """A SIPp over TCP (one connection) running `scenario` (a path or a name under
        tests/sip/scenarios)."""
        s = h.Sipp(self.dir, scenario, remote, extra=["-t", "t1", "-s", service], subs=subs,
                   timeout=30)
        self.cleanup.append(s.stop)
        return s

    def sipp_ok(self, s, q):
        rc = s.wait(40)
        self.assertEqual(rc, 0, s.messages()[-4000:] + q.log_text()[-2000:])
        self.assertIn("TCP message received", s.messages())
        self.assertNotIn("UDP message", s.messages())

    def test_sipp_calls_the_tcp_port_with_requests_inside_the_call(self):
        q = self.quillet("quillet", self.silence_file)
        q.start()
        # uac_call.xml with its Contact check asking for the transport parameter.
        with open(os.path.join(SCENARIOS, "uac_call.xml")) as f:
            text = f.read()
        plain = "&lt;sip:[^@]+@127.0.0.1:[0-9]+&gt;"
        self.assertIn(plain, text)
        scenario = os.path.join(self.dir, "uac_call_tcp.xml")
        with open(scenario, "w") as f:
            f.write(text.replace(plain, "&lt;sip:[^@]+@127.0.0.1:[0-9]+;transport=tcp&gt;"))
        s = self.sipp(scenario, "127.0.0.1:%d" % q.sip_port, subs={"hold": 1000})
        self.sipp_ok(s, q)
        self.assertTrue(wait_for(lambda: "The call was stopped" in q.log_text(), 5))
        trace = q.trace_text()
        self.assertRegex(trace, r"SIP/2.0 200 OK\r?\nVia: SIP/2.0/TCP ")
        self.assertIn("Contact: <sip:quillet@127.0.0.1:%d;transport=tcp>" % q.sip_port, trace)

    def test_quillet_on_a_tcp_line_calls_sipp(self):
        s = self.sipp("uas_answer.xml")
        self.assertTrue(wait_for(lambda: not h._bindable(s.port), 10), s.messages())
        q = self.quillet("quillet", self.silence_file, {"DefaultLine": {"Transport": "tcp"}})
        q.start("-dial", "sip:sipp@127.0.0.1:%d" % s.port)
        self.assertTrue(wait_for(lambda: "The call was started" in q.log_text(), 10),
                        q.log_text() + s.messages()[-3000:])
        time.sleep(1)
        self.assertEqual(q.run("-hangup"), 0)
        self.sipp_ok(s, q)
        trace = q.trace_text()
        self.assertRegex(trace, r"INVITE sip:sipp@127.0.0.1:%d SIP/2.0\r?\nVia: SIP/2.0/TCP "
                         % s.port)
        self.assertIn("Contact: <sip:quillet@127.0.0.1:%d;transport=tcp>" % q.sip_port, trace)
        self.assertNotIn("SIP/2.0/UDP ", trace)

    def long_invite(self, port, stream):
        """A 40 KB INVITE as if through 60 proxies (its top Via names this connection):
        (text, Via lines, Record-Route lines, Call-ID). The first route points back at
        this connection's address, so that the program's BYE comes over it."""
        vias = ["SIP/2.0/TCP 127.0.0.1:%d;branch=z9hG4bK-long-top" % stream.port]
        vias += ["SIP/2.0/TCP proxy%d.example.net:5060;branch=z9hG4bK-%d-%s;received=198.51.100.%d"
                 % (i, i, "v" * 300, i) for i in range(60)]
        routes = ["<sip:127.0.0.1:%d;transport=tcp;lr;ftag=%s>" % (stream.port, "a" * 400)]
        routes += ["<sip:rr%d.example.net;transport=tcp;lr;x=%s>"
                   % (i, chr(ord("b") + i % 24) * 420) for i in range(40)]
        routes.append("<sip:rr40.example.net;lr>, <sip:rr41.example.net;lr;y=%s>" % ("z" * 300))
        call_id = "long-tcp-%d@127.0.0.1" % time.time_ns()
        lines = (["INVITE sip:quillet@127.0.0.1:%d;transport=tcp SIP/2.0" % port] +
                 ["Via: " + v for v in vias] + ["Record-Route: " + r for r in routes] +
                 ["From: <sip:long@127.0.0.1>;tag=l1",
                  "To: <sip:quillet@127.0.0.1:%d>" % port,
                  "Call-ID: " + call_id, "CSeq: 1 INVITE", "Max-Forwards: 10",
                  "Contact: <sip:long@127.0.0.1:%d;transport=tcp>" % stream.port,
                  "Answer-Mode: Auto", "Content-Type: application/sdp",
                  "Content-Length: %d" % len(SDP)])
        text = ("\r\n".join(lines) + "\r\n\r\n" + SDP).encode()
        via_lines = [("Via: " + v).encode() for v in vias]
        route_lines = [("Record-Route: " + r).encode() for r in routes]
        return text, via_lines, route_lines, call_id

    def test_long_invite_over_tcp_is_answered_with_its_vias_and_routes_whole(self):
        q = self.quillet("quillet", self.silence_file)
        q.start()
        stream = self.owned(Stream(q.sip_port))
        invite, vias, routes, call_id = self.long_invite(q.sip_port, stream)
        self.assertGreater(len(invite), 40000)
        stream.send(invite)
        answers = stream.until(8, lambda m: m.startswith(b"SIP/2.0 200"))
        self.assertTrue(answers and answers[-1].startswith(b"SIP/2.0 200"),
                        ([a.split(b"\r\n")[0] for a in answers], q.log_text()[-3000:]))
        for answer in answers:
            first = answer.split(b"\r\n")[0]
            self.assertEqual(header_lines(answer, b"via", b"v"), vias, first)
            self.assertEqual(header_lines(answer, b"record-route"), routes, first)
        ok = answers[-1].decode()
        to = re.search(r"(?m)^To: (.*)\r$", ok).group(1)
        stream.send(("\r\n".join([
            "ACK sip:quillet@127.0.0.1:%d;transport=tcp SIP/2.0" % q.sip_port,
            "Via: SIP/2.0/TCP 127.0.0.1:%d;branch=z9hG4bK-long-ack" % stream.port,
            "From: <sip:long@127.0.0.1>;tag=l1", "To: " + to, "Call-ID: " + call_id,
            "CSeq: 1 ACK", "Max-Forwards: 70", "Content-Length: 0", "", ""])).encode())
        self.assertTrue(wait_for(lambda: "The call was started" in q.log_text(), 5),
                        q.log_text()[-3000:])

        # The program ends the call: its BYE follows the recorded route, whole, on this
        # connection.
        self.assertEqual(q.run("-hangup"), 0)
        got = stream.until(8, lambda m: m.startswith(b"BYE "))
        byes = [m for m in got if m.startswith(b"BYE ")]
        self.assertTrue(byes, ([m.split(b"\r\n")[0] for m in got], q.log_text()[-3000:]))
        bye = byes[0]
        self.assertTrue(bye.startswith(b"BYE sip:long@127.0.0.1:%d;transport=tcp SIP/2.0\r\n"
                                       % stream.port), bye.split(b"\r\n")[0])
        route = b",".join(r[len(b"Record-Route: "):] for r in routes)
        self.assertEqual([line.split(b":", 1)[1].lstrip() for line in header_lines(bye, b"route")],
                         [route])
        bye_text = bye.decode()

        def value(name):
            return re.search(r"(?mi)^%s: (.*)\r$" % name, bye_text).group(1)

        stream.send(("\r\n".join(
            ["SIP/2.0 200 OK"] + [line.decode() for line in header_lines(bye, b"via", b"v")] +
            ["From: " + value("From"), "To: " + value("To"), "Call-ID: " + call_id,
             "CSeq: " + value("CSeq"), "Content-Length: 0", "", ""])).encode())
        self.assertTrue(wait_for(lambda: "The call was stopped" in q.log_text(), 5))
        self.assertIsNone(q.process.poll())
        print("a %d-byte INVITE over TCP: %d answers with %d Vias and %d Record-Routes whole; "
              "the BYE carried a %d-byte Route" % (len(invite), len(answers), len(vias),
                                                   len(routes), len(route)))


if __name__ == "__main__":
    run_tests({"test_sipp_calls_the_tcp_port_with_requests_inside_the_call": "sipp-tcp",
               "test_quillet_on_a_tcp_line_calls_sipp": "sipp-tcp",
               "test_long_invite_over_tcp_is_answered_with_its_vias_and_routes_whole": "sipp-tcp"})
