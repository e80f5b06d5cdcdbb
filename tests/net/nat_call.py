# SPDX-License-Identifier: Apache-2.0
"""A call across a NAT: alice behind the namespace masquerade, bob and Kamailio on the
public side. With STUN (stund) alice's Via, Contact and SDP carry the NAT's address and the
call carries audio both ways; with STUN off her SDP names her private address and bob's
audio never reaches her.

    nat_call.py QUILLET"""
import os
import re
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "sip"))
from natlab import LAN, PUBLIC, ROUTER_OUT, Checks, NatLab  # noqa: E402
import e2e_support  # noqa: E402
from sipharness import kamailio_config  # noqa: E402
from e2e_support import Profile, find_words, make_speech, wait_for, write_wav  # noqa: E402

e2e_support.QUILLET = os.path.abspath(sys.argv[1])
KAMAILIO_PORT = 5060


def start_kamailio(lab):
    cfg = kamailio_config(KAMAILIO_PORT, {"alice": "alice-pw", "bob": "bob-pw"})
    cfg = cfg.replace("127.0.0.1", PUBLIC)
    path = os.path.join(lab.dir, "kamailio.cfg")
    with open(path, "w") as f:
        f.write(cfg)
    lab.start("pub", "kamailio", "kamailio", "-DD", "-E", "-f", path, "-Y", lab.dir, "-w",
              lab.dir, "-P", os.path.join(lab.dir, "kamailio.pid"), "-m", "32", "-M", "8")
    # Ready once it answers an OPTIONS.
    probe = ("import socket,sys,time\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
             "s.bind(('%s',0))\ns.settimeout(0.3)\nport=s.getsockname()[1]\n"
             "for i in range(60):\n"
             "  s.sendto(('OPTIONS sip:%s:%d SIP/2.0\\r\\nVia: SIP/2.0/UDP %s:%%d;branch=z9hG4bK%%d"
             "\\r\\nMax-Forwards: 70\\r\\nTo: <sip:%s>\\r\\nFrom: <sip:probe@%s>;tag=1\\r\\n"
             "Call-ID: probe%%d\\r\\nCSeq: 1 OPTIONS\\r\\nContent-Length: 0\\r\\n\\r\\n'"
             " %% (port, i, i)).encode(), ('%s', %d))\n"
             "  try:\n    s.recv(4096); sys.exit(0)\n  except OSError: pass\nsys.exit(1)\n"
             % (PUBLIC, PUBLIC, KAMAILIO_PORT, PUBLIC, PUBLIC, PUBLIC, PUBLIC, KAMAILIO_PORT))
    if lab.inside("pub", sys.executable, "-c", probe, check=False).returncode != 0:
        raise AssertionError("kamailio did not answer:\n" + lab.output("kamailio")[-2000:])


def mean_snr(reference, heard):
    words = find_words(reference, heard)
    return float(np.mean([w[2] for w in words])) if words else -99.0


def heard_both_ways(alice, bob, to_bob, to_alice, trace=""):
    """What a failed audio check shows: the figures, both logs' ends, the trace's end."""
    text = "%.1f / %.1f dB\n--- alice's log\n%s\n--- bob's log\n%s" % (
        to_bob, to_alice, alice.log_text()[-3000:], bob.log_text()[-3000:])
    return text + ("\n--- alice's trace\n" + trace[-4000:] if trace else "")


def call(lab, root, speech_file, speech, stun, tag=None, rtp=(8000, 8100)):
    """alice calls bob; `rtp`: their RTP port bases."""
    tag = tag or ("stun" if stun else "nostun")
    line = lambda user: {"Proxy": "%s:%d" % (PUBLIC, KAMAILIO_PORT),  # noqa: E731
                         "ProxyPassword": user + "-pw", "UserName": user}
    nat = {"LocalAddress": "", "STUN": "1" if stun else "0", "STUNServer1": PUBLIC,
           "STUNServer2": PUBLIC}
    alice = Profile(root, "alice-" + tag, 5070, rtp[0], "alice", speech_file,
                    {"SIP": nat, "DefaultLine": line("alice")})
    bob = Profile(root, "bob-" + tag, 5072, rtp[1], "bob", speech_file,
                  {"SIP": {"LocalAddress": "", "STUN": "0"}, "DefaultLine": line("bob"),
                   "Intercom": {"AutoTalkBack": "1", "Cue": "0"}})
    alice.prefix, bob.prefix = lab.prefix("lan"), lab.prefix("pub")
    try:
        bob.start()
        alice.start()
        for p in (alice, bob):
            if not wait_for(lambda: "Registered as: sip:%s@" % p.user in p.log_text(), 20):
                raise AssertionError(p.user + " did not register:\n" + p.log_text())
        alice.run("-dial", "bob")
        started = wait_for(lambda: "The call was started" in bob.log_text(), 10)
        time.sleep(len(speech) / 8000 + 2.0)
        alice.run("-hangup")
        wait_for(lambda: "The call was stopped" in bob.log_text(), 10)
    finally:
        alice.stop()
        bob.stop()
    return started, alice, bob


