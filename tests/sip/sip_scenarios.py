#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""SIPp scenarios of our own against the engine (tests/sip/sip_peer) on loopback:
refusals, CANCEL, retransmissions, requests outside and inside calls,
outgoing calls with redirects, authentication, crossing CANCEL and time-out.
Usage: sip_scenarios.py PATH/TO/sip_peer [name-filter]"""

import contextlib
import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sipharness as h  # noqa: E402

PEER = os.path.abspath(sys.argv[1])
ONLY = sys.argv[2] if len(sys.argv) > 2 else ""
run = h.TestRun(ONLY, row="sipp")
scenario = run.scenario


def with_peer(**options):
    return run.with_peer(PEER, **options)


def target(peer, user="alice"):
    return "127.0.0.1:%d" % peer.port


def sipp_ok(sipp, timeout=30):
    rc = sipp.wait(timeout)
    return rc == 0, "rc=%s\n%s" % (rc, sipp.messages())


@with_peer()
def outside_dialog(d, peer):
    s = h.Sipp(d, "uac_out_of_dialog.xml", target(peer), extra=["-s", "alice"],
               subs={"status": 200, "check": "true"})
    ok, detail = sipp_ok(s)
    run.check("BYE for an unknown call and CANCEL for an unknown INVITE are answered 481; "
              "OPTIONS 200 with Allow, Supported: answermode and SDP", ok, detail)
    s = h.Sipp(d, "uac_out_of_dialog.xml", target(peer), extra=["-s", "nobody"],
               subs={"status": 404, "check": "false"}, name="options404")
    ok, detail = sipp_ok(s)
    run.check("OPTIONS for a user no line has is answered 404", ok, detail)


@with_peer()
def refused_invites(d, peer):
    s = h.Sipp(d, "uac_final.xml", target(peer), extra=["-s", "nobody"], subs={"status": 404})
    ok, detail = sipp_ok(s)
    run.check("INVITE for an unknown user is answered 404", ok, detail)
    s = h.Sipp(d, "uac_replaces.xml", target(peer), extra=["-s", "alice"],
               subs={"replaces": "nosuchcall@127.0.0.1;to-tag=1;from-tag=2"})
    ok, detail = sipp_ok(s)
    run.check("INVITE replacing an unknown call is answered 481", ok, detail)
    s = h.Sipp(d, "uac_nocodec.xml", target(peer), extra=["-s", "alice"])
    ok, detail = sipp_ok(s)
    run.check("INVITE whose offer has no common codec is answered 488 Not Acceptable Here",
              ok, detail)


@with_peer()
def replaces_names_a_whole_dialog(d, peer):
    first = h.Sipp(d, "uac_call.xml", target(peer), extra=["-s", "alice"],
                   subs={"hold": 3000}, name="first")
    connected = peer.wait_for("EVENT connected", 10)
    trace = first.messages()
    call_id = re.search(r"^Call-ID: *(\S+)", trace, re.M | re.I)
    # The answer's To tag is the peer's own: what a Replaces names as to-tag.
    ours = re.search(r"^To:[^\r\n]*;tag=([^;\s]+)", trace[trace.find("SIP/2.0 200"):], re.M | re.I)
    theirs = re.search(r"^From:[^\r\n]*;tag=([^;\s]+)", trace, re.M | re.I)
    results = []
    if connected and call_id and ours and theirs:
        for name, to_tag, from_tag in (("wrongto", "x" + ours.group(1), theirs.group(1)),
                                       ("wrongfrom", ours.group(1), "x" + theirs.group(1))):
            replaces = "%s;to-tag=%s;from-tag=%s" % (call_id.group(1), to_tag, from_tag)
            s = h.Sipp(d, "uac_replaces.xml", target(peer), extra=["-s", "alice"],
                       subs={"replaces": replaces}, name=name)
            results.append(sipp_ok(s))
    ok1, detail1 = sipp_ok(first)
    run.check("INVITE naming a call's Call-ID with a wrong to-tag or from-tag is answered 481 "
              "and the call goes on", len(results) == 2 and all(ok for ok, _ in results) and ok1,
              "\n".join(detail for _, detail in results) + detail1 + peer.output())


@with_peer()
def busy(d, peer):
    first = h.Sipp(d, "uac_call.xml", target(peer), extra=["-s", "alice"],
                   subs={"hold": 4000}, name="first")
    connected = peer.wait_for("EVENT connected", 10)
    second = h.Sipp(d, "uac_final.xml", target(peer), extra=["-s", "alice"],
                    subs={"status": 486}, name="second")
    ok2, detail2 = sipp_ok(second)
    logged = peer.wait_for(r"LOG E Busy - reject incoming call from: ", 5)
    ok1, detail1 = sipp_ok(first)
    run.check("an INVITE while the line is in a call is answered 486",
              connected is not None and ok2 and logged is not None, detail2 + peer.output())
    run.check("answered call: OPTIONS 200 with Contact, a REFER naming nobody 400 and "
              "the call goes on, re-INVITE 200 with SDP, BYE 200", ok1, detail1)
    ended = peer.wait_for("EVENT ended", 5)
    run.check("the far end's BYE ends the call with the Ended event", ended is not None,
              peer.output())


@with_peer(args=["--answer", "manual"])
def cancel_after_two_rings(d, peer):
    s = h.Sipp(d, "uac_cancel.xml", target(peer), extra=["-s", "alice"])
    ok, detail = sipp_ok(s)
    rings = peer.wait_for("EVENT ring 2 1", 2, from_start=True)
    ended = peer.wait_for("EVENT ended", 5)
    run.check("CANCEL after two rings: 200 for the CANCEL, 487 for the INVITE",
              ok and rings is not None and ended is not None, detail + peer.output())


@with_peer(args=["--answer", "reject"])
def hangup_while_ringing(d, peer):
    s = h.Sipp(d, "uac_final.xml", target(peer), extra=["-s", "alice"], subs={"status": 487})
    ok, detail = sipp_ok(s)
    run.check("HangUp during ringing gives the caller 487", ok, detail + peer.output())


class RawUac:
    """A hand-written caller on a UDP socket, for checks that need exact control over
    retransmissions."""

    def __init__(self, peer_port):
        import socket
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.dest = ("127.0.0.1", peer_port)
        self.call_id = "raw-%d@127.0.0.1" % time.time_ns()

    def request(self, method, branch, cseq_method=None, body="", extra=(), cseq=1):
        lines = ["%s sip:alice@127.0.0.1:%d SIP/2.0" % (method, self.dest[1]),
                 "Via: SIP/2.0/UDP 127.0.0.1:%d;branch=%s" % (self.port, branch),
                 "From: <sip:raw@127.0.0.1:%d>;tag=r1" % self.port,
                 "To: <sip:alice@127.0.0.1:%d>" % self.dest[1],
                 "Call-ID: " + self.call_id,
                 "CSeq: %d %s" % (cseq, cseq_method or method),
                 "Contact: <sip:raw@127.0.0.1:%d>" % self.port,
                 "Max-Forwards: 70"] + list(extra)
        if body:
            lines += ["Content-Type: application/sdp", "Content-Length: %d" % len(body), "", body]
        else:
            lines += ["Content-Length: 0", "", ""]
        return "\r\n".join(lines)

    def send(self, text):
        self.sock.sendto(text.encode(), self.dest)

    def responses(self, seconds):
        import socket
        out = []
        deadline = time.time() + seconds
        while time.time() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.time()))
            try:
                data, _ = self.sock.recvfrom(65536)
                out.append((time.time(), data.decode("utf-8", "replace")))
            except socket.timeout:
                break
        return out

    def close(self):
        self.sock.close()


SDP = ("v=0\r\no=raw 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
       "m=audio 40000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n")


@scenario
def retransmissions(d):
    with h.Peer(PEER, d, "a", "alice", args=["--answer", "manual"]) as peer, \
            contextlib.closing(RawUac(peer.port)) as uac:
        invite = uac.request("INVITE", "z9hG4bK-raw-1", body=SDP)
        uac.send(invite)
        first = [r for _, r in uac.responses(0.7) if r.startswith("SIP/2.0 180")]
        sent = time.time()
        uac.send(invite)
        again = uac.responses(0.3)
        cached = [t - sent for t, r in again if r.startswith("SIP/2.0 180") and r == first[0]]
        uac.send(uac.request("INVITE", "z9hG4bK-raw-loop", body=SDP))
        loop = [r for _, r in uac.responses(0.5) if r.startswith("SIP/2.0 482 Loop Detected")]
        uac.send(uac.request("CANCEL", "z9hG4bK-raw-1"))
        finals = [r.split("\r\n")[0] for _, r in uac.responses(1.0)
                  if not r.startswith("SIP/2.0 180")]
        uac.send(uac.request("ACK", "z9hG4bK-raw-1"))
        peer.pump(0.3)
        incoming = sum(1 for l in peer.lines if l == "LOG I Incoming SIP call")
        run.check("a retransmitted INVITE is answered from the cache with the same 180",
                  len(first) >= 1 and len(cached) >= 1 and cached[0] < 0.2 and incoming == 1,
                  "first=%d cached=%s incoming=%d\n%s" % (len(first), cached, incoming,
                                                          peer.output()))
        run.check("an INVITE of the same CSeq through another Via is answered 482", len(loop) == 1,
                  peer.output())
        run.check("CANCEL while ringing: 200 for the CANCEL, then 487 for the INVITE",
                  finals[:2] == ["SIP/2.0 200 OK", "SIP/2.0 487 Request Terminated"], str(finals))


def tag_of(name_addr):
    return name_addr.split(";tag=")[1].split(";")[0] if ";tag=" in name_addr else ""


def first_line(text):
    return text.split("\r\n")[0]


def to_tag(text):
    for line in text.split("\r\n"):
        if line.lower().startswith("to:") and ";tag=" in line:
            return line.split(";tag=")[1].split(";")[0]
    return ""


@scenario
def replaces_reusing_first_cseq(d):
    with h.Peer(PEER, d, "a", "alice") as peer, \
            contextlib.closing(RawUac(peer.port)) as first, \
            contextlib.closing(RawUac(peer.port)) as second:
        first.send(first.request("INVITE", "z9hG4bK-c1", body=SDP))
        answered = [r for _, r in first.responses(2.0) if r.startswith("SIP/2.0 200")]
        tag = to_tag(answered[0]) if answered else ""
        first.send(first.request("ACK", "z9hG4bK-c1-ack"))
        peer.wait_for("EVENT connected", 5)
        # A call of another Call-ID whose first INVITE has the same "1 INVITE" and comes
        # through another Via: it replaces the first call, it is no loop.
        replaces = "Replaces: %s;to-tag=%s;from-tag=r1" % (first.call_id, tag)
        second.send(second.request("INVITE", "z9hG4bK-c2", body=SDP, extra=[replaces]))
        finals = [first_line(r) for _, r in second.responses(2.0)
                  if not r.startswith("SIP/2.0 1")]
        second.send(second.request("ACK", "z9hG4bK-c2-ack"))
        byes = [r for _, r in first.responses(2.0) if r.startswith("BYE ")]
        run.check("an INVITE with Replaces reusing the replaced call's CSeq 1 is answered 200 "
                  "and the replaced call gets its BYE",
                  finals[:1] == ["SIP/2.0 200 OK"] and len(byes) >= 1,
                  "tag=%r finals=%s byes=%d\n%s" % (tag, finals, len(byes), peer.output()))


@scenario
def transferee(d):
    with h.Peer(PEER, d, "a", "alice") as peer:
        # Blind, then attended: the new call to the target replaces the transferor's, which
        # gets its BYE; an escaped Replaces in the Refer-To goes into the new INVITE.
        cases = [("target", "^INVITE sip:bob@", "",
                  "REFER in a call: 202, NOTIFY \"SIP/2.0 100 Trying\" at once, NOTIFY with "
                  "\"SIP/2.0 200 OK\" ending the subscription after the target answers (both "
                  "with a Contact), BYE to the transferor, and the call goes on with the target "
                  "until hang-up"),
                 ("attended", "Replaces: c1@host;to-tag=a;from-tag=b",
                  ";transport=udp?Replaces=c1%40host%3Bto-tag%3Da%3Bfrom-tag%3Db",
                  "REFER with Replaces in its Refer-To: the INVITE to the target carries it "
                  "unescaped")]
        for name, replaces, suffix, what in cases:
            target_sipp = h.Sipp(d, "uas_transfer_target.xml", name=name,
                                 subs={"replaces": replaces})
            refer_to = "<sip:bob@127.0.0.1:%d%s>" % (target_sipp.port, suffix)
            transferor = h.Sipp(d, "uac_transferor.xml", target(peer), extra=["-s", "alice"],
                                subs={"referto": refer_to, "frag": "200 OK"},
                                name="transferor-" + name)
            ok1, detail1 = sipp_ok(transferor)
            time.sleep(0.5)
            peer.send("hangup")
            ok2, detail2 = sipp_ok(target_sipp)
            run.check(what, ok1 and ok2, detail1 + detail2 + peer.output())
            peer.wait_for("EVENT ended", 5)

        # The target refuses: NOTIFY 503 and the call with the transferor goes on.
        busy_target = h.Sipp(d, "uas_final.xml", name="busy",
                             subs={"status": 486, "reason": "Busy Here"})
        refer_to = "<sip:bob@127.0.0.1:%d>" % busy_target.port
        transferor = h.Sipp(d, "uac_transferor_failed.xml", target(peer), extra=["-s", "alice"],
                            subs={"referto": refer_to, "frag": "503 Service Unavailable"},
                            name="transferor3")
        ok1, detail1 = sipp_ok(transferor)
        ok2, detail2 = sipp_ok(busy_target)
        run.check("a refused transfer: NOTIFY with \"SIP/2.0 503 Service Unavailable\" and the "
                  "call with the transferor goes on until its BYE", ok1 and ok2,
                  detail1 + detail2 + peer.output())


@scenario
def registrar_asks_for_longer_expiry(d):
    registrar = h.Sipp(d, "uas_registrar_423.xml", name="registrar423", timeout=20)
    # The first REGISTER must find SIPp listening (a lost one would be resent 7 s later).
    deadline = time.monotonic() + 10
    while h._bindable(registrar.port) and time.monotonic() < deadline:
        time.sleep(0.05)
    with h.Peer(PEER, d, "a", "alice",
                args=["--server", "127.0.0.1:%d" % registrar.port]) as peer:
        ok, detail = sipp_ok(registrar, 20)
        registered = peer.wait_for("LOG I Registered as: ", 5, from_start=True)
        run.check("a 423 with Min-Expires: 7200 is answered by a REGISTER asking for 7200 s, "
                  "which is accepted", ok and registered is not None, detail + peer.output())


@scenario
def blind_transferor(d):
    with h.Peer(PEER, d, "a", "alice") as peer:
        # The far end reports 180 first, which keeps the transfer waiting, then the outcome:
        # 200 ends the call with BYE; 486 fails the transfer and the call goes on.
        cases = [("200 OK", "blind transfer: REFER to the target, a NOTIFY of 180 keeps "
                  "waiting, one of 200 ends the call with BYE"),
                 ("486 Busy Here", "a NOTIFY of 486 fails the transfer and the call goes on "
                  "until hang-up")]
        for frag, what in cases:
            s = h.Sipp(d, "uas_transferee.xml", name="transferee-" + frag.split()[0],
                       subs={"referto": "&lt;sip:carol@127.0.0.1:5099&gt;", "frag": frag})
            peer.send("dial sipp@127.0.0.1:%d" % s.port)
            connected = peer.wait_for("EVENT connected", 10)
            peer.send("transfer carol@127.0.0.1:5099")
            succeeds = frag.startswith("200")
            ended = peer.wait_for("EVENT ended", 5 if succeeds else 3)
            if not succeeds:
                peer.send("hangup")
            ok, detail = sipp_ok(s)
            if not succeeds:
                peer.wait_for("EVENT ended", 5)
            run.check(what, connected is not None and ok and (ended is not None) == succeeds,
                      detail + peer.output())


def sipp_times(sipp, pattern):
    """When SIPp sent or received messages whose first line matches `pattern`: a list of
    (seconds of the day, "sent"/"received"), from its message trace."""
    import re
    return [(when, way) for when, way, line in sipp.message_times() if re.match(pattern, line)]


class RawAgent:
    """A hand-written user agent on a UDP socket that answers and sends requests of its
    own dialogs, for transfers whose steps SIPp cannot make (reading an escaped Replaces
    out of a Refer-To and calling with it)."""

    def __init__(self, user):
        import socket
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.user = user
        self.uri = "sip:%s@127.0.0.1:%d" % (user, self.port)
        self.seen = []

    @staticmethod
    def headers(text, name):
        out = []
        for line in text.split("\r\n")[1:]:
            if not line:
                break
            key, _, value = line.partition(":")
            if key.strip().lower() == name.lower():
                out.append(value.strip())
        return out

    @staticmethod
    def header(text, name):
        found = RawAgent.headers(text, name)
        return found[0] if found else ""

    def wait(self, first_line_start, seconds=10):
        """The next message whose first line starts so (others are kept in `seen`)."""
        import socket
        deadline = time.time() + seconds
        while time.time() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.time()))
            try:
                data, source = self.sock.recvfrom(65536)
            except socket.timeout:
                break
            text = data.decode("utf-8", "replace")
            self.seen.append(text)
            if text.startswith(first_line_start):
                return text, source
        return None, None

    def send(self, text, dest):
        self.sock.sendto(text.encode(), dest)

    def answer(self, first_line_start, seconds, body=""):
        """wait(), then 200 OK to what came: (the request or None, its source)."""
        request, source = self.wait(first_line_start, seconds)
        if request:
            self.respond(request, source, 200, "OK", body=body)
        return request, source

    def respond(self, request, source, status, reason, to_tag="", extra=(), body=""):
        to = self.header(request, "To")
        if to_tag and ";tag=" not in to:
            to += ";tag=" + to_tag
        lines = ["SIP/2.0 %d %s" % (status, reason)]
        lines += ["Via: " + v for v in self.headers(request, "Via")]
        lines += ["From: " + self.header(request, "From"), "To: " + to,
                  "Call-ID: " + self.header(request, "Call-ID"),
                  "CSeq: " + self.header(request, "CSeq"),
                  "Contact: <%s>" % self.uri] + list(extra)
        self.send(self.message(lines, body), source)

    @staticmethod
    def message(lines, body=""):
        if body:
            lines = lines + ["Content-Type: " + ("message/sipfrag" if body.startswith("SIP/")
                                                 else "application/sdp"),
                             "Content-Length: %d" % len(body), "", body]
        else:
            lines = lines + ["Content-Length: 0", "", ""]
        return "\r\n".join(lines)

    def request(self, method, uri, from_, to, call_id, cseq, extra=(), body=""):
        lines = ["%s %s SIP/2.0" % (method, uri),
                 "Via: SIP/2.0/UDP 127.0.0.1:%d;branch=z9hG4bK-%s-%d" % (self.port, method,
                                                                       time.time_ns()),
                 "From: " + from_, "To: " + to, "Call-ID: " + call_id,
                 "CSeq: %d %s" % (cseq, method), "Contact: <%s>" % self.uri,
                 "Max-Forwards: 70"] + list(extra)
        return self.message(lines, body)

    def sdp(self, version):
        return ("v=0\r\no=%s %d %d IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                "m=audio %d RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n" % (self.user, version, version,
                                                                 41000 + 2 * version))

    def close(self):
        self.sock.close()


def uri_of(name_addr):
    return name_addr.split("<", 1)[1].split(">", 1)[0] if "<" in name_addr else name_addr


@scenario
def join_same_line(d):
    """Two calls of one line joined: the far end of the first is sent a REFER whose
    Refer-To names the far end of the second with the second dialog escaped into a
    Replaces; it calls there with that Replaces (CSeq 1, as most phones do), and the
    target (our engine too) swaps its call over to it."""
    import urllib.parse
    trace = os.path.join(d, "trace-q")
    with h.Peer(PEER, d, "p", "alice", args=["--line2", "alice", "--signalling-only"]) as peer, \
            h.Peer(PEER, d, "q", "carol",
                   args=["--signalling-only", "--trace", trace]) as target_peer, \
            contextlib.closing(RawAgent("xavier")) as party:
        peer.send("dial %s" % party.uri.replace("sip:", ""))
        invite, source = party.wait("INVITE ")
        party.respond(invite, source, 200, "OK", to_tag="x1", body=party.sdp(1))
        party.wait("ACK ")
        connected = peer.wait_for("EVENT connected", 5)
        peer.send("line2 dial carol@127.0.0.1:%d" % target_peer.port)
        connected2 = peer.wait_for("EVENT2 connected", 10)
        target_peer.wait_for("EVENT connected", 5)
        peer.send("join")
        refer, source = party.wait("REFER ", 10)
        refer_to = party.header(refer or "", "Refer-To")
        party.respond(refer, source, 202, "Accepted")
        # The Refer-To: the second call's far end, the escaped dialog in a Replaces header.
        escaped = refer_to.split("?Replaces=", 1)[1].rstrip(">") if "?Replaces=" in refer_to else ""
        replaces = urllib.parse.unquote(escaped)
        target_uri = uri_of(refer_to).split("?")[0]
        new_call = "c2-%d@127.0.0.1" % time.time_ns()
        party.send(party.request("INVITE", target_uri, "<%s>;tag=x2" % party.uri,
                                 "<%s>" % target_uri, new_call, 1,
                                 extra=["Replaces: " + replaces], body=party.sdp(2)),
                   ("127.0.0.1", target_peer.port))
        answer, _ = party.wait("SIP/2.0 200", 5)
        answer_to = party.header(answer or "", "To")
        party.send(party.request("ACK", target_uri, "<%s>;tag=x2" % party.uri, answer_to,
                                 new_call, 1), ("127.0.0.1", target_peer.port))
        # The outcome to the transferor, which then ends its call with the party.
        refer_from = party.header(refer, "From")
        party.send(party.request("NOTIFY", party.header(refer, "Contact").strip("<>"),
                                 party.header(refer, "To"), refer_from,
                                 party.header(refer, "Call-ID"), 1,
                                 extra=["Event: refer", "Subscription-State: terminated"],
                                 body="SIP/2.0 200 OK\r\n"), source)
        bye, bye_source = party.answer("BYE ", 5)
        ended = peer.wait_for("EVENT ended", 5, from_start=True)
        ended2 = peer.wait_for("EVENT2 ended", 5, from_start=True)
        time.sleep(1.0)
        still = not target_peer.has_line("EVENT ended")
        # What the target saw of the second line's call: its Call-ID and both tags.
        first_invite = [e[2] for e in h.trace_entries(trace)
                        if e[0] == "received" and e[2].startswith("INVITE ")]
        ok200 = [e[2] for e in h.trace_entries(trace)
                 if e[0] == "sent" and e[2].startswith("SIP/2.0 200") and "INVITE" in
                 RawAgent.header(e[2], "CSeq")]
        bye_answered = [e[2] for e in h.trace_entries(trace)
                        if e[0] == "received" and e[2].startswith("SIP/2.0 200") and
                        RawAgent.header(e[2], "CSeq").endswith("BYE")]
        expected = ""
        if first_invite and ok200:
            call_id = RawAgent.header(first_invite[0], "Call-ID")
            from_tag = RawAgent.header(first_invite[0], "From").split(";tag=")[1].split(";")[0]
            to_tag = RawAgent.header(ok200[0], "To").split(";tag=")[1].split(";")[0]
            expected = "%s;to-tag=%s;from-tag=%s" % (call_id, to_tag, from_tag)
        run.check("join on one line: REFER to the first call's far end with the second's far "
                  "end and an escaped Replaces naming its Call-ID, to-tag and from-tag",
                  connected is not None and connected2 is not None and refer is not None and
                  replaces == expected and "%3Bto-tag%3D" in escaped and
                  "%3Bfrom-tag%3D" in escaped,
                  "refer-to=%r replaces=%r expected=%r\n%s" % (refer_to, replaces, expected,
                                                              peer.output()))
        run.check("the Replaces INVITE (CSeq 1) takes over the target's call; the transferor's "
                  "two calls end (the replaced dialog's BYE answered by the transferor) and "
                  "the target stays connected with the party",
                  answer is not None and bye is not None and ended is not None and
                  ended2 is not None and still and len(bye_answered) >= 1,
                  "answer=%r\n%s\n%s" % (answer, peer.output(), target_peer.output()))
        party.send(party.request("BYE", target_uri, "<%s>;tag=x2" % party.uri, answer_to,
                                 new_call, 2), ("127.0.0.1", target_peer.port))
        party.wait("SIP/2.0 200", 3)


def refused_transfer(peer, party, target, status, reason, calling_host=None):
    """The peer calls the party (or, with `calling_host`, the party calls the peer as
    party@calling_host) and transfers it to the target; the party refuses the REFER and
    the target answers the peer's call. Returns the peer's following re-INVITE of the
    target and where it came from. The party's dialog is left in party.dialog:
    (Call-ID, the party's From for its requests, its To, the peer's address)."""
    if calling_host:
        peer_uri = "sip:alice@127.0.0.1:%d" % peer.port
        mine = "<sip:party@%s>;tag=p1" % calling_host
        call_id = "party-%d@127.0.0.1" % time.time_ns()
        party.send(party.request("INVITE", peer_uri, mine, "<%s>" % peer_uri, call_id, 1,
                                 body=party.sdp(1)), ("127.0.0.1", peer.port))
        answer, source = party.wait("SIP/2.0 200", 5)
        theirs = party.header(answer or "", "To")
        party.send(party.request("ACK", peer_uri, mine, theirs, call_id, 1), source)
        party.dialog = (call_id, mine, theirs, source)
    else:
        peer.send("dial " + party.uri[4:])
        invite, source = party.wait("INVITE ")
        party.respond(invite, source, 200, "OK", to_tag="p1", body=party.sdp(1))
        party.wait("ACK ")
        party.dialog = (party.header(invite, "Call-ID"), party.header(invite, "To") + ";tag=p1",
                        party.header(invite, "From"), source)
    peer.wait_for("EVENT connected", 5)
    peer.send("transfer " + target.uri[4:])
    refer, source = party.wait("REFER ")
    party.respond(refer, source, status, reason)
    invite, source = target.wait("INVITE ")
    target.respond(invite, source, 200, "OK", to_tag="t1", body=target.sdp(1))
    target.wait("ACK ")
    return target.wait("INVITE ")


def bridge_parties(peer, party, target, calling_host=None):
    """A refused transfer whose fallback connects the party and the target: returns the
    target's ACK (carrying the party's answer "o=party 2") and the target's address. The
    target's dialog is left in target.dialog (as party.dialog)."""
    reinvite, tsource = refused_transfer(peer, party, target, 405, "Method Not Allowed",
                                         calling_host)
    target.respond(reinvite, tsource, 200, "OK", body=target.sdp(3))
    offer, source = party.wait("INVITE ")
    party.respond(offer, source, 200, "OK", body=party.sdp(2))
    party.wait("ACK ")
    ack, _ = target.wait("ACK ")
    target.dialog = (target.header(reinvite, "Call-ID"), target.header(reinvite, "To"),
                     target.header(reinvite, "From"), tsource)
    return ack, tsource


