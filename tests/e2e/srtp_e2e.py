#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Encrypted media on the user's path: two profiles call each other over TLS with SDES keys,
and over UDP with DTLS, and hear each other, both logs name the suite, and a capture of the
call (in the test's own network namespace), decoded by tshark as RTP, holds no plain voice;
replayed and cut packets are dropped and counted, a STUN packet is dropped uncounted; `auto`
on both sides over TLS takes DTLS before the SDES keys offered beside it; a DTLS handshake that
never comes ends the call; a line that requires encrypted media refuses a plain caller with 488 and its log line; a line on `auto` that calls
a far end without encryption has a plain call and says so; baresip with its srtp and
dtls_srtp modules calls Quillet with SDES keys over TLS, and takes Quillet's DTLS call;
GStreamer's srtpdec and srtpenc, with keys the test chose, hear Quillet's words and are heard
(each SDES suite)."""
import base64
import math
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
from collections import Counter

import numpy as np
from e2e_support import (RATE, LabCase, loopback_capture, from_first_sound, make_ca,
                         make_server_cert, pieces_intact, read_wav, run_tests,
                         take_binary_argument, wait_for, write_wav)
from sip_caller import Caller
from sip_tls_answerer import TlsAnswerer
import sipharness as h  # noqa: E402 (on the path that e2e_support sets)

take_binary_argument()

SDES_80 = "Media: SRTP AES_CM_128_HMAC_SHA1_80 (SDES)"
GST_PEER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gst_srtp_peer.py")


def entropy(data):
    """Bits per byte of `data`."""
    counts = Counter(data)
    return -sum(c / len(data) * math.log2(c / len(data)) for c in counts.values())


class SrtpTest(LabCase):
    prefix = "quillet-srtp-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.reply_delay = 6.0
        cls.reply_file = os.path.join(cls.root, "speech-reply.wav")
        write_wav(cls.reply_file, np.concatenate([np.zeros(int(RATE * cls.reply_delay)),
                                                  cls.speech, np.zeros(RATE * 10)]))
        # baresip's file source hangs up when its file ends: pad the speech.
        cls.padded_file = os.path.join(cls.root, "speech-padded.wav")
        write_wav(cls.padded_file, np.concatenate([np.zeros(RATE // 2), cls.speech,
                                                   np.zeros(RATE * 20)]))
        cls.ca = make_ca(cls.root, "QuilletTestCA")

    def setUp(self):
        super().setUp()
        self.capture = loopback_capture(self.cleanup)

    def profile(self, name, microphone, encryption, required="0"):
        # A direct call over TLS reaches a profile with its own (self-made) certificate.
        return self.quillet(name, microphone, {
            "DefaultLine": {"MediaEncryption": encryption, "MediaEncryptionRequired": required,
                            "TLSVerifyServer": "0"},
            "Intercom": {"AutoTalkBack": "1"}})

    def tls_call(self, a, b, during=None, transport="tls"):
        """`a` calls `b` over TLS (or UDP); the speech and `b`'s reply play (`during` runs a
        second in); `a` hangs up."""
        b.start()
        a.start()
        target = ("sip:%s@127.0.0.1:%d;transport=tls" % (b.user, b.sip_port + 1)
                  if transport == "tls" else b.address)
        self.assertEqual(a.run("-dial", target), 0)
        self.assertTrue(wait_for(lambda: "The call was started" in b.log_text(), 15),
                        a.log_text() + b.log_text())
        time.sleep(1)
        if during:
            during()
        time.sleep(len(self.speech) / RATE + 0.5 + self.reply_delay)
        self.assertEqual(a.run("-hangup"), 0)
        self.assertTrue(wait_for(lambda: "The call was stopped" in b.log_text(), 10))
        a.stop()
        b.stop()
        for p in (a, b):
            self.assertIn("SIP/2.0/%s " % transport.upper(), p.trace_text())
        for speaker, listener in ((a, b), (b, a)):
            self.assert_words_heard("%s -> %s" % (speaker.user, listener.user),
                                    from_first_sound(listener.heard()))

    def test_sdes_over_tls_is_heard_both_ways_and_nothing_plain_crosses_the_wire(self):
        a = self.profile("alice", self.speech_file, "sdes")
        b = self.profile("bob", self.reply_file, "sdes")
        self.tls_call(a, b, self.replay_to_bob if self.capture else None)
        for p in (a, b):
            self.assertIn(SDES_80, p.log_text())
            self.assertNotIn("Media: not encrypted", p.log_text())
        self.assertNotIn("failed authentication", a.log_text())
        if self.capture:
            # Bob dropped the replayed and the cut packets, and said so once (and the count at
            # the end); the words he heard are not disturbed by them.
            self.assertEqual(b.log_text().count("SRTP: a packet that fails authentication was "
                                                "dropped"), 1, b.log_text())
            dropped = re.search(r"SRTP: (\d+) received packets failed authentication",
                                b.log_text())
            self.assertIsNotNone(dropped, b.log_text())
            self.assertEqual(int(dropped.group(1)), 2 * len(self.replayed))
        offer = re.search(r"m=audio \d+ (\S+) [^\r\n]*", a.trace_text())
        self.assertEqual(offer.group(1), "RTP/AVP")  # best effort: keys in a plain profile
        # Three keys offered, one answered (a 200 sent again while its ACK is late repeats it).
        self.assertEqual(len(set(re.findall(r"a=crypto:\d [^\r\n]*", a.trace_text()))), 3 + 1)
        if not self.capture:
            print("no network namespace: the wire is not checked")
            return
        self.capture.stop()
        self.assert_no_plain_voice(10)

    def assert_no_plain_voice(self, tag=None):
        """G.711 frames with their tag (of any of the suites when `tag` is None); random
        bytes, never the level of speech or the runs of silence."""
        # (A far end's keep-alives are packets of its codec with nothing but the tag.)
        voice = [v for v in self.voice_payloads() if tag is not None or len(v) > 16]
        self.assertTrue(voice)
        tags = {tag} if tag is not None else {4, 10, 16}
        self.assertLessEqual({len(v) for v in voice}, {160 + t for t in tags})
        self.assertEqual([e for e in map(entropy, voice) if e < 6.5], [])

    def test_dtls_over_udp_is_heard_both_ways_and_nothing_plain_crosses_the_wire(self):
        a = self.profile("alice", self.speech_file, "dtls")
        b = self.profile("bob", self.reply_file, "dtls")
        self.tls_call(a, b, transport="udp")
        for p in (a, b):
            self.assertIn("Media: SRTP AEAD_AES_128_GCM (DTLS, fingerprint verified)",
                          p.log_text())
            self.assertNotIn("Media: not encrypted", p.log_text())
            self.assertNotIn("a=crypto", p.trace_text())  # no SDES over UDP
            self.assertIn("a=fingerprint:sha-256 ", p.trace_text())
            # The profile's certificate, kept for the owner alone.
            key = os.path.join(p.home, "dtls-key.pem")
            self.assertEqual(os.stat(key).st_mode & 0o777, 0o600)
        self.assertIn("a=setup:actpass", a.trace_text())
        self.assertIn("a=setup:active", b.trace_text())
        if self.capture:
            self.capture.stop()
            self.assert_no_plain_voice(16)

    def test_auto_on_both_sides_over_tls_takes_dtls_before_sdes(self):
        a = self.profile("alice", self.speech_file, "auto")
        b = self.profile("bob", self.reply_file, "auto")
        self.tls_call(a, b)
        offer = a.trace_text()
        self.assertIn("a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:", offer)
        self.assertIn("a=setup:actpass", offer)
        for p in (a, b):
            self.assertIn("Media: SRTP AEAD_AES_128_GCM (DTLS, fingerprint verified)",
                          p.log_text())
            self.assertNotIn("(SDES)", p.log_text())

    def test_a_dtls_handshake_that_never_comes_ends_the_call(self):
        b = self.profile("bob", self.silence_file, "dtls")
        b.start()
        probe = Caller(b.sip_port)
        self.cleanup.append(probe.close)
        # The caller says it starts the handshake, and never does.
        plain = probe.sdp
        probe.sdp = lambda port: plain(port) + (
            "a=fingerprint:sha-256 " + ":".join(["AB"] * 32) + "\r\na=setup:active\r\n")
        call = probe.invite(rtp_port=40000)
        answer = probe.wait_response(call, [200], 10)
        self.assertIsNotNone(answer, call.responses)
        probe.ack(call)
        self.assertIn("a=setup:passive", answer.text)
        started = time.monotonic()
        self.assertIsNotNone(probe.wait_request("BYE", call, 20), b.log_text())
        self.assertGreater(time.monotonic() - started, 8)
        self.assertIn("DTLS: the handshake did not finish within 10 seconds", b.log_text())
        self.assertNotIn("Media: SRTP", b.log_text())

    def replay_to_bob(self):
        """Alice's first voice packets again, to Bob's RTP port from another socket: five as
        they were (replays) and five cut short by a byte of their tag; and a STUN binding
        request (no SRTP packet: dropped, not counted as failed)."""
        voice = [d for d in self.capture.datagrams if len(d[2]) == 182]
        self.assertGreater(len(voice), 10)
        # Bob's port: the one that Alice's first voice packet went to.
        bob_port = voice[0][1]
        self.replayed = [d[2] for d in voice if d[1] == bob_port][:5]
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            sock.bind(("127.0.0.1", 0))
            self.injector = sock.getsockname()[1]
            for packet in self.replayed:
                sock.sendto(packet, ("127.0.0.1", bob_port))
                sock.sendto(packet[:-1], ("127.0.0.1", bob_port))
            sock.sendto(bytes.fromhex("000100002112a442") + os.urandom(12), ("127.0.0.1", bob_port))

    def voice_payloads(self):
        """The payloads of the call's G.711 RTP packets as tshark decodes them (all UDP here
        is media: the signalling is TLS)."""
        # What the two profiles sent (not the test's own replays).
        injector = getattr(self, "injector", None)
        sent = [d for d in self.capture.datagrams if d[0] != injector]
        rtp = [d for d in sent if len(d[2]) >= 12 and d[2][0] & 0xC0 == 0x80
               and not 192 <= d[2][1] <= 223]
        self.assertGreater(len(rtp), 200)
        tshark = shutil.which("tshark")
        self.assertIsNotNone(tshark, "tshark is in deps/test-sip.txt")
        pcap = os.path.join(self.dir, "call.pcap")
        self.capture.write_pcap(pcap, lambda d: d[0] != injector)
        decode = []
        for port in sorted({d[0] for d in rtp} | {d[1] for d in rtp}):
            decode += ["-d", "udp.port==%d,rtp" % port]
        result = subprocess.run([tshark, "-n", "-r", pcap, *decode, "-Y", "rtp.version == 2",
                                 "-T", "fields", "-e", "frame.number", "-e", "rtp.p_type"],
                                capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        # The voice packets as tshark finds them, their payloads (all after the fixed header:
        # neither side sends CSRCs or extensions) as the capture holds them. With a DTLS
        # handshake in the capture tshark itself treats them as SRTP.
        voice = []
        for line in result.stdout.splitlines():
            number, _, kind = line.partition("\t")
            if kind in ("0", "8"):
                voice.append(sent[int(number) - 1][2][12:])
        print("tshark read %d voice packets of %d RTP datagrams" % (len(voice), len(rtp)))
        self.assertGreater(len(voice), 200)
        return voice

    def test_required_encryption_refuses_a_plain_caller_with_488(self):
        b = self.profile("bob", self.silence_file, "sdes", required="1")
        b.start()
        probe = Caller(b.sip_port)
        self.cleanup.append(probe.close)
        call = probe.invite(rtp_port=40000)
        self.assertIsNotNone(probe.wait_response(call, [488], 10), call.responses)
        probe.ack(call)
        self.assertTrue(wait_for(
            lambda: "Call refused: the far end offers no encrypted media" in b.log_text(), 5),
            b.log_text())
        # The INVITE came over UDP: no keys would have been taken from it.
        self.assertIn("SDES keys are never sent or taken over unencrypted signalling",
                      b.log_text())
        self.assertNotIn("The call was started", b.log_text())

    def test_auto_against_a_plain_far_end_makes_a_plain_call_that_says_so(self):
        a = self.profile("alice", self.speech_file, "auto")
        b = self.profile("bob", self.reply_file, "off")
        self.tls_call(a, b)
        for p in (a, b):
            self.assertIn("Media: not encrypted", p.log_text())
            self.assertNotIn("Media: SRTP", p.log_text())
        self.assertIn("a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:", a.trace_text())
        # Bob's answer carries no key.
        answer = a.trace_text().split("SIP/2.0 200 OK")[1]
        self.assertNotIn("a=crypto", answer.split("ACK ")[0])
        if self.capture:
            # The same look at the wire sees the plain voice: bare frames, silence in runs.
            self.capture.stop()
            voice = self.voice_payloads()
            self.assertEqual({len(v) for v in voice}, {160})
            self.assertGreater(len([e for e in map(entropy, voice) if e < 6.5]), len(voice) // 4)

    def baresip(self, account, play, answer="manual", tls=False):
        """A baresip with the srtp and dtls_srtp modules on a free port (PORT in `account`);
        with `tls`, its TLS at the port + 1 has a certificate from the test CA."""
        port = h.free_udp_port(span=2)
        extra = []
        if tls:
            cert = make_server_cert(self.dir, self.ca, "IP:127.0.0.1")
            both = os.path.join(self.dir, "baresip-cert.pem")  # certificate and key in one
            with open(both, "w") as out:
                for part in (cert["cert"], cert["key"]):
                    with open(part) as f:
                        out.write(f.read())
            extra = ["sip_certificate " + both, "sip_cafile " + self.ca[0]]
        b = h.Baresip(self.dir, "peer", port, [account.replace("PORT", str(port))],
                      play_wav=play, answer=answer, codecs=("g711", "srtp", "dtls_srtp"),
                      extra=extra)
        self.cleanup.append(b.stop)
        return b

    def baresip_heard(self, b):
        files = [os.path.join(b.dir, f) for f in os.listdir(b.dir) if f.endswith("-dec.wav")]
        self.assertTrue(files, "baresip recorded nothing")
        return read_wav(max(files, key=os.path.getsize))

    def test_baresip_calls_with_sdes_keys_over_tls(self):
        q = self.profile("bob", self.reply_file, "sdes", required="1")
        q.start()
        b = self.baresip("<sip:carol@127.0.0.1:PORT;transport=tls>;regint=0;mediaenc=srtp-mand",
                         self.padded_file, tls=True)
        b.command("dial", "sip:bob@127.0.0.1:%d;transport=tls" % (q.sip_port + 1))
        self.assertTrue(wait_for(lambda: "The call was started" in q.log_text(), 10),
                        q.log_text() + b.output())
        time.sleep(self.reply_delay + len(self.speech) / RATE + 1.5)
        b.command("hangup")
        self.assertTrue(wait_for(lambda: "The call was stopped" in q.log_text(), 10))
        q.stop()
        b.stop()
        self.assertRegex(q.trace_text(), r"m=audio \d+ RTP/SAVP ")
        self.assertRegex(q.log_text(), r"Media: SRTP AES_CM_128_HMAC_SHA1_(80|32) \(SDES\)")
        self.assert_words_heard("SDES, baresip -> Quillet", from_first_sound(q.heard()))
        self.assert_words_heard("SDES, Quillet -> baresip", from_first_sound(self.baresip_heard(b)))
        if self.capture:
            self.capture.stop()
            self.assert_no_plain_voice()

    def test_quillet_calls_baresip_with_dtls(self):
        b = self.baresip("<sip:carol@127.0.0.1:PORT>;regint=0;mediaenc=dtls_srtp;"
                         "answermode=@ANSWER@", self.reply_file, answer="auto")
        q = self.profile("alice", self.padded_file, "dtls", required="1")
        q.start("-dial", "sip:carol@127.0.0.1:%d" % b.sip_port)
        self.assertIsNotNone(b.wait_call_event("CALL_ESTABLISHED", 10), q.log_text() + b.output())
        time.sleep(self.reply_delay + len(self.speech) / RATE + 1.5)
        self.assertEqual(q.run("-hangup"), 0)
        self.assertIsNotNone(b.wait_call_event("CALL_CLOSED", 10))
        q.stop()
        b.stop()
        self.assertRegex(q.trace_text(), r"m=audio \d+ UDP/TLS/RTP/SAVP ")
        self.assertRegex(q.log_text(), r"Media: SRTP \S+ \(DTLS, fingerprint verified\)")
        self.assert_words_heard("DTLS, baresip -> Quillet", from_first_sound(q.heard()))
        self.assert_words_heard("DTLS, Quillet -> baresip", from_first_sound(self.baresip_heard(b)))
        if self.capture:
            self.capture.stop()
            self.assert_no_plain_voice()

    def test_gstreamer_hears_quillet_and_is_heard_with_each_sdes_suite(self):
        for suite in ("AES_CM_128_HMAC_SHA1_80", "AES_CM_128_HMAC_SHA1_32", "AEAD_AES_128_GCM"):
            with self.subTest(suite=suite):
                self.gstreamer_call(suite)

    def gstreamer_call(self, suite):
        """Quillet calls a TLS answerer that takes the `suite` key Quillet offered and answers
        with one of its own; GStreamer (gst_srtp_peer.py) decrypts what Quillet sends with the
        first key and encrypts the speech it sends with the second."""
        our_key = os.urandom(28 if suite == "AEAD_AES_128_GCM" else 30)
        rtp_port = h.free_udp_port(span=2)
        heard_file = os.path.join(self.dir, "gst-heard-%s.wav" % suite)
        peers = []

        def answer(invite):
            offered = {m.group(2): (m.group(1), m.group(3)) for m in re.finditer(
                r"a=crypto:(\d+) (\S+) inline:([A-Za-z0-9+/=]+)", invite.body)}
            tag, far_key = offered[suite]
            media = re.search(r"m=audio (\d+) (\S+) ", invite.body)
            peer = h.Process([sys.executable, GST_PEER, str(rtp_port), suite, our_key.hex(),
                              base64.b64decode(far_key).hex(), "127.0.0.1:" + media.group(1),
                              self.padded_file, heard_file], self.dir, "gst-" + suite)
            peers.append(peer)
            self.cleanup.append(peer.stop)
            if not wait_for(lambda: "ready" in peer.output(), 10):
                raise RuntimeError(peer.output())
            return ("v=0\r\no=gst 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\n"
                    "t=0 0\r\nm=audio %d %s 0\r\na=rtpmap:0 PCMU/8000\r\na=sendrecv\r\n"
                    "a=crypto:%s %s inline:%s\r\n" % (rtp_port, media.group(2), tag, suite,
                                                       base64.b64encode(our_key).decode()))

        server = make_server_cert(self.dir, self.ca, "IP:127.0.0.1")
        answerer = self.owned(TlsAnswerer(server, answer))
        q = self.profile("alice", self.padded_file, "sdes", required="1")
        q.start()
        self.assertEqual(q.run("-dial", answerer.uri()), 0)
        self.assertIsNotNone(answerer.wait_request("ACK", 15), q.log_text() + str(answerer.errors))
        time.sleep(len(self.speech) / RATE + 2.5)
        self.assertEqual(q.run("-hangup"), 0)
        self.assertIsNotNone(answerer.wait_request("BYE", 10), q.log_text())
        peers[0].stop(signal.SIGINT, 10)
        q.stop()
        report = peers[0].output()
        print(suite, "GStreamer:", report.strip().replace("\n", "; "))
        self.assertIn("Media: SRTP %s (SDES)" % suite, q.log_text())
        self.assertNotIn("failed authentication", q.log_text())
        self.assertNotIn("error:", report)
        # One stream of Quillet's, none of its packets dropped, and its RTCP (at least the
        # BYE) decrypted too.
        self.assertRegex(report, r"streams \d+\n")
        self.assertRegex(report, r"recv-count=\(uint\)[1-9]\d*, recv-drop-count=\(uint\)0;")
        self.assertGreater(int(re.search(r"srtcp (\d+)", report).group(1)), 0, report)
        heard = from_first_sound(read_wav(heard_file))
        self.assert_words_heard("%s, Quillet -> GStreamer" % suite, heard)
        intact, voiced = pieces_intact(self.speech, heard)
        print("%s: %d of %d voiced pieces intact" % (suite, intact, voiced))
        self.assertGreaterEqual(intact, 0.9 * voiced)
        self.assert_words_heard("%s, GStreamer -> Quillet" % suite, from_first_sound(q.heard()))


if __name__ == "__main__":
    run_tests({"test_baresip_calls_with_sdes_keys_over_tls": "baresip-srtp",
               "test_quillet_calls_baresip_with_dtls": "baresip-dtls-srtp",
               "test_gstreamer_hears_quillet_and_is_heard_with_each_sdes_suite":
                   "gstreamer-srtp"})
