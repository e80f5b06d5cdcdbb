# SPDX-License-Identifier: Apache-2.0
"""The call extensions against the engine (tests/sip/sip_peer), run by sip_scenarios.py:
early media, reliable provisional responses (PRACK) both ways, UPDATE, and session timers
both ways, refreshed by re-INVITE or, where the far end allows it, by UPDATE."""

import contextlib
import os
import subprocess
import sys
import time

import sipharness as h


def add(run, peer_binary, tools):
    """Runs the scenarios with the runner's TestRun and its raw agents (`tools`: RawUac,
    RawAgent, sipp_ok, SDP)."""
    RawUac, RawAgent, sipp_ok, SDP = tools
    scenario = run.scenario

    def header(text, name):
        return RawAgent.header(text, name)

    def answer_from(text):
        return [line for line in text.split("\r\n") if line.startswith("a=")]

    @scenario
    def early_media_heard_before_answer(d):
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
        import e2e_support as e2e
        speech = e2e.make_speech(d)
        ulaw = os.path.join(d, "speech.ul")
        subprocess.run(["sox", os.path.join(d, "speech.wav"), "-t", "ul", ulaw], check=True)
        seconds = len(speech) / e2e.RATE
        record = os.path.join(d, "heard.wav")
        with h.Peer(peer_binary, d, "a", "alice", args=["--record", record]) as peer:
            s = h.Sipp(d, "uas_early_media.xml", name="early",
                       subs={"seconds": int(seconds * 1000) + 700},
                       keys={"rtp_file": "%s,1,0" % ulaw})
            peer.send("dial sipp@127.0.0.1:%d" % s.port)
            early = peer.wait_for("EVENT early", 10)
            early_at = peer.match_time
            connected = peer.wait_for("EVENT connected", seconds + 10)
            before = (peer.match_time - early_at) if early and connected else 0
            time.sleep(0.3)
            peer.send("hangup")
            ok, detail = sipp_ok(s)
            peer.wait_for("EVENT ended", 5)
        heard = e2e.read_wav(record) if os.path.exists(record) else []
        words = e2e.find_words(speech, heard[:int(before * e2e.RATE)]) if len(heard) else []
        snrs = [w[2] for w in words]
        mean = sum(snrs) / len(snrs) if snrs else -99
        run.check("183 with SDP starts the media at once: the announcement's words are heard "
                  "before the 200, whose same SDP goes on with the same stream",
                  ok and early is not None and connected is not None and mean > 10 and
                  not peer.has_line("LOG I The answer's media differ from the early media's; "
                                    "the call switches to them"),
                  "before=%.2f s words=%s\n%s%s" % (before, words, detail, peer.output()))

    @scenario
    def reliable_183_gets_prack(d):
        with h.Peer(peer_binary, d, "a", "alice") as peer:
            s = h.Sipp(d, "uas_reliable_183.xml", name="reliable")
            peer.send("dial sipp@127.0.0.1:%d" % s.port)
            connected = peer.wait_for("EVENT connected", 10)
            peer.send("hangup")
            ok, detail = sipp_ok(s)
            switched = peer.has_line("LOG I The answer's media differ from the early media's; "
                                     "the call switches to them")
            run.check("INVITE offers 100rel and timer and allows PRACK and UPDATE; a 183 with "
                      "Require: 100rel gets a PRACK with RAck naming its RSeq and the INVITE; the "
                      "200's other SDP switches the media",
                      ok and connected is not None and switched, detail + peer.output())

    @scenario
    def reliable_ringing_waits_for_prack(d):
        with h.Peer(peer_binary, d, "a", "alice") as peer, \
                contextlib.closing(RawUac(peer.port)) as uac:
            uac.send(uac.request("INVITE", "z9hG4bK-rel-1", body=SDP, extra=["Require: 100rel"]))
            sent = time.time()
            got = uac.responses(1.8)
            ringing = [(t - sent, r) for t, r in got if r.startswith("SIP/2.0 180")]
            early_final = [r for _, r in got if r.startswith("SIP/2.0 2")]
            numbers = {header(r, "RSeq") for _, r in ringing}
            number = header(ringing[0][1], "RSeq") if ringing else ""
            tag = ringing[0][1].split("To:")[1].split("tag=")[1].split("\r\n")[0] if ringing else ""
            uac.send(uac.request("PRACK", "z9hG4bK-rel-2", cseq=2,
                                 extra=["RAck: %s 1 INVITE" % number]).replace(
                "To: <sip:alice@127.0.0.1:%d>" % peer.port,
                "To: <sip:alice@127.0.0.1:%d>;tag=%s" % (peer.port, tag)))
            after = [first for _, r in uac.responses(1.5)
                     for first in [r.split("\r\n")[0] + " " + header(r, "CSeq")]]
            uac.send(uac.request("ACK", "z9hG4bK-rel-3").replace(
                "To: <sip:alice@127.0.0.1:%d>" % peer.port,
                "To: <sip:alice@127.0.0.1:%d>;tag=%s" % (peer.port, tag)))
            times = [round(t, 2) for t, _ in ringing]
            run.check("INVITE with Require: 100rel: the 180 carries Require: 100rel and one RSeq, "
                      "is resent after 0.5 and 1.5 s, and the 200 waits for the PRACK, which is "
                      "answered 200",
                      len(ringing) == 3 and len(numbers) == 1 and number != "" and
                      "100rel" in header(ringing[0][1], "Require") and not early_final and
                      abs(times[1] - 0.5) < 0.2 and abs(times[2] - 1.5) < 0.25 and
                      "SIP/2.0 200 OK 2 PRACK" in after and "SIP/2.0 200 OK 1 INVITE" in after,
                      "times=%s numbers=%s after=%s\n%s" % (times, numbers, after,
                                                            peer.output()))

    @scenario
    def update_in_call(d):
        with h.Peer(peer_binary, d, "a", "alice") as peer:
            agent = RawAgent("bob")
            peer.send("dial bob@127.0.0.1:%d" % agent.port)
            invite, source = agent.wait("INVITE ", 10)
            results = {}
            if invite:
                agent.respond(invite, source, 200, "OK", to_tag="up", body=agent.sdp(1))
                agent.wait("ACK ", 5)
                peer.wait_for("EVENT connected", 5)
                to = header(invite, "To") + ";tag=up"
                contact = header(invite, "Contact").strip("<>")
                ids = (header(invite, "From"), header(invite, "Call-ID"))
                held = agent.sdp(2).replace("a=sendrecv", "") + "a=sendonly\r\n"
                agent.send(agent.request("UPDATE", contact, to, ids[0], ids[1], 1, body=held),
                           source)
                results["offer"], _ = agent.wait("SIP/2.0 ", 3)
                agent.send(agent.request("UPDATE", contact, to, ids[0], ids[1], 2,
                                         extra=["Session-Expires: 120", "Supported: timer"]),
                           source)
                results["refresh"], _ = agent.wait("SIP/2.0 ", 3)
                # Glare: our hold re-INVITE is pending when the far end's UPDATE offers.
                peer.send("hold")
                reinvite, _ = agent.wait("INVITE ", 5)
                agent.send(agent.request("UPDATE", contact, to, ids[0], ids[1], 3,
                                         body=agent.sdp(3)), source)
                results["glare"], _ = agent.wait("SIP/2.0 ", 3)
                if reinvite:
                    agent.respond(reinvite, source, 200, "OK", to_tag="up", body=held.replace(
                        "a=sendonly", "a=recvonly"))
                    agent.wait("ACK ", 5)
                peer.send("hangup")
                agent.answer("BYE ", 5)
            agent.close()
            offer, refresh, glare = (results.get(k) or "" for k in ("offer", "refresh", "glare"))
            run.check("UPDATE with an offer in a call is answered 200 with the answer (sendonly "
                      "held: recvonly); without one 200 with its Session-Expires; one that crosses "
                      "our re-INVITE 491",
                      offer.startswith("SIP/2.0 200") and "a=recvonly" in answer_from(offer) and
                      refresh.startswith("SIP/2.0 200") and
                      header(refresh, "Session-Expires").startswith("120") and
                      glare.startswith("SIP/2.0 491"),
                      "offer=%r\nrefresh=%r\nglare=%r\n%s" % (offer[:300], refresh[:300],
                                                              glare[:80], peer.output()))

    @scenario
    def session_timer_as_caller(d):
        args = ["--session", "6", "--min-session", "2"]
        with h.Peer(peer_binary, d, "a", "alice", args=args) as peer:
            s = h.Sipp(d, "uas_session_refresh.xml", name="refresh",
                       subs={"asked": 6, "least": 9})
            peer.send("dial sipp@127.0.0.1:%d" % s.port)
            connected = peer.wait_for("EVENT connected", 10)
            refreshed = peer.wait_for("LOG I Refreshing the session...", 8)
            time.sleep(0.5)
            peer.send("hangup")
            ok, detail = sipp_ok(s)
            events = s.message_times()
            sent200 = [t for t, way, line in events if way == "sent" and line.startswith("SIP/2.0 200")]
            invites = [t for t, way, line in events if way == "received" and line.startswith("INVITE")]
            gap = invites[2] - sent200[0] if len(invites) >= 3 and sent200 else None
            run.check("a 422 with Min-SE: 9 is answered by an INVITE asking for 9 s; the 200 "
                      "makes us the refresher and the re-INVITE refresh comes after half of it",
                      ok and connected is not None and refreshed is not None and
                      gap is not None and 4.0 <= gap <= 6.0,
                      "gap=%s\n%s%s" % (gap, detail, peer.output()))
            peer.wait_for("EVENT ended", 5)
            s = h.Sipp(d, "uas_session_expiry.xml", name="expiry", subs={"asked": 6, "least": 9})
            peer.send("dial sipp@127.0.0.1:%d" % s.port)
            connected = peer.wait_for("EVENT connected", 10)
            ok, detail = sipp_ok(s, 20)
            events = s.message_times()
            sent200 = [t for t, way, line in events if way == "sent" and line.startswith("SIP/2.0 200")]
            byes = [t for t, way, line in events if way == "received" and line.startswith("BYE")]
            waited = byes[0] - sent200[0] if byes and sent200 else None
            run.check("a session the far end was to refresh and did not ends with BYE a third of "
                      "the interval before its end (9 s: after 6 s)",
                      ok and connected is not None and waited is not None and
                      5.5 <= waited <= 7.5 and
                      peer.has_line("LOG I The session was not refreshed in time; the call ends"),
                      "waited=%s\n%s%s" % (waited, detail, peer.output()))

    @scenario
    def session_refreshed_by_update(d):
        args = ["--session", "4", "--min-session", "2"]
        with h.Peer(peer_binary, d, "a", "alice", args=args) as peer:
            # We call and refresh; the far end allows UPDATE.
            s = h.Sipp(d, "uas_session_update.xml", name="update", subs={"asked": 4})
            peer.send("dial sipp@127.0.0.1:%d" % s.port)
            connected = peer.wait_for("EVENT connected", 10)
            peer.wait_for("LOG I Refreshing the session...", 8)
            second = peer.wait_for("LOG I Refreshing the session...", 8)
            time.sleep(0.5)
            up = not peer.has_line("EVENT ended")
            peer.send("hangup")
            ok, detail = sipp_ok(s)
            events = s.message_times()
            sent200 = [t for t, way, line in events
                       if way == "sent" and line.startswith("SIP/2.0 200")]
            updates = [t for t, way, line in events
                       if way == "received" and line.startswith("UPDATE")]
            byes = [t for t, way, line in events if way == "received" and line.startswith("BYE")]
            gaps = [u - sent200[0] for u in updates] if sent200 else []
            lasted = byes[0] - sent200[0] if byes and sent200 else None
            run.check("as the caller and refresher towards a far end that allows UPDATE, the "
                      "session is refreshed by UPDATE without SDP after half the 4 s interval, "
                      "twice, no re-INVITE; the call outlives the interval",
                      ok and connected is not None and second is not None and up and
                      len(gaps) == 2 and 1.5 <= gaps[0] <= 3.0 and 3.5 <= gaps[1] <= 5.5 and
                      lasted is not None and lasted > 4.0 and
                      not any(way == "received" and line.startswith("INVITE") and t > sent200[0]
                              for t, way, line in events),
                      "gaps=%s lasted=%s\n%s%s" % (gaps, lasted, detail, peer.output()))
            peer.wait_for("EVENT ended", 5)
            # A far end that names UPDATE in its Allow and then refuses it.
            s = h.Sipp(d, "uas_session_update_refused.xml", name="update-refused",
                       subs={"asked": 4})
            peer.send("dial sipp@127.0.0.1:%d" % s.port)
            connected = peer.wait_for("EVENT connected", 10)
            fallback = peer.wait_for("LOG I The far end does not take UPDATE after all", 8)
            again = peer.wait_for("LOG I Session timer: 4 s, refreshed by this side", 5)
            time.sleep(0.3)
            peer.send("hangup")
            ok, detail = sipp_ok(s)
            run.check("an UPDATE refresh answered 501 is made again at once as a re-INVITE, "
                      "and the call goes on",
                      ok and connected is not None and fallback is not None and
                      again is not None, detail + peer.output())
            peer.wait_for("EVENT ended", 5)
            # The far end calls and asks us to refresh; it allows UPDATE.
            s = h.Sipp(d, "uac_session_update.xml", "127.0.0.1:%d" % peer.port,
                       extra=["-s", "alice"], name="update-callee",
                       subs={"asked": 4, "hold": 1000})
            connected = peer.wait_for("EVENT connected", 10)
            refreshed = peer.wait_for("LOG I Refreshing the session...", 8)
            ok, detail = sipp_ok(s, 20)
            ended = peer.wait_for("EVENT ended", 5)
            events = s.message_times()
            got200 = [t for t, way, line in events
                      if way == "received" and line.startswith("SIP/2.0 200")]
            updates = [t for t, way, line in events
                       if way == "received" and line.startswith("UPDATE")]
            gap = updates[0] - got200[0] if updates and got200 else None
            run.check("as the callee named refresher by a caller that allows UPDATE, the 200 "
                      "says refresher=uas and the refresh is an UPDATE after half the interval",
                      ok and connected is not None and refreshed is not None and
                      ended is not None and gap is not None and 1.5 <= gap <= 3.0,
                      "gap=%s\n%s%s" % (gap, detail, peer.output()))

    @scenario
    def session_timer_as_callee(d):
        with h.Peer(peer_binary, d, "a", "alice") as peer, \
                contextlib.closing(RawUac(peer.port)) as uac:
            uac.send(uac.request("INVITE", "z9hG4bK-se-1", body=SDP,
                                 extra=["Session-Expires: 60", "Supported: timer"]))
            short = [r for _, r in uac.responses(1.0) if not r.startswith("SIP/2.0 1")]
            uac.send(uac.request("ACK", "z9hG4bK-se-1"))
            uac.send(uac.request("INVITE", "z9hG4bK-se-2", body=SDP, cseq=2,
                                 extra=["Session-Expires: 90", "Require: timer",
                                        "Supported: timer"]))
            finals = [r for _, r in uac.responses(2.0) if not r.startswith("SIP/2.0 1")]
            tag = ""
            if finals and ";tag=" in header(finals[0], "To"):
                tag = header(finals[0], "To").split(";tag=")[1]
            ack = uac.request("ACK", "z9hG4bK-se-3", cseq=2).replace(
                "To: <sip:alice@127.0.0.1:%d>" % peer.port,
                "To: <sip:alice@127.0.0.1:%d>;tag=%s" % (peer.port, tag))
            uac.send(ack)
            connected = peer.wait_for("EVENT connected", 3)
            with_tag = "To: <sip:alice@127.0.0.1:%d>;tag=%s" % (peer.port, tag)
            uac.send(uac.request("INVITE", "z9hG4bK-se-4", body=SDP, cseq=3,
                                 extra=["Session-Expires: 30"]).replace(
                "To: <sip:alice@127.0.0.1:%d>" % peer.port, with_tag))
            again = [r for _, r in uac.responses(1.0) if not r.startswith("SIP/2.0 1")]
            uac.send(uac.request("ACK", "z9hG4bK-se-4", cseq=3).replace(
                "To: <sip:alice@127.0.0.1:%d>" % peer.port, with_tag))
            peer.pump(0.5)
            still = not peer.has_line("EVENT ended")
            peer.send("hangup")
            uac.responses(0.5)
            run.check("an INVITE asking for 60 s is answered 422 with Min-SE: 90; one asking for "
                      "90 s with Require: timer is answered 200 with Session-Expires: "
                      "90;refresher=uac and Require: timer",
                      short[:1] and short[0].startswith("SIP/2.0 422") and
                      header(short[0], "Min-SE") == "90" and finals[:1] and
                      finals[0].startswith("SIP/2.0 200") and
                      header(finals[0], "Session-Expires") == "90;refresher=uac" and
                      "timer" in header(finals[0], "Require") and connected is not None,
                      "short=%r\nfinals=%r\n%s" % ([first_line[:60] for first_line in short],
                                                   [f[:400] for f in finals], peer.output()))
            run.check("a re-INVITE asking for 30 s is answered 422 with Min-SE: 90 and the call "
                      "goes on",
                      again[:1] and again[0].startswith("SIP/2.0 422") and
                      header(again[0], "Min-SE") == "90" and still,
                      "again=%r\n%s" % ([a[:200] for a in again], peer.output()))