def in_dialog(agent, method, cseq, extra=(), body=""):
    """A request of `agent` inside its dialog with the peer."""
    call_id, mine, theirs, dest = agent.dialog
    agent.send(agent.request(method, uri_of(theirs), mine, theirs, call_id, cseq, extra, body),
               dest)


def with_parties(*options, agents=("party", "target")):
    """Decorates func(folder, peer, *agents) as a scenario with a signalling-only sip_peer
    `a` and a RawAgent of each name, all closed after it."""
    def wrap(func):
        def run_it(d):
            parties = [RawAgent(name) for name in agents]
            try:
                with h.Peer(PEER, d, "a", "alice", args=["--signalling-only", *options]) as peer:
                    func(d, peer, *parties)
            finally:
                for agent in parties:
                    agent.close()
        run_it.__name__ = func.__name__
        scenario(run_it)
        return func
    return wrap


@with_parties(agents=("party", "target", "newcomer"))
def bridge_relays(d, peer, party, target, newcomer):
    """A bridge relays an OPTIONS of one party to the other (its SDP back, 408 when the other
    stays silent), and an INVITE with Replaces naming one party's dialog swaps that party
    for the caller: the other party is re-INVITEd with the caller's SDP, the caller gets
    its answer, the replaced party its BYE, and the bridge relays for the caller."""
    bridge_parties(peer, party, target)
    in_dialog(party, "OPTIONS", 2)
    options, tsource = target.answer("OPTIONS ", 5, body=target.sdp(7))
    relayed, _ = party.wait("SIP/2.0 ", 5)
    run.check("an OPTIONS of one bridged party goes to the other; its 200 comes back "
              "with the other's SDP",
              options is not None and relayed is not None and
              relayed.startswith("SIP/2.0 200") and "o=target 7 7" in relayed,
              "relayed=%r\n%s" % (relayed, peer.output()))

    in_dialog(party, "OPTIONS", 3)
    options, _ = target.wait("OPTIONS ", 5)
    start = time.time()
    timed_out, _ = party.wait("SIP/2.0 ", 6)
    waited = time.time() - start
    run.check("an OPTIONS the other party leaves unanswered is answered 408 after 3 s",
              options is not None and timed_out is not None and
              timed_out.startswith("SIP/2.0 408") and 2.5 <= waited <= 4.5,
              "waited=%.2f answer=%r" % (waited, first_line(timed_out or "")))

    # The newcomer takes the party's place (as after an attended transfer by the party).
    call_id, mine, theirs, dest = party.dialog
    peer_uri = "sip:alice@127.0.0.1:%d" % peer.port
    new_call = "newcomer-%d@127.0.0.1" % time.time_ns()
    replaces = "Replaces: %s;to-tag=%s;from-tag=p1" % (call_id, tag_of(theirs))
    newcomer.send(newcomer.request("INVITE", peer_uri, "<%s>;tag=n1" % newcomer.uri,
                                   "<%s>" % peer_uri, new_call, 1, extra=[replaces],
                                   body=newcomer.sdp(1)), dest)
    target.seen = []
    relayed, tsource = target.answer("INVITE ", 5, body=target.sdp(9))
    answer, source = newcomer.wait("SIP/2.0 2", 10)
    answer_to = newcomer.header(answer or "", "To")
    newcomer.send(newcomer.request("ACK", peer_uri, "<%s>;tag=n1" % newcomer.uri, answer_to,
                                   new_call, 1), dest)
    target_ack, _ = target.wait("ACK ", 5)
    bye, source = party.answer("BYE ", 5)
    run.check("an INVITE with Replaces for a bridged party: the other party is re-INVITEd "
              "with the caller's SDP, the caller gets the other's answer, the ACK carries "
              "nothing back, and the replaced party gets BYE",
              relayed is not None and "o=newcomer 1 1" in relayed and answer is not None and
              "o=target 9 9" in answer and target_ack is not None and
              "\r\nContent-Length: 0\r\n" in target_ack and bye is not None,
              "answer=%r seen=%s\n%s" % (first_line(answer or ""),
                                         [first_line(m) for m in target.seen],
                                         peer.output()))

    newcomer.dialog = (new_call, "<%s>;tag=n1" % newcomer.uri, answer_to, dest)
    in_dialog(newcomer, "OPTIONS", 2)
    options, tsource = target.answer("OPTIONS ", 5, body=target.sdp(11))
    relayed, _ = newcomer.wait("SIP/2.0 ", 5)
    in_dialog(target, "BYE", 20)
    target.wait("SIP/2.0 200", 5)
    bye, source = newcomer.answer("BYE ", 5)
    run.check("after the swap the bridge relays for the caller, and the other party's "
              "BYE ends it with BYE to the caller",
              relayed is not None and "o=target 11 11" in relayed and bye is not None,
              "relayed=%r\n%s" % (relayed, peer.output()))


