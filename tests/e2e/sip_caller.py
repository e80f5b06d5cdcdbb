# SPDX-License-Identifier: Apache-2.0
"""A small SIP user agent over UDP on loopback for the end-to-end tests: places INVITEs,
cancels them, acknowledges and ends calls, answers what the far end sends, and sends
OPTIONS. It speaks just enough SIP to drive quillet --headless from outside."""
import random
import re
import socket
import time


def _branch():
    return "z9hG4bK%08x" % random.getrandbits(32)


def _tag():
    return "%08x" % random.getrandbits(32)


class Message:
    def __init__(self, text):
        self.text = text
        head = text.split("\r\n\r\n", 1)[0]
        lines = head.split("\r\n")
        self.start = lines[0]
        self.headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            self.headers.setdefault(name.strip().lower(), value.strip())
        m = re.match(r"SIP/2\.0 (\d{3})", self.start)
        self.status = int(m.group(1)) if m else 0
        self.method = "" if m else self.start.split(" ", 1)[0]

    def header(self, name):
        return self.headers.get(name.lower(), "")

    @property
    def cseq_method(self):
        return self.header("CSeq").split(" ")[-1]


class Call:
    def __init__(self, caller, to_uri):
        self.caller = caller
        self.call_id = "%s@127.0.0.1" % _tag()
        self.from_tag = _tag()
        self.to_uri = to_uri
        self.to_tag = ""
        self.cseq = 1
        self.branch = _branch()
        self.responses = []


class Caller:
    """One UDP socket on 127.0.0.1 with a random port; `port` is the far end's SIP port."""

    def __init__(self, port, user="door", target_user="bob", host="127.0.0.1"):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((host, 0))
        self.host = host
        self.local_port = self.sock.getsockname()[1]
        self.far = (host, port)
        self.user = user
        self.target_user = target_user
        self.requests = []  # requests the far end sent (BYE...)

    def close(self):
        self.sock.close()

    def _send(self, text):
        self.sock.sendto(text.encode(), self.far)

    def _request(self, method, call, cseq, branch, to_tag="", body="", extra="",
                 content_type="application/sdp"):
        uri = call.to_uri
        to = "<%s>" % uri + (";tag=%s" % to_tag if to_tag else "")
        lines = [
            "%s %s SIP/2.0" % (method, uri),
            "Via: SIP/2.0/UDP %s:%d;branch=%s;rport" % (self.host, self.local_port, branch),
            "Max-Forwards: 70",
            "From: \"Door\" <sip:%s@%s:%d>;tag=%s" % (self.user, self.host, self.local_port,
                                                     call.from_tag),
            "To: %s" % to,
            "Call-ID: %s" % call.call_id,
            "CSeq: %d %s" % (cseq, method),
            "Contact: <sip:%s@%s:%d>" % (self.user, self.host, self.local_port),
        ]
        if extra:
            lines.append(extra)
        if body:
            lines.append("Content-Type: " + content_type)
        lines.append("Content-Length: %d" % len(body.encode()))
        self._send("\r\n".join(lines) + "\r\n\r\n" + body)

    def sdp(self, rtp_port):
        return ("v=0\r\no=door 1 1 IN IP4 %s\r\ns=-\r\nc=IN IP4 %s\r\nt=0 0\r\n"
                "m=audio %d RTP/AVP 0 101\r\na=rtpmap:0 PCMU/8000\r\n"
                "a=rtpmap:101 telephone-event/8000\r\na=sendrecv\r\n"
                % (self.host, self.host, rtp_port))

    def invite(self, rtp_port=40000, intercom=True):
        call = Call(self, "sip:%s@%s:%d" % (self.target_user, self.far[0], self.far[1]))
        self._request("INVITE", call, call.cseq, call.branch, body=self.sdp(rtp_port),
                      extra="Answer-Mode: Auto" if intercom else "")
        return call

    def cancel(self, call):
        self._request("CANCEL", call, call.cseq, call.branch)

    def ack(self, call):
        self._request("ACK", call, call.cseq, _branch(), to_tag=call.to_tag)

    def bye(self, call):
        call.cseq += 1
        self._request("BYE", call, call.cseq, _branch(), to_tag=call.to_tag)

    def info_digit(self, call, signal):
        """An in-dialog INFO carrying one digit the way SIP phones relay DTMF."""
        call.cseq += 1
        self._request("INFO", call, call.cseq, _branch(), to_tag=call.to_tag,
                      body="Signal=%s\r\nDuration=160\r\n" % signal,
                      content_type="application/dtmf-relay")

    def options(self):
        call = Call(self, "sip:%s@%s:%d" % (self.target_user, self.far[0], self.far[1]))
        self._request("OPTIONS", call, 1, call.branch)
        return call

    def _answer(self, request):
        """200 to a request of the far end (BYE, ...), echoing its identity."""
        h = request.headers
        self._send("SIP/2.0 200 OK\r\nVia: %s\r\nFrom: %s\r\nTo: %s\r\nCall-ID: %s\r\n"
                   "CSeq: %s\r\nContent-Length: 0\r\n\r\n"
                   % (h.get("via", ""), h.get("from", ""), h.get("to", ""),
                      h.get("call-id", ""), h.get("cseq", "")))

    def receive(self, timeout):
        """The next message (None on time-out); requests are answered 200 and kept."""
        self.sock.settimeout(max(timeout, 0.001))
        try:
            data, _ = self.sock.recvfrom(65536)
        except socket.timeout:
            return None
        message = Message(data.decode(errors="replace"))
        if message.method:
            self.requests.append(message)
            if message.method not in ("ACK",):
                self._answer(message)
        return message

    def drain(self, seconds=0.0):
        end = time.monotonic() + seconds
        while self.receive(max(0.0, end - time.monotonic())) is not None:
            pass

    def wait_response(self, call, statuses, timeout=10.0, method="INVITE"):
        """Waits for a response to the call's `method` whose status is in `statuses`
        (a range or list); answers it or None."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            message = self.receive(end - time.monotonic())
            if message is None or not message.status:
                continue
            if message.header("Call-ID") != call.call_id or message.cseq_method != method:
                continue
            call.responses.append(message.status)
            m = re.search(r";\s*tag=([^;>\s]+)", message.header("To"))
            if m:
                call.to_tag = m.group(1)
            if message.status in statuses:
                return message
        return None

    def wait_request(self, method, call=None, timeout=10.0):
        end = time.monotonic() + timeout
        while True:
            for message in self.requests:
                if message.method == method and (call is None or
                                                 message.header("Call-ID") == call.call_id):
                    return message
            left = end - time.monotonic()
            if left <= 0:
                return None
            self.receive(left)
