#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Hostile and odd SIP messages against a running quillet --headless profile: each is
answered or dropped the way a SIP user agent must (refused 400, 416, 420, 415 or 505,
dropped when nothing can be answered, handled when it is merely unusual), the program
stays up, and a real intercom call works afterwards.

The messages are this test's own, written after the cases of the SIP torture test
messages document (RFC 4475) and adapted to one user agent on loopback."""
import socket
import time

from e2e_support import LabCase, run_tests, take_binary_argument, wait_for

take_binary_argument()

DROP = "drop"      # no answer at all
ANSWER = "answer"  # some final answer that is not a refusal of the message's form
REFUSALS = {400, 415, 416, 420, 505}

SDP = ("v=0\r\no=t 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
       "m=audio 40000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n")


def msg(lines, body=""):
    """A message from its lines; "{len}" in a line becomes the body's length."""
    text = "\r\n".join(lines).replace("{len}", str(len(body.encode())))
    return text + "\r\n\r\n" + body


def via(n):
    return "Via: SIP/2.0/UDP 127.0.0.1:{M};branch=z9hG4bK-t%d" % n


def base(n, method="OPTIONS", uri="sip:nobody@127.0.0.1:{P}", cseq=None, extra=()):
    return ["%s %s SIP/2.0" % (method, uri), via(n),
            "From: <sip:torture@127.0.0.1:{M}>;tag=t%d" % n,
            "To: <sip:nobody@127.0.0.1:{P}>", "Call-ID: torture-%d-{RUN}" % n,
            "CSeq: %s" % (cseq or "1 " + method), "Max-Forwards: 70", *extra]


