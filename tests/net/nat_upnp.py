# SPDX-License-Identifier: Apache-2.0
"""UPnP port mapping against miniupnpd as the router of a namespace NAT, plus a small
gateway of the test's own for what miniupnpd never answers (a mixed-case "Location:", a
PPP-only description, NAT reported disabled); and the networking test on both sides.

    nat_upnp.py QUILLET_TOOL"""
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import natlab  # noqa: E402
from natlab import (LAN, PUBLIC, PUBLIC6, ROUTER_IN, ROUTER_OUT, Checks, NatLab, profile,  # noqa: E402
                    settings_of, wait_output)

TOOL = sys.argv[1]

# The test's own gateway: answers M-SEARCH on the LAN side with a mixed-case Location and
# serves one description and the SOAP actions. MODE: "ppp" (only WANPPPConnection) or
# "natoff" (WANIPConnection with its NAT disabled).
GATEWAY = r"""
import http.server, socket, struct, sys, threading
lan_ip, mode = sys.argv[1], sys.argv[2]
service = "WANPPPConnection:1" if mode == "ppp" else "WANIPConnection:1"
DESC = ("<?xml version=\"1.0\"?><root><device><serviceList><service><serviceType>"
        "urn:schemas-upnp-org:service:Layer3Forwarding:1</serviceType><controlURL>/l3f"
        "</controlURL></service><service><serviceType>urn:schemas-upnp-org:service:" + service +
        "</serviceType><controlURL>/ctl/conn</controlURL></service></serviceList></device></root>")
ANSWERS = {
    "GetConnectionTypeInfo": "<NewConnectionType>IP_Routed</NewConnectionType>",
    "GetNATRSIPStatus": "<NewRSIPAvailable>0</NewRSIPAvailable><NewNATEnabled>" +
                        ("false" if mode == "natoff" else "1") + "</NewNATEnabled>",
    "GetExternalIPAddress": "<NewExternalIPAddress>80.1.2.254</NewExternalIPAddress>",
    "AddPortMapping": "",
}
class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *a): pass
    def reply(self, body):
        data = body.encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)
    def do_GET(self):
        self.reply(DESC)
    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", "0")))
        action = self.headers.get("SOAPACTION", "").strip('"').split("#")[-1]
        print("action", action, flush=True)
        self.reply("<s:Envelope><s:Body><u:%sResponse>%s</u:%sResponse></s:Body></s:Envelope>"
                   % (action, ANSWERS.get(action, ""), action))
httpd = http.server.HTTPServer((lan_ip, 5001), Handler)
threading.Thread(target=httpd.serve_forever, daemon=True).start()
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("", 1900))
s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
             struct.pack("4s4s", socket.inet_aton("239.255.255.250"), socket.inet_aton(lan_ip)))
print("ready", flush=True)
while True:
    data, peer = s.recvfrom(2048)
    if data.startswith(b"M-SEARCH"):
        s.sendto(("HTTP/1.1 200 OK\r\nCache-Control: max-age=120\r\nST: urn:schemas-upnp-org:"
                  "device:InternetGatewayDevice:1\r\nLocation: http://%s:5001/desc.xml\r\n\r\n"
                  % lan_ip).encode(), peer)
"""



def tool(lab, where, home, *args, timeout=60):
    return natlab.tool(lab, where, TOOL, home, *args, timeout=timeout)


def forwarded(lab, external_port, internal_port):
    """A datagram from the public side to the router's external port reaches the LAN host."""
    listener = lab.start("lan", "listen%d" % internal_port, sys.executable, "-c",
                         "import socket\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                         "s.bind(('', %d))\ns.settimeout(5)\nprint(s.recv(100).decode())\n"
                         % internal_port)
    time.sleep(0.3)
    lab.inside("pub", sys.executable, "-c",
               "import socket,time\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
               "for i in range(10):\n  s.sendto(b'through', ('%s', %d)); time.sleep(0.1)\n"
               % (ROUTER_OUT, external_port))
    listener.wait(timeout=10)
    return "through" in lab.output("listen%d" % internal_port)


