# SPDX-License-Identifier: Apache-2.0
"""Helpers for the SIP interop tests: start and stop Kamailio, SIPp and baresip on
loopback, each in a private temporary directory and each stopped by its own pid."""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# The empty tables of the db_text database as Debian ships them.
DB_TEXT_TABLES = "/usr/share/kamailio/dbtext/kamailio"


def end_process(process, timeout=5):
    """SIGTERM to a process the test started, SIGKILL when it has not ended in `timeout` s."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def open_fds(pid):
    """The number of descriptors the process has open."""
    return len(os.listdir("/proc/%d/fd" % pid))


def rss_kib(pid):
    """The resident memory of the process in KiB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def thread_stacks(pid):
    """The stack of every thread of a hung process, for the failure report (empty without gdb)."""
    try:
        return subprocess.run(["gdb", "-p", str(pid), "-batch", "-nx", "-ex", "thread apply all bt"],
                              capture_output=True, text=True, timeout=60).stdout
    except (OSError, subprocess.TimeoutExpired):
        return ""


_given_ports = []


def free_udp_port(start=20000, end=30000, step=2, span=2):
    """A UDP port on 127.0.0.1 that nothing is bound to right now, with the span-1 ports
    after it free too. The default range lies below the kernel's ephemeral ports (32768 on)
    and baresip's RTP ports (30000 on), which may take a port between this check and its use."""
    import random
    # Each test process first tries a slice of its own, so that two tests that run side
    # by side rarely pick the same port between their checks and their binds; ports this
    # process gave out lately are not given again, as they may not be bound yet.
    slices = max(1, (end - start) // 1024)
    first = start + (os.getpid() % slices) * 1024
    for attempt in range(400):
        if attempt < 200:
            port = random.randrange(first, min(first + 1024, end), step)
        else:
            port = random.randrange(start, end, step)
        if any(p < port + span and port < p + n for p, n in _given_ports):
            continue
        if all(_bindable(p) for p in range(port, port + span)):
            _given_ports.append((port, span))
            del _given_ports[:-128]
            return port
    raise RuntimeError("no free port")


def _bindable(port):
    for kind in (socket.SOCK_DGRAM, socket.SOCK_STREAM):
        s = socket.socket(socket.AF_INET, kind)
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
        finally:
            s.close()
    return True


class Checks:
    """A script's checks, printed "ok   WHAT" or "FAIL WHAT  DETAIL"; the failed ones are
    collected so that one run reports all of them."""

    def __init__(self):
        self.failed = []

    def expect(self, ok, what, detail=""):
        print(("ok   " if ok else "FAIL ") + what + (("  " + str(detail)) if not ok else ""),
              flush=True)
        if not ok:
            self.failed.append(what)

    def finish(self):
        if self.failed:
            print("%d failed" % len(self.failed))
            sys.exit(1)
        print("all passed")


class Stopped:
    """`with` stops what the block started, however the block ends."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False


class Process:
    """A child process with its output in a file, stopped by pid."""

    def __init__(self, args, workdir, name, env=None, stdin=None):
        self.name = name
        self.log_path = os.path.join(workdir, name + ".log")
        self.log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(args, cwd=workdir, stdout=self.log, stderr=subprocess.STDOUT,
                                     stdin=stdin if stdin is not None else subprocess.DEVNULL,
                                     env=env, start_new_session=True)

    @property
    def pid(self):
        return self.proc.pid

    def running(self):
        return self.proc.poll() is None

    def wait(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, sig=signal.SIGTERM, timeout=5):
        if self.proc.poll() is None:
            # The child runs in its own session; signal its group (its own pid) so that
            # the workers a daemon forks end with it.
            try:
                os.killpg(self.proc.pid, sig)
            except ProcessLookupError:
                pass
            if self.wait(timeout) is None:
                try:
                    os.killpg(self.proc.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                self.proc.wait()
        self.log.close()
        return self.proc.returncode

    def output(self):
        if not self.log.closed:
            self.log.flush()
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")


def kamailio_streams(cfg, port, tls):
    """`cfg` listening also on TCP at `port` and, with `tls` ({"cert", "key"} paths), on
    TLS at port + 1 (TLS 1.2 and up)."""
    listen = ["listen=tcp:127.0.0.1:%d" % port]
    modules = []
    if tls:
        listen += ["listen=tls:127.0.0.1:%d" % (port + 1), 'alias="127.0.0.1:%d"' % (port + 1)]
        modules = ['loadmodule "tls.so"',
                   'modparam("tls", "certificate", "%s")' % tls["cert"],
                   'modparam("tls", "private_key", "%s")' % tls["key"],
                   'modparam("tls", "tls_method", "TLSv1.2+")',
                   'modparam("tls", "verify_certificate", 0)',
                   'modparam("tls", "require_certificate", 0)']
    cfg = cfg.replace("disable_tcp=yes", "disable_tcp=no\ntcp_children=2\n" +
                      ("enable_tls=yes\n" if tls else "") + "\n".join(listen))
    return cfg.replace('loadmodule "kex.so"', "\n".join(modules + ['loadmodule "kex.so"']))


def kamailio_config(port, users, max_expires=3600, auth=None, streams=False, tls=None,
                    ipv6=False):
    """The text of tests/sip/kamailio.cfg.in for a port and user => password pairs; `auth`
    adds auth module parameters, e.g. {"qop": "auth", "nonce_count": 1}; `streams` adds
    TCP at the same port and `tls` (see kamailio_streams) TLS at the next; `ipv6` UDP on
    [::1] at the same port."""
    with open(os.path.join(HERE, "kamailio.cfg.in")) as f:
        cfg = f.read()
    if ipv6:
        cfg = cfg.replace('alias="127.0.0.1:@PORT@"',
                          'alias="127.0.0.1:@PORT@"\nlisten=udp:[::1]:@PORT@\nalias="[::1]:@PORT@"')
    if streams or tls:
        cfg = kamailio_streams(cfg, port, tls)
    seeds = "\n".join('\t$sht(users=>%s) = "%s";' % (u, p) for u, p in users.items())
    cfg = cfg.replace("@PORT@", str(port)).replace("@USERS@", seeds)
    cfg = cfg.replace('"max_expires", 3600', '"max_expires", %d' % max_expires)
    cfg = cfg.replace("@AUTH@", "\n".join(
        'modparam("auth", "%s", %s)' % (k, '"%s"' % v if isinstance(v, str) else v)
        for k, v in (auth or {}).items()))
    # Challenges carry qop=auth (flag 1) when the test turns qop on.
    return cfg.replace("@CHALLENGE_FLAGS@", "1" if (auth or {}).get("qop") == "auth" else "0")


class Kamailio(Stopped):
    """Kamailio as registrar and record-routing proxy on 127.0.0.1:port."""

    def __init__(self, workdir, users, port=None, max_expires=3600, auth=None, streams=False,
                 tls=None, ipv6=False, presence=False):
        """auth: extra auth module parameters (see kamailio_config); streams: TCP too at
        the same port; tls: {"cert", "key"}: TLS at tls_port (port + 1); ipv6: UDP on [::1]
        too; presence: serve "Event: dialog" subscriptions with the state of calls through
        the proxy (db_text tables in the run's directory)."""
        self.port = port or free_udp_port()
        self.tls_port = self.port + 1
        self.dir = os.path.join(workdir, "kamailio")
        os.makedirs(self.dir, exist_ok=True)
        cfg = kamailio_config(self.port, users, max_expires, auth, streams, tls, ipv6)
        tables = os.path.join(self.dir, "db")
        cfg = cfg.replace("@DB@", tables)
        if presence:
            shutil.copytree(DB_TEXT_TABLES, tables, dirs_exist_ok=True)
        self.cfg = os.path.join(self.dir, "kamailio.cfg")
        with open(self.cfg, "w") as f:
            f.write(cfg)
        args = ["kamailio", "-DD", "-E", "-f", self.cfg, "-Y", self.dir, "-w", self.dir,
                "-P", os.path.join(self.dir, "kamailio.pid"), "-m", "32", "-M", "8", "-n", "2"]
        if presence:
            args += ["-A", "WITH_PRESENCE"]
        self.proc = Process(args, self.dir, "kamailio")
        try:
            self._wait_ready()
        except Exception:
            self.proc.stop()
            raise

    def _wait_ready(self):
        deadline = time.time() + 10
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        probe.settimeout(0.3)
        probe.bind(("127.0.0.1", 0))
        lport = probe.getsockname()[1]
        try:
            while time.time() < deadline:
                if not self.proc.running():
                    raise RuntimeError("kamailio exited:\n" + self.proc.output())
                msg = ("OPTIONS sip:127.0.0.1:%d SIP/2.0\r\n"
                       "Via: SIP/2.0/UDP 127.0.0.1:%d;branch=z9hG4bKprobe%d\r\n"
                       "Max-Forwards: 70\r\nTo: <sip:127.0.0.1:%d>\r\n"
                       "From: <sip:probe@127.0.0.1>;tag=1\r\nCall-ID: probe%d@127.0.0.1\r\n"
                       "CSeq: 1 OPTIONS\r\nContent-Length: 0\r\n\r\n"
                       % (self.port, lport, time.time_ns(), self.port, time.time_ns()))
                probe.sendto(msg.encode(), ("127.0.0.1", self.port))
                try:
                    data, _ = probe.recvfrom(4096)
                    if data.startswith(b"SIP/2.0"):
                        return
                except socket.timeout:
                    pass
            raise RuntimeError("kamailio did not answer:\n" + self.proc.output())
        finally:
            probe.close()

    def stop(self):
        self.proc.stop()

    def output(self):
        return self.proc.output()


class Sipp(Stopped):
    """One SIPp run of a scenario file from tests/sip/scenarios."""

    def __init__(self, workdir, scenario, remote=None, port=None, extra=(), name=None,
                 keys=None, calls=1, rate=None, timeout=60, subs=None, local_ip="127.0.0.1"):
        self.port = port or free_udp_port()
        self.name = name or os.path.splitext(os.path.basename(scenario))[0]
        self.dir = os.path.join(workdir, "sipp-" + self.name)
        os.makedirs(self.dir, exist_ok=True)
        path = scenario if os.path.isabs(scenario) else os.path.join(HERE, "scenarios", scenario)
        # @NAME@ placeholders (also in attributes, where -key values do not reach).
        with open(path) as f:
            text = f.read()
        for k, v in (subs or {}).items():
            text = text.replace("@%s@" % k, str(v))
        path = os.path.join(self.dir, os.path.basename(path))
        with open(path, "w") as f:
            f.write(text)
        args = ["sipp", "-sf", path, "-i", local_ip, "-p", str(self.port), "-m", str(calls),
                "-nostdin", "-trace_err", "-trace_msg", "-timeout", str(timeout), "-timeout_error",
                "-max_recv_loops", "1000",
                # SIPp binds audio and video media, each with its RTCP port: four ports.
                "-mp", str(free_udp_port(step=4, span=4))]
        if rate:
            args += ["-r", str(rate)]
        for k, v in (keys or {}).items():
            args += ["-key", k, str(v)]
        args += list(extra)
        if remote:
            args.append(remote)
        self.proc = Process(args, self.dir, "sipp")

    def wait(self, timeout=60):
        rc = self.proc.wait(timeout)
        if rc is None:
            self.proc.stop()
        return rc

    def stop(self):
        self.proc.stop()

    def message_times(self):
        """(seconds of the day, "sent"/"received", first line) of each message in the
        trace."""
        out = []
        for m in re.finditer(r"-{20,} [0-9-]+ ([0-9]+):([0-9]+):([0-9.]+)\r?\n"
                             r"UDP message (sent|received)[^\n]*\n\s*\n([^\r\n]*)",
                             self.messages()):
            seconds = int(m.group(1)) * 3600 + int(m.group(2)) * 60 + float(m.group(3))
            out.append((seconds, m.group(4), m.group(5)))
        return out

    def messages(self):
        """The trace of messages SIPp sent and received."""
        text = ""
        for fn in sorted(os.listdir(self.dir)):
            if fn.endswith("_messages.log") or fn.endswith("_errors.log"):
                with open(os.path.join(self.dir, fn), "rb") as f:
                    text += f.read().decode("utf-8", "replace")
        return text + self.proc.output()


def netstring(data):
    return b"%d:%s," % (len(data), data)


def baresip_config(sip_port, player, source, jitter_buffer, modules, extra=()):
    """The lines of a baresip config: SIP on loopback, 8000 Hz mono audio on the `player`
    and `source` devices (the player rings too), the jitter buffer's frames, then `extra`
    and the modules."""
    return ["poll_method epoll", "sip_listen 127.0.0.1:%d" % sip_port,
            "dns_server 127.0.0.1:53", "audio_player " + player, "audio_source " + source,
            "audio_alert " + player, "ausrc_srate 8000", "auplay_srate 8000",
            "ausrc_channels 1", "auplay_channels 1", "rtp_ports 30000-39998",
            "jitter_buffer_delay " + jitter_buffer, "module_path /usr/lib/baresip/modules",
            *extra] + ["module %s.so" % m for m in modules]


class Baresip(Stopped):
    """baresip with file audio (aufile in, sndfile out) driven over ctrl_tcp."""

    def __init__(self, workdir, name, sip_port, accounts, play_wav=None, answer="manual",
                 codecs=("g711",), extra=()):
        """extra: more config lines (e.g. sip_certificate for TLS on sip_port + 1)."""
        self.name = name
        self.dir = os.path.join(workdir, "baresip-" + name)
        os.makedirs(self.dir, exist_ok=True)
        self.sip_port = sip_port
        self.ctrl_port = free_udp_port()
        mods = list(codecs) + ["aufile", "sndfile", "alsa", "ctrl_tcp", "account", "contact"]
        config = baresip_config(sip_port, "alsa,null", "aufile,%s" % (play_wav or "/dev/null"),
                                "0-20", mods, ["ctrl_tcp_listen 127.0.0.1:%d" % self.ctrl_port,
                                               "snd_path %s" % self.dir, *extra])
        config.append("module_app menu.so")
        with open(os.path.join(self.dir, "config"), "w") as f:
            f.write("\n".join(config) + "\n")
        with open(os.path.join(self.dir, "accounts"), "w") as f:
            for acc in accounts:
                f.write(acc.replace("@ANSWER@", answer) + "\n")
        with open(os.path.join(self.dir, "contacts"), "w") as f:
            f.write("")
        self.proc = Process(["baresip", "-f", self.dir], self.dir, "baresip")
        self.sock = None
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                self.sock = socket.create_connection(("127.0.0.1", self.ctrl_port), timeout=1)
                break
            except OSError:
                if not self.proc.running():
                    raise RuntimeError("baresip exited:\n" + self.proc.output())
                time.sleep(0.1)
        if self.sock is None:
            self.proc.stop()
            raise RuntimeError("baresip control port did not open:\n" + self.proc.output())
        self.sock.settimeout(0.2)
        self.buf = b""
        self.events = []

    def command(self, cmd, params=""):
        msg = json.dumps({"command": cmd, "params": params, "token": "t"}).encode()
        self.sock.sendall(netstring(msg))

    def _pump(self):
        try:
            data = self.sock.recv(65536)
            if data:
                self.buf += data
        except (socket.timeout, BlockingIOError):
            pass
        while True:
            colon = self.buf.find(b":")
            if colon < 0:
                return
            n = int(self.buf[:colon])
            if len(self.buf) < colon + 1 + n + 1:
                return
            body = self.buf[colon + 1:colon + 1 + n]
            self.buf = self.buf[colon + 2 + n:]
            try:
                self.events.append(json.loads(body))
            except ValueError:
                pass

    def wait_event(self, pred, timeout=10):
        deadline = time.time() + timeout
        seen = 0
        while time.time() < deadline:
            self._pump()
            while seen < len(self.events):
                ev = self.events[seen]
                seen += 1
                if pred(ev):
                    return ev
        return None

    def wait_call_event(self, kind, timeout=10):
        return self.wait_event(lambda e: e.get("event") and e.get("type") == kind, timeout)

    def stop(self):
        if self.sock:
            try:
                self.command("quit")
            except OSError:
                pass
            self.sock.close()
            self.sock = None
        self.proc.wait(3)
        return self.proc.stop()

    def output(self):
        return self.proc.output()


class TempRun:
    """A temporary run directory, kept when QUILLET_KEEP_TEST_DIR is set."""

    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="quillet-sip-")
        return self.path

    def __exit__(self, *exc):
        if not os.environ.get("QUILLET_KEEP_TEST_DIR"):
            import shutil
            shutil.rmtree(self.path, ignore_errors=True)
        return False


class Peer(Stopped):
    """The engine under test: tests/sip/sip_peer driven over its standard input."""

    def __init__(self, binary, workdir, name, user, port=None, args=(), env=None):
        import queue
        import threading
        self.name = name
        self.port = port or free_udp_port()
        self.dir = os.path.join(workdir, "peer-" + name)
        os.makedirs(self.dir, exist_ok=True)
        cmd = [binary, "--user", user, "--port", str(self.port)] + list(args)
        self.lines = []
        self._queue = queue.Queue()
        self.log = open(os.path.join(self.dir, "peer.log"), "w")
        self.proc = subprocess.Popen(cmd, cwd=self.dir, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.log,
                                     env=env, start_new_session=True, text=True, bufsize=1)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self.seen = 0
        ready = self.wait_for(r"^READY (\d+)", 15)
        if not ready:
            self.stop()
            raise RuntimeError("sip_peer did not start:\n" + "\n".join(self.lines))
        self.port = int(ready.group(1))
        self.seen = 0  # lines before READY (the first log lines) still count

    def _read(self):
        for line in self.proc.stdout:
            line = line.rstrip("\n")
            self.log.write("%.3f %s\n" % (time.time(), line))
            self.log.flush()
            self._queue.put((time.time(), line))

    def _drain(self, timeout):
        import queue
        try:
            when, line = self._queue.get(timeout=timeout)
            self.lines.append(line)
            self.times.append(when)
            return True
        except queue.Empty:
            return False

    times = None

    def wait_for(self, pattern, timeout=10, from_start=False):
        """Waits for an output line matching the regex (after the last match unless
        from_start). Answers the match or None."""
        import re
        if self.times is None:
            self.times = []
        rx = re.compile(pattern)
        index = 0 if from_start else self.seen
        deadline = time.time() + timeout
        while True:
            while index < len(self.lines):
                m = rx.search(self.lines[index])
                index += 1
                if m:
                    if not from_start:
                        self.seen = index
                    self.match_time = self.times[index - 1]
                    return m
            left = deadline - time.time()
            if left <= 0:
                return None
            self._drain(min(left, 0.2))

    def has_line(self, text):
        self.pump()
        return any(text in l for l in self.lines)

    def pump(self, seconds=0.0):
        deadline = time.time() + seconds
        while True:
            if not self._drain(max(0.0, min(0.05, deadline - time.time()))):
                if time.time() >= deadline:
                    return

    def send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def stop(self, timeout=10):
        if self.proc.poll() is None:
            try:
                self.send("quit")
                self.proc.stdin.close()
            except (BrokenPipeError, ValueError):
                pass
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.log.write(thread_stacks(self.proc.pid))
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self._reader.join(2)
        self.pump(0.1)
        if not self.log.closed:
            self.log.close()
            # A clean exit is part of every check: a crash or a sanitizer report fails it.
            with open(self.log.name, errors="replace") as f:
                text = f.read()
            if self.proc.returncode != 0 or "Sanitizer" in text or "runtime error" in text:
                raise RuntimeError("sip_peer %s exited with %s:\n%s" %
                                   (self.name, self.proc.returncode, text[-4000:]))
        return self.proc.returncode

    def output(self):
        return "\n".join(self.lines)


class UdpListener(Stopped):
    """A silent SIP endpoint: records every datagram it receives, with its arrival time,
    and answers nothing (unless told to)."""

    def __init__(self, port=None):
        import threading
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", port or 0))
        self.port = self.sock.getsockname()[1]
        self.sock.settimeout(0.1)
        self.received = []  # (time, text, source)
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop:
            try:
                data, src = self.sock.recvfrom(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            self.received.append((time.time(), data.decode("utf-8", "replace"), src))

    def requests(self, method):
        return [(t, m) for t, m, _ in self.received if m.startswith(method + " ")]

    def close(self):
        if not self._stop:
            self._stop = True
            self._thread.join(1)
            self.sock.close()

    stop = close


def record_interop(row, check, ok, why=""):
    """Adds one check's outcome (True, False, or None for skipped with `why`) to a row of
    the interop matrix (tests/interop_matrix.py), when the run collects them
    (QUILLET_INTEROP_RESULTS names the folder)."""
    folder = os.environ.get("QUILLET_INTEROP_RESULTS")
    if not folder or not row:
        return
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, row + ".jsonl"), "a") as f:
        f.write(json.dumps({"check": check, "ok": ok if ok is None else bool(ok), "why": why}) +
                "\n")


