#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Measures (does not test) what SIP over TLS costs: the TLS handshake with Kamailio's TLS
port as `quillet-tool sip tls` makes it (median of 10), the resident memory of an idle
`quillet --headless` registered over TLS next to one registered over UDP and next to baresip
registered the same ways, and the CPU share of two profiles during a call through Kamailio
over TLS and over UDP. (baresip's share during a call is not comparable here: with the
harness's null player it spins.)

Usage: tests/in-netns measure_tls.py [path/to/bin] [--idle SECONDS] [--call SECONDS]
(bin: the folder with quillet and quillet-tool). Only prints figures."""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import json

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "sip"))
import e2e_support as e  # noqa: E402
import sipharness as h  # noqa: E402
from measure_idle import cpu_seconds, write_noise_wav  # noqa: E402


def line(kamailio, user, transport, ca):
    port = kamailio.tls_port if transport == "tls" else kamailio.port
    values = {"Proxy": "127.0.0.1:%d" % port, "ProxyPassword": user + "-pw",
              "Transport": transport}
    if ca:
        values["TLSCAFile"] = ca
    return {"DefaultLine": values, "Settings": {"UseEchoCancellation": "1"},
            "Intercom": {"AutoTalkBack": "1"}}


def handshake_ms(tool, kamailio, ca):
    times = []
    for _ in range(10):
        r = subprocess.run([tool, "sip", "tls", "127.0.0.1:%d" % kamailio.tls_port, "--ca", ca],
                           capture_output=True, text=True, timeout=20)
        out = json.loads(r.stdout)
        if not out.get("verified"):
            raise RuntimeError("handshake not verified: " + r.stdout)
        times.append(out["handshakeMs"])
    return statistics.median(times), out.get("protocol")


def idle_rss(root, kamailio, transport, ca, idle):
    settings = line(kamailio, "alice", transport, ca)
    settings["Settings"].update({"RecordDevice": "null", "PlayDevice": "null"})
    q = e.Profile(root, "idle-" + transport, h.free_udp_port(), h.free_udp_port(), "alice", "",
                  settings)
    try:
        q.start()
        if not e.wait_for(lambda: "Registered as: sip:alice@" in q.log_text(), 15):
            raise RuntimeError("no registration over %s:\n%s" % (transport, q.log_text()))
        time.sleep(idle)
        return e.rss_kib(q.process.pid)
    finally:
        q.stop()


def baresip(root, kamailio, transport, ca):
    """A baresip registered as carol over `transport`."""
    port = kamailio.tls_port if transport == "tls" else kamailio.port
    param = ";transport=tls" if transport == "tls" else ""
    account = "<sip:carol@127.0.0.1:%d%s>;auth_pass=carol-pw;regint=3600" % (port, param)
    b = h.Baresip(root, "carol-" + transport, h.free_udp_port(span=2), [account],
                  extra=["sip_cafile " + ca])
    if not e.wait_for(lambda: "200 OK" in b.output() and "binding" in b.output(), 15):
        b.stop()
        raise RuntimeError("baresip did not register over %s:\n%s" % (transport, b.output()))
    return b


def baresip_idle_rss(root, kamailio, transport, ca, idle):
    b = baresip(root, kamailio, transport, ca)
    try:
        time.sleep(idle)
        return e.rss_kib(b.proc.pid)
    finally:
        b.stop()


def call_cpu(root, kamailio, transport, ca, seconds):
    microphone = os.path.join(root, "microphone.wav")
    write_noise_wav(microphone, int(seconds) + 20)
    a = e.Profile(root, "a-" + transport, h.free_udp_port(), h.free_udp_port(), "alice",
                  microphone, line(kamailio, "alice", transport, ca))
    b = e.Profile(root, "b-" + transport, h.free_udp_port(), h.free_udp_port(), "bob",
                  microphone, line(kamailio, "bob", transport, ca))
    try:
        b.start()
        a.start()
        for p in (a, b):
            if not e.wait_for(lambda: "Registered as" in p.log_text(), 15):
                raise RuntimeError(p.log_text())
        a.run("-dial", "bob")
        if not e.wait_for(lambda: "The call was started" in b.log_text(), 10):
            raise RuntimeError(a.log_text() + b.log_text())
        time.sleep(1.0)
        before = [cpu_seconds(p.process.pid) for p in (a, b)]
        began = time.monotonic()
        time.sleep(seconds)
        span = time.monotonic() - began
        return [100.0 * (cpu_seconds(p.process.pid) - t) / span for p, t in zip((a, b), before)]
    finally:
        a.stop()
        b.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin", nargs="?", default="build/bin")
    parser.add_argument("--idle", type=float, default=20.0)
    parser.add_argument("--call", type=float, default=10.0)
    args = parser.parse_args()
    e.QUILLET = os.path.abspath(os.path.join(args.bin, "quillet"))
    tool = os.path.abspath(os.path.join(args.bin, "quillet-tool"))
    root = tempfile.mkdtemp(prefix="quillet-measure-tls-")
    kamailio = None
    try:
        ca = e.make_ca(root, "QuilletTestCA")  # baresip reads no path with blanks
        kamailio = h.Kamailio(root, {"alice": "alice-pw", "bob": "bob-pw", "carol": "carol-pw"},
                              tls=e.make_server_cert(root, ca, "IP:127.0.0.1"))
        ms, protocol = handshake_ms(tool, kamailio, ca[0])
        print("TLS handshake with Kamailio (%s, P-256, median of 10, TCP connect included): "
              "%.2f ms" % (protocol, ms))
        for transport in ("udp", "tls"):
            rss = idle_rss(root, kamailio, transport, ca[0], args.idle)
            other = baresip_idle_rss(root, kamailio, transport, ca[0], args.idle)
            print("Idle, registered over %s: Quillet RSS %d KiB, baresip RSS %d KiB"
                  % (transport.upper(), rss, other))
        for transport in ("udp", "tls"):
            caller, callee = call_cpu(root, kamailio, transport, ca[0], args.call)
            print("Call through Kamailio over %s (%.0f s, echo control on): Quillet caller CPU "
                  "%.2f %%, Quillet callee CPU %.2f %%" % (transport.upper(), args.call, caller,
                                                            callee))
    finally:
        if kamailio:
            kamailio.stop()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
