#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Measures the glare back-off: SIPp answers the engine's REFER, and the re-INVITEs of the
re-INVITE fallback, with 491 "Request Pending" N times, and the time from each 491 to the
next request is taken from SIPp's message trace. The side that made the call must wait
550-799 ms, the other side 50-299 ms. Prints every figure and a summary per case; exits 1
when a figure lies outside its window (with --slack ms allowed above it for a busy machine).
Usage: measure_glare.py PATH/TO/sip_peer [--times N] [--slack MS]"""

import argparse
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sipharness as h  # noqa: E402

CREATOR = (550, 799)
OTHER = (50, 299)

# A 200 with an SDP answer or offer (@totag@: the tag a dialog's first 200 adds).
OK_SDP = """  <send retrans="500"><![CDATA[
      SIP/2.0 200 OK
      [last_Via:]
      [last_From:]
      [last_To:]@totag@
      [last_Call-ID:]
      [last_CSeq:]
      Contact: <sip:[local_ip]:[local_port];transport=[transport]>
      Content-Type: application/sdp
      Content-Length: [len]

      v=0
      o=@name@ @version@ @version@ IN IP4 [local_ip]
      s=-
      c=IN IP4 [media_ip]
      t=0 0
      m=audio 7000 RTP/AVP 0
      a=rtpmap:0 PCMU/8000
    ]]></send>
"""

HEAD_UAS = ("""<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="@name@">
  <recv request="INVITE" crlf="true"/>
""" + OK_SDP.replace("@totag@", ";tag=[pid]SIPpTag01[call_number]").replace("@version@", "1") +
            """  <recv request="ACK" crlf="true"/>
""")

HEAD_UAC = """<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="@name@">
  <send retrans="500"><![CDATA[
      INVITE sip:[service]@[remote_ip]:[remote_port] SIP/2.0
      Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
      From: sipp <sip:sipp@[local_ip]:[local_port]>;tag=[pid]SIPpTag00[call_number]
      To: <sip:[service]@[remote_ip]:[remote_port]>
      Call-ID: [call_id]
      CSeq: 1 INVITE
      Contact: <sip:sipp@[local_ip]:[local_port]>
      Max-Forwards: 70
      Content-Type: application/sdp
      Content-Length: [len]

      v=0
      o=@name@ 1 1 IN IP4 [local_ip]
      s=-
      c=IN IP4 [media_ip]
      t=0 0
      m=audio 6000 RTP/AVP 0
      a=rtpmap:0 PCMU/8000
    ]]></send>
  <recv response="100" optional="true"/>
  <recv response="180" optional="true"/>
  <recv response="180" optional="true"/>
  <recv response="200" rrs="true"/>
  <send><![CDATA[
      ACK [next_url] SIP/2.0
      Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
      From: sipp <sip:sipp@[local_ip]:[local_port]>;tag=[pid]SIPpTag00[call_number]
      [last_To:]
      Call-ID: [call_id]
      CSeq: 1 ACK
      Max-Forwards: 70
      Content-Length: 0

    ]]></send>
"""

# A request of the engine, remembering the dialog's addresses for the requests SIPp sends.
RECV_KEEPING = """  <recv request="@method@" timeout="50000">
    <action>
      <ereg regexp="[^ ].*" search_in="hdr" header="From:" check_it="true" assign_to="peer"/>
      <ereg regexp="[^ ].*" search_in="hdr" header="To:" check_it="true" assign_to="me"/>
      <ereg regexp="sip:[^&gt;;]*" search_in="hdr" header="Contact:" check_it="true" assign_to="contact"/>
    </action>
  </recv>
"""

REPLY = """  <send><![CDATA[
      SIP/2.0 @status@
      [last_Via:]
      [last_From:]
      [last_To:]
      [last_Call-ID:]
      [last_CSeq:]
      Contact: <sip:[local_ip]:[local_port];transport=[transport]>
      Content-Length: 0

    ]]></send>
"""

REPLY_SDP = OK_SDP.replace("@totag@", "").replace("@version@", "2")

IN_DIALOG = """  <send retrans="500"><![CDATA[
      @method@ [$contact] SIP/2.0
      Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
      From: [$me]
      To: [$peer]
      Call-ID: [call_id]
      CSeq: @cseq@ @method@
      Contact: <sip:[local_ip]:[local_port]>
      Max-Forwards: 70
@headers@      Content-Length: [len]
@body@
    ]]></send>
  <recv response="200" timeout="10000"/>
