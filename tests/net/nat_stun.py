# SPDX-License-Identifier: Apache-2.0
"""STUN, the HTTP lookup and the resolution order against real servers in namespaces: stund
(classic STUN, two addresses), coturn (an RFC 5389 server) and a small HTTP address service,
on the public side of an nftables masquerade.

    nat_stun.py QUILLET_TOOL"""
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import natlab  # noqa: E402
from natlab import (LAN, PUBLIC, ROUTER_OUT, Checks, NatLab, profile,  # noqa: E402
                    settings_of, wait_udp_answer)

TOOL = sys.argv[1]

HTTP_SERVICE = r"""
import http.server
class Echo(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = ("<html>\n\n" + self.client_address[0] + "\n").encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.end_headers()
        self.wfile.write(body)
http.server.HTTPServer(("%s", 8080), Echo).serve_forever()
"""



def tool(lab, where, home, *args, timeout=60):
    return natlab.tool(lab, where, TOOL, home, *args, timeout=timeout)


def main():
    c = Checks()
    with NatLab() as lab, tempfile.TemporaryDirectory() as root:
        lab.start_stund()
        lab.start("pub", "coturn", "turnserver", "-n", "--listening-ip=" + PUBLIC,
                  "--listening-port=3480", "--no-tcp", "--no-tls", "--no-dtls", "--stun-only",
                  "--no-cli", "--log-file=stdout", "--simple-log")
        lab.start("pub", "http", sys.executable, "-c", HTTP_SERVICE % PUBLIC)
        wait_udp_answer(lab, "pub", PUBLIC, 3480)
        home = profile(root, "empty", {})

        rc, out, err = tool(lab, "pub", home, "stun", PUBLIC)
        c.expect(rc == 0 and out[0]["address"] == PUBLIC and
                 out[0]["port"] == out[0]["localPort"],
                 "a client on the server's network is told its own address and port", out or err)
        rc, out, err = tool(lab, "lan", home, "stun", PUBLIC, "--port", "4000")
        c.expect(rc == 0 and (out[0]["address"], out[0]["port"]) == (ROUTER_OUT, 45000),
                 "behind the masquerade stund reports the NAT's address and port", out or err)
        rc, out, err = tool(lab, "lan", home, "stun", PUBLIC + ":3480", "--port", "4000")
        c.expect(rc == 0 and (out[0]["address"], out[0]["port"]) == (ROUTER_OUT, 45000),
                 "coturn's XOR-MAPPED-ADDRESS gives the NAT's address and port", out or err)
        rc, out, err = tool(lab, "pub", home, "stun", PUBLIC, "--change")
        c.expect(rc == 0 and out[0]["filtered"] is False,
                 "without a NAT the answer from stund's other address arrives", out or err)
        rc, out, err = tool(lab, "lan", home, "stun", PUBLIC, "--change")
        c.expect(rc == 0 and out[0]["filtered"] is True,
                 "the masquerade filters the answer from another address", out or err)

        # The resolution of an RTP socket with a silent first server: the second answers, and
        # the next resolution in the same process asks it first.
        home = profile(root, "stun", {"STUNServer1": PUBLIC + ":3999", "STUNServer2": PUBLIC})
        rc, out, err = tool(lab, "lan", home, "resolve", "4000", "--rtp", "--times", "2")
        c.expect(rc == 0 and len(out) == 2 and
                 all((o["address"], o["port"], o["nat"]) == (ROUTER_OUT, 45000, True)
                     for o in out), "STUN resolution through the second server", out or err)
        c.expect(err.count("STUN server failed: %s:3999" % PUBLIC) == 1,
                 "the silent server is logged once and not asked again", err)
        home = profile(root, "dead", {"STUNServer1": PUBLIC + ":3999",
                                      "STUNServer2": PUBLIC + ":3998"})
        rc, out, err = tool(lab, "lan", home, "resolve", "5070")
        c.expect(rc == 0 and (out[0]["address"], out[0]["port"]) == (LAN, 5070) and
                 "Check local firewall is not blocking UDP port 5070" in err and
                 "Unable to auto-detect public IP. Using private IP" in err,
                 "both servers silent: the private address with the hints", out or err)

        # "Active" skips STUN; the HTTP lookup then finds the address (a mapping known to be
        # public, so no NAT flag); the static base still shifts the port.
        home = profile(root, "http", {"Active": "1", "HTTP": "1", "STATIC": "1",
                                      "STATICRTPPortBase": "9000",
                                      "HTTPServer": "http://%s:8080/ip" % PUBLIC})
        rc, out, err = tool(lab, "lan", home, "resolve", "8004", "--rtp")
        c.expect(rc == 0 and (out[0]["address"], out[0]["port"], out[0]["nat"]) ==
                 (ROUTER_OUT, 9004, False), "HTTP lookup with the static port base", out or err)
        c.expect(settings_of(home).get("Active") == "0", "the static mapping switched Active off")
        home = profile(root, "nohttp", {"STUN": "0", "HTTP": "1",
                                        "HTTPServer": "%s:8081/ip" % PUBLIC})
        rc, out, err = tool(lab, "lan", home, "resolve", "5070")
        c.expect(out and out[0]["address"] == LAN and "HTTP Lookup of IP address failed" in err,
                 "a refused HTTP lookup falls back with its log line", out or err)
    c.finish()


if __name__ == "__main__":
    main()
