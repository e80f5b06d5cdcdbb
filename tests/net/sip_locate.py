# SPDX-License-Identifier: Apache-2.0
"""SIP server location against dnsmasq in a network namespace of its own: NAPTR, SRV (two
priorities, two weights), AAAA and A records of example.test, a name that does not exist and
a name with hundreds of addresses, read through `quillet-tool sip resolve`.

    sip_locate.py QUILLET_TOOL"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sip"))
from sipharness import Checks, end_process  # noqa: E402

TOOL = sys.argv[1]
SKIP = 77
MANY = 300  # addresses of many.example.test

DNSMASQ_CONF = """no-resolv
no-hosts
no-poll
bind-interfaces
listen-address=127.0.0.1
port=53
user=root
local=/example.test/
local-ttl=60
log-queries
log-facility=-
naptr-record=example.test,10,20,S,SIP+D2T,,_sip._tcp.example.test
naptr-record=example.test,10,10,S,SIPS+D2T,,_sips._tcp.example.test
naptr-record=example.test,20,10,S,SIP+D2U,,_sip._udp.example.test
naptr-record=example.test,5,10,S,SIP+D2S,,_sip._sctp.example.test
srv-host=_sips._tcp.example.test,tls.example.test,5061,1,10
srv-host=_sip._tcp.example.test,tcp.example.test,5060,1,10
srv-host=_sip._udp.example.test,heavy.example.test,5060,1,80
srv-host=_sip._udp.example.test,light.example.test,5062,1,20
srv-host=_sip._udp.example.test,backup.example.test,5070,2,10
srv-host=_sip._udp.srvonly.example.test,backup.example.test,5090,1,10
host-record=tls.example.test,192.0.2.5,2001:db8::5
host-record=tcp.example.test,192.0.2.6
host-record=heavy.example.test,192.0.2.7
host-record=light.example.test,192.0.2.8
host-record=backup.example.test,192.0.2.9
host-record=plain.example.test,192.0.2.10
addn-hosts=%s
"""


class DnsLab:
    """A namespace whose resolv.conf names dnsmasq on its loopback."""

    def __init__(self, workdir):
        if os.geteuid() != 0 or shutil.which("ip") is None or shutil.which("dnsmasq") is None:
            print("SKIP: the namespace test needs root, ip and dnsmasq")
            sys.exit(SKIP)
        self.name = "qloc%d" % (os.getpid() % 100000)
        self.etc = os.path.join("/etc/netns", self.name)
        self.made_netns_dir = False
        self.workdir = workdir
        self.proc = None
        self.log = None
        try:
            subprocess.run(["ip", "netns", "add", self.name], check=True, capture_output=True)
            subprocess.run(["ip", "-n", self.name, "link", "set", "lo", "up"], check=True,
                           capture_output=True)
        except subprocess.CalledProcessError as e:
            self.close()
            print("SKIP: cannot make the namespace: %s" % e.stderr)
            sys.exit(SKIP)
        self.made_netns_dir = not os.path.isdir("/etc/netns")
        os.makedirs(self.etc, exist_ok=True)
        with open(os.path.join(self.etc, "resolv.conf"), "w") as f:
            f.write("nameserver 127.0.0.1\n")

    def start_dnsmasq(self):
        hosts = os.path.join(self.workdir, "many.hosts")
        with open(hosts, "w") as f:
            for i in range(MANY):
                f.write("10.77.%d.%d many.example.test\n" % (i // 200, i % 200 + 1))
        conf = os.path.join(self.workdir, "dnsmasq.conf")
        with open(conf, "w") as f:
            f.write(DNSMASQ_CONF % hosts)
        self.log_path = os.path.join(self.workdir, "dnsmasq.log")
        self.log = open(self.log_path, "wb")
        # `ip netns exec` becomes dnsmasq: the pid is the server's own.
        self.proc = subprocess.Popen(["ip", "netns", "exec", self.name, "dnsmasq", "-k",
                                      "-C", conf], stdout=self.log, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        end = time.monotonic() + 5
        while time.monotonic() < end and "started" not in self.output():
            time.sleep(0.05)
        if self.proc.poll() is not None or "started" not in self.output():
            print("FAIL dnsmasq did not start:\n" + self.output())
            self.close()
            sys.exit(1)

    def output(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def resolve(self, *args):
        """(exit status, JSON printed or None, standard error, seconds taken)"""
        start = time.monotonic()
        r = subprocess.run(["ip", "netns", "exec", self.name, TOOL, "sip", "resolve"] + list(args),
                           capture_output=True, text=True, timeout=30,
                           env=dict(os.environ, QUILLET_HOME=self.workdir))
        took = time.monotonic() - start
        try:
            out = json.loads(r.stdout)
        except ValueError:
            out = None
        return r.returncode, out, r.stderr, took

    def close(self):
        if self.proc is not None:
            end_process(self.proc)
            self.proc = None
        if self.log is not None:
            self.log.close()
            self.log = None
        subprocess.run(["ip", "netns", "del", self.name], capture_output=True)
        shutil.rmtree(self.etc, ignore_errors=True)
        if self.made_netns_dir:
            try:
                os.rmdir("/etc/netns")
            except OSError:
                pass  # in use by another namespace meanwhile


def summary(out):
    """(transport, address, port, source) of each target."""
    if not out or "targets" not in out:
        return []
    return [(t["transport"], t["address"], t["port"], t["source"]) for t in out["targets"]]


def check_order(c, lab):
    rc, out, err, _ = lab.resolve("sip:alice@example.test")
    tls, tcp, udp = ("NAPTR _sips._tcp.example.test", "NAPTR _sip._tcp.example.test",
                     "NAPTR _sip._udp.example.test")
    got = summary(out)
    c.expect(rc == 0 and out["uri"] == "sip:alice@example.test" and got[:3] == [
        ("tls", "2001:db8::5", 5061, tls), ("tls", "192.0.2.5", 5061, tls),
        ("tcp", "192.0.2.6", 5060, tcp)],
        "NAPTR order then preference: TLS (AAAA before A), then TCP; SCTP left out", out or err)
    udp_part = got[3:]
    c.expect(sorted(udp_part[:2]) == [("udp", "192.0.2.7", 5060, udp), ("udp", "192.0.2.8", 5062, udp)]
             and udp_part[2:] == [("udp", "192.0.2.9", 5070, udp)],
             "UDP last: both priority-1 SRV targets before the priority-2 one", got)

    firsts = []
    for _ in range(40):
        _, out, _, _ = lab.resolve("sip:example.test;transport=udp")
        firsts.append(summary(out)[0][1] if summary(out) else None)
    heavy, light = firsts.count("192.0.2.7"), firsts.count("192.0.2.8")
    c.expect(heavy + light == 40 and heavy > light and light > 0,
             "SRV weights 80:20 choose the first target in about that proportion",
             "heavy %d light %d" % (heavy, light))

    rc, out, err, _ = lab.resolve("sips:example.test")
    c.expect(rc == 0 and summary(out) == [("tls", "2001:db8::5", 5061, tls),
                                          ("tls", "192.0.2.5", 5061, tls)],
             "sips: keeps to the SIPS+D2T record", out or err)
    rc, out, err, _ = lab.resolve("sip:example.test;transport=tcp")
    c.expect(rc == 0 and summary(out) == [("tcp", "192.0.2.6", 5060, "SRV _sip._tcp.example.test")],
             "transport=tcp goes straight to the TCP SRV record", out or err)
    rc, out, err, _ = lab.resolve("example.test", "--transport", "tls")
    c.expect(rc == 0 and [t[0] for t in summary(out)] == ["tls", "tls"],
             "the line's transport fixes TLS", out or err)
    rc, out, err, _ = lab.resolve("sip:srvonly.example.test")
    c.expect(rc == 0 and summary(out) == [
        ("udp", "192.0.2.9", 5090, "SRV _sip._udp.srvonly.example.test")],
        "without NAPTR records the SRV records of each transport are asked", out or err)
    rc, out, err, _ = lab.resolve("sip:plain.example.test")
    c.expect(rc == 0 and summary(out) == [("udp", "192.0.2.10", 5060, "A")],
             "without NAPTR and SRV records: the name's address on port 5060", out or err)


def check_skips(c, lab):
    rc, out, err, _ = lab.resolve("sip:192.0.2.44:5099;transport=tcp")
    c.expect(rc == 0 and summary(out) == [("tcp", "192.0.2.44", 5099, "numeric")],
             "a numeric IPv4 host is used as written", out or err)
    rc, out, err, _ = lab.resolve("sips:[2001:db8::7]")
    c.expect(rc == 0 and summary(out) == [("tls", "2001:db8::7", 5061, "numeric")],
             "a numeric IPv6 host in brackets, sips: on 5061", out or err)
    before = lab.output().count("query[")
    rc, out, err, _ = lab.resolve("tls.example.test:5080")
    queries = [line for line in lab.output().splitlines() if "query[" in line][before:]
    c.expect(rc == 0 and summary(out) == [("udp", "2001:db8::5", 5080, "AAAA"),
                                          ("udp", "192.0.2.5", 5080, "A")],
             "host:port gives the host's AAAA and A addresses on that port", out or err)
    c.expect(queries and all("query[A]" in q or "query[AAAA]" in q for q in queries),
             "host:port asks for no NAPTR or SRV record", queries)


def check_failures(c, lab):
    rc, out, err, _ = lab.resolve("sip:gone.example.test")
    c.expect(rc == 1 and out == {"uri": "sip:gone.example.test", "error": "NXDOMAIN"},
             "a name that does not exist: exit 1 and the reason NXDOMAIN", (rc, out, err))
    rc, out, err, took = lab.resolve("sip:many.example.test:5060")
    c.expect(rc == 0 and len(summary(out)) == 32 and took < 3,
             "%d addresses in one reply: 32 used, quickly" % MANY,
             (rc, len(summary(out)), took, err[-300:]))
    c.expect("answered %d records; the first 32 used" % MANY in err,
             "the capped reply is logged once", err[-300:])
    rc, _, err, _ = lab.resolve()
    c.expect(rc == 2, "no URI is bad usage", (rc, err))
    rc, _, err, _ = lab.resolve("sip:example.test", "--transport", "sctp")
    c.expect(rc == 2, "an unknown --transport is bad usage", (rc, err))


def main():
    c = Checks()
    with tempfile.TemporaryDirectory() as workdir:
        lab = DnsLab(workdir)
        try:
            lab.start_dnsmasq()
            check_order(c, lab)
            check_skips(c, lab)
            check_failures(c, lab)
            if c.failed:
                print("dnsmasq log (end):\n" + lab.output()[-3000:])
        finally:
            lab.close()
    c.finish()


if __name__ == "__main__":
    main()