"""

TAIL = """  <Reference variables="peer,me,contact"/>
</scenario>
"""


def refused(method, times):
    """`times` requests of the engine answered 491 (an INVITE's 491 is acknowledged)."""
    block = RECV_KEEPING.replace("@method@", method) + REPLY.replace("@status@",
                                                                     "491 Request Pending")
    if method == "INVITE":
        block += '  <recv request="ACK"/>\n'
    return block * times


def notify_success():
    return IN_DIALOG.replace("@method@", "NOTIFY").replace("@cseq@", "1").replace(
        "@headers@", "      Event: refer\n      Subscription-State: active;expires=60\n"
        "      Content-Type: message/sipfrag\n").replace("@body@", "\n      SIP/2.0 200 OK")


def take_bye():
    return '  <recv request="BYE" timeout="10000"/>\n' + REPLY.replace("@status@", "200 OK")


def refer_scenario(name, head, times):
    """The party being transferred: REFER refused with 491 `times` times, then accepted and
    reported done; the engine then ends the call."""
    return (head + refused("REFER", times) + RECV_KEEPING.replace("@method@", "REFER") +
            REPLY.replace("@status@", "202 Accepted") + notify_success() + take_bye() +
            TAIL).replace("@name@", name)


def party_scenario(name, times):
    """The party of the re-INVITE fallback, calling the engine: refuses the REFER with 405,
    refuses the re-INVITE carrying the target's offer with 491 `times` times, answers the
    next one, and hangs up."""
    return (HEAD_UAC + RECV_KEEPING.replace("@method@", "REFER") +
            REPLY.replace("@status@", "405 Method Not Allowed") + refused("INVITE", times) +
            RECV_KEEPING.replace("@method@", "INVITE") + REPLY_SDP + '  <recv request="ACK"/>\n' +
            '  <pause milliseconds="300"/>\n' +
            IN_DIALOG.replace("@method@", "BYE").replace("@cseq@", "2").replace(
                "@headers@", "").replace("@body@", "") + TAIL).replace("@name@", name)


def target_scenario(name, times):
    """The transfer target the engine calls: refuses the re-INVITE without SDP with 491
    `times` times, offers in the 200 of the next one, and takes the BYE of the bridge."""
    return (HEAD_UAS + refused("INVITE", times) + RECV_KEEPING.replace("@method@", "INVITE") +
            REPLY_SDP + '  <recv request="ACK"/>\n' + take_bye() + TAIL).replace("@name@", name)


def back_offs(sipp, method):
    """Milliseconds from each 491 SIPp sent to the engine's next `method` request."""
    events = sipp.message_times()
    gaps = []
    for i, (when, way, line) in enumerate(events):
        if way == "sent" and line.startswith("SIP/2.0 491"):
            later = [t for t, w, l in events[i + 1:] if w == "received" and l.startswith(method)]
            if later:
                gaps.append((later[0] - when) * 1000)
    return gaps


def write(folder, name, text):
    path = os.path.join(folder, name + ".xml")
    with open(path, "w") as f:
        f.write(text)
    return path


def run_refer(peer_binary, d, times, creator):
    name = "refer-" + ("creator" if creator else "other")
    peer = h.Peer(peer_binary, d, name, "alice")
    try:
        if creator:
            s = h.Sipp(d, write(d, name, refer_scenario(name, HEAD_UAS, times)), name=name)
            peer.send("dial sipp@127.0.0.1:%d" % s.port)
        else:
            s = h.Sipp(d, write(d, name, refer_scenario(name, HEAD_UAC, times)),
                       "127.0.0.1:%d" % peer.port, extra=["-s", "alice"], name=name)
        if peer.wait_for("EVENT connected", 10) is None:
            raise RuntimeError("no call:\n" + peer.output() + s.messages())
        peer.send("transfer carol@127.0.0.1:5099")
        rc = s.wait(30 + times)
        if rc != 0:
            raise RuntimeError("SIPp rc=%s\n%s" % (rc, s.messages()))
        return back_offs(s, "REFER ")
    finally:
        peer.stop()


def run_reinvite(peer_binary, d, times):
    """The party calls the engine (so its re-INVITE there waits as the other side), the
    engine calls the target (and waits as the creator)."""
    peer = h.Peer(peer_binary, d, "reinvite", "alice")
    try:
        target = h.Sipp(d, write(d, "target", target_scenario("target", times)), name="target")
        party = h.Sipp(d, write(d, "party", party_scenario("party", times)),
                       "127.0.0.1:%d" % peer.port, extra=["-s", "alice"], name="party")
        if peer.wait_for("EVENT connected", 10) is None:
            raise RuntimeError("no call:\n" + peer.output() + party.messages())
        peer.send("transfer bob@127.0.0.1:%d" % target.port)
        for s in (target, party):
            rc = s.wait(30 + 2 * times)
            if rc != 0:
                raise RuntimeError("SIPp %s rc=%s\n%s\n%s" % (s.name, rc, s.messages(),
                                                              peer.output()))
        return back_offs(target, "INVITE "), back_offs(party, "INVITE ")
    finally:
        peer.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("peer")
    parser.add_argument("--times", type=int, default=8, help="491s per case")
    parser.add_argument("--slack", type=float, default=30.0,
                        help="ms allowed above a window (scheduling on a busy machine)")
    args = parser.parse_args()
    args.peer = os.path.abspath(args.peer)
    d = tempfile.mkdtemp(prefix="quillet-glare-")
    try:
        target_gaps, party_gaps = run_reinvite(args.peer, d, args.times)
        cases = [
            ("REFER, this side made the call", run_refer(args.peer, d, args.times, True),
             CREATOR),
            ("REFER, the far end made the call", run_refer(args.peer, d, args.times, False),
             OTHER),
            ("re-INVITE to the target this side called", target_gaps, CREATOR),
            ("re-INVITE to the party that called this side", party_gaps, OTHER),
        ]
    finally:
        if not os.environ.get("KEEP"):
            shutil.rmtree(d, ignore_errors=True)
    failed = False
    for what, gaps, (low, high) in cases:
        outside = [g for g in gaps if g < low or g > high + args.slack]
        failed |= bool(outside) or len(gaps) != args.times
        print("%s: window %d-%d ms, %d measured: min %.1f, mean %.1f, max %.1f ms%s" % (
            what, low, high, len(gaps), min(gaps, default=0), sum(gaps) / max(len(gaps), 1),
            max(gaps, default=0), ", OUTSIDE: %s" % outside if outside else ""))
        print("    " + " ".join("%.1f" % g for g in gaps))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