class TestRun:
    """Collects the results of named checks and prints a summary; each check also counts
    for `row` of the interop matrix (a check may name another row)."""

    def __init__(self, only="", row=None):
        self.failures = []
        self.passed = 0
        self.only = only
        self.row = row

    def scenario(self, func):
        """Runs func(temporary folder) at once, unless a name filter leaves it out; an
        exception in it (a broken harness step) is a failed check, not a crash."""
        if self.only and self.only not in func.__name__:
            return func
        with TempRun() as d:
            try:
                func(d)
            except Exception:
                import traceback
                self.check(func.__name__, False, traceback.format_exc())
        return func

    def with_peer(self, binary, user="alice", **peer_options):
        """Decorates func(folder, peer) as a scenario run with a sip_peer `a` for `user`
        started before it and stopped after it (a crash at the stop fails the scenario)."""
        def wrap(func):
            def run(d):
                with Peer(binary, d, "a", user, **peer_options) as peer:
                    func(d, peer)
            run.__name__ = func.__name__
            self.scenario(run)
            return func
        return wrap

    def check(self, name, ok, detail="", row=None):
        record_interop(row or self.row, name, ok)
        if ok:
            self.passed += 1
            print("PASS", name, flush=True)
        else:
            self.failures.append(name)
            # SIPp's screens (cursor moves, carriage returns) would overwrite what comes first.
            text = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", detail or "").replace("\r", "\n")
            if len(text) > 3500:
                text = text[:1000] + "\n[...]\n" + text[-2500:]
            print("FAIL", name, text, flush=True)

    def finish(self):
        print("%d passed, %d failed" % (self.passed, len(self.failures)))
        for f in self.failures:
            print("  failed:", f)
        return 1 if self.failures else 0