@with_parties("--bridge-quiet-ms", "1000")
def bridge_quirk_host(d, peer, party, target):
    """A bridged party whose address is at a provider whose servers leave in-call probes
    unanswered is not probed when the bridge falls quiet; the other party still is."""
    ack, tsource = bridge_parties(peer, party, target, calling_host="home.fritz.box")
    party.seen = []
    infos = 0
    deadline = time.time() + 4.0
    while time.time() < deadline:
        info, tsource = target.wait("INFO ", max(0.1, deadline - time.time()))
        if info:
            target.respond(info, tsource, 200, "OK")
            infos += 1
    party.wait("never", 0.1)
    probed = [first_line(m) for m in party.seen]
    in_dialog(target, "BYE", 20)
    bye, source = party.answer("BYE ", 5)
    run.check("a quiet bridge probes the party at 127.0.0.1 but not the one calling from "
              "home.fritz.box, and keeps both",
              ack is not None and infos >= 2 and probed == [] and bye is not None,
              "infos=%d party saw %s\n%s" % (infos, probed, peer.output()))


def cancel_then_fallback_ends(peer, party, target, reinvite, tsource, seconds):
    """Waits up to `seconds` for the CANCEL of our re-INVITE of the target and answers it
    (200, then 487 for the re-INVITE). After that the party must be let go with BYE and
    the call go on with the target until hang-up. Returns the CANCEL, when it came, the
    ACK of the 487, and whether the call went on so."""
    cancel, _ = target.wait("CANCEL ", seconds)
    when = time.time()
    if cancel:
        target.respond(cancel, tsource, 200, "OK")
        target.respond(reinvite, tsource, 487, "Request Terminated")
    ack, _ = target.wait("ACK ", 3)
    bye, source = party.answer("BYE ", 5)
    time.sleep(0.3)
    still = not peer.has_line("EVENT ended")
    peer.send("hangup")
    tbye, tsource = target.answer("BYE ", 5)
    return cancel, when, ack, bye is not None and still and tbye is not None


