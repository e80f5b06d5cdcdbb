#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Quillet over IPv6 on ::1: an intercom call between two profiles addressed by [::1], and
two lines registered at Kamailio over IPv6 calling each other through it."""
import socket
import time

from e2e_support import (RATE, LabCase, from_first_sound, run_tests, take_binary_argument,
                          wait_for)
import sipharness as h  # noqa: E402 (on the path that e2e_support sets)

take_binary_argument()


def have_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


class Ipv6Test(LabCase):
    prefix = "quillet-ipv6-"

    def setUp(self):
        super().setUp()
        if not have_ipv6_loopback():
            self.skipTest("this host has no IPv6 loopback")

    def six(self, name, microphone, line=None):
        settings = {"SIP": {"LocalAddress": "::1"}, "Intercom": {"AutoTalkBack": "1"}}
        if line:
            settings["DefaultLine"] = line
        return self.quillet(name, microphone, settings)

    def assert_ipv6_only(self, profile):
        trace = profile.trace_text()
        self.assertRegex(trace, r"Via: SIP/2\.0/UDP \[::1\]:\d+")
        self.assertIn("c=IN IP6 ::1", trace)
        self.assertNotIn("IN IP4", trace)
        self.assertNotRegex(trace, r"Packet (Sent to|Received from) 127\.")
        self.assertNotRegex(trace, r"(?m)^(Via|Contact|Route|Record-Route):.*127\.0\.0\.1")

    def test_intercom_call_between_two_profiles_over_ipv6(self):
        a = self.six("alice", self.speech_file)
        b = self.six("bob", self.silence_file)
        b.start()
        a.start("-dial", "sip:bob@[::1]:%d" % b.sip_port)
        self.assertTrue(wait_for(lambda: "The call was started" in b.log_text(), 10),
                        a.log_text() + b.log_text())
        self.assertIn("Answer-Mode: Auto", b.trace_text())
        self.assertIn("<sip:alice@[::1]:%d>" % a.sip_port, b.trace_text())  # alice's Contact
        time.sleep(len(self.speech) / RATE + 1.5)
        a.stop()
        self.assertTrue(wait_for(lambda: "The call was stopped" in b.log_text(), 10))
        b.stop()
        for p in (a, b):
            self.assert_ipv6_only(p)
        self.assert_words_heard("alice -> bob over IPv6", from_first_sound(b.heard()))

    def test_registration_and_call_through_kamailio_over_ipv6(self):
        k = self.owned(h.Kamailio(self.dir, {"alice": "alice-pw", "bob": "bob-pw"}, ipv6=True))
        proxy = "[::1]:%d" % k.port
        a = self.six("alice", self.speech_file, {"Proxy": proxy, "ProxyPassword": "alice-pw"})
        b = self.six("bob", self.silence_file, {"Proxy": proxy, "ProxyPassword": "bob-pw"})
        b.start()
        a.start()
        for p in (a, b):
            self.assertTrue(wait_for(lambda: "Registered as: sip:%s@" % p.user in p.log_text(),
                                     10), p.log_text() + k.output())
            self.assertIn(",response=", p.trace_text())  # the digest went over IPv6
        self.call_and_hang_up(a, b, 0)
        a.stop()
        b.stop()
        for p in (a, b):
            self.assert_ipv6_only(p)
        self.assert_words_heard("alice -> bob through Kamailio over IPv6",
                                from_first_sound(b.heard()))


if __name__ == "__main__":
    run_tests({"test_intercom_call_between_two_profiles_over_ipv6": "quillet-ipv6",
               "test_registration_and_call_through_kamailio_over_ipv6": "kamailio-ipv6"})
