#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Quillet against real SIP peers on loopback: baresip calling Quillet, Quillet
intercom-calling a baresip set to answer by itself, and two Quillet profiles registered at
Kamailio reaching each other by user name."""
import os
import re
import socket
import subprocess
import time

import numpy as np

from e2e_support import (RATE, LabCase, from_first_sound, make_ca, make_server_cert,
                         pieces_intact, read_wav,
                         run_tests, take_binary_argument, wait_for, write_wav)
import sipharness as h  # noqa: E402 (on the path that e2e_support sets)

take_binary_argument()


class PeersTest(LabCase):
    prefix = "quillet-peers-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # baresip's file source hangs up when its file ends: pad the speech.
        cls.padded_file = os.path.join(cls.root, "speech-padded.wav")
        write_wav(cls.padded_file, np.concatenate([np.zeros(RATE // 2), cls.speech,
                                                   np.zeros(RATE * 20)]))
        # The answer that follows the caller's words: the same speech after 6 s of silence.
        cls.reply_delay = 6.0
        cls.reply_file = os.path.join(cls.root, "speech-reply.wav")
        write_wav(cls.reply_file, np.concatenate([np.zeros(int(RATE * cls.reply_delay)), cls.speech,
                                                  np.zeros(RATE * 10)]))
        cls.ca = make_ca(cls.root, "QuilletTestCA")  # baresip's config reads no spaces

    def baresip(self, accounts, play, answer="manual", codecs=("g711",), tls=False):
        """A baresip on a free port (PORT in `accounts`); with `tls`, its TLS at the port
        + 1 has a certificate for 127.0.0.1 from the test CA."""
        port = h.free_udp_port(span=2)
        accounts = [a.replace("PORT", str(port)) for a in accounts]
        extra = []
        if tls:
            cert = make_server_cert(self.dir, self.ca, "IP:127.0.0.1")
            both = os.path.join(self.dir, "baresip-cert.pem")  # certificate and key in one
            with open(both, "w") as out:
                for part in (cert["cert"], cert["key"]):
                    with open(part) as f:
                        out.write(f.read())
            extra = ["sip_certificate " + both, "sip_cafile " + self.ca[0]]
        b = h.Baresip(self.dir, "peer", port, accounts, play_wav=play, answer=answer,
                      codecs=codecs, extra=extra)
        self.cleanup.append(b.stop)
        return b

    def baresip_heard(self, b):
        """What a stopped baresip recorded of the far end."""
        files = [os.path.join(b.dir, f) for f in os.listdir(b.dir) if f.endswith("-dec.wav")]
        self.assertTrue(files, "baresip recorded nothing")
        return read_wav(max(files, key=os.path.getsize))

    def test_baresip_calling_quillet_is_answered_and_heard(self):
        q = self.quillet("bob", self.silence_file)
        q.start()
        b = self.baresip(["<sip:carol@127.0.0.1>;regint=0"], self.padded_file)
        b.command("dial", q.address)
        self.assertTrue(wait_for(lambda: "The call was started" in q.log_text(), 10),
                        q.log_text())
        self.assertIsNotNone(b.wait_call_event("CALL_ESTABLISHED", 5))
        time.sleep(len(self.speech) / RATE + 1.5)
        b.command("hangup")
        self.assertTrue(wait_for(lambda: "The call was stopped" in q.log_text(), 10))
        q.stop()
        self.assert_words_heard("baresip -> Quillet", q.heard())

    def intercom_call_to_baresip(self, play, codecs=("g711",), settings=None):
        """Quillet (speaking the speech) intercom-calls a baresip that answers by itself and
        plays `play`; gives the profile and what baresip heard."""
        b = self.baresip(["<sip:carol@127.0.0.1:PORT>;regint=0;answermode=@ANSWER@"], play,
                         answer="auto", codecs=codecs)
        q = self.quillet("alice", self.speech_file, settings)
        q.start("-dial", "sip:carol@127.0.0.1:%d" % b.sip_port)
        self.assertIsNotNone(b.wait_call_event("CALL_ESTABLISHED", 10), b.output())
        time.sleep(len(self.speech) / RATE + 1.5)
        q.stop()
        self.assertIsNotNone(b.wait_call_event("CALL_CLOSED", 10))
        b.stop()
        return q, self.baresip_heard(b)

    def test_quillet_intercom_call_to_auto_answering_baresip(self):
        _, heard = self.intercom_call_to_baresip(self.silence_file)
        self.assert_words_heard("Quillet -> baresip", heard)

    def test_g726_call_with_baresip_on_an_aal2_packing_line(self):
        # Debian's baresip packs "G726-32" high nibble first; the line says so. baresip,
        # with G.726 only, plays speech back.
        q, heard = self.intercom_call_to_baresip(self.padded_file, ["g726"],
                                                 {"DefaultLine": {"G726Packing": "AAL2"}})
        self.assertRegex(q.trace_text(), r"m=audio \d+ RTP/AVP 96 101\r?\na=rtpmap:96 G726-32/8000")
        self.assert_words_heard("G.726-32, baresip -> Quillet", from_first_sound(q.heard()))
        self.assert_words_heard("G.726-32, Quillet -> baresip", heard)

    def test_wideband_calls_with_baresip(self):
        # A line offering Opus and G.722 first (as shipped) calls a baresip that has only
        # one of them: that codec is chosen and the words are heard both ways.
        for codec, rtpmap in (("opus", "opus/48000/2"), ("g722", "G722/8000")):
            with self.subTest(codec=codec):
                q, heard = self.intercom_call_to_baresip(
                    self.padded_file, [codec], {"DefaultLine": {"Codecs": "opus,g722,pcmu"}})
                # baresip's answer is the call's last SDP: its first format is the codec.
                trace = q.trace_text()
                last = trace[trace.rindex("m=audio "):]
                chosen = re.match(r"m=audio \d+ RTP/AVP (\d+)", last).group(1)
                self.assertRegex(last, r"a=rtpmap:%s %s\r?\n" % (chosen, re.escape(rtpmap)))
                # Each side's resampling and Opus's perceptual coding filter the words: each
                # voiced piece is compared through the best short filter.
                for who, got in (("baresip -> Quillet", from_first_sound(q.heard())),
                                 ("Quillet -> baresip", heard)):
                    intact, voiced = pieces_intact(self.speech, got)
                    print("%s, %s: %d of %d voiced pieces intact" % (codec, who, intact, voiced))
                    self.assertGreaterEqual(intact, 0.9 * voiced, who)

    def tls_line(self):
        return {"DefaultLine": {"Transport": "tls", "TLSCAFile": self.ca[0]},
                "Intercom": {"AutoTalkBack": "1"}}

    def assert_tls_call(self, q, b):
        """Everything Quillet's trace holds went over TLS; each side heard the other."""
        trace = q.trace_text()
        self.assertIn("SIP/2.0/TLS ", trace)
        self.assertNotIn("SIP/2.0/UDP ", trace)
        self.assertRegex(trace, r"Contact: <sip:[^>]*;transport=tls>")
        for who, heard in (("baresip -> Quillet", q.heard()),
                           ("Quillet -> baresip", self.baresip_heard(b))):
            self.assert_words_heard("over TLS, " + who, from_first_sound(heard))

    def test_baresip_calls_quillet_over_tls_audio_both_ways(self):
        q = self.quillet("bob", self.reply_file, self.tls_line())
        q.start()
        b = self.baresip(["<sip:carol@127.0.0.1:PORT;transport=tls>;regint=0"],
                         self.padded_file, tls=True)
        b.command("dial", "sip:bob@127.0.0.1:%d;transport=tls" % (q.sip_port + 1))
        self.assertTrue(wait_for(lambda: "The call was started" in q.log_text(), 10),
                        q.log_text() + b.output())
        self.assertIsNotNone(b.wait_call_event("CALL_ESTABLISHED", 5), b.output())
        time.sleep(self.reply_delay + len(self.speech) / RATE + 1.5)
        b.command("hangup")
        self.assertTrue(wait_for(lambda: "The call was stopped" in q.log_text(), 10))
        q.stop()
        b.stop()
        self.assert_tls_call(q, b)

    # The line's TLSCAFile reaches a call dialled straight to a peer too.
    def test_quillet_calls_baresip_over_tls_audio_both_ways(self):
        b = self.baresip(["<sip:carol@127.0.0.1:PORT;transport=tls>;regint=0;answermode=@ANSWER@"],
                         self.reply_file, answer="auto", tls=True)
        q = self.quillet("alice", self.padded_file, self.tls_line())
        q.start("-dial", "sip:carol@127.0.0.1:%d;transport=tls" % (b.sip_port + 1))
        self.assertIsNotNone(b.wait_call_event("CALL_ESTABLISHED", 10),
                             q.log_text() + b.output())
        time.sleep(self.reply_delay + len(self.speech) / RATE + 1.5)
        self.assertEqual(q.run("-hangup"), 0)
        self.assertIsNotNone(b.wait_call_event("CALL_CLOSED", 10))
        q.stop()
        b.stop()
        self.assert_tls_call(q, b)

    def test_contact_names_the_address_towards_the_server_on_a_second_network(self):
        # A second network (as a VPN would add) after the first one: the REGISTER to a
        # server on it names our address there, not that of the first interface up.
        if os.environ.get("QUILLET_IN_NETNS") != "1":
            self.skipTest("needs the test's own network namespace")
        subprocess.run("ip link add q2 type veth peer name q3 && ip addr add 198.51.100.10/24 "
                       "dev q2 && ip link set q3 up && ip link set q2 up", shell=True, check=True)
        self.cleanup.append(lambda: subprocess.run(["ip", "link", "del", "q2"]))
        server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.cleanup.append(server.close)
        server.bind(("198.51.100.10", 0))
        server.settimeout(10)
        q = self.quillet("dora", self.silence_file, {
            "SIP": {"LocalAddress": ""},
            "DefaultLine": {"Proxy": "198.51.100.10:%d" % server.getsockname()[1]}})
        q.start()
        register = server.recv(8192).decode(errors="replace")
        self.assertTrue(register.startswith("REGISTER "), register)
        contact = [line for line in register.split("\r\n") if line.lower().startswith("contact:")]
        self.assertTrue(contact and "@198.51.100.10:" in contact[0], register)

    def test_kamailio_with_qop_and_nonce_counting_audio_both_ways(self):
        """Two profiles register at Kamailio (qop=auth, nonces counted) and alice calls bob
        by user name; bob talks back at once and each must hear the other."""
        kamailio = h.Kamailio(self.dir, {"alice": "alice-pw", "bob": "bob-pw"},
                              auth={"qop": "auth", "nonce_count": 1})
        self.cleanup.append(kamailio.stop)

        def line(user):
            return {"DefaultLine": {"Proxy": "127.0.0.1:%d" % kamailio.port,
                                    "ProxyPassword": user + "-pw"},
                    "Intercom": {"AutoTalkBack": "1"}}

        a = self.quillet("alice", self.speech_file, line("alice"))
        b = self.quillet("bob", self.reply_file, line("bob"))
        b.start()
        a.start()
        for p in (a, b):
            self.assertTrue(wait_for(lambda: "Registered as: sip:%s@" % p.user in p.log_text(),
                                     10), p.log_text())
        self.call_and_hang_up(a, b, self.reply_delay)  # the reply comes seconds in
        a.stop()
        # Un-REGISTER at exit: the trace holds a REGISTER with expires 0.
        self.assertRegex(a.trace_text(), r"(?i)expires[=:] ?0\b")
        b.stop()
        self.assertIn(",qop=auth,nc=00000001,cnonce=", a.trace_text())
        for speaker, listener in ((a, b), (b, a)):
            self.assert_words_heard("through Kamailio (qop=auth), %s -> %s" % (
                speaker.user, listener.user), from_first_sound(listener.heard()))


if __name__ == "__main__":
    run_tests({"test_baresip_calling_quillet_is_answered_and_heard": "baresip",
               "test_quillet_intercom_call_to_auto_answering_baresip": "baresip",
               "test_g726_call_with_baresip_on_an_aal2_packing_line": "baresip",
               "test_baresip_calls_quillet_over_tls_audio_both_ways": "baresip-tls",
               "test_quillet_calls_baresip_over_tls_audio_both_ways": "baresip-tls",
               "test_kamailio_with_qop_and_nonce_counting_audio_both_ways": "kamailio-qop",
               "test_wideband_calls_with_baresip": "baresip-wideband"})
