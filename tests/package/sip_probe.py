# SPDX-License-Identifier: Apache-2.0
"""The far side of the package test, on loopback UDP.
  sip_probe.py options HOST PORT     one OPTIONS request; succeeds when a 200 OK answers
  sip_probe.py registrar PORT LOG    a registrar without authentication that grants what is
                                     asked and writes "REGISTER <aor> expires=N" lines to LOG
                                     until SIGTERM
  sip_probe.py call HOST PORT LOG    an intercom call (Answer-Mode: Auto): writes "answered"
                                     to LOG once it is, then "BYE" when the far end ends it;
                                     succeeds on that BYE within 60 s"""
import re
import signal
import socket
import sys


def options(host, port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))
    local = sock.getsockname()[1]
    sock.settimeout(5)
    request = ("OPTIONS sip:%s:%d SIP/2.0\r\n"
               "Via: SIP/2.0/UDP 127.0.0.1:%d;branch=z9hG4bK-package-1;rport\r\n"
               "Max-Forwards: 70\r\n"
               "From: <sip:probe@127.0.0.1:%d>;tag=package\r\n"
               "To: <sip:%s:%d>\r\n"
               "Call-ID: package-options-1@127.0.0.1\r\n"
               "CSeq: 1 OPTIONS\r\nContent-Length: 0\r\n\r\n"
               % (host, port, local, local, host, port))
    sock.sendto(request.encode(), (host, port))
    try:
        answer = sock.recv(65536).decode(errors="replace")
    except socket.timeout:
        sys.exit("no answer to OPTIONS")
    print(answer.splitlines()[0])
    return 0 if answer.startswith("SIP/2.0 200") else 1


def reply_ok(sock, peer, lines):
    """A 200 OK to a request, with the headers that identify the transaction."""
    keep = [line for line in lines[1:]
            if line.split(":", 1)[0].lower() in ("via", "from", "to", "call-id", "cseq")]
    sock.sendto("\r\n".join(["SIP/2.0 200 OK"] + keep + ["Content-Length: 0", "", ""]).encode(),
                peer)


def call(host, port, log_path):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))
    local = sock.getsockname()[1]
    media = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)  # takes the far end's RTP
    media.bind(("127.0.0.1", 0))
    sdp = ("v=0\r\no=probe 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
           "m=audio %d RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n" % media.getsockname()[1])
    start = "sip:%s:%d" % (host, port)
    common = ("From: <sip:probe@127.0.0.1:%d>;tag=package\r\n" % local +
              "Call-ID: package-call-1@127.0.0.1\r\nMax-Forwards: 70\r\n")
    invite = ("INVITE %s SIP/2.0\r\n" % start +
              "Via: SIP/2.0/UDP 127.0.0.1:%d;branch=z9hG4bK-package-inv;rport\r\n" % local +
              common + "To: <%s>\r\nCSeq: 1 INVITE\r\n" % start +
              "Contact: <sip:probe@127.0.0.1:%d>\r\nAnswer-Mode: Auto\r\n" % local +
              "Content-Type: application/sdp\r\nContent-Length: %d\r\n\r\n%s" % (len(sdp), sdp))
    sock.sendto(invite.encode(), (host, port))
    sock.settimeout(60)
    with open(log_path, "a", buffering=1) as log:
        try:
            while True:
                data, peer = sock.recvfrom(65536)
                lines = data.decode(errors="replace").split("\r\n")
                if lines[0].startswith("SIP/2.0 200") and "INVITE" in (header(lines, "CSeq") or ""):
                    to = header(lines, "To")
                    ack = ("ACK %s SIP/2.0\r\n" % start +
                           "Via: SIP/2.0/UDP 127.0.0.1:%d;branch=z9hG4bK-package-ack\r\n" % local +
                           common + "To: %s\r\nCSeq: 1 ACK\r\nContent-Length: 0\r\n\r\n" % to)
                    sock.sendto(ack.encode(), (host, port))
                    log.write("answered\n")
                elif lines[0].startswith("SIP/2.0 ") and not lines[0].startswith("SIP/2.0 1"):
                    log.write("refused: %s\n" % lines[0])
                    return 1
                elif lines[0].startswith("BYE "):
                    reply_ok(sock, peer, lines)
                    log.write("BYE\n")
                    return 0
        except socket.timeout:
            log.write("no BYE\n")
            return 1


def header(lines, name):
    for line in lines:
        if line.lower().startswith(name.lower() + ":"):
            return line.split(":", 1)[1].strip()
    return None


def registrar(port, log_path):
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", port))
    with open(log_path, "a", buffering=1) as log:
        while True:
            data, peer = sock.recvfrom(65536)
            lines = data.decode(errors="replace").split("\r\n")
            if not lines[0].startswith("REGISTER "):
                continue
            contact = header(lines, "Contact") or ""
            found = re.search(r";\s*expires=(\d+)", contact)
            expires = found.group(1) if found else (header(lines, "Expires") or "3600")
            to = header(lines, "To") or ""
            log.write("REGISTER %s expires=%s\n" % (to, expires))
            vias = [line for line in lines if line.lower().startswith("via:")]
            answer = ["SIP/2.0 200 OK"] + vias + [
                "From: " + (header(lines, "From") or ""),
                "To: " + to + ("" if ";tag=" in to else ";tag=registrar"),
                "Call-ID: " + (header(lines, "Call-ID") or ""),
                "CSeq: " + (header(lines, "CSeq") or ""),
            ]
            if contact and expires != "0":
                answer.append("Contact: %s" % re.sub(r";\s*expires=\d+", "", contact) +
                              ";expires=" + expires)
            answer += ["Expires: " + expires, "Content-Length: 0", "", ""]
            sock.sendto("\r\n".join(answer).encode(), peer)


if sys.argv[1] == "options":
    sys.exit(options(sys.argv[2], int(sys.argv[3])))
if sys.argv[1] == "call":
    sys.exit(call(sys.argv[2], int(sys.argv[3]), sys.argv[4]))
registrar(int(sys.argv[2]), sys.argv[3])
