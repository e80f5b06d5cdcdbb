# SPDX-License-Identifier: Apache-2.0
"""Shared pieces of the end-to-end tests: quillet --headless profiles with WAV-file audio,
speech samples and the comparison of what was said with what was heard."""
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import wave

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sip"))
from sipharness import (Checks, Process, free_udp_port, open_fds, record_interop,  # noqa: E402,F401
                        rss_kib)

QUILLET = os.environ.get("QUILLET_BINARY", "build/bin/quillet")
RATE = 8000


def take_binary_argument():
    """The quillet binary named first on the command line (as CTest runs the tests) is the
    one tested; it is taken off sys.argv so that unittest sees only its own options."""
    global QUILLET
    if len(sys.argv) > 1:
        QUILLET = os.environ["QUILLET_BINARY"] = sys.argv.pop(1)


def wait_for(predicate, timeout=10.0, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def resample(samples, rate, to):
    """`samples` at `rate` brought to `to` (band-limited, through the spectrum)."""
    if rate == to or len(samples) == 0:
        return samples
    n = len(samples)
    m = int(round(n * to / rate))
    spectrum = np.fft.rfft(samples)
    out = np.zeros(m // 2 + 1, dtype=complex)
    k = min(len(spectrum), len(out))
    out[:k] = spectrum[:k]
    return np.fft.irfft(out, m) * (m / n)


def read_wav_rate(path):
    """(rate, samples) of a 16-bit WAV file, its channels mixed."""
    with wave.open(path) as w:
        assert w.getsampwidth() == 2, (path, w.getsampwidth())
        data = np.frombuffer(w.readframes(w.getnframes()), dtype=np.int16).astype(float)
        return w.getframerate(), data.reshape(-1, w.getnchannels()).mean(axis=1)


def read_wav(path):
    """The samples at RATE (a wideband call's speaker file is brought down to it)."""
    rate, data = read_wav_rate(path)
    return resample(data, rate, RATE)


def write_wav(path, samples, rate=RATE):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.asarray(np.clip(samples, -32768, 32767), dtype=np.int16).tobytes())


def make_speech(folder):
    """A spoken sentence at 8000 Hz mono, then silence so that the call goes on."""
    raw = os.path.join(folder, "speech22.wav")
    speech = os.path.join(folder, "speech.wav")
    subprocess.run(["espeak-ng", "-w", raw, "Hello Bob. This is the first word of an intercom "
                    "call, and the rest of the sentence follows."], check=True)
    subprocess.run(["sox", raw, "-r", str(RATE), "-c", "1", "-b", "16", speech], check=True)
    return read_wav(speech)


def pink_noise(n, rms, low=20, seed=7):
    """Noise with a 1/f power spectrum from `low` Hz up (a fan: what a microphone hears of
    it, without the drift below hearing) at the given RMS, RATE samples a second."""
    spectrum = np.fft.rfft(np.random.default_rng(seed).normal(0, 1, n))
    f = np.fft.rfftfreq(n, 1 / RATE)
    spectrum[f < low] = 0
    spectrum[f >= low] /= np.sqrt(f[f >= low])
    y = np.fft.irfft(spectrum, n)
    return y * rms / np.sqrt(np.mean(y ** 2))


def find_in(reference, heard):
    """Where the reference sits in what was heard as one piece: (delay s, SNR dB, gain)."""
    n = len(heard) + len(reference)
    size = 1 << int(np.ceil(np.log2(2 * n)))
    corr = np.fft.irfft(np.fft.rfft(heard, size) * np.conj(np.fft.rfft(reference, size)), size)
    lag = int(np.argmax(corr[: max(1, len(heard) - len(reference) + 1)]))
    segment = heard[lag: lag + len(reference)]
    if len(segment) < len(reference):
        return lag / RATE, -99.0, 0.0
    gain = float(np.dot(segment, reference) / np.dot(reference, reference))
    error = segment - gain * reference
    snr = 10 * np.log10(np.dot(gain * reference, gain * reference) / max(np.dot(error, error), 1e-9))
    return lag / RATE, float(snr), gain


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True)