def main():
    c = Checks()
    with NatLab() as lab, tempfile.TemporaryDirectory() as root:
        upnpd = lab.start_miniupnpd()

        # An RTP socket at x.x.x.23 with only UPnP on: external port 8000 + 23 x 16.
        home = profile(root, "upnp", {"STUN": "0", "UPNP": "1"})
        rc, out, err = tool(lab, "lan", home, "resolve", "8000", "--rtp")
        c.expect(rc == 0 and out and (out[0]["address"], out[0]["port"], out[0]["nat"]) ==
                 (ROUTER_OUT, 8368, False), "UPnP maps RTP port 8000 to 8368", out or err)
        c.expect(forwarded(lab, 8368, 8000), "the router forwards 8368 to the LAN host's 8000",
                 lab.output("miniupnpd")[-2000:])

        # A mapping the router refuses (external port outside its allowed range): SOAP fault.
        rc, out, err = tool(lab, "lan", home, "upnp", "map", "5070", "--external", "1000",
                            timeout=30)
        c.expect(rc == 1 and out and out[0]["refused"] is True,
                 "a SOAP fault sets the refused flag", out or err)

        rc, out, err = tool(lab, "lan", home, "resolve", "1000", timeout=30)
        c.expect(out and out[0]["address"] == LAN and
                 "Unable to use UPnP for NAT routing (UPnP failed)" in err and
                 "Error: UPnP NAT routing is disabled on the server or router." in err,
                 "a refused mapping is logged as UPnP switched off on the router", (out, err))

        # The networking test on the LAN side: STUN is filtered by the masquerade, so the
        # test goes on to UPnP and keeps it; on the public side the address is its own.
        lab.start_stund()
        # Another program holds SIP port 5070: the next port up is tried and stored.
        holder = lab.start("lan", "holder", sys.executable, "-c",
                           "import socket,time\ns=socket.socket(socket.AF_INET,"
                           "socket.SOCK_DGRAM)\ns.bind(('', 5070))\nprint('bound', flush=True)\n"
                           "time.sleep(120)\n")
        wait_output(lab, "holder", "bound")
        home = profile(root, "wizard", {"Port": "5070", "RTPPortBase": "8100"})
        rc, out, err = tool(lab, "lan", home, "network-test", "--stun-servers", PUBLIC,
                            timeout=90)
        lab.stop(holder)
        statuses = [o["status"] for o in out if "status" in o]
        values = settings_of(home)
        c.expect(rc == 0 and "Checking with STUN" in statuses and
                 "Checking for a UPnP NAT" in statuses and
                 "NAT is symmetric so STUN will not work." in err and
                 "UPnP NAT or router found" in err and "No UPnP NAT" not in err,
                 "networking test behind the NAT finds the UPnP router", (statuses, err[-1500:]))
        c.expect("IPv6: no global address on this computer" in err and "fe80:" not in err,
                 "networking test: no IPv6 on the LAN side (link-local ones not counted)",
                 err[-1500:])
        c.expect((values.get("UPNP"), values.get("STUN"), values.get("Active"),
                  values.get("Port")) == ("1", "0", "0", "5071") and
                 "Port 5070 (UDP) is being used by another program - trying another port" in err
                 and "Sip Port 5071 (UDP) opened OK" in err,
                 "networking test stores port 5071, UPNP on, STUN and Active off", values)
        c.expect([o["progress"] for o in out if "progress" in o] == [0.05, 0.1, 0.3, 0.6],
                 "networking test progress steps", out)
        home = profile(root, "direct", {"STUN": "1", "UPNP": "1"})
        rc, out, err = tool(lab, "pub", home, "network-test", "--stun-servers", PUBLIC,
                            timeout=90)
        c.expect(rc == 0 and "This computer connects to Internet directly" in err and
                 (settings_of(home).get("STUN"), settings_of(home).get("UPNP")) == ("0", "0"),
                 "networking test on the public side switches STUN and UPnP off", err[-1500:])
        c.expect("IPv6 address is: " + PUBLIC6 in err and "fe80:" not in err and
                 "IPv6 has no NAT: STUN and UPnP are used for IPv4 only" in err,
                 "networking test names the public side's IPv6 address, without NAT probes",
                 err[-1500:])
        lab.stop(upnpd)

        # The test's own gateway: a mixed-case Location and a PPP-only description map.
        gateway = lab.start("nat", "gateway-ppp", sys.executable, "-c", GATEWAY, ROUTER_IN, "ppp")
        wait_output(lab, "gateway-ppp", "ready")
        rc, out, err = tool(lab, "lan", home, "upnp", "map", "8000", timeout=30)
        c.expect(rc == 0 and out and out[0]["externalAddress"] == ROUTER_OUT and
                 out[0]["externalPort"] == 8023 and "action AddPortMapping" in
                 lab.output("gateway-ppp"), "PPP service found through 'Location:'", out or err)
        lab.stop(gateway)
        # NAT reported disabled: the gateway is not used; the 10 s of discovery run out and
        # the resolution logs its failure.
        gateway = lab.start("nat", "gateway-off", sys.executable, "-c", GATEWAY, ROUTER_IN,
                            "natoff")
        wait_output(lab, "gateway-off", "ready")
        home = profile(root, "natoff", {"STUN": "0", "UPNP": "1"})
        started = time.monotonic()
        rc, out, err = tool(lab, "lan", home, "resolve", "5070", timeout=30)
        took = time.monotonic() - started
        c.expect(out and out[0]["address"] == LAN and
                 "Unable to use UPnP for NAT routing (UPnP failed)" in err and
                 "action AddPortMapping" not in lab.output("gateway-off") and 9 < took < 20,
                 "a gateway with NAT disabled is not used", (out, err, took))
    c.finish()


if __name__ == "__main__":
    main()
