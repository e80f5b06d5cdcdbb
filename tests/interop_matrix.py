#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""The interop matrix: reads the checks the interop tests recorded per row (one JSON line
per check in RESULTS/ROW.jsonl), prints one line per row and writes the table to OUT.
Fails when a row has a failed check.
Usage: interop_matrix.py RESULTS OUT"""
import json
import os
import sys

# (row, the program on the other side, what the row covers)
ROWS = [
    ("kamailio-qop", "Kamailio 5.6 (qop=auth, nonce counting)",
     "REGISTER + refresh (MD5, SHA-256), call through the proxy, audio both ways"),
    ("kamailio", "Kamailio 5.6 (digest without qop)",
     "REGISTER, refresh, wrong password, call through the proxy, audio"),
    ("kamailio-tls", "Kamailio 5.6 over TLS (test CA)",
     "REGISTER with digest, call through the proxy, audio both ways, bad certificates refused"),
    ("kamailio-tcp", "Kamailio 5.6 over TCP", "REGISTER with digest, call through the proxy, audio"),
    ("kamailio-srv", "Kamailio 5.6 found by SRV (dnsmasq)",
     "domain only: SRV priorities, first target down, REGISTER over TLS at the second"),
    ("kamailio-ipv6", "Kamailio 5.6 over IPv6 (::1)",
     "REGISTER with digest, call through the proxy, audio, nothing over IPv4"),
    ("quillet-ipv6", "Quillet to Quillet over IPv6 (::1)",
     "intercom call addressed by [::1], every word heard, nothing over IPv4"),
    ("sipp", "SIPp 3.6.1", "incoming/outgoing scenarios, forks, no common codec, flood"),
    ("sipp-tcp", "SIPp 3.6.1 over TCP (-t t1; built without TLS)",
     "calls both ways, requests inside the call, a 40 KB INVITE's Vias and routes kept whole"),
    ("sipp-hold", "SIPp 3.6.1 (hold scenarios)",
     "held by the far end (sendonly, 0.0.0.0, inactive) and resumed; our hold refused with 488, "
     "then taken; voice stops and resumes on the wire"),
    ("sipp-early-media", "SIPp 3.6.1 (callees before the answer)",
     "a 183 announcement heard before the 200, the ringback tone until the answer, an intercom "
     "call's own calling sound, a ringing call cancelled"),
    ("torture", "raw UDP (RFC 4475 cases)", "39 torture messages, then a real call"),
    ("baresip", "baresip 1.0.0", "calls both ways, DTMF, audio"),
    ("baresip-wideband", "baresip 1.0.0 (opus, g722 modules)",
     "Quillet's line offers Opus, G.722 first: each chosen, words intact both ways"),
    ("baresip-tls", "baresip 1.0.0 over TLS (test CA)", "calls both ways, audio both ways"),
    ("baresip-srtp", "baresip 1.0.0 with SDES keys over TLS",
     "baresip calls, SRTP required on both sides, words heard both ways"),
    ("baresip-dtls-srtp", "baresip 1.0.0 with DTLS-SRTP",
     "Quillet calls over UDP, fingerprint verified, words heard both ways"),
    ("linphone", "Linphone 5.1 (linphonec)",
     "calls both ways, audio both ways; hold and resume both ways, nothing sent while held"),
    ("linphone-opus", "Linphone 5.1 (linphonec) with Opus",
     "Linphone calls a line offering Opus first: Opus chosen, words intact both ways"),
    ("linphone-tls", "Linphone 5.1 (linphonec) over TLS",
     "Linphone calls, Quillet hangs up, audio both ways (Linphone takes no incoming TLS)"),
    ("linphone-srtp", "Linphone 5.1 (linphonec) with SDES keys over TLS",
     "Linphone calls with SRTP required (RTP/SAVP), suite logged, words heard both ways"),
    ("linphone-dtls-srtp", "Linphone 5.1 (linphonec) with DTLS-SRTP",
     "calls both ways over UDP, fingerprint verified, words heard both ways"),
    ("gstreamer-srtp", "GStreamer 1.22 srtpenc/srtpdec (keys by SDES over TLS)",
     "each SDES suite: Quillet's words decrypted and heard, SRTCP read, its speech heard"),
    ("gstreamer-paging", "GStreamer 1.22 multicast pager and listener",
     "its Opus page (rtpopuspay) heard on a quillet's speaker, its PCMU page (rtppcmupay) "
     "across a bridge on two desks; our PCMU page heard by udpsrc"),
    ("twinkle", "Twinkle 1.10 (twinkle-console)", "calls both ways, audio both ways (ALSA file devices)"),
    ("transfer-baresip", "baresip 1.0.0 (two)",
     "blind transfer and join (quillet-tool), attended (Replaces, re-INVITE bridge), audio"),
    ("transfer-kamailio", "Kamailio 5.6 with two baresips",
     "blind transfer with all three registered, REFER through the proxy, audio"),
    ("transfer-linphone", "Linphone 5.1 (linphonec)",
     "blind transfer: linphonec handed over to baresip, audio both ways"),
]


def read_row(folder, row):
    path = os.path.join(folder, row + ".jsonl")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def main(folder, out):
    lines = []
    widths = (max(len(r[1]) for r in ROWS), max(len(r[2]) for r in ROWS))
    header = "%-*s  %-*s  %-7s  %s" % (widths[0], "Program", widths[1], "Covers", "Checks", "Result")
    lines += ["Interop matrix", header, "-" * len(header)]
    failed = False
    for row, program, covers in ROWS:
        checks = read_row(folder, row)
        passed = sum(1 for c in checks if c["ok"] is True)
        failures = [c["check"] for c in checks if c["ok"] is False]
        skipped = [c for c in checks if c["ok"] is None]
        if failures:
            result = "FAILED: " + "; ".join(failures)
            failed = True
        elif passed:
            result = "passed"
            if skipped:
                result += "; %d not counted: %s" % (len(skipped), skipped[0].get("why", ""))
        elif skipped:
            result = "skipped: " + skipped[0].get("why", "")
        else:
            result = "not run"
        ran = passed + len(failures)
        lines.append("%-*s  %-*s  %-7s  %s" % (widths[0], program, widths[1], covers,
                                               "%d/%d" % (passed, ran), result))
    text = "\n".join(lines) + "\n"
    print(text)
    with open(out, "w") as f:
        f.write(text)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
