#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""A line found by DNS, as a provider publishes it: the line names only its domain
(example.test) and TLS; dnsmasq serves the domain's SRV records with two priorities. The
first target is down, so Quillet registers (digest, over TLS, checked against the domain's
certificate) at the second one; over UDP, where the first target's port is closed, the
ICMP error sends the REGISTER to the second one at once. Calls go the same way: an INVITE
whose first server is silent, cannot be reached (closed UDP port, at once), refuses the
connection or answers 503 goes to the second one, and the call connects; with no server
left the call fails within the usual time limit.

The script makes a network namespace whose resolv.conf names its own dnsmasq, and runs
itself again inside it; everything it starts, it stops, and the namespace goes at the end.
    locate_e2e.py QUILLET"""
import os
import shutil
import socket
import subprocess
import sys
import threading
import time

from e2e_support import (LabCase, make_ca, make_server_cert, run_tests, take_binary_argument,
                         wait_for)
import sipharness as h  # noqa: E402 (on the path that e2e_support sets)

INSIDE = "--inside"
SKIP = 77


class Namespace:
    """`ip netns` namespace with /etc/netns/NAME/resolv.conf naming 127.0.0.1."""

    def __init__(self):
        self.name = "qdns%d" % (os.getpid() % 100000)
        self.etc = os.path.join("/etc/netns", self.name)
        self.made_netns_dir = not os.path.isdir("/etc/netns")
        subprocess.run(["ip", "netns", "add", self.name], check=True, capture_output=True)
        os.makedirs(self.etc, exist_ok=True)
        with open(os.path.join(self.etc, "resolv.conf"), "w") as f:
            f.write("nameserver 127.0.0.1\n")

    def close(self):
        subprocess.run(["ip", "netns", "del", self.name], capture_output=True)
        shutil.rmtree(self.etc, ignore_errors=True)
        if self.made_netns_dir:
            try:
                os.rmdir("/etc/netns")
            except OSError:
                pass


class Silent:
    """A UDP server on 127.0.0.1 that takes every datagram and answers none."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.running = True
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while self.running:
            try:
                self.sock.recvfrom(65535)
            except socket.timeout:
                continue

    def stop(self):
        self.running = False
        self.thread.join()
        self.sock.close()


