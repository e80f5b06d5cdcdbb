#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Lamps without a server: Alice and Bob (quillet --headless) list each other as contacts and
allow each other, and each watches the other's line (Alice Dora's too, who has do-not-disturb
on). Bob's call to Carol lights Alice's lamp
for Bob within a second of its start and clears it within a second of its end; a watcher not
on Alice's allow list gets 403, and a flood of them costs a few log lines and no lamp.
Usage: lamps_e2e.py PATH/TO/quillet"""
import socket
import time
import unittest

from e2e_support import LabCase, take_binary_argument, wait_for

take_binary_argument()


class LampsTest(LabCase):
    prefix = "quillet-lamps-"

    def lamp_within(self, profile, text, count, seconds):
        """The log line `text` appears for the count-th time within `seconds`."""
        return wait_for(lambda: profile.log_text().count(text) >= count, seconds, 0.02)

    def subscribe_flood(self, profile, count):
        """`count` SUBSCRIBEs for the dialog package, each in a dialog of its own, sent to the
        profile from one port at about 1000 a second; the final answers counted that refuse."""
        refused = 0
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
            s.bind(("127.0.0.1", 0))
            s.setblocking(False)
            port = s.getsockname()[1]
            for i in range(count):
                s.sendto(("SUBSCRIBE %s SIP/2.0\r\n"
                          "Via: SIP/2.0/UDP 127.0.0.1:%d;rport;branch=z9hG4bKflood%d\r\n"
                          "Max-Forwards: 70\r\nTo: <%s>\r\n"
                          "From: <sip:mallory@127.0.0.1:%d>;tag=f%d\r\n"
                          "Call-ID: lamps-flood-%d\r\nCSeq: 1 SUBSCRIBE\r\n"
                          "Contact: <sip:mallory@127.0.0.1:%d>\r\nEvent: dialog\r\n"
                          "Expires: 600\r\nContent-Length: 0\r\n\r\n"
                          % (profile.address, port, i, profile.address, port, i, i, port)
                          ).encode(), ("127.0.0.1", profile.sip_port))
                if i % 10 == 9:
                    time.sleep(0.01)
            deadline = time.monotonic() + 3
            while time.monotonic() < deadline:
                try:
                    answer = s.recv(65535)
                except BlockingIOError:
                    time.sleep(0.01)
                    continue
                refused += answer.startswith(b"SIP/2.0 403") or answer.startswith(b"SIP/2.0 503")
        return refused

    def test_a_call_lights_the_lamp_and_strangers_are_refused(self):
        alice = self.quillet("alice", self.silence_file, {"Intercom": {"Allow": "bob"}})
        bob = self.quillet("bob", self.silence_file, {"Intercom": {"Allow": "alice"}})
        carol = self.quillet("carol", self.silence_file)
        # Dora has do-not-disturb on: her lamp says so.
        dora = self.quillet("dora", self.silence_file,
                            {"Intercom": {"Allow": "alice"}, "Settings": {"DoNotDisturb": "1"}})
        self.tool(alice, "contacts", "add", "Bob", bob.address)
        self.tool(alice, "contacts", "add", "Dora", dora.address)
        self.tool(bob, "contacts", "add", "Alice", alice.address)
        for p in (alice, bob, carol, dora):
            p.start()
        self.assertTrue(self.lamp_within(alice, "Contact Bob is free", 1, 15), alice.log_text())
        self.assertTrue(self.lamp_within(bob, "Contact Alice is free", 1, 15), bob.log_text())
        self.assertTrue(self.lamp_within(alice, "Contact Dora is do-not-disturb", 1, 15),
                        alice.log_text())

        self.assertEqual(bob.run("-dial", carol.address), 0)
        self.assertTrue(wait_for(lambda: "The call was started" in bob.log_text(), 10),
                        bob.log_text() + carol.log_text())
        self.assertTrue(self.lamp_within(alice, "Contact Bob is busy", 1, 1.0), alice.log_text())
        self.assertEqual(bob.run("-hangup"), 0)
        self.assertTrue(wait_for(lambda: "The call was stopped" in bob.log_text(), 10))
        self.assertTrue(self.lamp_within(alice, "Contact Bob is free", 2, 1.0), alice.log_text())

        # A stranger's SUBSCRIBE: 403, and a log line.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            s.settimeout(3)
            port = s.getsockname()[1]
            s.sendto(("SUBSCRIBE %s SIP/2.0\r\n"
                      "Via: SIP/2.0/UDP 127.0.0.1:%d;rport;branch=z9hG4bKlamps1\r\n"
                      "Max-Forwards: 70\r\nTo: <%s>\r\nFrom: <sip:mallory@127.0.0.1:%d>;tag=m1\r\n"
                      "Call-ID: lamps-stranger\r\nCSeq: 1 SUBSCRIBE\r\n"
                      "Contact: <sip:mallory@127.0.0.1:%d>\r\nEvent: dialog\r\n"
                      "Accept: application/dialog-info+xml\r\nExpires: 600\r\n"
                      "Content-Length: 0\r\n\r\n" % (alice.address, port, alice.address, port, port)
                      ).encode(), ("127.0.0.1", alice.sip_port))
            answer = s.recv(65535).decode()
        self.assertTrue(answer.startswith("SIP/2.0 403"), answer)
        self.assertIn("a watcher not on the allow list was refused", alice.log_text())

        # A SUBSCRIBE flood (1000 in about a second, each a new dialog) from the stranger: each
        # is refused (403, or 503 once it sends too many), the log holds a few summing lines,
        # and Bob's next call still lights Alice's lamp within a second.
        refused = self.subscribe_flood(alice, 1000)
        print("SUBSCRIBE flood: %d of 1000 refused" % refused)
        self.assertGreater(refused, 900)
        self.assertLess(alice.log_text().count("Lamps: "), 40, alice.log_text()[-3000:])
        self.assertEqual(bob.run("-dial", carol.address), 0)
        self.assertTrue(self.lamp_within(alice, "Contact Bob is busy", 2, 1.5), alice.log_text())
        self.assertEqual(bob.run("-hangup"), 0)
        self.assertTrue(self.lamp_within(alice, "Contact Bob is free", 3, 1.5), alice.log_text())
        # Bob's own watch was answered with NOTIFYs of dialog-info documents.
        self.assertIn("application/dialog-info+xml", alice.trace_text())
        for p in (alice, bob, carol, dora):
            p.stop()
        self.assertIn("Subscription-State: terminated", bob.trace_text())


if __name__ == "__main__":
    unittest.main(verbosity=2)