def make_ca(folder, name):
    """A test CA: (certificate, key) paths."""
    cert, key = os.path.join(folder, name + ".pem"), os.path.join(folder, name + ".key")
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=" + name)
    return cert, key


def make_server_cert(folder, ca, alt_names):
    """A server certificate signed by `ca` for the subjectAltName text `alt_names`."""
    key, csr, cert = (os.path.join(folder, "server." + e) for e in ("key", "csr", "pem"))
    ext = os.path.join(folder, "server.ext")
    with open(ext, "w") as f:
        f.write("subjectAltName=%s\n" % alt_names)
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", key, "-out", csr, "-subj", "/CN=sip server")
    openssl("x509", "-req", "-in", csr, "-CA", ca[0], "-CAkey", ca[1], "-CAcreateserial",
            "-out", cert, "-days", "2", "-extfile", ext)
    return {"cert": cert, "key": key}


class Profile:
    """One quillet --headless instance with its own profile folder."""

    def __init__(self, root, name, sip_port, rtp_base, user, microphone, settings=None):
        self.home = os.path.join(root, name)
        os.makedirs(self.home)
        self.user = user
        self.sip_port = sip_port
        self.speaker = os.path.join(self.home, "speaker.wav")
        values = {
            # The automatic gain control, the echo control's noise gate and the noise
            # suppressor change the level block by block (and band by band), which a
            # waveform comparison cannot tell from distortion: they are off unless a test
            # turns them on.
            "Settings": {"NewInstall": "0", "InstallWizRun": "1", "SipTraceOn": "1",
                         "UseAGC": "0", "UseEchoCancellation": "0", "UseNoiseSuppression": "0",
                         "RecordDevice": "file:" + microphone, "PlayDevice": "file:" + self.speaker},
            "SIP": {"Port": str(sip_port), "TLSPort": str(sip_port + 1),
                    "LocalAddress": "127.0.0.1", "STUN": "0",
                    "RTPPortBase": str(rtp_base)},
            "DefaultLine": {"DisplayName": user.capitalize(), "UserName": user},
        }
        for section, pairs in (settings or {}).items():
            values.setdefault(section, {}).update(pairs)
        # The narrowband codecs in the order of the quality (as before Opus and G.722 came):
        # the tests compare waveforms at 8000 Hz. A test of the wideband codecs names them.
        low = int(values["SIP"].get("Quality") or 50) < 50
        values["DefaultLine"].setdefault("Codecs", "gsm,g726-32,aal2-g726-32,pcmu,pcma" if low
                                         else "pcmu,pcma,g726-32,aal2-g726-32,gsm")
        with open(os.path.join(self.home, "settings.ini"), "w") as f:
            for section, pairs in values.items():
                f.write("[%s]\n" % section)
                for key, value in pairs.items():
                    if value is not None:  # None: the program's default
                        f.write("%s=%s\n" % (key, value))
        os.chmod(os.path.join(self.home, "settings.ini"), 0o600)
        self.process = None
        self.prefix = []  # e.g. ["ip", "netns", "exec", NAME]: where the instance runs

    @property
    def address(self):
        return "sip:%s@127.0.0.1:%d" % (self.user, self.sip_port)

    def env(self):
        env = dict(os.environ)
        env["QUILLET_HOME"] = self.home
        return env

    def start(self, *args):
        self.output = open(os.path.join(self.home, "stderr.txt"), "wb")
        self.process = subprocess.Popen([*self.prefix, QUILLET, "--headless", *args], env=self.env(),
                                        stdout=self.output, stderr=subprocess.STDOUT)
        assert wait_for(lambda: "SIP Number:" in self.log_text()), self.log_text()
        return self.process

    def run(self, *args):
        """A second start on the profile: hands its options to the running instance."""
        return subprocess.run([*self.prefix, QUILLET, "--headless", *args], env=self.env(), timeout=10,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process:
            self.output.close()

    def _read_dir_file(self, suffix):
        logs = os.path.join(self.home, "Logs")
        text = ""
        if os.path.isdir(logs):
            for name in sorted(os.listdir(logs)):
                if name.endswith(suffix):
                    with open(os.path.join(logs, name), encoding="utf-8", errors="replace") as f:
                        text += f.read()
        return text

    def log_text(self):
        return self._read_dir_file("Quillet Log.txt")

    def trace_text(self):
        return self._read_dir_file("Quillet SipTrace.txt")

    def heard(self):
        return read_wav(self.speaker) if os.path.exists(self.speaker) else np.zeros(0)


PACKET_OUTGOING = 4  # the packet type of a frame going out (AF_PACKET)


class LoopbackCapture:
    """The UDP datagrams on the loopback interface while it runs (each once), as
    (source port, destination port, payload, Ethernet frame). Needs the test's own network
    namespace (or the rights to capture)."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.ntohs(3))
        self.sock.bind(("lo", 0))
        self.sock.settimeout(0.2)
        self.datagrams = []
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                frame, address = self.sock.recvfrom(70000)
            except socket.timeout:
                continue
            # Loopback shows each packet going out and coming in: the incoming one counts.
            if address[2] == PACKET_OUTGOING or len(frame) < 42 or frame[12:14] != b"\x08\x00":
                continue
            ip = frame[14:]
            if ip[9] == 17:
                header = (ip[0] & 15) * 4
                sport, dport = struct.unpack("!HH", ip[header:header + 4])
                self.datagrams.append((sport, dport, bytes(ip[header + 8:]), bytes(frame)))

    def stop(self):
        if self.running:
            self.running = False
            self.thread.join()
            self.sock.close()

    def write_pcap(self, path, keep):
        """The datagrams `keep` takes, as a pcap file (Ethernet, 20 ms apart)."""
        with open(path, "wb") as f:
            f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
            for i, d in enumerate(x for x in self.datagrams if keep(x)):
                f.write(struct.pack("<IIII", 1700000000 + i // 50, (i % 50) * 20000,
                                    len(d[3]), len(d[3])) + d[3])


def loopback_capture(cleanup):
    """A LoopbackCapture when the test runs in its own network namespace (stopped through
    `cleanup`), else None."""
    if os.environ.get("QUILLET_IN_NETNS") != "1":
        return None
    capture = LoopbackCapture()
    cleanup.append(capture.stop)
    return capture


def intercom_call(profile, probe, rtp_port):
    """An INVITE from `probe` (a sip_caller.Caller) that the profile answers and starts:
    (the call, whether it was answered and started). The caller ends it."""
    call = probe.invite(rtp_port=rtp_port)
    answered = probe.wait_response(call, [200], 10) is not None
    if answered:
        probe.ack(call)
    return call, answered and wait_for(lambda: "The call was started" in profile.log_text(), 10)


def sigterm_status(profile):
    """SIGTERM to the profile's program: its exit status, or "hung" after 20 s."""
    profile.process.send_signal(signal.SIGTERM)
    try:
        return profile.process.wait(timeout=20)
    except subprocess.TimeoutExpired:
        profile.process.kill()
        return "hung"


def from_first_sound(heard, threshold=300):
    """What was heard from half a second before its first loud sample: words that come
    seconds into a call are then looked for where they are."""
    loud = np.flatnonzero(np.abs(heard) > threshold)
    return heard[max(0, int(loud[0]) - RATE // 2):] if len(loud) else heard


def voiced_segments(reference, frame=40, threshold=300, min_gap=3, min_frames=8):
    """(start, end) sample ranges of the reference's words: runs of frames louder than the
    threshold, split at pauses of at least min_gap frames."""
    count = len(reference) // frame
    loud = [np.abs(reference[i * frame:(i + 1) * frame]).max() > threshold for i in range(count)]
    segments, start, quiet, end = [], None, 0, 0
    for i, is_loud in enumerate(loud + [False] * min_gap):
        if is_loud:
            start = i if start is None else start
            quiet, end = 0, i + 1
        elif start is not None:
            quiet += 1
            if quiet >= min_gap:
                if end - start >= min_frames:
                    segments.append((start * frame, end * frame))
                start = None
    return segments


def find_words(reference, heard):
    """Finds each word of the reference, in order, in what was heard. The receiving side
    may shorten or stretch pauses (its playout follows the sender's silence), so words are
    matched one by one. Answers [(start s in reference, position s in heard or None,
    SNR dB)]."""
    found, position = [], 0
    for start, end in voiced_segments(reference):
        piece = reference[start:end]
        low = max(0, position - RATE // 5)
        high = min(len(heard), position + len(piece) + 3 * RATE)
        if high - low < len(piece):
            found.append((start / RATE, None, -99.0))
            continue
        window = heard[low:high]
        corr = np.correlate(window, piece, "valid")
        energy = np.convolve(window ** 2, np.ones(len(piece)), "valid")
        score = corr / np.sqrt(np.maximum(energy, 1e-9) * np.dot(piece, piece))
        at = low + int(np.argmax(score))
        segment = heard[at:at + len(piece)]
        gain = np.dot(segment, piece) / np.dot(piece, piece)
        error = segment - gain * piece
        snr = 10 * np.log10(np.dot(gain * piece, gain * piece) / max(np.dot(error, error), 1e-9))
        found.append((start / RATE, at / RATE, float(snr)))
        position = at + len(piece)
    return found


def pieces_intact(reference, heard, piece=RATE // 5, floor_db=10.0):
    """How many of the reference's voiced 200 ms pieces were heard intact: (intact, voiced).
    Each piece is looked for around where its word was found (find_words) and compared
    with what was heard there after the best short linear filter (piece_snr); it is intact
    when what no such filter explains stays `floor_db` below it. A gain that moves (an
    automatic gain control), a DC notch or a pre-emphasis cost nothing; dropped or garbled
    sound does."""
    level = np.sqrt(np.mean(reference ** 2))
    intact = voiced = 0
    for (start, end), (_, at, _) in zip(voiced_segments(reference), find_words(reference, heard)):
        for p in range(start, end - piece + 1, piece):
            ref = reference[p:p + piece]
            if np.sqrt(np.mean(ref ** 2)) < 0.3 * level:
                continue  # a quiet edge of a word: no voiced piece
            voiced += 1
            if at is not None:
                intact += piece_snr(ref, heard, int(at * RATE) + p - start) >= floor_db
    return intact, voiced


def piece_snr(ref, heard, centre, taps=16, part=RATE // 20, search=RATE // 50):
    """The SNR (dB) of what was heard near `centre` against `ref` through the best
    `taps`-tap filter, one for each 50 ms `part` (the filter may follow a gain that moves,
    not a sound that is not there), at the best lag within ±20 ms. Lags are tried a half
    filter apart: a correlation peak could be a pitch period off, the filter's SNR is not."""
    padded = np.concatenate([np.zeros(taps), ref, np.zeros(taps)])
    # Columns: the reference delayed by -taps/2 .. taps/2 - 1 samples.
    columns = np.stack([padded[taps - k: taps - k + len(ref)]
                        for k in range(-(taps // 2), taps - taps // 2)], axis=1)
    best = -99.0
    for lag in range(centre - search, centre + search + 1, taps // 2):
        if lag < 0 or lag + len(ref) > len(heard):
            continue
        target = heard[lag:lag + len(ref)]
        error = 0.0
        for at in range(0, len(ref), part):
            fit, *_ = np.linalg.lstsq(columns[at:at + part], target[at:at + part], rcond=None)
            rest = target[at:at + part] - columns[at:at + part] @ fit
            error += float(np.dot(rest, rest))
        best = max(best, 10 * np.log10(max(np.dot(target, target), 1e-9) / max(error, 1e-9)))
    return best


class LabCase(unittest.TestCase):
    """Tests with a speech sample and 30 s of silence made once (speech_file, silence_file),
    a fresh folder per test (self.dir) and stop functions run in reverse at its end
    (self.cleanup)."""
    prefix = "quillet-lab-"

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix=cls.prefix)
        cls.speech = make_speech(cls.root)
        cls.speech_file = os.path.join(cls.root, "speech.wav")
        cls.silence_file = os.path.join(cls.root, "silence.wav")
        write_wav(cls.silence_file, np.zeros(RATE * 30))

    @classmethod
    def tearDownClass(cls):
        if not os.environ.get("QUILLET_KEEP_TEST_FILES"): shutil.rmtree(cls.root, ignore_errors=True)

    def setUp(self):
        self.dir = tempfile.mkdtemp(dir=self.root)
        self.cleanup = []

    def tearDown(self):
        for stop in reversed(self.cleanup):
            stop()

    def owned(self, thing):
        """`thing` (something with stop()), stopped at the test's end."""
        self.cleanup.append(thing.stop)
        return thing

    def quillet(self, name, microphone, settings=None):
        """A profile of this test (user `name`) on free ports, stopped at the test's end."""
        port = free_udp_port(5400, 5900)
        p = Profile(self.dir, "%s-%d" % (name, port), port, free_udp_port(), name, microphone,
                    settings)
        self.cleanup.append(p.stop)
        return p

    def tool(self, profile, *args):
        """quillet-tool on the profile: its output; its errors in self.errors."""
        tool = os.path.join(os.path.dirname(QUILLET), "quillet-tool")
        done = subprocess.run([tool, *args], env=profile.env(), timeout=10,
                              capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.errors = done.stderr
        return done.stdout

    def call_and_hang_up(self, a, b, reply_delay):
        """`a` calls `b` by user name, the speech plays on (with `b`'s reply `reply_delay` s
        in), then `a` hangs up and `b` sees the call end."""
        self.assertEqual(a.run("-dial", b.user), 0)
        self.assertTrue(wait_for(lambda: "The call was started" in b.log_text(), 10),
                        a.log_text() + b.log_text())
        time.sleep(len(self.speech) / RATE + 1.5 + reply_delay)
        self.assertEqual(a.run("-hangup"), 0)
        self.assertTrue(wait_for(lambda: "The call was stopped" in b.log_text(), 10))

    def assert_words_heard(self, who, heard, reference=None, average=np.mean):
        """The words of the speech sample (or `reference`) are found in `heard` with an
        average SNR above 10 dB; prints how many and their SNRs."""
        words = find_words(self.speech if reference is None else reference, heard)
        snrs = [w[2] for w in words] or [float("nan")]
        print("%s: %d words, SNR min %.1f / %s %.1f dB" % (
            who, len(words), min(snrs), average.__name__, float(average(snrs))))
        self.assertGreater(float(average(snrs)), 10.0, (who, words))


class ConsolePhone(Process):
    """Another program's console phone driven over its standard input, its output in
    HOME/NAME.log; stopped with its "quit" command (or signalled, with its session, when
    that fails)."""

    def __init__(self, args, home, name, env=None):
        self.home = home
        super().__init__(args, home, name, dict(os.environ, HOME=home, **(env or {})),
                         subprocess.PIPE)

    def command(self, text):
        self.proc.stdin.write((text + "\n").encode())
        self.proc.stdin.flush()

    def stop(self):
        if self.running():
            try:
                self.command("quit")
            except OSError:
                pass
            self.wait(5)
        super().stop()


def run_tests(rows):
    """unittest.main whose results also count for the interop matrix: `rows` maps a test
    method's name to its row (tests not named are not counted); a skipped test is shown
    with its reason."""
    class Recording(unittest.TextTestResult):
        def record(self, test, ok, why=""):
            name = test._testMethodName
            if name in rows:
                record_interop(rows[name], name[len("test_"):].replace("_", " "), ok, why)

        def addSuccess(self, test):
            super().addSuccess(test)
            self.record(test, True)

        def addFailure(self, test, err):
            super().addFailure(test, err)
            self.record(test, False)

        def addError(self, test, err):
            super().addError(test, err)
            self.record(test, False)

        def addSkip(self, test, reason):
            super().addSkip(test, reason)
            self.record(test, None, reason)

    unittest.main(testRunner=unittest.TextTestRunner(resultclass=Recording, verbosity=2))
