#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Checks quillet-tool sip from outside.

Digest credentials are recomputed here with hashlib from challenges that real servers
send (including an opaque and a stale=TRUE one); parse/uri/nameaddr/dial outputs are
read as JSON and checked field by field; exit statuses follow 0/1/2."""
import hashlib
import json
import os
import re
import subprocess
import sys

TOOL = sys.argv[1]
CORPUS = sys.argv[2]
failures = []


def run(*args, stdin=None):
    proc = subprocess.run([TOOL, "sip", *args], input=stdin, capture_output=True, timeout=20)
    return proc.returncode, proc.stdout.decode("utf-8")


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def md5(text):
    return hashlib.md5(text.encode("utf-8")).hexdigest()


HASHES = {"md5": "md5", "md5-sess": "md5", "sha-256": "sha256", "sha-256-sess": "sha256"}


def challenge_params(value):
    params = {}
    for name, quoted, plain in re.findall(r'(\w+)\s*=\s*(?:"((?:[^"\\]|\\.)*)"|([^,\s]*))', value):
        params.setdefault(name.lower(), quoted if quoted or not plain else plain)
    return params


def expected_response(p, method, uri, user, password, cnonce=None, nc=None):
    """The digest response as a server computes it (RFC 2617 / RFC 7616)."""
    algorithm = p.get("algorithm", "MD5").lower()
    def h(text):
        return hashlib.new(HASHES[algorithm], text.encode("utf-8")).hexdigest()
    ha1 = h(f"{user}:{p.get('realm', '')}:{password}")
    if algorithm.endswith("-sess"):
        ha1 = h(f"{ha1}:{p.get('nonce', '')}:{cnonce}")
    ha2 = h(f"{method}:{uri}")
    if cnonce is None:
        return h(f"{ha1}:{p.get('nonce', '')}:{ha2}")
    return h(f"{ha1}:{p.get('nonce', '')}:{nc}:{cnonce}:auth:{ha2}")


CHALLENGES = [
    # Kamailio's REGISTER challenge with qop offered: answered with qop=auth, cnonce and nc.
    ('Digest realm="sip.example.com", nonce="Z1NwXGdTb1gX7lRv1Yz9ZcR2mTz1CkVl", qop="auth"',
     "REGISTER", "sip:sip.example.com", "alice", "s3cret"),
    # Asterisk's proxy challenge with opaque, marked stale.
    ('Digest algorithm=MD5, realm="asterisk", nonce="4b9a1f2e", '
     'opaque="5ccc069c403ebaf9f0171e9517f40e41", stale=TRUE',
     "INVITE", "sip:200@pbx.example.org", "1001", "pa55"),
    # A FreeSWITCH-style challenge in lower case with a plain realm.
    ('digest realm=10.0.0.1, nonce="a6c8e1b2-4f3d-11ee-9a1b-0242ac120002", algorithm=MD5',
     "BYE", "sip:bob@10.0.0.2:5060", "bob", "pw"),
    # Non-ASCII user and password are hashed as UTF-8.
    ('Digest realm="Ümlaut", nonce="n,with,commas", opaque="", stale=false',
     "INVITE", "sip:zoë@example.com", "Zoë", "pässwörd"),
    # SHA-256 and the -sess forms, with qop (RFC 7616 servers) and without.
    ('Digest realm="pbx", nonce="c2hhMjU2", qop="auth-int, auth", algorithm=SHA-256, opaque="o1"',
     "INVITE", "sip:300@pbx", "1002", "pw2"),
    ('Digest realm="pbx", nonce="c2Vzcw", qop=auth, algorithm=MD5-sess',
     "REGISTER", "sip:pbx", "1003", "pw3"),
    ('Digest realm="pbx", nonce="c2Vzcw2", qop="auth", algorithm=SHA-256-sess',
     "REGISTER", "sip:pbx", "1003", "pw3"),
    ('Digest realm="pbx", nonce="bm9xb3A", algorithm=SHA-256', "REGISTER", "sip:pbx", "u", "p"),
]

QOP_TAIL = re.compile(r',qop=auth,nc=([0-9a-f]{8}),cnonce="([^"]+)"$')
for challenge, method, uri, user, password in CHALLENGES:
    rc, out = run("digest", "--challenge", challenge, "--method", method, "--uri", uri,
                  "--user", user, "--password", password)
    check(rc == 0, f"digest exit status {rc} for {challenge}")
    p = challenge_params(challenge)
    credentials = out.strip()
    qop = "auth" in [q.strip() for q in p.get("qop", "").split(",")]
    tail = QOP_TAIL.search(credentials)
    check(qop == (tail is not None), f"qop=auth answered exactly when offered: {credentials}")
    cnonce, nc = (tail.group(2), tail.group(1)) if tail else (None, None)
    check(nc in (None, "00000001"), f"first answer of a nonce counts 1: {credentials}")
    response = expected_response(p, method, uri, user, password, cnonce, nc)
    expected = (f'Digest username="{user}",realm="{p.get("realm", "")}",nonce="{p.get("nonce", "")}",'
                f'uri="{uri}",response="{response}",opaque="{p.get("opaque", "")}",'
                f'algorithm={p.get("algorithm", "MD5")}')
    if tail:
        expected += tail.group(0)
    check(credentials == expected, f"digest credentials\n  got      {credentials}\n  expected {expected}")
    rc, out = run("digest", "--challenge", challenge, "--method", method, "--uri", uri,
                  "--user", user, "--password", password, "--json")
    data = json.loads(out)
    check(data["stale"] == (p.get("stale", "").lower() == "true"), f"stale flag of {challenge}")
    if tail:
        response = expected_response(p, method, uri, user, password, *re.search(
            r'cnonce="([^"]+)"', data["credentials"]).groups(), "00000001")
    check(data["response"] == response, "digest --json response")

rc, _ = run("digest", "--challenge", 'Basic realm="x"', "--method", "INVITE", "--uri", "sip:a@b")
check(rc == 1, "a Basic challenge is rejected with 1")
rc, _ = run("digest", "--method", "INVITE")
check(rc == 2, "digest without --challenge is bad usage")

# Every corpus message parses, and its JSON has the documented shape; one with more headers
# than a message may have (512) is rejected with 1.
for name in sorted(os.listdir(CORPUS)):
    with open(os.path.join(CORPUS, name), "rb") as f:
        data = f.read()
    rc, out = run("parse", os.path.join(CORPUS, name))
    too_many = data.split(b"\r\n\r\n")[0].count(b"\n") > 512
    check(rc == (1 if too_many else 0), f"parse {name} exit {rc}")
    if rc != 0:
        continue
    msg = json.loads(out)
    check(set(msg) == {"kind", "method", "uri", "status", "reason", "headers", "bodies"},
          f"parse {name} keys")
    check(msg["kind"] in ("request", "response"), f"parse {name} kind")
    check((msg["kind"] == "request") == (msg["method"] != ""), f"parse {name} method/kind")

rc, out = run("parse", os.path.join(CORPUS, "invite_multipart.sip"))
msg = json.loads(out)
check([b["type"] for b in msg["bodies"]] == ["application/sdp", "application/ISUP"], "multipart types")
rc, out = run("parse", "-", stdin=b"sip/2.0 180 ringing\r\nt: <sip:a@b>;tag=1\r\n\r\n")
msg = json.loads(out)
check(msg["kind"] == "response" and msg["status"] == 180 and msg["reason"] == "ringing", "parse stdin")
check(msg["headers"] == [{"name": "t", "value": "<sip:a@b>;tag=1"}], "parse stdin headers")
rc, _ = run("parse", "-", stdin=b"INVITE sip:x@y\r\n\r\n")
check(rc == 1, "a request line without version is rejected with 1")
rc, _ = run("parse", "/nonexistent/file.sip")
check(rc == 1, "an unreadable file is rejected with 1")
rc, _ = run("parse", "-", stdin=bytes(range(256)) * 8)
check(rc in (0, 1), "binary input never crashes")

rc, out = run("uri", "alice@H:5070;transport=udp")
u = json.loads(out)
check((u["scheme"], u["user"], u["host"], u["hasPort"], u["port"]) == ("sip", "alice", "H", True, 5070),
      "uri fields")
check(u["params"] == [{"name": "transport", "value": "udp"}], "uri params")
check(u["printed"] == "sip:alice@H:5070", "uri printed")

rc, out = run("nameaddr", '"Bob" <sip:bob@H>;tag=77')
n = json.loads(out)
check((n["displayName"], n["uri"], n["tag"]) == ("Bob", "sip:bob@H", "77"), "nameaddr fields")
check(n["stripped"] == '"Bob" <sip:bob@H>', "nameaddr stripped")

for text, expected in [("123", "<sip:123@S>"), ("123@H", "<sip:123@H>"),
                       ("sip:123@H", "<sip:123@H>"), ("callto:123", "<callto:123@S>")]:
    rc, out = run("dial", text, "S")
    check(rc == 0 and json.loads(out) == {"dialable": True, "nameAddr": expected}, f"dial {text}")
rc, out = run("dial", "<sip:broken", "S")
check(rc == 1 and json.loads(out) == {"dialable": False}, "dial of an undialable text")
rc, _ = run("frobnicate")
check(rc == 2, "unknown subcommand is bad usage")

if failures:
    print(f"{len(failures)} check(s) failed")
    sys.exit(1)
print("all quillet-tool sip checks passed")