# (name, datagram, expected: a status, DROP or ANSWER)
CASES = [
    # Valid but unusual messages: the parser must take them.
    ("short tortuous INVITE (compact and folded headers, odd spacing, escapes)", msg([
        "INVITE sip:nobody@127.0.0.1:{P};unknownparam SIP/2.0",
        "TO :",
        " sip:nobody@127.0.0.1:{P} ;   tag    = 1918181833n",
        "from   : \"J Rosenberg \\\\\\\"\"       <sip:jdrosen@127.0.0.1:{M}>",
        "  ;",
        "  tag = 98asjd8",
        "MaX-fOrWaRdS: 0068",
        "Call-ID: wsinv.ndaksdj@192.0.2.1-{RUN}",
        "Content-Length   : {len}",
        "cseq: 0009",
        "  INVITE",
        "Via  : SIP  /   2.0",
        " /UDP",
        "    127.0.0.1:{M};branch=z9hG4bK-t1",
        "s :",
        "NewFangledHeader:   newfangled value",
        " continued newfangled value",
        "UnknownHeaderWithUnusualValue: ;;,,;;,;",
        "Content-Type: application/sdp",
        "Route:",
        " <sip:services.example.com;lr;unknownwith=value;unknown-no-value>",
        "v:  SIP  / 2.0  / TCP     spindle.example.com   ;",
        "  branch  =   z9hG4bK9ikj8  ,",
        " SIP  /    2.0   / UDP  192.168.255.111   ; branch=",
        " z9hG4bK30239",
        "m:\"Quoted string \\\"\\\"\" <sip:jdrosen@127.0.0.1:{M}> ; newparam =",
        "      newvalue ;",
        "  secondparam ; q = 0.33"], SDP), ANSWER),
    ("wide range of valid characters in a method name", msg(
        base(2, "!interesting-Method0123456789_*+`.%indeed'~",
             cseq="1 !interesting-Method0123456789_*+`.%indeed'~")), 501),
    ("escaped characters in the Request-URI user", msg(
        base(3, uri="sip:sips%3Auser%40example.com@127.0.0.1:{P}")), ANSWER),
    ("escaped nulls in URIs", msg(
        base(4, uri="sip:null-%00-null@127.0.0.1:{P}",
             extra=["Contact: <sip:%00@127.0.0.1:{M}>"])), ANSWER),
    ("an escaped method name is a method of its own", msg(
        base(5, "RE%47IST%45R", cseq="1 RE%47IST%45R")), 501),
    ("LWS between a display name and its angle bracket", msg(
        base(6)[:2] + ["From: caller<sip:caller@127.0.0.1:{M}>;tag=t6",
                       "To: \"nobody\"   <sip:nobody@127.0.0.1:{P}>"] + base(6)[4:]), ANSWER),
    ("long header values and a long Request-URI, read whole", msg(
        base(7, uri="sip:nobody@127.0.0.1:{P};" + "longparam=" + "x" * 300,
             extra=["Subject: " + "very long subject " * 40,
                    "X-Long: " + "a" * 1200,
                    "Contact: <sip:torture@127.0.0.1:{M};" + "p=" + "y" * 400 + ">"])), ANSWER),
    ("two requests in one datagram: only the first counts", msg(
        base(8, "REGISTER", "sip:127.0.0.1:{P}") + ["Content-Length: 0"]) + msg(
        base(108, "INVITE") + ["Content-Length: 0"]), 501),
    ("a semicolon-separated parameter in the user part", msg(
        base(9, uri="sip:user;par=u%40example.net@127.0.0.1:{P}")), ANSWER),
    ("Via headers of unusual transports", msg(
        [base(10)[0], "Via: SIP/2.0/SCTP 192.0.2.9;branch=z9hG4bK-sctp",
         "Via: SIP/2.0/TLS 192.0.2.8;branch=z9hG4bK-tls"] + base(10)[1:]), ANSWER),
    ("multipart/mixed INVITE body", msg(
        base(11, "INVITE") + ["Content-Type: multipart/mixed;boundary=7a9cbec02ceef655",
                              "Content-Length: {len}"],
        "--7a9cbec02ceef655\r\nContent-Type: text/plain\r\n\r\nsome text\r\n"
        "--7a9cbec02ceef655\r\nContent-Type: application/sdp\r\n\r\n" + SDP +
        "--7a9cbec02ceef655--\r\n"), ANSWER),
    ("an RFC 2543 style INVITE (no branch cookie, no Max-Forwards, no tags)", msg([
        "INVITE sip:nobody@127.0.0.1:{P} SIP/2.0", "Via: SIP/2.0/UDP 127.0.0.1:{M}",
        "From: <sip:torture@127.0.0.1:{M}>", "To: <sip:nobody@127.0.0.1:{P}>",
        "Call-ID: inv2543-{RUN}", "CSeq: 1 INVITE", "Content-Type: application/sdp",
        "Content-Length: {len}"], SDP), ANSWER),
    ("unknown URI schemes in From and To", msg(
        base(13)[:2] + ["From: <http://www.example.com>;tag=t13",
                        "To: <isbn:2983792873>"] + base(13)[4:]), ANSWER),
    ("Max-Forwards of zero at a user agent", msg(base(14)[:6] + ["Max-Forwards: 0"]), ANSWER),
    ("a response with an unusual reason phrase, to no request of ours", msg([
        "SIP/2.0 200 = 2**3 * 5**2 \u043d\u043e \u0441\u0442\u043e \u0434\u0435\u0432\u044f"
        "\u043d\u043e\u0441\u0442\u043e \u0434\u0435\u0432\u044f\u0442\u044c", via(15),
        "From: <sip:nobody@127.0.0.1:{P}>;tag=a", "To: <sip:torture@127.0.0.1:{M}>;tag=b",
        "Call-ID: unreason-{RUN}", "CSeq: 1 INVITE", "Content-Length: 0"]), DROP),
    ("a response without a reason phrase", msg([
        "SIP/2.0 100 ", via(16), "From: <sip:a@127.0.0.1>;tag=a", "To: <sip:b@127.0.0.1>",
        "Call-ID: noreason-{RUN}", "CSeq: 1 INVITE", "Content-Length: 0"]), DROP),
    # Malformed messages: refused, or dropped where no answer can be made.
    ("Content-Length larger than the message", msg(
        base(17, "INVITE") + ["Content-Type: application/sdp", "Content-Length: 9999"], SDP), 400),
    ("negative Content-Length", msg(
        base(18, "INVITE") + ["Content-Type: application/sdp", "Content-Length: -999"], SDP), 400),
    ("overlarge scalar values (CSeq beyond 2^31)", msg(
        base(19, "REGISTER", "sip:127.0.0.1:{P}", cseq="36893488147419103232 REGISTER") +
        ["Expires: 1" + "0" * 20, "Content-Length: 0"]), 400),
    ("overlarge response code", msg([
        "SIP/2.0 4294967301 better not break the receiver", via(20),
        "From: <sip:a@127.0.0.1>;tag=a", "To: <sip:b@127.0.0.1>;tag=b",
        "Call-ID: bigcode-{RUN}", "CSeq: 1 INVITE", "Content-Length: 0"]), DROP),
    ("unterminated quoted string in a display name", msg(
        base(21)[:3] + ["To: \"Mr. J. User <sip:nobody@127.0.0.1:{P}>"] + base(21)[4:]), 400),
    ("Request-URI in angle brackets", msg(
        base(22, "INVITE", "<sip:nobody@127.0.0.1:{P}>") + ["Content-Length: 0"]), 400),
    ("several blanks between the parts of the request line", msg(
        ["OPTIONS  sip:nobody@127.0.0.1:{P}   SIP/2.0"] + base(23)[1:]), 400),
    ("a blank after the version of the request line", msg(
        ["OPTIONS sip:nobody@127.0.0.1:{P} SIP/2.0 "] + base(24)[1:]), 400),
    ("an unknown protocol version", msg(
        ["INVITE sip:nobody@127.0.0.1:{P} SIP/7.0"] + base(25, "INVITE")[1:] +
        ["Content-Length: 0"]), 505),
    ("CSeq method differs from the request's", msg(
        base(26, "OPTIONS", cseq="1 INVITE")), 400),
    ("unknown method with a CSeq of another method", msg(
        base(27, "NEWMETHOD", cseq="1 INVITE")), 400),
    ("missing Call-ID, From and To", msg(
        ["OPTIONS sip:nobody@127.0.0.1:{P} SIP/2.0", via(28), "CSeq: 1 OPTIONS",
         "Max-Forwards: 70"]), 400),
    ("INVITE without a Via: nowhere to answer", msg(
        [l for l in base(29, "INVITE", "sip:quillet@127.0.0.1:{P}") if not l.startswith("Via")] +
        ["Answer-Mode: Auto", "Content-Type: application/sdp", "Content-Length: {len}"], SDP),
     DROP),
    ("INVITE without a From", msg(
        [l for l in base(30, "INVITE", "sip:quillet@127.0.0.1:{P}") if not l.startswith("From")] +
        ["Answer-Mode: Auto", "Content-Type: application/sdp", "Content-Length: {len}"], SDP), 400),
    ("INVITE without a Call-ID", msg(
        [l for l in base(31, "INVITE", "sip:quillet@127.0.0.1:{P}") if not l.startswith("Call-ID")]
        + ["Answer-Mode: Auto", "Content-Type: application/sdp", "Content-Length: {len}"], SDP),
     400),
    ("INVITE without a CSeq", msg(
        [l for l in base(32, "INVITE", "sip:quillet@127.0.0.1:{P}") if not l.startswith("CSeq")] +
        ["Answer-Mode: Auto", "Content-Type: application/sdp", "Content-Length: {len}"], SDP), 400),
    # Requests this agent cannot serve.
    ("Request-URI of an unknown scheme", msg(
        base(33, uri="nobodyknowsthisscheme:totallyopaquecontent")), 416),
    ("Request-URI of a known but atypical scheme", msg(
        base(34, uri="soap.beep://192.0.2.103:3002")), 416),
    ("Require of an extension this agent lacks", msg(
        base(35, extra=["Require: nothingyoudoknow", "Proxy-Require: foo"])), 420),
    ("INVITE with a body type this agent cannot read", msg(
        base(36, "INVITE") + ["Content-Type: application/unknownformat",
                              "Content-Length: {len}"], "<audio> <pcmu port=\"443\"/> </audio>\r\n"),
     415),
    ("several values in single-value headers", msg(
        base(37)[:3] + ["To: sip:nobody@127.0.0.1:{P}, sip:k_user@127.0.0.1:{P}"] + base(37)[4:] +
        ["Call-ID: second-call-id-{RUN}"]), 400),
    ("several Content-Length values", msg(
        base(38, "INVITE") + ["Content-Type: application/sdp", "Content-Length: {len}",
                              "l: 3402"], SDP), 400),
    ("an ACK of nothing, malformed: never answered", msg(
        base(39, "ACK", cseq="1 INVITE")), DROP),
]