@with_parties()
def reinvite_unanswered(d, peer, party, target):
    """The target answers nothing to our re-INVITE: it is resent every 500 ms and given up
    after 5 s without a CANCEL; a 180 that comes late still gets one. The party is then let
    go and the call goes on with the target."""
    reinvite, tsource = refused_transfer(peer, party, target, 405, "Method Not Allowed")
    times = [time.time()]
    while reinvite and len(times) < 20:
        again, _ = target.wait("INVITE ", 0.8)
        if again is None:
            break
        times.append(time.time())
    span = times[-1] - times[0]
    early_cancel = [m for m in target.seen if m.startswith("CANCEL ")]
    target.respond(reinvite, tsource, 180, "Ringing")
    cancel, _, ack, rest = cancel_then_fallback_ends(peer, party, target, reinvite, tsource, 3)
    run.check("an unanswered re-INVITE is sent 10 times over 4.5 s and given up with no "
              "CANCEL; a 180 arriving then brings the CANCEL (same CSeq and branch) and "
              "the ACK of the 487",
              reinvite is not None and 9 <= len(times) <= 11 and 4.0 <= span <= 5.5 and
              not early_cancel and cancel is not None and ack is not None and
              target.header(cancel, "CSeq").split()[0] ==
              target.header(reinvite, "CSeq").split()[0] and
              target.header(cancel, "Via") == target.header(reinvite, "Via"),
              "sent=%d span=%.2f early=%d seen=%s\n%s" % (
                  len(times), span, len(early_cancel),
                  [first_line(m) for m in target.seen], peer.output()))
    run.check("after the given-up re-INVITE the party gets BYE and the call goes on with "
              "the target", rest, peer.output())


