#!/usr/bin/python3
"""End-to-end intercom calls between two quillet --headless profiles on loopback.

Each profile has its own QUILLET_HOME, SIP and RTP ports and WAV files as microphone and
speaker. The tests check what one side's speaker file heard against what the other side's
microphone file said, and the call decisions in the logs and SIP traces.
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import wave

import numpy as np

QUILLET = sys.argv.pop(1) if len(sys.argv) > 1 else "build/bin/quillet"
RATE = 8000


def wait_for(predicate, timeout=10.0, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def read_wav(path):
    with wave.open(path) as w:
        assert w.getframerate() == RATE and w.getnchannels() == 1 and w.getsampwidth() == 2
        return np.frombuffer(w.readframes(w.getnframes()), dtype=np.int16).astype(float)


def write_wav(path, samples):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(np.asarray(samples, dtype=np.int16).tobytes())


def make_speech(folder):
    """A spoken sentence at 8000 Hz mono, then silence so that the call goes on."""
    raw = os.path.join(folder, "speech22.wav")
    speech = os.path.join(folder, "speech.wav")
    subprocess.run(["espeak-ng", "-w", raw, "Hello Bob. This is the first word of an intercom "
                    "call, and the rest of the sentence follows."], check=True)
    subprocess.run(["sox", raw, "-r", str(RATE), "-c", "1", "-b", "16", speech], check=True)
    return read_wav(speech)


def find_in(reference, heard):
    """Where the reference sits in what was heard: (delay s, SNR dB, gain)."""
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


class Profile:
    """One quillet --headless instance with its own profile folder."""

    def __init__(self, root, name, sip_port, rtp_base, user, microphone, settings=None):
        self.home = os.path.join(root, name)
        os.makedirs(self.home)
        self.user = user
        self.sip_port = sip_port
        self.speaker = os.path.join(self.home, "speaker.wav")
        values = {
            "Settings": {"NewInstall": "0", "InstallWizRun": "1", "SipTraceOn": "1",
                         "RecordDevice": "file:" + microphone, "PlayDevice": "file:" + self.speaker},
            "SIP": {"Port": str(sip_port), "LocalAddress": "127.0.0.1", "STUN": "0",
                    "RTPPortBase": str(rtp_base)},
            "DefaultLine": {"DisplayName": user.capitalize(), "UserName": user},
        }
        for section, pairs in (settings or {}).items():
            values.setdefault(section, {}).update(pairs)
        with open(os.path.join(self.home, "settings.ini"), "w") as f:
            for section, pairs in values.items():
                f.write("[%s]\n" % section)
                for key, value in pairs.items():
                    f.write("%s=%s\n" % (key, value))
        os.chmod(os.path.join(self.home, "settings.ini"), 0o600)
        self.process = None

    @property
    def address(self):
        return "sip:%s@127.0.0.1:%d" % (self.user, self.sip_port)

    def env(self):
        env = dict(os.environ)
        env["QUILLET_HOME"] = self.home
        return env

    def start(self, *args):
        self.output = open(os.path.join(self.home, "stderr.txt"), "wb")
        self.process = subprocess.Popen([QUILLET, "--headless", *args], env=self.env(),
                                        stdout=self.output, stderr=subprocess.STDOUT)
        assert wait_for(lambda: "SIP Number:" in self.log_text()), self.log_text()
        return self.process

    def run(self, *args):
        """A second start on the profile: hands its options to the running instance."""
        return subprocess.run([QUILLET, "--headless", *args], env=self.env(), timeout=10,
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


class IntercomTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="quillet-e2e-")
        cls.speech = make_speech(cls.root)
        cls.speech_file = os.path.join(cls.root, "speech.wav")
        # Speech, then silence to keep a microphone going.
        cls.silence_file = os.path.join(cls.root, "silence.wav")
        write_wav(cls.silence_file, np.zeros(RATE * 30))
        cls.ports = iter(range(5300, 5400, 2))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def setUp(self):
        self.profiles = []

    def tearDown(self):
        for p in self.profiles:
            p.stop()

    def profile(self, name, microphone, settings=None):
        port = next(self.ports)
        rtp = 20000 + (port - 5300) * 20
        p = Profile(self.root, "%s-%d" % (name, port), port, rtp, name, microphone, settings)
        self.profiles.append(p)
        return p

    def call_and_hear(self, a, b, seconds):
        b.start()
        a.start("-dial", b.address)
        self.assertTrue(wait_for(lambda: "The call was started" in b.log_text(), 10), b.log_text())
        time.sleep(seconds)
        a.stop()
        self.assertTrue(wait_for(lambda: "The call was stopped" in b.log_text(), 10), b.log_text())
        b.stop()

    def test_first_word_reaches_the_far_end_per_codec(self):
        for quality, codec in (("50", "PCMU"), ("30", "GSM")):
            with self.subTest(codec=codec):
                settings = {"SIP": {"Quality": quality}}
                a = self.profile("alice", self.speech_file, settings)
                b = self.profile("bob", self.silence_file, settings)
                self.call_and_hear(a, b, len(self.speech) / RATE + 1.5)
                # The INVITE asked B to answer by itself, B rang and answered at once.
                self.assertIn("Answer-Mode: Auto", b.trace_text())
                self.assertIn("Incoming SIP call", b.log_text())
                self.assertIn("Answering call", b.log_text())
                delay, snr, gain = find_in(self.speech, b.heard())
                print("%s: speech heard at B %.3f s into its speaker file, SNR %.1f dB, gain %.2f"
                      % (codec, delay, snr, gain))
                minimum = 20.0 if codec == "PCMU" else 3.0
                self.assertGreater(snr, minimum)
                # Nothing from B (talk-back off) reached A.
                self.assertLess(np.abs(a.heard()).max(initial=0), 600)

    def test_talk_back_yes_sends_this_side(self):
        a = self.profile("alice", self.silence_file)
        b = self.profile("bob", self.speech_file, {"Intercom": {"AutoTalkBack": "1"}})
        self.call_and_hear(a, b, len(self.speech) / RATE + 1.5)
        self.assertIn('Press "Intercom" button to stop call', b.log_text())
        delay, snr, _ = find_in(self.speech, a.heard())
        print("talk-back: B's speech heard at A %.3f s in, SNR %.1f dB" % (delay, snr))
        self.assertGreater(snr, 20.0)

    def test_allow_list(self):
        cases = (
            ("alice", True),          # an item (a user name) occurs in the caller's address
            ("127.0.0.9, carol", False),
            ("", False),              # an empty list allows nobody
            ("carol,,dave", True),    # an empty item matches everybody
        )
        for allow, allowed in cases:
            with self.subTest(allow=allow):
                a = self.profile("alice", self.speech_file)
                b = self.profile("bob", self.silence_file,
                                 {"Intercom": {"AllowAll": "0", "Allow": allow}})
                b.start()
                a.start("-dial", b.address)
                if allowed:
                    self.assertTrue(wait_for(lambda: "The call was started" in b.log_text()))
                    time.sleep(2)
                    self.assertGreater(np.abs(b.heard()).max(initial=0), 2000)
                else:
                    self.assertTrue(wait_for(lambda: "Rejecting intercom call because not on the "
                                             "allow list" in b.log_text()), b.log_text())
                    self.assertTrue(wait_for(lambda: "Call has disconnected" in a.log_text()
                                             or "rejected" in a.log_text().lower()))
                    time.sleep(1)
                    self.assertNotIn("The call was started", b.log_text())
                    self.assertFalse(os.path.exists(b.speaker), "no ring sound, nothing played")
                a.stop()
                b.stop()

    def test_do_not_disturb_refuses_with_480(self):
        a = self.profile("alice", self.speech_file)
        b = self.profile("bob", self.silence_file, {"Settings": {"DoNotDisturb": "1"}})
        b.start()
        a.start("-dial", b.address)
        self.assertTrue(wait_for(lambda: "SIP/2.0 480" in b.trace_text()), b.trace_text())
        self.assertTrue(wait_for(lambda: "Other side said: Temporarily Unavailable"
                                 in a.log_text()), a.log_text())
        self.assertNotIn("Incoming SIP call", b.log_text())

    def test_remote_commands_act_on_the_running_call(self):
        a = self.profile("alice", self.speech_file, {"Settings": {"SipTraceAudioOn": "1"}})
        b = self.profile("bob", self.silence_file)
        b.start()
        a.start("-dial", b.address)
        self.assertTrue(wait_for(lambda: "The call was started" in a.log_text()))
        self.assertEqual(a.run("-dtmf", "123"), 0)
        # The digits go out as telephone events (payload type 101).
        events = re.compile(r"Rtp >>> \S+ (Mark| {4}) 101 ")
        self.assertTrue(wait_for(lambda: events.search(a.trace_text())), a.trace_text()[-2000:])
        self.assertEqual(a.run("-hangup"), 0)
        self.assertTrue(wait_for(lambda: "The call was stopped" in a.log_text()), a.log_text())
        self.assertTrue(wait_for(lambda: "The call was stopped" in b.log_text()), b.log_text())
        self.assertIn("BYE sip:", a.trace_text())
        self.assertEqual(a.run("-exit"), 0)
        self.assertEqual(a.process.wait(timeout=10), 0)

    def test_sigterm_during_a_call_ends_it_with_bye(self):
        a = self.profile("alice", self.speech_file)
        b = self.profile("bob", self.silence_file)
        b.start()
        a.start("-dial", b.address)
        self.assertTrue(wait_for(lambda: "The call was started" in b.log_text()))
        a.process.send_signal(signal.SIGTERM)
        self.assertEqual(a.process.wait(timeout=10), 0)
        self.assertIn("BYE sip:", a.trace_text())
        self.assertTrue(wait_for(lambda: "The call was stopped" in b.log_text()), b.log_text())

    def test_unanswered_call_without_microphone_is_hung_up_after_25_s(self):
        # The far end rings and never answers (a SIPp UAS that only rings); without a
        # microphone nothing reports levels, so the no-activity time-out ends the call.
        scenario = os.path.join(self.root, "ring_only.xml")
        with open(scenario, "w") as f:
            f.write(RING_ONLY_SCENARIO)
        sipp_port = next(self.ports)
        sipp = subprocess.Popen(["sipp", "-sf", scenario, "-i", "127.0.0.1", "-p", str(sipp_port),
                                 "-m", "1", "-nostdin"],
                                cwd=self.root, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            a = self.profile("alice", os.path.join(self.root, "no-such-microphone.wav"))
            a.start("-dial", "sip:door@127.0.0.1:%d" % sipp_port)
            began = time.monotonic()
            self.assertTrue(wait_for(lambda: "CANCEL sip:" in a.trace_text(), 40), a.trace_text())
            elapsed = time.monotonic() - began
            print("unanswered intercom call cancelled after %.1f s" % elapsed)
            self.assertGreater(elapsed, 23)
            self.assertLess(elapsed, 30)
        finally:
            if sipp.poll() is None:
                sipp.send_signal(signal.SIGINT)
                try:
                    sipp.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    sipp.kill()
                    sipp.wait()


RING_ONLY_SCENARIO = """<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="ring only">
  <recv request="INVITE" />
  <send><![CDATA[
SIP/2.0 180 Ringing
[last_Via:]
[last_From:]
[last_To:];tag=[pid]SIPpTag01[call_number]
[last_Call-ID:]
[last_CSeq:]
Contact: <sip:[local_ip]:[local_port];transport=[transport]>
Content-Length: 0

]]></send>
  <recv request="CANCEL" timeout="60000" />
  <send><![CDATA[
SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:];tag=[pid]SIPpTag01[call_number]
[last_Call-ID:]
[last_CSeq:]
Content-Length: 0

]]></send>
  <send><![CDATA[
SIP/2.0 487 Request Terminated
[last_Via:]
[last_From:]
[last_To:];tag=[pid]SIPpTag01[call_number]
[last_Call-ID:]
CSeq: [cseq] INVITE
Content-Length: 0

]]></send>
  <recv request="ACK" optional="true" timeout="5000" />
</scenario>
"""


if __name__ == "__main__":
    unittest.main(verbosity=2)
