"""Sends one SIP OPTIONS request over UDP and succeeds when a 200 OK answers it.
usage: sip_options.py HOST PORT"""
import socket
import sys

host, port = sys.argv[1], int(sys.argv[2])
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
sys.exit(0 if answer.startswith("SIP/2.0 200") else 1)
