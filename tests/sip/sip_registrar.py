#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The engine against Kamailio as registrar and record-routing proxy with digest
authentication: registration, refresh from the granted expiry, a wrong password,
un-registration at exit, and a call between two engines through the proxy (the call with
qop=auth is peers_e2e's, through the program).
Usage: sip_registrar.py PATH/TO/sip_peer [name-filter]"""

import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sipharness as h  # noqa: E402

PEER = os.path.abspath(sys.argv[1])
ONLY = sys.argv[2] if len(sys.argv) > 2 else ""
run = h.TestRun(ONLY, row="kamailio")
scenario = run.scenario
USERS = {"alice": "secret", "bob": "hunter2"}


def registers(entries):
    return [e for e in entries if e[0] == "sent" and e[2].startswith("REGISTER ")]


def line_args(kam, password, trace):
    return ["--server", "127.0.0.1:%d" % kam.port, "--password", password, "--trace", trace]


@scenario
def register_and_unregister(d):
    trace = os.path.join(d, "trace-a")
    with h.Kamailio(d, USERS) as kam, \
            h.Peer(PEER, d, "a", "alice", args=line_args(kam, "secret", trace)) as peer:
        aor = "sip:alice@127.0.0.1:%d" % kam.port
        registered = peer.wait_for(re.escape("LOG I Registered as: " + aor), 5)
        attempted = peer.wait_for(re.escape("LOG I Attempting to register " + aor), 1,
                                  from_start=True)
        sent = registers(h.trace_entries(trace))
        got = [e[2].split("\r\n")[0] for e in h.trace_entries(trace) if e[0] == "received"]
        first_plain = len(sent) >= 2 and "Authorization:" not in sent[0][2]
        second_auth = len(sent) >= 2 and re.search(
            r'\r\nAuthorization: Digest username="alice",realm="127.0.0.1",nonce="[^"]+",'
            r'uri="sip:127.0.0.1:%d",response="[0-9a-f]{32}",opaque="",algorithm=MD5\r\n'
            % kam.port, sent[1][2]) is not None
        run.check("REGISTER: 401, then 200 with the right password",
                  attempted is not None and registered is not None and first_plain and
                  second_auth and "SIP/2.0 401 Unauthorized" in got and "SIP/2.0 200 OK" in got,
                  peer.output() + "\n" + "\n".join(s[2] for s in sent))
        contact_ok = len(sent) >= 2 and re.search(
            r"\r\nContact: <sip:alice@127.0.0.1:%d>;expires=3600;q=0.90\r\n" % peer.port,
            sent[1][2]) is not None
        run.check("REGISTER carries the Contact with expires 3600 and q=0.90", contact_ok,
                  "\n".join(s[2] for s in sent))
        peer.stop()
        entries = h.trace_entries(trace)
        sent = registers(entries)
        last = sent[-1][2] if sent else ""
        unreg = ";expires=0;" in last
        answered = any(e[0] == "received" and e[2].startswith("SIP/2.0 200") and
                       "CSeq: %s" % re.search(r"CSeq: (\d+)", last).group(1) in e[2]
                       for e in entries) if unreg else False
        run.check("un-REGISTER (expires 0) at exit, answered 200", unreg and answered,
                  "\n".join(s[2] for s in sent[-2:]))


@scenario
def wrong_password(d):
    trace = os.path.join(d, "trace-a")
    with h.Kamailio(d, USERS) as kam, \
            h.Peer(PEER, d, "a", "alice", args=line_args(kam, "wrong", trace)) as peer:
        aor = "sip:alice@127.0.0.1:%d" % kam.port
        l1 = peer.wait_for(re.escape("LOG E Register authorization failed for " + aor), 5,
                           from_start=True)
        l2 = peer.wait_for(re.escape("LOG E Error returned : 401 Unauthorized"), 1)
        l3 = peer.wait_for(re.escape("LOG E Check username or password for the proxy server."), 1)
        time.sleep(3)  # no storm: nothing more is sent for the next 10 minutes
        sent = registers(h.trace_entries(trace))
        peer.stop()
        run.check("wrong password: the three log lines and no REGISTER storm",
                  l1 is not None and l2 is not None and l3 is not None and len(sent) == 2,
                  "registers=%d\n%s" % (len(sent), peer.output()))


@scenario
def refresh_from_granted_expiry(d):
    trace = os.path.join(d, "trace-a")
    with h.Kamailio(d, USERS, max_expires=15) as kam, \
            h.Peer(PEER, d, "a", "alice", args=line_args(kam, "secret", trace)) as peer:
        registered = peer.wait_for("LOG I Registered as: ", 5)
        t0 = peer.match_time
        deadline = time.time() + 14
        refresh = None
        while time.time() < deadline and refresh is None:
            time.sleep(0.2)
            sent = registers(h.trace_entries(trace))
            if len(sent) >= 3:
                refresh = time.time()
        peer.stop()
        waited = refresh - t0 if refresh else 0
        run.check("a granted expires=15 schedules the refresh 10 s after registering",
                  registered is not None and refresh is not None and 9.0 <= waited <= 11.5,
                  "waited=%.2f\n%s" % (waited, peer.output()))


QOP = {"qop": "auth", "nonce_count": 1}


def auth_lines(entries, header="Authorization"):
    return [re.search(r"\r\n%s: (Digest [^\r]*)\r\n" % header, e[2]).group(1)
            for e in entries if e[0] == "sent" and "\r\n%s: " % header in e[2]]


@scenario
def register_with_qop_and_nonce_counting(d):
    # Kamailio offers qop=auth and remembers the nonce counts: the refresh 10 s later reuses
    # the nonce with nc=00000002 and is taken without a new challenge.
    for algorithm in ("MD5", "SHA-256"):
        auth = dict(QOP, algorithm=algorithm)
        trace = os.path.join(d, algorithm, "trace-a")
        with h.Kamailio(os.path.join(d, algorithm), USERS, max_expires=15, auth=auth) as kam, \
                h.Peer(PEER, os.path.join(d, algorithm), "a", "alice",
                       args=line_args(kam, "secret", trace)) as peer:
            registered = peer.wait_for("LOG I Registered as: ", 5)
            deadline = time.time() + 14
            while time.time() < deadline and len(registers(h.trace_entries(trace))) < 3:
                time.sleep(0.2)
            time.sleep(0.5)
            entries = h.trace_entries(trace)
            peer.stop()
            creds = auth_lines(entries)
            got = [e[2].split("\r\n")[0] for e in entries if e[0] == "received"]
            form = re.compile(r'Digest username="alice",realm="127.0.0.1",nonce="([^"]+)",'
                              r'uri="sip:127.0.0.1:%d",response="[0-9a-f]{%d}",opaque="",'
                              r'algorithm=%s,qop=auth,nc=(\d{8}),cnonce="[0-9a-f]+"$' %
                              (kam.port, 64 if algorithm == "SHA-256" else 32, algorithm))
            parsed = [form.match(c) for c in creds]
            counted = (len(parsed) >= 2 and None not in parsed[:2] and
                       parsed[0].group(1) == parsed[1].group(1) and
                       [p.group(2) for p in parsed[:2]] == ["00000001", "00000002"])
            # 401 once, then 200 for the first REGISTER and for the refresh.
            run.check("qop=auth %s: registered, the refresh counts nc=00000002 on the same "
                      "nonce and is accepted without a new 401" % algorithm,
                      registered is not None and counted and got.count("SIP/2.0 401 Unauthorized")
                      == 1 and got.count("SIP/2.0 200 OK") >= 2,
                      "\n".join(creds) + "\n" + "\n".join(got) + "\n" + peer.output(),
                      row="kamailio-qop")


@scenario
def call_through_proxy(d):
    ta = os.path.join(d, "trace-a")
    tb = os.path.join(d, "trace-b")
    with h.Kamailio(d, USERS) as kam, \
            h.Peer(PEER, d, "a", "alice", args=line_args(kam, "secret", ta)) as a, \
            h.Peer(PEER, d, "b", "bob", args=line_args(kam, "hunter2", tb) +
                   ["--answer", "auto"]) as b:
        ra = a.wait_for("LOG I Registered as: ", 5)
        rb = b.wait_for("LOG I Registered as: ", 5)
        a.send("dial bob")
        ca = a.wait_for("EVENT connected", 10)
        cb = b.wait_for("EVENT connected", 10)
        time.sleep(0.5)
        a.send("hangup")
        ea = a.wait_for("EVENT ended", 5)
        eb = b.wait_for("EVENT ended", 5)
        time.sleep(0.3)
        entries = h.trace_entries(ta)
        invites = [e for e in entries if e[0] == "sent" and e[2].startswith("INVITE ")]
        byes = [e for e in entries if e[0] == "sent" and e[2].startswith("BYE ")]
        acks = [e for e in entries if e[0] == "sent" and e[2].startswith("ACK ")]
        proxy = "127.0.0.1:%d" % kam.port
        authed = len(invites) >= 2 and "\r\nProxy-Authorization: Digest " in invites[-1][2]
        routed = (bool(byes) and byes[0][1] == proxy and "\r\nRoute: <sip:127.0.0.1:%d;lr" %
                  kam.port in byes[0][2] and bool(acks) and acks[-1][1] == proxy)
        run.check("registered engines call each other through the proxy (407 answered)",
                  None not in (ra, rb, ca, cb, ea, eb) and authed,
                  a.output() + "\n---\n" + b.output())
        run.check("ACK and BYE follow the recorded route through the proxy", routed,
                  "\n".join(e[1] + "\n" + e[2] for e in acks + byes))
        run.check("the trace files of both ends hold nothing but complete, framed entries",
                  h.trace_is_well_framed(ta) and h.trace_is_well_framed(tb))


sys.exit(run.finish())