class TortureTest(LabCase):
    prefix = "quillet-torture-"

    def setUp(self):
        super().setUp()
        self.q = self.quillet("quillet", self.silence_file)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.me = self.sock.getsockname()[1]

    def tearDown(self):
        self.sock.close()
        super().tearDown()

    def exchange(self, text, seconds=0.6):
        """Sends one datagram and collects the status lines of what comes back."""
        self.sock.sendto(text.encode("utf-8"), ("127.0.0.1", self.q.sip_port))
        answers = []
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                data, _ = self.sock.recvfrom(65536)
            except socket.timeout:
                break
            answers.append(data.decode("utf-8", "replace"))
            status = int(answers[-1].split(" ", 2)[1]) if answers[-1].startswith("SIP/2.0 ") else 0
            if status >= 200:
                break
        return answers

    def fill(self, text, run):
        return text.replace("{P}", str(self.q.sip_port)).replace("{M}", str(self.me)).replace(
            "{RUN}", run)

    def test_torture_messages_then_a_real_call(self):
        self.q.start()
        run = str(time.time_ns())
        results = []
        for name, text, expected in CASES:
            answers = self.exchange(self.fill(text, run))
            finals = [a for a in answers if not a.startswith("SIP/2.0 1")]
            status = int(finals[0].split(" ", 2)[1]) if finals else None
            if expected == DROP:
                ok = not answers
            elif expected == ANSWER:
                ok = status is not None and status not in REFUSALS
            else:
                ok = status == expected
            tagged = all(";tag=" in next((l for l in a.split("\r\n") if l.lower().startswith(
                ("to:", "t:"))), "") for a in finals)
            results.append((ok and tagged, name, expected, status if answers else "no answer"))
            # An INVITE that was answered with a final response gets its ACK.
            if finals and " INVITE\r\n" in finals[0] and "CSeq:" in finals[0]:
                self.sock.sendto(self.ack_for(finals[0]).encode(), ("127.0.0.1", self.q.sip_port))
        width = max(len(r[1]) for r in results)
        for ok, name, expected, got in results:
            print("%-4s %-*s  want %-6s got %s" % ("ok" if ok else "FAIL", width, name, expected, got))
        self.assertTrue(all(r[0] for r in results), [r for r in results if not r[0]])
        self.assertIsNone(self.q.process.poll(), "quillet ended during the torture messages")
        self.assertNotIn("Unable to find address of server", self.q.log_text())
        self.real_call(run)

    def ack_for(self, response):
        lines = response.split("\r\n")
        keep = [l for l in lines if l.split(":", 1)[0].lower() in
                ("via", "v", "from", "f", "to", "t", "call-id", "i")]
        cseq = next(l for l in lines if l.lower().startswith("cseq:")).split(":", 1)[1].split()[0]
        return "\r\n".join(["ACK sip:quillet@127.0.0.1:%d SIP/2.0" % self.q.sip_port] + keep +
                           ["CSeq: %s ACK" % cseq, "Max-Forwards: 70", "Content-Length: 0", "", ""])

    def real_call(self, run):
        """An intercom call after the torture: answered, acknowledged, ended with BYE."""
        lines = base(90, "INVITE", "sip:quillet@127.0.0.1:{P}",
                     extra=["Contact: <sip:torture@127.0.0.1:{M}>", "Answer-Mode: Auto"])
        lines[3] = "To: <sip:quillet@127.0.0.1:{P}>"
        invite = self.fill(msg(lines + ["Content-Type: application/sdp", "Content-Length: {len}"],
                               SDP), run)
        answers = self.exchange(invite, 8.0)
        self.assertTrue(answers and answers[-1].startswith("SIP/2.0 200"),
                        "the call after the torture was not answered: %s\n%s" %
                        ([a.split("\r\n")[0] for a in answers], self.q.log_text()[-3000:]))
        ok = answers[-1]
        to = next(l for l in ok.split("\r\n") if l.startswith("To:"))
        self.sock.sendto(self.ack_for(ok).encode(), ("127.0.0.1", self.q.sip_port))
        self.assertTrue(wait_for(lambda: "The call was started" in self.q.log_text(), 5),
                        self.q.log_text()[-3000:])
        bye = self.fill(msg([l for l in lines if not l.startswith(("CSeq", "To", "Via"))] +
                            [via(91), to, "CSeq: 2 BYE", "Content-Length: 0"]), run)
        bye = bye.replace("INVITE sip:", "BYE sip:", 1).replace("Answer-Mode: Auto\r\n", "")
        answers = self.exchange(bye, 3.0)
        self.assertTrue(answers and answers[-1].startswith("SIP/2.0 200"),
                        [a.split("\r\n")[0] for a in answers])
        self.assertTrue(wait_for(lambda: "The call was stopped" in self.q.log_text(), 5))
        print("after %d torture messages: an intercom call was answered and ended" % len(CASES))


if __name__ == "__main__":
    run_tests({"test_torture_messages_then_a_real_call": "torture"})