@with_parties()
def reinvite_ringing_too_long(d, peer, party, target):
    """The target rings on our re-INVITE and never answers: 25 s after it was sent the
    re-INVITE is cancelled (no resending after the 180 meanwhile)."""
    reinvite, tsource = refused_transfer(peer, party, target, 405, "Method Not Allowed")
    sent = time.time()
    target.respond(reinvite, tsource, 180, "Ringing")
    target.seen = []
    cancel, when, ack, rest = cancel_then_fallback_ends(peer, party, target, reinvite,
                                                        tsource, 30)
    waited = when - sent
    resent = [m for m in target.seen if m.startswith("INVITE ")]
    run.check("a re-INVITE that rings without an answer is cancelled after 25 s and its "
              "487 acknowledged; the party is let go, the call goes on with the target",
              cancel is not None and 24.5 <= waited <= 27.5 and len(resent) <= 1 and
              ack is not None and rest,
              "waited=%.2f resent=%d\n%s" % (waited, len(resent), peer.output()))


@with_parties("--bridge-quiet-ms", "1500")
def bridge_probe(d, peer, party, target):
    """A bridge left quiet probes both parties: the one that answers its INFO is alive,
    the one that answers nothing is tried with INFO, then OPTIONS, and given up after
    6 s; both then get BYE."""
    ack, tsource = bridge_parties(peer, party, target)
    info, tsource = target.answer("INFO ", 5)
    start = time.time()
    party.seen = []
    bye, source = party.wait("BYE ", 10)
    waited = time.time() - start
    if bye:
        party.respond(bye, source, 200, "OK")
    methods = [m.split(" ")[0] for m in party.seen]
    tbye, tsource = target.answer("BYE ", 5)
    run.check("a quiet bridge probes both parties: INFO answered keeps one, INFO then "
              "OPTIONS unanswered for 6 s gives the other up, and both get BYE",
              ack is not None and "o=party 2 2" in ack and info is not None and
              bye is not None and tbye is not None and "INFO" in methods and
              "OPTIONS" in methods and 5.0 <= waited <= 8.0,
              "waited=%.2f methods=%s\n%s" % (waited, methods, peer.output()))


