# SPDX-License-Identifier: Apache-2.0
"""A small routed network in namespaces for the NAT traversal tests.

    public  80.1.2.1, 80.1.2.2 (servers: two addresses for the STUN change test)
    router  80.1.2.254 outside, 192.168.7.1 inside, nftables masquerade (UDP from port
            4000 leaves as port 45000, so that a mapped port differs from the local one)
    lan     192.168.7.23, default route via the router

The "public" range is only ever used inside these namespaces. Tests that cannot create
namespaces exit with status 77 (skipped)."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sip"))
from sipharness import Checks, end_process  # noqa: E402,F401 (Checks for the nat_ scripts)

PUBLIC, PUBLIC2, ROUTER_OUT, ROUTER_IN, LAN = (
    "80.1.2.1", "80.1.2.2", "80.1.2.254", "192.168.7.1", "192.168.7.23")
# The public side's global IPv6 address (its interfaces also have link-local ones).
PUBLIC6 = "2001:db8:80::1"
SKIP = 77

# miniupnpd as the router: its nftables chains and a configuration that lets the LAN map
# ports 1024 and up.
NFT_TABLES = """table inet miniupnpd {
  chain forward {
    type filter hook forward priority 0; policy accept;
    jump miniupnpd
  }
  chain miniupnpd {
  }
  chain prerouting {
    type nat hook prerouting priority -100; policy accept;
    jump prerouting_miniupnpd
  }
  chain postrouting {
    type nat hook postrouting priority 100; policy accept;
    jump postrouting_miniupnpd
  }
  chain prerouting_miniupnpd {
  }
  chain postrouting_miniupnpd {
  }
}
"""

MINIUPNPD_CONF = """ext_ifname=%s
listening_ip=%s
http_port=5000
enable_natpmp=no
enable_upnp=yes
secure_mode=yes
system_uptime=yes
force_igd_desc_v1=yes
uuid=3ca4730f-8a6b-4569-ae8e-3d1a234985d4
upnp_table_name=miniupnpd
upnp_nat_table_name=miniupnpd
upnp_forward_chain=miniupnpd
upnp_nat_chain=prerouting_miniupnpd
upnp_nat_postrouting_chain=postrouting_miniupnpd
allow 1024-65535 192.168.7.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
"""


def run(*args, check=True, **kw):
    return subprocess.run(list(args), check=check, capture_output=True, text=True, **kw)


class NatLab:
    def __init__(self, masquerade=True):
        if os.geteuid() != 0 or shutil.which("ip") is None or shutil.which("nft") is None:
            print("SKIP: network namespaces need root, ip and nft")
            sys.exit(SKIP)
        self.tag = "qn%d" % (os.getpid() % 100000)
        self.ns = {n: self.tag + n for n in ("pub", "nat", "lan")}
        self.procs = []
        self.dir = tempfile.mkdtemp(prefix="natlab-")
        try:
            self._up(masquerade)
        except subprocess.CalledProcessError as e:
            self.close()
            print("SKIP: cannot build the namespaces: %s %s" % (e.cmd, e.stderr))
            sys.exit(SKIP)

    def _up(self, masquerade):
        t, ns = self.tag, self.ns
        for name in ns.values():
            run("ip", "netns", "add", name)
            run("ip", "-n", name, "link", "set", "lo", "up")
        run("ip", "link", "add", t + "a", "type", "veth", "peer", "name", t + "b")
        run("ip", "link", "set", t + "a", "netns", ns["pub"])
        run("ip", "link", "set", t + "b", "netns", ns["nat"])
        run("ip", "link", "add", t + "c", "type", "veth", "peer", "name", t + "d")
        run("ip", "link", "set", t + "c", "netns", ns["nat"])
        run("ip", "link", "set", t + "d", "netns", ns["lan"])
        for name, dev, addrs in ((ns["pub"], t + "a", (PUBLIC, PUBLIC2)),
                                 (ns["nat"], t + "b", (ROUTER_OUT,)),
                                 (ns["nat"], t + "c", (ROUTER_IN,)),
                                 (ns["lan"], t + "d", (LAN,))):
            for a in addrs:
                run("ip", "-n", name, "addr", "add", a + "/24", "dev", dev)
            run("ip", "-n", name, "link", "set", dev, "up")
        run("ip", "-n", ns["pub"], "addr", "add", PUBLIC6 + "/64", "dev", t + "a", "nodad")
        run("ip", "-n", ns["lan"], "route", "add", "default", "via", ROUTER_IN)
        self.ext_if, self.lan_if = t + "b", t + "c"
        self.inside("nat", "sysctl", "-qw", "net.ipv4.ip_forward=1")
        if masquerade:
            self.nft("table ip qnat {\n chain post {\n  type nat hook postrouting priority 100;\n"
                     "  oifname \"%s\" udp sport 4000 masquerade to :45000\n"
                     "  oifname \"%s\" masquerade\n }\n}\n" % (self.ext_if, self.ext_if))

    def nft(self, rules):
        subprocess.run(["ip", "netns", "exec", self.ns["nat"], "nft", "-f", "-"], input=rules,
                       text=True, check=True, capture_output=True)

    def prefix(self, where):
        return ["ip", "netns", "exec", self.ns[where]]

    def inside(self, where, *args, check=True, timeout=60, env=None):
        return subprocess.run(self.prefix(where) + list(args), check=check, capture_output=True,
                              text=True, timeout=timeout, env=env)

    def start(self, where, name, *args):
        """A server in a namespace, stopped by close(); its output goes to a file."""
        log = open(os.path.join(self.dir, name + ".log"), "wb")
        proc = subprocess.Popen(self.prefix(where) + list(args), stdout=log,
                                stderr=subprocess.STDOUT, start_new_session=True)
        self.procs.append((proc, log))
        return proc

    def output(self, name):
        with open(os.path.join(self.dir, name + ".log"), "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stop(self, proc):
        for p, log in list(self.procs):
            if p is proc:
                end_process(p)
                log.close()
                self.procs.remove((p, log))

    def start_stund(self):
        proc = self.start("pub", "stund", "stund", "-h", PUBLIC, "-a", PUBLIC2)
        wait_udp_answer(self, "pub", PUBLIC, 3478)
        return proc

    def start_miniupnpd(self):
        """miniupnpd on the router, serving the LAN side; exits the test when it fails."""
        self.nft(NFT_TABLES)
        conf = os.path.join(self.dir, "miniupnpd.conf")
        with open(conf, "w") as f:
            f.write(MINIUPNPD_CONF % (self.ext_if, self.lan_if))
        proc = self.start("nat", "miniupnpd", "miniupnpd", "-d", "-f", conf,
                          "-P", os.path.join(self.dir, "miniupnpd.pid"))
        if not wait_output(self, "miniupnpd", "HTTP listening on port"):
            print("FAIL miniupnpd did not start:\n" + self.output("miniupnpd"))
            sys.exit(1)
        return proc

    def close(self):
        for p, _ in list(self.procs):
            self.stop(p)
        for name in self.ns.values():
            subprocess.run(["ip", "netns", "del", name], capture_output=True)
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def wait_output(lab, name, text, timeout=5.0):
    """Waits until a started process has written the text."""
    end = time.monotonic() + timeout
    while time.monotonic() < end and text not in lab.output(name):
        time.sleep(0.05)
    return text in lab.output(name)


def wait_udp_answer(lab, where, host, port, timeout=5.0):
    """Waits until a STUN server answers a binding request."""
    probe = ("import socket,sys\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
             "s.settimeout(0.2)\nfor i in range(%d):\n"
             "  s.sendto(bytes([0,1,0,0]+[0]*16),('%s',%d))\n"
             "  try:\n    s.recv(100); sys.exit(0)\n  except OSError: pass\nsys.exit(1)\n"
             % (int(timeout / 0.2), host, port))
    lab.inside(where, sys.executable, "-c", probe)


def tool(lab, where, binary, home, *args, timeout=60):
    """quillet-tool in a namespace on a profile: (status, its JSON lines, standard error)."""
    env = dict(os.environ, QUILLET_HOME=home)
    r = lab.inside(where, binary, *args, check=False, env=env, timeout=timeout)
    lines = [json.loads(line) for line in r.stdout.splitlines() if line.startswith("{")]
    return r.returncode, lines, r.stderr


def profile(root, name, sip):
    """A profile folder whose settings hold just these values of section SIP."""
    home = os.path.join(root, name)
    os.makedirs(home)
    with open(os.path.join(home, "settings.ini"), "w") as f:
        f.write("[SIP]\n" + "".join("%s=%s\n" % kv for kv in sip.items()))
    return home


def settings_of(home):
    values = {}
    with open(os.path.join(home, "settings.ini")) as f:
        for line in f:
            if "=" in line:
                key, value = line.strip().split("=", 1)
                values[key] = value
    return values
