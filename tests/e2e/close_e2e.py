#!/usr/bin/python3
"""Closing quillet --headless during an incoming intercom call, by SIGTERM and by a second
start with -exit, while the call rings, while the talk-back question is open and once the
call is established with talk-back on. The program must end with status 0, without a
sanitizer report (run it with the AddressSanitizer build), and end the call properly:
487 for the ringing INVITE, BYE for an established call.
Usage: close_e2e.py PATH/TO/quillet"""
import os
import signal
import socket
import threading
import time
import unittest

from e2e_support import LabCase, take_binary_argument, wait_for
from sip_caller import Caller

take_binary_argument()

SANITIZER_MARKS = ("AddressSanitizer", "runtime error:", "LeakSanitizer")


class CloseDuringCallTest(LabCase):
    prefix = "quillet-close-"

    def profile(self, settings=None):
        return self.quillet("bob", self.silence_file, settings)

    def close(self, profile, how):
        if how == "sigterm":
            profile.process.send_signal(signal.SIGTERM)
        else:
            self.assertEqual(profile.run("-exit"), 0)
        try:
            return profile.process.wait(timeout=20)
        except Exception:  # noqa: BLE001 - a hang is the failure being looked for
            profile.process.kill()
            profile.process.wait()
            return "hung"

    def stderr_of(self, profile):
        with open(os.path.join(profile.home, "stderr.txt"), errors="replace") as f:
            return f.read()

    def run_case(self, state, how):
        settings = {"Intercom": {"AutoTalkBack": "1" if state == "established" else "0"}}
        bob = self.profile(settings)
        bob.start()
        caller = Caller(bob.sip_port)
        self.addCleanup(caller.close)
        call = caller.invite()
        self.assertIsNotNone(caller.wait_response(call, range(180, 190), 10), bob.log_text())
        if state != "ringing":
            self.assertIsNotNone(caller.wait_response(call, [200], 10), bob.log_text())
            caller.ack(call)
            self.assertTrue(wait_for(lambda: "The call was started" in bob.log_text(), 10))
            if state == "established":
                self.assertTrue(wait_for(lambda: "to stop call" in bob.log_text(), 10))
            else:
                time.sleep(0.3)  # the question is open and stays open
        code = self.close(bob, how)
        bob.output.close()
        errors = self.stderr_of(bob)
        self.assertEqual(code, 0, errors[-4000:])
        for mark in SANITIZER_MARKS:
            self.assertNotIn(mark, errors, errors[-6000:])
        if state == "ringing":
            self.assertIn(487, call.responses + [getattr(caller.wait_response(
                call, [487], 3), "status", 0)], bob.trace_text()[-3000:])
        else:
            self.assertIsNotNone(caller.wait_request("BYE", call, 5), bob.trace_text()[-3000:])

    def test_sigterm_while_ringing(self):
        self.run_case("ringing", "sigterm")

    def test_exit_while_ringing(self):
        self.run_case("ringing", "exit")

    def test_sigterm_with_the_talk_back_question_open(self):
        self.run_case("question", "sigterm")

    def test_exit_with_the_talk_back_question_open(self):
        self.run_case("question", "exit")

    def test_sigterm_when_established(self):
        self.run_case("established", "sigterm")

    def test_exit_when_established(self):
        self.run_case("established", "exit")


    def test_un_register_at_exit_answers_its_challenge(self):
        """A registrar that takes the REGISTER but challenges the un-REGISTER: the 401 is
        answered within the closing window, so the binding does not stay behind."""
        registrar = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        registrar.bind(("127.0.0.1", 0))
        registrar.settimeout(0.2)
        server = "127.0.0.1:%d" % registrar.getsockname()[1]
        seen = []

        def serve():
            while not stop.is_set():
                try:
                    data, source = registrar.recvfrom(65536)
                except socket.timeout:
                    continue
                text = data.decode(errors="replace")
                if not text.startswith("REGISTER"):
                    continue
                seen.append(text)
                heads = dict((n.strip().lower(), v.strip()) for n, _, v in
                             (line.partition(":") for line in text.split("\r\n")[1:] if line))
                unregister = ";expires=0" in heads.get("contact", "")
                if unregister and "authorization" not in heads:
                    status = ("401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"test\", "
                              "nonce=\"n1\"")
                else:
                    status = "200 OK\r\nContact: %s" % heads.get("contact", "")
                registrar.sendto(("SIP/2.0 %s\r\nVia: %s\r\nFrom: %s\r\nTo: %s;tag=r\r\n"
                                  "Call-ID: %s\r\nCSeq: %s\r\nContent-Length: 0\r\n\r\n"
                                  % (status, heads.get("via"), heads.get("from"), heads.get("to"),
                                     heads.get("call-id"), heads.get("cseq"))).encode(), source)

        stop = threading.Event()
        thread = threading.Thread(target=serve, daemon=True)
        thread.start()
        try:
            bob = self.profile({"DefaultLine": {"Proxy": server, "ProxyPassword": "pw"}})
            bob.start()
            self.assertTrue(wait_for(lambda: "Registered as:" in bob.log_text(), 10),
                            bob.log_text())
            bob.process.send_signal(signal.SIGTERM)
            self.assertEqual(bob.process.wait(timeout=20), 0)
        finally:
            stop.set()
            thread.join()
            registrar.close()
        answered = [t for t in seen if ";expires=0" in t and "Authorization:" in t]
        self.assertTrue(answered, "\n".join(seen[-3:]))


if __name__ == "__main__":
    unittest.main(verbosity=2)