def trace_entries(folder):
    """The entries of the SIP trace file(s) in a folder: (direction, address, text)."""
    import glob
    import re
    out = []
    for path in sorted(glob.glob(os.path.join(folder, "*Quillet SipTrace.txt"))):
        with open(path, "rb") as f:
            data = f.read().decode("utf-8", "replace")
        sep = "\r\n----------------------------------------------------------------\r\n\r\n"
        for m in re.finditer(r"(\d\d:\d\d:\d\d) UDP Packet (Sent to|Received from) "
                             r"([0-9.:]+) [<>]+\r\n(.*?)" + re.escape(sep), data, re.S):
            out.append(("sent" if m.group(2) == "Sent to" else "received", m.group(3),
                        m.group(4)))
    return out


def trace_is_well_framed(folder):
    """True when every trace file of the folder is nothing but complete entries: a
    timestamped "UDP Packet Sent to"/"Received from" line, the datagram and the separator,
    or a one-line keep-alive or RTP entry."""
    import glob
    import re
    sep = re.escape("\r\n----------------------------------------------------------------\r\n\r\n")
    entry = (r"\d\d:\d\d:\d\d (?:(?:UDP|TCP|TLS) Packet Sent to [0-9.]+:\d+ >{33}\r\n.*?" + sep +
             r"|(?:UDP|TCP|TLS) Packet Received from [0-9.]+:\d+ <{39}\r\n.*?" + sep +
             r"|NAT Keep Alive Packet Sent to [^\r\n]*\r\n|\d+ms Rtp [^\r\n]*\r\n)")
    files = sorted(glob.glob(os.path.join(folder, "*Quillet SipTrace.txt")))
    for path in files:
        with open(path, "rb") as f:
            data = f.read().decode("utf-8", "replace")
        if not re.fullmatch("(?:%s)+" % entry, data, re.S):
            return False
    return bool(files)
