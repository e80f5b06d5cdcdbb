#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Measures (does not test) an idle registered `quillet --headless` next to an idle
registered baresip, both registered at a Kamailio on loopback: resident memory after 30 s
and wake-ups per second (context switches of all threads over 20 s). Then the CPU share of
two Quillet profiles during an intercom call with file audio, and of each side of a plain
call (file audio, G.711, no echo control) between two Quillet profiles and between two
baresips, measured one after the other in the same run; with --srtp also the same calls with
SDES keys (Quillet's over TLS) and with DTLS-SRTP, with --wideband also with Opus and with
G.722.

Usage: measure_idle.py [path/to/quillet] [--idle SECONDS] [--window SECONDS] [--call SECONDS]
                       [--skip-idle] [--plain-only] [--srtp] [--wideband] [--paced-pcm PLUGIN.so]
Not registered as a test: it takes about two minutes and only prints figures. Run it in a
network namespace of its own (tests/in-netns ...): baresip puts its interface address into
SDP, and there its calls stay inside the namespace."""
import argparse
import os
import shutil
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "sip"))
import e2e_support as e  # noqa: E402
import sipharness as h  # noqa: E402

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def switches(pid):
    """(voluntary, involuntary) context switches summed over the threads alive now, and
    the thread count."""
    voluntary = involuntary = threads = 0
    task_dir = "/proc/%d/task" % pid
    for tid in os.listdir(task_dir):
        try:
            with open(os.path.join(task_dir, tid, "status")) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        voluntary += int(line.split()[1])
                    elif line.startswith("nonvoluntary_ctxt_switches:"):
                        involuntary += int(line.split()[1])
            threads += 1
        except FileNotFoundError:
            pass  # the thread ended meanwhile
    return voluntary, involuntary, threads


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # utime + stime


def measure_idle(pids, window):
    """Samples every process over the same window: {name: (rss KiB, vol/s, invol/s, threads)}"""
    rss = {name: e.rss_kib(pid) for name, pid in pids.items()}
    start = {name: switches(pid) for name, pid in pids.items()}
    began = time.monotonic()
    time.sleep(window)
    span = time.monotonic() - began
    out = {}
    for name, pid in pids.items():
        end = switches(pid)
        out[name] = (rss[name], (end[0] - start[name][0]) / span,
                     (end[1] - start[name][1]) / span, end[2])
    return out


def write_noise_wav(path, seconds):
    """Speech-like test signal: noise bursts and pauses at 8000 Hz."""
    rng = np.random.default_rng(1)
    samples = rng.normal(0, 3000, 8000 * seconds)
    envelope = (np.sin(np.arange(len(samples)) * 2 * np.pi * 1.5 / 8000) > 0).astype(float)
    e.write_wav(path, np.clip(samples * envelope, -32000, 32000))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("quillet", nargs="?", default="build/bin/quillet")
    parser.add_argument("--idle", type=float, default=30.0)
    parser.add_argument("--window", type=float, default=20.0)
    parser.add_argument("--call", type=float, default=10.0)
    parser.add_argument("--skip-idle", action="store_true")
    parser.add_argument("--wideband", action="store_true",
                        help="also the plain calls with Opus and with G.722")
    parser.add_argument("--plain-only", action="store_true",
                        help="only the plain calls of Quillet and baresip")
    parser.add_argument("--srtp", action="store_true",
                        help="the calls of Quillet and baresip also with SDES and DTLS-SRTP")
    parser.add_argument("--paced-pcm", help="the test's paced ALSA PCM plugin (default: "
                        "built beside quillet, tests/audio_devices)")
    args = parser.parse_args()
    e.QUILLET = os.path.abspath(args.quillet)

    root = tempfile.mkdtemp(prefix="quillet-measure-")
    try:
        if not args.skip_idle and not args.plain_only:
            measure_registered_idle(root, args)
        if not args.plain_only:
            measure_call(root, args)
        measure_plain_calls(root, args)
    finally:
        shutil.rmtree(root, ignore_errors=True)


def measure_registered_idle(root, args):
    stops = []
    try:
        kamailio = h.Kamailio(root, {"alice": "alice-pw", "bob": "bob-pw", "carol": "carol-pw"})
        stops.append(kamailio.stop)
        settings = {"Settings": {"RecordDevice": "null", "PlayDevice": "null"},
                    "DefaultLine": {"Proxy": "127.0.0.1:%d" % kamailio.port,
                                    "ProxyPassword": "alice-pw"}}
        q = e.Profile(root, "alice", h.free_udp_port(), h.free_udp_port(), "alice", "", settings)
        stops.append(q.stop)
        q.start()
        account = ("<sip:carol@127.0.0.1:%d>;auth_pass=carol-pw;regint=3600;answermode=manual"
                   % kamailio.port)
        b = h.Baresip(root, "carol", h.free_udp_port(), [account])
        stops.append(b.stop)
        started = time.monotonic()
        if not e.wait_for(lambda: "Registered as: sip:alice@" in q.log_text()):
            raise RuntimeError("quillet did not register:\n" + q.log_text())
        if not e.wait_for(lambda: "200 OK" in b.output() and "binding" in b.output()):
            raise RuntimeError("baresip did not register:\n" + b.output())
        time.sleep(max(0.0, args.idle - (time.monotonic() - started)))
        figures = measure_idle({"quillet": q.process.pid, "baresip": b.proc.pid}, args.window)
        print("Idle, registered at Kamailio (RSS after %.0f s, switches over %.0f s):"
              % (args.idle, args.window))
        print("  %-8s %10s %12s %14s %8s" % ("", "RSS KiB", "voluntary/s", "involuntary/s",
                                             "threads"))
        for name, (rss, vol, invol, threads) in figures.items():
            print("  %-8s %10d %12.2f %14.2f %8d" % (name, rss, vol, invol, threads))
    finally:
        for stop in reversed(stops):
            stop()


def measure_call(root, args):
    """A call between two profiles with file audio, echo control as by default."""
    stops = []
    try:
        microphone = os.path.join(root, "microphone.wav")
        write_noise_wav(microphone, int(args.call) + 20)
        silence = os.path.join(root, "silence.wav")
        e.write_wav(silence, np.zeros(8000 * (int(args.call) + 20)))
        echo = {"Settings": {"UseEchoCancellation": "1"}}
        a = e.Profile(root, "a", h.free_udp_port(), h.free_udp_port(), "a", microphone, echo)
        b = e.Profile(root, "b", h.free_udp_port(), h.free_udp_port(), "b", silence, echo)
        stops += [b.stop, a.stop]
        b.start()
        a.start("-dial", b.address)
        if not e.wait_for(lambda: "The call was started" in b.log_text()):
            raise RuntimeError("no call:\n" + a.log_text() + b.log_text() + a.trace_text())
        time.sleep(1.0)
        pids = (("caller", a.process.pid), ("callee", b.process.pid))
        cpu = {name: cpu_seconds(pid) for name, pid in pids}
        began = time.monotonic()
        time.sleep(args.call)
        span = time.monotonic() - began
        print("During a call (file audio, %.0f s):" % span)
        for name, pid in pids:
            share = 100.0 * (cpu_seconds(pid) - cpu[name]) / span
            print("  quillet %-7s CPU %5.2f %%  RSS %d KiB  threads %d"
                  % (name, share, e.rss_kib(pid), switches(pid)[2]))
        if "The call was stopped" in b.log_text():
            print("  (warning: the call ended during the measurement)")
    finally:
        for stop in reversed(stops):
            stop()


def cpu_over(pids, seconds):
    """{name: % of a core} of each process over the same `seconds`."""
    cpu = {name: cpu_seconds(pid) for name, pid in pids.items()}
    began = time.monotonic()
    time.sleep(seconds)
    span = time.monotonic() - began
    return {name: 100.0 * (cpu_seconds(pid) - cpu[name]) / span for name, pid in pids.items()}


def plain_quillet_call(root, microphone, seconds, encryption="off", codecs="pcmu,pcma"):
    """Two Quillet profiles in a call (the callee talks back), its media plain or encrypted
    (`encryption`: off, sdes over TLS, or dtls over UDP, required on both sides): their CPU
    shares."""
    stops = []
    line = {"MediaEncryption": encryption, "TLSVerifyServer": "0", "Codecs": codecs,
            "MediaEncryptionRequired": "0" if encryption == "off" else "1"}
    try:
        a = e.Profile(root, encryption + codecs + "-a", h.free_udp_port(), h.free_udp_port(), "a",
                      microphone, {"DefaultLine": line})
        b = e.Profile(root, encryption + codecs + "-b", h.free_udp_port(), h.free_udp_port(), "b",
                      microphone, {"DefaultLine": line, "Intercom": {"AutoTalkBack": "1"}})
        stops += [b.stop, a.stop]
        b.start()
        a.start("-dial", "sip:b@127.0.0.1:%d;transport=tls" % (b.sip_port + 1)
                if encryption == "sdes" else b.address)
        if not e.wait_for(lambda: "The call was started" in b.log_text()):
            raise RuntimeError("no call:\n" + a.log_text() + b.log_text())
        if encryption != "off":
            if not e.wait_for(lambda: "Media: SRTP" in b.log_text()):
                raise RuntimeError("no SRTP:\n" + b.log_text())
            print("  quillet %s: %s" % (encryption, next(
                line for line in b.log_text().splitlines() if "Media: SRTP" in line).strip()))
        time.sleep(1.0)
        shares = cpu_over({"caller": a.process.pid, "callee": b.process.pid}, seconds)
        if "The call was stopped" in b.log_text():
            print("  (warning: the Quillet call ended during the measurement)")
        return shares
    finally:
        for stop in reversed(stops):
            stop()


def plain_baresip_call(root, microphone, seconds, player, mediaenc=None, codec="g711"):
    """Two baresips in a call (the callee answers by itself) playing to the ALSA device
    `player`, with the media encryption `mediaenc` (srtp-mand: SDES keys, over UDP here;
    dtls_srtp) or none: their CPU shares."""
    stops = []
    encryption = ";mediaenc=" + mediaenc if mediaenc else ""
    codecs = (codec, "srtp", "dtls_srtp") if mediaenc else (codec,)
    name = "%s-%s-%s" % (mediaenc or "plain", player, codec)
    make_config = h.baresip_config
    # The harness's baresips play to "alsa,null"; here the player is the one asked for.
    h.baresip_config = lambda port, _, *rest: make_config(port, "alsa," + player, *rest)
    try:
        callee = h.Baresip(root, "callee-" + name, h.free_udp_port(),
                           ["<sip:b@127.0.0.1>;regint=0;answermode=@ANSWER@" + encryption],
                           microphone, answer="auto", codecs=codecs)
        stops.append(callee.stop)
        caller = h.Baresip(root, "caller-" + name, h.free_udp_port(),
                           ["<sip:a@127.0.0.1>;regint=0" + encryption], microphone,
                           codecs=codecs)
        stops.append(caller.stop)
        caller.command("dial", "sip:b@127.0.0.1:%d" % callee.sip_port)
        if callee.wait_call_event("CALL_ESTABLISHED", 10) is None:
            raise RuntimeError("no baresip call:\n" + caller.output() + callee.output())
        if mediaenc:
            said = ("SRTP is Enabled", "DTLS-SRTP complete")
            if not e.wait_for(lambda: any(s in callee.output() for s in said), 5):
                raise RuntimeError("baresip's media is not encrypted:\n" + callee.output())
            print("  baresip %s: %s" % (mediaenc, next(line for line in callee.output().splitlines()
                                                       if any(s in line for s in said)).strip()))
        time.sleep(1.0)
        shares = cpu_over({"caller": caller.proc.pid, "callee": callee.proc.pid}, seconds)
        if callee.wait_call_event("CALL_CLOSED", 0.1) is not None:
            print("  (warning: the baresip call ended during the measurement)")
        return shares
    finally:
        h.baresip_config = make_config
        for stop in reversed(stops):
            stop()


def paced_alsa_config(root, plugin):
    """An ALSA configuration with the test's real-time playback device "quillet_play"
    (8000 Hz mono, paced by a timer like a sound card), or None without the plugin."""
    if not os.path.exists(plugin):
        return None
    path = os.path.join(root, "paced-alsa.conf")
    with open(path, "w") as f:
        f.write('pcm_type.quillet_paced { lib "%s" }\n'
                "pcm.quillet_play { type quillet_paced rate 8000 channels 1 }\n" % plugin)
    return path


def measure_plain_calls(root, args):
    """The same plain call (file audio both ways, G.711, no echo control) by two Quillet
    profiles and by two baresips, one after the other. ALSA's "null" device takes what
    baresip plays without waiting, so its player thread never sleeps; with the test's paced
    device (built beside quillet) it plays at the real rate, as to a sound card."""
    microphone = os.path.join(root, "plain-microphone.wav")
    write_noise_wav(microphone, int(args.call) + 20)
    figures = {"quillet": plain_quillet_call(root, microphone, args.call)}
    if args.srtp:
        figures["quillet, SDES (TLS)"] = plain_quillet_call(root, microphone, args.call, "sdes")
        figures["quillet, DTLS-SRTP"] = plain_quillet_call(root, microphone, args.call, "dtls")
    figures["baresip, ALSA null"] = plain_baresip_call(root, microphone, args.call, "null")
    plugin = args.paced_pcm or os.path.join(os.path.dirname(os.path.abspath(args.quillet)), "..",
                                            "tests", "audio_devices",
                                            "libasound_module_pcm_quillet_paced.so")
    alsa = paced_alsa_config(root, plugin)
    if alsa is None:
        print("(no paced ALSA device: %s is not built)" % plugin)
    before = os.environ.get("ALSA_CONFIG_PATH")
    if alsa:
        os.environ["ALSA_CONFIG_PATH"] = "/usr/share/alsa/alsa.conf:" + alsa
    # baresip's encrypted calls play where its plain call plays as to a sound card.
    player, label = ("quillet_play", "baresip, paced") if alsa else ("null", "baresip, ALSA null")
    try:
        if alsa:
            figures[label] = plain_baresip_call(root, microphone, args.call, player)
        if args.wideband:
            for codec, baresip_module in (("opus", "opus"), ("g722", "g722")):
                figures["quillet, " + codec] = plain_quillet_call(root, microphone, args.call,
                                                                  codecs=codec)
                figures[label + ", " + codec] = plain_baresip_call(
                    root, microphone, args.call, player, codec=baresip_module)
        if args.srtp:
            figures[label + ", SDES"] = plain_baresip_call(root, microphone, args.call, player,
                                                           "srtp-mand")
            figures[label + ", DTLS"] = plain_baresip_call(root, microphone, args.call, player,
                                                           "dtls_srtp")
    finally:
        if before is None:
            os.environ.pop("ALSA_CONFIG_PATH", None)
        else:
            os.environ["ALSA_CONFIG_PATH"] = before
    print("Call, file audio both ways, G.711 unless named, no echo control (%.0f s each):"
          % args.call)
    print("  %-22s %12s %12s" % ("", "caller CPU", "callee CPU"))
    for name, shares in figures.items():
        print("  %-22s %10.2f %% %10.2f %%" % (name, shares["caller"], shares["callee"]))


if __name__ == "__main__":
    main()
