#!/usr/bin/python3
"""Measures (does not test) an idle registered `quillet --headless` next to an idle
registered baresip, both registered at a Kamailio on loopback: resident memory after 30 s
and wake-ups per second (context switches of all threads over 20 s). Then the CPU share of
two Quillet profiles during an intercom call with file audio.

Usage: measure_idle.py [path/to/quillet] [--idle SECONDS] [--window SECONDS] [--call SECONDS]
Not registered as a test: it takes about a minute and a half and only prints figures."""
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
import sipharness as h  # noqa: E402

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


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
    rss = {name: rss_kib(pid) for name, pid in pids.items()}
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


def quillet_profile(root, name, user, sip_port, rtp_base, microphone, speaker, extra):
    home = os.path.join(root, name)
    os.makedirs(home)
    values = {
        "Settings": {"NewInstall": "0", "InstallWizRun": "1", "UseAGC": "0", "SipTraceOn": "1",
                     "RecordDevice": microphone, "PlayDevice": speaker},
        "SIP": {"Port": str(sip_port), "LocalAddress": "127.0.0.1", "STUN": "0",
                "RTPPortBase": str(rtp_base)},
        "DefaultLine": {"DisplayName": user.capitalize(), "UserName": user},
    }
    for section, pairs in extra.items():
        values.setdefault(section, {}).update(pairs)
    path = os.path.join(home, "settings.ini")
    with open(path, "w") as f:
        for section, pairs in values.items():
            f.write("[%s]\n" % section + "".join("%s=%s\n" % kv for kv in pairs.items()))
    os.chmod(path, 0o600)
    env = dict(os.environ, QUILLET_HOME=home)
    return home, env


def log_text(home):
    logs = os.path.join(home, "Logs")
    text = ""
    if os.path.isdir(logs):
        for name in sorted(os.listdir(logs)):
            if name.endswith("Quillet Log.txt"):
                with open(os.path.join(logs, name), errors="replace") as f:
                    text += f.read()
    return text


def wait_for(predicate, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


def write_noise_wav(path, seconds):
    """Speech-like test signal: noise bursts and pauses at 8000 Hz."""
    import wave
    rng = np.random.default_rng(1)
    samples = rng.normal(0, 3000, 8000 * seconds)
    envelope = (np.sin(np.arange(len(samples)) * 2 * np.pi * 1.5 / 8000) > 0).astype(float)
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(8000)
        w.writeframes(np.clip(samples * envelope, -32000, 32000).astype(np.int16).tobytes())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("quillet", nargs="?", default="build/bin/quillet")
    parser.add_argument("--idle", type=float, default=30.0)
    parser.add_argument("--window", type=float, default=20.0)
    parser.add_argument("--call", type=float, default=10.0)
    parser.add_argument("--skip-idle", action="store_true")
    args = parser.parse_args()
    quillet = os.path.abspath(args.quillet)

    root = tempfile.mkdtemp(prefix="quillet-measure-")
    stops = []
    try:
        if not args.skip_idle:
            measure_registered_idle(quillet, root, args)
        measure_call(quillet, root, args)
    finally:
        shutil.rmtree(root, ignore_errors=True)


def measure_registered_idle(quillet, root, args):
    stops = []
    try:
        kamailio = h.Kamailio(root, {"alice": "alice-pw", "bob": "bob-pw", "carol": "carol-pw"})
        stops.append(kamailio.stop)
        line = {"DefaultLine": {"Proxy": "127.0.0.1:%d" % kamailio.port,
                                "ProxyPassword": "alice-pw"}}
        home, env = quillet_profile(root, "alice", "alice", h.free_udp_port(),
                                    h.free_udp_port(), "null", "null", line)
        q = h.Process([quillet, "--headless"], home, "quillet", env=env)
        stops.append(q.stop)
        account = ("<sip:carol@127.0.0.1:%d>;auth_pass=carol-pw;regint=3600;answermode=manual"
                   % kamailio.port)
        b = h.Baresip(root, "carol", h.free_udp_port(), [account])
        stops.append(b.stop)
        started = time.monotonic()
        if not wait_for(lambda: "Registered as: sip:alice@" in log_text(home), 10):
            raise RuntimeError("quillet did not register:\n" + log_text(home))
        if not wait_for(lambda: "200 OK" in b.output() and "binding" in b.output(), 10):
            raise RuntimeError("baresip did not register:\n" + b.output())
        time.sleep(max(0.0, args.idle - (time.monotonic() - started)))
        figures = measure_idle({"quillet": q.pid, "baresip": b.proc.pid}, args.window)
        print("Idle, registered at Kamailio (RSS after %.0f s, switches over %.0f s):"
              % (args.idle, args.window))
        print("  %-8s %10s %12s %14s %8s" % ("", "RSS KiB", "voluntary/s", "involuntary/s",
                                             "threads"))
        for name, (rss, vol, invol, threads) in figures.items():
            print("  %-8s %10d %12.2f %14.2f %8d" % (name, rss, vol, invol, threads))
    finally:
        for stop in reversed(stops):
            stop()


def measure_call(quillet, root, args):
    """A call between two profiles with file audio."""
    stops = []
    try:
        microphone = os.path.join(root, "microphone.wav")
        write_noise_wav(microphone, int(args.call) + 20)
        silence = os.path.join(root, "silence.wav")
        import wave
        with wave.open(silence, "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(8000)
            w.writeframes(bytes(2 * 8000 * (int(args.call) + 20)))
        ports = [h.free_udp_port() for _ in range(4)]
        home_a, env_a = quillet_profile(root, "a", "a", ports[0], ports[1], "file:" + microphone,
                                        "file:" + os.path.join(root, "a-speaker.wav"), {})
        home_b, env_b = quillet_profile(root, "b", "b", ports[2], ports[3], "file:" + silence,
                                        "file:" + os.path.join(root, "b-speaker.wav"), {})
        qb = h.Process([quillet, "--headless"], home_b, "quillet-b", env=env_b)
        stops.append(qb.stop)
        if not wait_for(lambda: "SIP Number:" in log_text(home_b), 10):
            raise RuntimeError("profile b did not start:\n" + log_text(home_b))
        qa = h.Process([quillet, "--headless", "-dial", "sip:b@127.0.0.1:%d" % ports[2]],
                       home_a, "quillet-a", env=env_a)
        stops.append(qa.stop)
        if not wait_for(lambda: "The call was started" in log_text(home_b), 10):
            trace = os.path.join(home_a, "Logs")
            raise RuntimeError("no call:\n" + log_text(home_a) + log_text(home_b) + "".join(
                open(os.path.join(trace, n), errors="replace").read() for n in os.listdir(trace)
                if n.endswith("SipTrace.txt")))
        time.sleep(1.0)
        cpu = {name: cpu_seconds(pid) for name, pid in (("caller", qa.pid), ("callee", qb.pid))}
        began = time.monotonic()
        time.sleep(args.call)
        span = time.monotonic() - began
        print("During a call (file audio, %.0f s):" % span)
        for name, pid in (("caller", qa.pid), ("callee", qb.pid)):
            share = 100.0 * (cpu_seconds(pid) - cpu[name]) / span
            print("  quillet %-7s CPU %5.2f %%  RSS %d KiB  threads %d"
                  % (name, share, rss_kib(pid), switches(pid)[2]))
        if "The call was stopped" in log_text(home_b):
            print("  (warning: the call ended during the measurement)")
    finally:
        for stop in reversed(stops):
            stop()


if __name__ == "__main__":
    main()