def bridge_after_lan(lab):
    """A container bridge's address (as Docker makes one) on an interface listed after the
    LAN's, up, without the default route."""
    dev = lab.tag + "k"
    lab.inside("lan", "ip", "link", "add", dev, "type", "veth", "peer", "name", dev + "p")
    lab.inside("lan", "ip", "addr", "add", "172.17.0.1/16", "dev", dev)
    lab.inside("lan", "ip", "link", "set", dev, "up")
    lab.inside("lan", "ip", "link", "set", dev + "p", "up")


def advertised_without_server(lab, root):
    """The address a profile with no server and no STUN names as its own."""
    alone = Profile(root, "alone", 5074, 8200, "alone", os.devnull,
                    {"SIP": {"LocalAddress": "", "STUN": "0"}})
    alone.prefix = lab.prefix("lan")
    try:
        alone.start()
        found = re.search(r"SIP Number: alone@([0-9.]+):", alone.log_text())
    finally:
        alone.stop()
    return found.group(1) if found else None


def main():
    c = Checks()
    with NatLab() as lab, tempfile.TemporaryDirectory() as root:
        bridge_after_lan(lab)
        address = advertised_without_server(lab, root)
        print("with a bridge at 172.17.0.1, no server: advertised %s" % address)
        c.expect(address == LAN, "without a server the default route's interface is advertised",
                 address)
        speech = make_speech(root)
        speech_file = os.path.join(root, "speech-padded.wav")
        write_wav(speech_file, np.concatenate([speech, np.zeros(8000 * 4)]))
        lab.start_stund()
        start_kamailio(lab)

        started, alice, bob = call(lab, root, speech_file, speech, stun=True)
        trace = alice.trace_text()
        c.expect(started, "the call through the NAT is answered", bob.log_text()[-2000:])
        c.expect(re.search(r"REGISTER sip:[^\r\n]*\r?\nVia: SIP/2.0/UDP %s:5070" %
                           re.escape(ROUTER_OUT), trace) is not None,
                 "alice's REGISTER Via names the NAT's address", trace[:1500])
        c.expect(re.search(r"Contact: <sip:alice@%s:5070" % re.escape(ROUTER_OUT), trace),
                 "alice's Contact names the NAT's address")
        c.expect(re.search(r"c=IN IP4 %s\r?\nt=0 0\r?\nm=audio 8000 " % re.escape(ROUTER_OUT),
                           trace) or "c=IN IP4 %s" % ROUTER_OUT in trace,
                 "alice's SDP names the NAT's address")
        c.expect("SIP Public IP is: %s:5070" % ROUTER_OUT in alice.log_text(),
                 "alice logs her public address", alice.log_text()[-1500:])
        to_bob, to_alice = mean_snr(speech, bob.heard()), mean_snr(speech, alice.heard())
        print("with STUN: alice -> bob %.1f dB, bob -> alice %.1f dB" % (to_bob, to_alice))
        c.expect(to_bob > 10 and to_alice > 10, "audio both ways across the NAT",
                 heard_both_ways(alice, bob, to_bob, to_alice, trace))

        # The far end first: a datagram from bob's media port to the NAT's port for alice's
        # media, before the call, as bob's first DTLS flight would come before any of alice's
        # packets. The NAT then keeps that flow, and alice's media leaves from another port
        # than her SDP names: bob must follow where her packets come from. (Ports of their
        # own: the first call's flows are still in the NAT's table.)
        lab.inside("pub", sys.executable, "-c",
                   "import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); "
                   "s.bind(('%s', 8300)); s.sendto(b'x' * 20, ('%s', 8200))" % (PUBLIC, ROUTER_OUT))
        started, alice, bob = call(lab, root, speech_file, speech, stun=True, tag="stun-raced",
                                   rtp=(8200, 8300))
        to_bob, to_alice = mean_snr(speech, bob.heard()), mean_snr(speech, alice.heard())
        print("with STUN, the far end's packets first: alice -> bob %.1f dB, bob -> alice %.1f dB"
              % (to_bob, to_alice))
        c.expect("DTLS: the far end proved itself at %s:" % ROUTER_OUT in bob.log_text() and
                 "its media goes there" in bob.log_text(),
                 "bob follows alice's media to the port the NAT gave it", bob.log_text()[-2000:])
        c.expect(started and to_bob > 10 and to_alice > 10,
                 "audio both ways when the NAT gave alice's media another port",
                 heard_both_ways(alice, bob, to_bob, to_alice))

        started, alice, bob = call(lab, root, speech_file, speech, stun=False)
        to_bob, to_alice = mean_snr(speech, bob.heard()), mean_snr(speech, alice.heard())
        print("without STUN: alice -> bob %.1f dB, bob -> alice %.1f dB" % (to_bob, to_alice))
        c.expect("c=IN IP4 %s" % LAN in alice.trace_text(),
                 "without STUN alice's SDP names her private address")
        c.expect(to_alice < 3, "without STUN bob's audio does not reach alice", to_alice)
    c.finish()


if __name__ == "__main__":
    main()
