#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Closing quillet --headless during an incoming intercom call, by SIGTERM and by a second
start with -exit, while the call rings, while the talk-back question is open and once the
call is established with talk-back on. The program must end with status 0, without a
sanitizer report (run it with the AddressSanitizer build), and end the call properly:
487 for the ringing INVITE, BYE for an established call. A start with -exit returns only
once the running instance has ended.
Usage: close_e2e.py PATH/TO/quillet"""
import fcntl
import os
import signal
import socket
import subprocess
import threading
import time
import unittest

import e2e_support
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
        registrar = Registrar(self, challenge_unregister=True)
        bob = self.profile({"DefaultLine": {"Proxy": registrar.server, "ProxyPassword": "pw"}})
        bob.start()
        self.assertTrue(wait_for(lambda: "Registered as:" in bob.log_text(), 10),
                        bob.log_text())
        bob.process.send_signal(signal.SIGTERM)
        self.assertEqual(bob.process.wait(timeout=20), 0)
        registrar.stop()
        answered = [t for t in registrar.seen if ";expires=0" in t and "Authorization:" in t]
        self.assertTrue(answered, "\n".join(registrar.seen[-3:]))


class Registrar:
    """A loopback registrar on a thread of its own (stopped at the test's end) that takes
    every REGISTER; it can challenge the un-REGISTER or answer it only after a delay."""

    def __init__(self, case, challenge_unregister=False, unregister_delay=0.0):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", 0))
        self.socket.settimeout(0.2)
        self.server = "127.0.0.1:%d" % self.socket.getsockname()[1]
        self.challenge_unregister = challenge_unregister
        self.unregister_delay = unregister_delay
        self.seen = []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()
        case.addCleanup(self.stop)

    def stop(self):
        if not self.done.is_set():
            self.done.set()
            self.thread.join()
            self.socket.close()

    def serve(self):
        while not self.done.is_set():
            try:
                data, source = self.socket.recvfrom(65536)
            except socket.timeout:
                continue
            text = data.decode(errors="replace")
            if not text.startswith("REGISTER"):
                continue
            self.seen.append(text)
            heads = dict((n.strip().lower(), v.strip()) for n, _, v in
                         (line.partition(":") for line in text.split("\r\n")[1:] if line))
            unregister = ";expires=0" in heads.get("contact", "")
            if unregister and self.challenge_unregister and "authorization" not in heads:
                status = ("401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"test\", "
                          "nonce=\"n1\"")
            else:
                status = "200 OK\r\nContact: %s" % heads.get("contact", "")
            if unregister:
                time.sleep(self.unregister_delay)
            self.socket.sendto(("SIP/2.0 %s\r\nVia: %s\r\nFrom: %s\r\nTo: %s;tag=r\r\n"
                                "Call-ID: %s\r\nCSeq: %s\r\nContent-Length: 0\r\n\r\n"
                                % (status, heads.get("via"), heads.get("from"), heads.get("to"),
                                   heads.get("call-id"), heads.get("cseq"))).encode(), source)


def run_exit(home):
    """`quillet --headless -exit` on the profile in `home`: its status, standard error and
    how long it took."""
    began = time.monotonic()
    done = subprocess.run([e2e_support.QUILLET, "--headless", "-exit"],
                          env=dict(os.environ, QUILLET_HOME=home), timeout=60,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return done.returncode, done.stderr.decode(errors="replace"), time.monotonic() - began


class ExitHandOverTest(LabCase):
    """A second start with -exit returns once the running instance has ended: 0 when it
    ended, 1 and a message when it still runs after 20 s."""
    prefix = "quillet-exit-"

    def test_exit_returns_after_the_instance_has_ended(self):
        # The un-REGISTER is answered after a second: the instance ends that much later.
        registrar = Registrar(self, unregister_delay=1.0)
        bob = self.quillet("bob", self.silence_file,
                           {"DefaultLine": {"Proxy": registrar.server}})
        bob.start()
        self.assertTrue(wait_for(lambda: "Registered as:" in bob.log_text(), 10),
                        bob.log_text())
        status, errors, took = run_exit(bob.home)
        self.assertEqual(status, 0, errors)
        self.assertGreaterEqual(took, 0.9)
        # Ended, not ending: at most the moment between its last step and the process's end.
        self.assertEqual(bob.process.wait(timeout=1), 0)
        self.assertTrue([t for t in registrar.seen if ";expires=0" in t], registrar.seen)
        # Its control socket went with it.
        self.assertFalse(os.path.exists(os.path.join(bob.home, "quillet.sock")))

    def test_exit_reports_an_instance_that_does_not_end(self):
        # A stand-in instance: it takes -exit on the control socket, then keeps running.
        home = os.path.join(self.dir, "stuck")
        os.makedirs(home)
        lock = open(os.path.join(home, "quillet.running.lock"), "w")
        self.addCleanup(lock.close)
        fcntl.flock(lock, fcntl.LOCK_EX)
        control = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        control.bind(os.path.join(home, "quillet.sock"))
        control.listen(1)
        self.addCleanup(control.close)
        messages = []

        def answer():
            connection, _ = control.accept()
            with connection:
                message = b""
                while chunk := connection.recv(4096):
                    message += chunk
                messages.append(message)
                connection.sendall(b"OK\n")

        thread = threading.Thread(target=answer, daemon=True)
        thread.start()
        status, errors, took = run_exit(home)
        thread.join(timeout=5)
        self.assertEqual(len(messages), 1)
        self.assertIn(b"-exit", messages[0])
        self.assertEqual(status, 1)
        self.assertIn("asked to exit but still runs after 20 s", errors)
        self.assertGreaterEqual(took, 19.5)
        self.assertLess(took, 30)


if __name__ == "__main__":
    unittest.main(verbosity=2)