@with_parties()
def reinvite_cancelled(d, peer, party, target):
    """The target hangs up while our re-INVITE rings there: the re-INVITE is cancelled
    (CANCEL, then the ACK of its 487), the party that was to be transferred is let go and
    the call ends."""
    reinvite, tsource = refused_transfer(peer, party, target, 501, "Not Implemented")
    target.respond(reinvite, tsource, 180, "Ringing")
    target.send(target.request("BYE", target.header(reinvite, "Contact").strip("<>"),
                               target.header(reinvite, "To"), target.header(reinvite, "From"),
                               target.header(reinvite, "Call-ID"), 1), tsource)
    cancel, tsource = target.wait("CANCEL ", 5)
    if cancel:
        target.respond(cancel, tsource, 200, "OK")
        target.respond(reinvite, tsource, 487, "Request Terminated")
    ack, _ = target.wait("ACK ", 5)
    answered = [m for m in target.seen if m.startswith("SIP/2.0 200") and
                RawAgent.header(m, "CSeq").endswith("BYE")]
    bye, source = party.answer("BYE ", 5)
    ended = peer.wait_for("EVENT ended", 5)
    run.check("a BYE while our re-INVITE rings: 200 for the BYE, CANCEL of the re-INVITE "
              "and the ACK of its 487; the party is let go and the call ends",
              cancel is not None and ack is not None and answered and bye is not None and
              ended is not None and
              RawAgent.header(cancel, "CSeq").split()[0] ==
              RawAgent.header(reinvite, "CSeq").split()[0],
              "seen=%s\n%s" % ([m.split("\r\n")[0] for m in target.seen], peer.output()))