class Unavailable:
    """A UDP SIP server on 127.0.0.1 that answers every INVITE with 503; counts them."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.invites = 0
        self.running = True
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while self.running:
            try:
                data, peer = self.sock.recvfrom(65535)
            except socket.timeout:
                continue
            lines = data.decode("utf-8", "replace").split("\r\n")
            if not lines[0].startswith("INVITE "):
                continue
            self.invites += 1
            keep = [line for line in lines[1:] if line.split(":")[0].lower() in
                    ("via", "from", "call-id", "cseq")]
            to = [line for line in lines[1:] if line.split(":")[0].lower() == "to"]
            answer = ["SIP/2.0 503 Service Unavailable"] + keep + [to[0] + ";tag=down503",
                                                                   "Content-Length: 0", "", ""]
            self.sock.sendto("\r\n".join(answer).encode(), peer)

    def stop(self):
        self.running = False
        self.thread.join()
        self.sock.close()


class LocatedLineTest(LabCase):
    prefix = "quillet-locate-"

    def dnsmasq(self, records):
        conf = os.path.join(self.dir, "dnsmasq.conf")
        with open(conf, "w") as f:
            f.write("no-resolv\nno-hosts\nno-poll\nbind-interfaces\nlisten-address=127.0.0.1\n"
                    "port=53\nuser=root\nlocal=/example.test/\nlog-queries\nlog-facility=-\n")
            f.write("\n".join(records) + "\n")
        proc = h.Process(["dnsmasq", "-k", "-C", conf], self.dir, "dnsmasq")
        self.cleanup.append(proc.stop)
        self.assertTrue(wait_for(lambda: "started" in proc.output(), 5), proc.output())
        return proc

    def test_registers_at_the_second_srv_target_when_the_first_is_down(self):
        ca = make_ca(self.dir, "Quillet Test CA")
        k = h.Kamailio(self.dir, {"alice": "alice-pw"},
                       tls=make_server_cert(self.dir, ca, "DNS:example.test"))
        self.cleanup.append(k.stop)
        down = h.free_udp_port()
        dns = self.dnsmasq([
            "srv-host=_sips._tcp.example.test,first.example.test,%d,1,10" % down,
            "srv-host=_sips._tcp.example.test,second.example.test,%d,2,10" % k.tls_port,
            "host-record=first.example.test,127.0.0.1",
            "host-record=second.example.test,127.0.0.1"])
        a = self.quillet("alice", self.silence_file, {"DefaultLine": {
            "Proxy": "example.test", "ProxyPassword": "alice-pw", "Transport": "tls",
            "TLSCAFile": ca[0]}})
        a.start()
        self.assertTrue(wait_for(lambda: "Registered as: sip:alice@example.test" in a.log_text(),
                                 30), a.log_text() + dns.output())
        log = a.log_text()
        self.assertIn("SIP TLS connection to example.test (127.0.0.1:%d) failed" % down, log)
        self.assertIn("_sips._tcp.example.test", dns.output())
        a.stop()

    def test_registers_over_udp_at_once_when_the_first_target_is_unreachable(self):
        k = h.Kamailio(self.dir, {"alice": "alice-pw"})
        self.cleanup.append(k.stop)
        closed = h.free_udp_port()
        dns = self.dnsmasq([
            "srv-host=_sip._udp.example.test,first.example.test,%d,1,10" % closed,
            "srv-host=_sip._udp.example.test,second.example.test,%d,2,10" % k.port,
            "host-record=first.example.test,127.0.0.1",
            "host-record=second.example.test,127.0.0.1"])
        a = self.quillet("alice", self.silence_file, {"DefaultLine": {
            "Proxy": "example.test", "ProxyPassword": "alice-pw", "Transport": "udp"}})
        a.start()
        began = time.monotonic()
        # Not the 7 s of a REGISTER resent for want of an answer.
        self.assertTrue(wait_for(lambda: "Registered as: sip:alice@example.test" in a.log_text(),
                                 10), a.log_text() + dns.output())
        self.assertLess(time.monotonic() - began, 2, a.log_text())
        self.assertIn("SIP: 127.0.0.1:%d (UDP) is unreachable: port unreachable" % closed,
                      a.log_text())
        a.stop()

    def test_calls_go_to_the_second_srv_target_when_the_first_fails(self):
        b = self.quillet("bob", self.silence_file)
        a = self.quillet("alice", self.silence_file)
        unavailable = Unavailable()
        self.cleanup.append(unavailable.stop)
        silent = Silent()
        self.cleanup.append(silent.stop)
        closed, refusing = h.free_udp_port(), h.free_udp_port()
        dead = (h.free_udp_port(), h.free_udp_port())
        records = []
        # Domain: (SRV service, first target's port, second target's port).
        domains = {"silent": ("_sip._udp", silent.port, b.sip_port),
                   "unreachable": ("_sip._udp", closed, b.sip_port),
                   "refusing": ("_sip._tcp", refusing, b.sip_port),
                   "unavailable": ("_sip._udp", unavailable.port, b.sip_port),
                   "dead": ("_sip._udp",) + dead}
        for name, (service, first, second) in domains.items():
            records += ["srv-host=%s.%s.example.test,first.example.test,%d,1,10"
                        % (service, name, first),
                        "srv-host=%s.%s.example.test,second.example.test,%d,2,10"
                        % (service, name, second)]
        records += ["host-record=first.example.test,127.0.0.1",
                    "host-record=second.example.test,127.0.0.1"]
        dns = self.dnsmasq(records)
        b.start()
        a.start()
        calls = 0
        # Which server failed how, what the log says of it, and the longest the call may
        # take to connect.
        cases = (("silent", "127.0.0.1:%d (UDP) did not answer" % silent.port,
                  "127.0.0.1:%d (UDP)" % b.sip_port, 9),
                 ("unreachable", "127.0.0.1:%d (UDP) could not be reached" % closed,
                  "127.0.0.1:%d (UDP)" % b.sip_port, 2),
                 ("refusing", "127.0.0.1:%d (TCP) could not be reached" % refusing,
                  "127.0.0.1:%d (TCP)" % b.sip_port, 4),
                 ("unavailable", "127.0.0.1:%d (UDP) answered 503" % unavailable.port,
                  "127.0.0.1:%d (UDP)" % b.sip_port, 4))
        for domain, failure, next_server, limit in cases:
            with self.subTest(domain=domain):
                began = time.monotonic()
                self.assertEqual(a.run("-dial", "bob@%s.example.test" % domain), 0)
                calls += 1
                self.assertTrue(wait_for(lambda: b.log_text().count("The call was started")
                                         == calls, 15), a.log_text() + dns.output())
                self.assertLess(time.monotonic() - began, limit, a.log_text())
                self.assertIn("The server %s; the call goes to the next one: %s"
                              % (failure, next_server), a.log_text())
                self.assertEqual(a.run("-hangup"), 0)
                self.assertTrue(wait_for(lambda: b.log_text().count("The call was stopped")
                                         == calls, 10), b.log_text())
        self.assertEqual(unavailable.invites, 1)
        # No server can be reached: the call fails as a call to one silent server does,
        # within the same time limit, having tried both.
        began = time.monotonic()
        self.assertEqual(a.run("-dial", "bob@dead.example.test"), 0)
        self.assertTrue(wait_for(lambda: "Error call attempt timed-out." in a.log_text(), 15),
                        a.log_text())
        self.assertLess(time.monotonic() - began, 12, a.log_text())
        self.assertIn("The server 127.0.0.1:%d (UDP) could not be reached; the call goes to the "
                      "next one: 127.0.0.1:%d (UDP)" % dead, a.log_text())
        self.assertIn("The server is not replying.", a.log_text())
        self.assertEqual(b.log_text().count("The call was started"), calls)


def main():
    if INSIDE in sys.argv:
        sys.argv.remove(INSIDE)
        take_binary_argument()
        run_tests({"test_registers_at_the_second_srv_target_when_the_first_is_down":
                   "kamailio-srv"})
        return
    if os.geteuid() != 0 or not shutil.which("dnsmasq") or not shutil.which("ip"):
        print("SKIP: needs root, ip and dnsmasq")
        sys.exit(SKIP)
    ns = Namespace()
    try:
        # `ip netns exec` puts the namespace's resolv.conf in place for everything inside.
        setup = "ip link set lo up && exec \"$@\""
        r = subprocess.run(["ip", "netns", "exec", ns.name, "sh", "-c", setup, "inside",
                            sys.executable, os.path.abspath(__file__), INSIDE] + sys.argv[1:])
        sys.exit(r.returncode)
    finally:
        ns.close()


if __name__ == "__main__":
    main()
