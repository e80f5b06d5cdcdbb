#!/usr/bin/python3
"""A line found by DNS, as a provider publishes it: the line names only its domain
(example.test) and TLS; dnsmasq serves the domain's SRV records with two priorities. The
first target is down, so Quillet registers (digest, over TLS, checked against the domain's
certificate) at the second one.

The script makes a network namespace whose resolv.conf names its own dnsmasq, and runs
itself again inside it; everything it starts, it stops, and the namespace goes at the end.
    locate_e2e.py QUILLET"""
import os
import shutil
import subprocess
import sys
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