@scenario
def refer_refused_bridge(d):
    with h.Peer(PEER, d, "a", "alice") as peer:
        party = h.Sipp(d, "uas_refer_refused.xml", name="party")
        target_sipp = h.Sipp(d, "uas_bridged_target.xml", name="bridged-target")
        peer.send("dial sipp@127.0.0.1:%d" % party.port)
        connected = peer.wait_for("EVENT connected", 10)
        peer.send("transfer bob@127.0.0.1:%d" % target_sipp.port)
        ended = peer.wait_for("EVENT ended", 15)
        ok1, detail1 = sipp_ok(party)
        ok2, detail2 = sipp_ok(target_sipp)
        bridged = peer.has_line("LOG I The two parties are connected to each other")
        run.check("REFER answered 405: the target is called and the two parties are connected "
                  "by re-INVITE (the target's offer to the party, the party's answer in the "
                  "target's ACK); this line's call ends without BYE to either",
                  connected is not None and ended is not None and bridged and ok1 and ok2,
                  detail1 + detail2 + peer.output())
        run.check("a REFER arriving while our re-INVITE is pending is answered 491, and the "
                  "bridge relays the party's re-INVITE with the target's SDP", ok1 and ok2,
                  detail2)
        # The target refused our first re-INVITE with 491: the retry comes after the
        # back-off of the side that made the call, 550-799 ms.
        events = sipp_times(target_sipp, r"SIP/2.0 491|INVITE ")
        sent491 = [t for t, (_, way) in enumerate(events) if way == "sent"]
        gap = None
        if sent491 and sent491[0] + 1 < len(events):
            gap = (events[sent491[0] + 1][0] - events[sent491[0]][0]) * 1000
        run.check("after a 491 to our re-INVITE the retry comes within the back-off window "
                  "of the dialog's creator (550-799 ms, 450-1000 allowed here)",
                  gap is not None and 450 <= gap <= 1000, "gap=%s ms %s" % (gap, events))


@with_peer()
def invite_without_sdp(d, peer):
    s = h.Sipp(d, "uac_nosdp.xml", target(peer), extra=["-s", "alice"], subs={"hold": 1000})
    ok, detail = sipp_ok(s)
    connected = peer.wait_for("EVENT connected", 2, from_start=True)
    run.check("INVITE without SDP: the 200 carries an offer, the ACK's answer connects",
              ok and connected is not None, detail + peer.output())


@with_peer(args=["--password", "secret"])
def outgoing_with_credentials(d, peer):
    s = h.Sipp(d, "uas_auth.xml", name="auth")
    peer.send("dial sipp@127.0.0.1:%d" % s.port)
    connected = peer.wait_for("EVENT connected", 10)
    peer.send("hangup")
    ok, detail = sipp_ok(s)
    run.check("401 on INVITE is answered with digest credentials",
              connected is not None and ok, detail + peer.output())


@with_peer()
def redirect_in_q_order(d, peer):
    # High-q contact refuses with 486: the call moves on to the q=0.3 contact.
    low = h.Sipp(d, "uas_answer.xml", name="low")
    high = h.Sipp(d, "uas_final.xml", name="high", subs={"status": 486, "reason": "Busy"})
    redirector = h.Sipp(d, "uas_redirect.xml", name="redirect",
                        subs={"low": low.port, "high": high.port})
    peer.send("dial sipp@127.0.0.1:%d" % redirector.port)
    connected = peer.wait_for("EVENT connected", 10)
    peer.send("hangup")
    okr, dr = sipp_ok(redirector)
    okh, dh = sipp_ok(high)
    okl, dl = sipp_ok(low)
    run.check("302 with q=0.3 and q=0.8: the q=0.8 contact first; its 486 moves on",
              connected is not None and okr and okh and okl, dr + dh + dl + peer.output())
    peer.wait_for("EVENT ended", 5)

    # High-q contact never answers: after 2000 ms the q=0.3 contact is tried.
    silent = h.UdpListener()
    low = h.Sipp(d, "uas_answer.xml", name="low2")
    redirector = h.Sipp(d, "uas_redirect.xml", name="redirect2",
                        subs={"low": low.port, "high": silent.port})
    peer.send("dial sipp@127.0.0.1:%d" % redirector.port)
    connected = peer.wait_for("EVENT connected", 10)
    connect_time = peer.match_time
    peer.send("hangup")
    okl, dl = sipp_ok(low)
    sipp_ok(redirector)
    invites = silent.requests("INVITE")
    silent.close()
    waited = (connect_time - invites[0][0]) if invites and connected else 0
    run.check("a silent q=0.8 contact is left after about 2000 ms for the q=0.3 one",
              connected is not None and okl and len(invites) >= 3 and 1.8 <= waited <= 3.5,
              "invites=%d waited=%.2f\n%s%s" % (len(invites), waited, dl, peer.output()))


@with_peer()
def crossing_cancel(d, peer):
    s = h.Sipp(d, "uas_cross_cancel.xml", name="cross")
    peer.send("dial sipp@127.0.0.1:%d" % s.port)
    time.sleep(1.0)  # the far end rings
    peer.send("hangup")
    ok, detail = sipp_ok(s)
    abandoned = peer.wait_for("LOG I Call initiate attempt abandoned", 5, from_start=True)
    run.check("a 200 crossing the CANCEL is acknowledged and followed by BYE",
              ok and abandoned is not None, detail + peer.output())


@scenario
def forked_answers(d):
    trace = os.path.join(d, "trace-a")
    with h.Peer(PEER, d, "a", "alice", args=["--trace", trace]) as peer:
        s = h.Sipp(d, "uas_fork.xml", name="fork")
        peer.send("dial sipp@127.0.0.1:%d" % s.port)
        connected = peer.wait_for("EVENT connected", 10)
        time.sleep(1.0)  # the second fork is ended meanwhile; the call goes on
        still = not peer.has_line("EVENT ended")
        peer.send("hangup")
        ok, detail = sipp_ok(s)
        peer.wait_for("EVENT ended", 5)
        acks = [e[2] for e in h.trace_entries(trace) if e[0] == "sent" and e[2].startswith("ACK ")]
        acked = sorted("forkA" if ";tag=forkA" in a else "forkB" if ";tag=forkB" in a else "?"
                       for a in acks)
        run.check("a 2xx from a second fork is acknowledged and ended with BYE; the call "
                  "goes on with the first", connected is not None and still and ok and
                  acked == ["forkA", "forkB"], "acks=%s\n%s%s" % (acked, detail, peer.output()))


@with_peer()
def answer_without_common_codec(d, peer):
    s = h.Sipp(d, "uas_nocodec.xml", name="nocodec")
    peer.send("dial sipp@127.0.0.1:%d" % s.port)
    ok, detail = sipp_ok(s, 15)
    ended = peer.wait_for("EVENT ended", 5)
    logged = peer.has_line("LOG E Incoming connection does not support proper SIP codecs")
    run.check("a 200 whose answer has no common codec is acknowledged, logged and ended "
              "with BYE", ok and ended is not None and logged and
              not peer.has_line("EVENT connected"), detail + peer.output())


@with_peer()
def bye_never_answered(d, peer):
    agent = RawAgent("bob")
    peer.send("dial bob@127.0.0.1:%d" % agent.port)
    invite, source = agent.wait("INVITE ", 10)
    if invite:
        agent.respond(invite, source, 200, "OK", to_tag="quiet", body=agent.sdp(1))
        agent.wait("ACK ", 5)
    connected = peer.wait_for("EVENT connected", 5)
    peer.send("hangup")
    began = time.monotonic()
    times = []
    while time.monotonic() - began < 36:
        bye, _ = agent.wait("BYE ", 36 - (time.monotonic() - began))
        if bye:
            times.append(time.monotonic() - began)
    agent.close()
    gaps = [b - a for a, b in zip(times, times[1:])]
    # Timer E: T1 = 500 ms doubling up to T2 = 4 s; timer F gives it up after 32 s.
    expected = [0.5, 1, 2] + [4] * 7
    ok = (invite is not None and connected is not None and len(gaps) == len(expected) and
          all(abs(g - e) <= 0.2 + 0.02 * e for g, e in zip(gaps, expected)) and
          times[-1] <= 32.5)
    run.check("an unanswered BYE is resent after 0.5, 1 and 2 s, then every 4 s (timer E), "
              "and given up after 32 s (timer F)", ok,
              "times=%s gaps=%s\n%s" % (["%.2f" % t for t in times], ["%.2f" % g for g in gaps],
                                         peer.output()))


@with_peer()
def never_answered(d, peer):
    with h.UdpListener() as silent:
        peer.send("dial nobody@127.0.0.1:%d" % silent.port)
        began = time.monotonic()
        ended = peer.wait_for("EVENT ended", 36)
        lasted = time.monotonic() - began
        silent.close()
        invites = silent.requests("INVITE")
        times = [t for t, _ in invites]
        gaps = [b - a for a, b in zip(times, times[1:])]
        span = times[-1] - times[0] if times else 0
        timed_out = (peer.has_line("LOG E Error call attempt timed-out.") and
                     peer.has_line("LOG E The server is not replying."))
        # Timer A: T1 = 500 ms doubling (0.5, 1, 2, 4, 8, 16 s); timer B ends it at 32 s.
        expected = [0.5 * 2 ** i for i in range(6)]
        ok = (ended is not None and timed_out and len(gaps) == len(expected) and
              all(abs(g - e) <= 0.15 + 0.02 * e for g, e in zip(gaps, expected)) and
              31.0 <= lasted <= 34.0 and not silent.requests("CANCEL"))
        run.check("an unanswered INVITE is resent after 0.5, 1, 2, 4, 8 and 16 s (timer A) and "
                  "given up after 32 s (timer B)",
                  ok, "count=%d span=%.2f lasted=%.2f gaps=%s\n%s" % (len(times), span, lasted,
                                                          ["%.2f" % g for g in gaps],
                                                          peer.output()))


import call_extension_scenarios  # noqa: E402

call_extension_scenarios.add(run, PEER, (RawUac, RawAgent, sipp_ok, SDP))

sys.exit(run.finish())
