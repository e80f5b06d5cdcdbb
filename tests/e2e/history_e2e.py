#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""The call history of two quillet --headless profiles on loopback (Bob's line registered
with a local Kamailio, so that a call straight from Alice rings): a call that rings and is
answered, one that rings and is given up (the caller closes), and an intercom call from a
contact answered by itself, as `quillet-tool history` prints them on both sides; a damaged line
of the file is left out (and the file left as it was), and a file past its size moves to
.1 before the next call is added.
Usage: history_e2e.py PATH/TO/quillet"""
import json
import os
import time
import unittest

from e2e_support import LabCase, take_binary_argument, wait_for
import sipharness as h  # noqa: E402 (on the path that e2e_support sets)

take_binary_argument()

ROTATE_BYTES = 256 * 1024
OLD_LINE = ('{"start":"2020-01-01T00:00:00Z","direction":"in","kind":"call","uri":"old@10.0.0.9",'
            '"name":"Old","answered":false,"duration":0,"reason":"missed"}\n')


class CallHistoryTest(LabCase):
    prefix = "quillet-history-"

    def history(self, profile, *args):
        return json.loads(self.tool(profile, "history", *args))

    def stopped(self, profile, count):
        return wait_for(lambda: profile.log_text().count("The call was stopped") >= count, 10)

    def test_answered_missed_and_intercom_calls_on_both_sides(self):
        # Bob's line registers with a server: a call straight from Alice rings until he
        # answers (it does not come through his server), while his own calls stay intercom.
        kam = h.Kamailio(self.dir, {"bob": "bob-pw"})
        self.cleanup.append(kam.stop)
        alice = self.quillet("alice", self.silence_file)
        bob = self.quillet("bob", self.silence_file, {
            "DefaultLine": {"Proxy": "127.0.0.1:%d" % kam.port, "ProxyPassword": "bob-pw"}})
        # Alice's file is just past the size: her first call moves it to .1.
        history_file = os.path.join(alice.home, "call-history.jsonl")
        with open(history_file, "w") as f:
            f.write(OLD_LINE * (ROTATE_BYTES // len(OLD_LINE) + 1))
        alice.start()
        bob.start()
        self.assertTrue(wait_for(lambda: "Registered as: sip:bob@" in bob.log_text(), 10),
                        bob.log_text())

        # 1. Alice calls Bob; it rings until Bob answers; about two seconds later she hangs up.
        self.assertEqual(alice.run("-dial", bob.address), 0)
        self.assertTrue(wait_for(lambda: "rings until answered" in bob.log_text(), 10),
                        bob.log_text())
        self.assertEqual(bob.run("-answer"), 0)
        self.assertTrue(wait_for(lambda: "The call was started" in alice.log_text(), 10))
        time.sleep(2.0)
        self.assertEqual(alice.run("-hangup"), 0)
        self.assertTrue(self.stopped(alice, 1) and self.stopped(bob, 1), bob.log_text())
        with open(history_file) as f:
            self.assertEqual(len(f.read().splitlines()), 1)  # the older part went to .1
        self.assertTrue(os.path.getsize(history_file + ".1") > ROTATE_BYTES)
        self.tool(bob, "contacts", "delete", "Alice")

        # 2. Alice calls again (Bob's answered call made her a contact, whose calls would
        # be taken as intercom calls: that contact goes first); Bob's phone rings and Alice closes before he answers.
        self.assertEqual(alice.run("-dial", bob.address), 0)
        self.assertTrue(wait_for(lambda: bob.log_text().count("rings until answered") == 2, 10),
                        alice.log_text() + bob.log_text())
        alice.stop()
        self.assertTrue(self.stopped(bob, 2), bob.log_text())
        alice.start()
        self.assertTrue(wait_for(lambda: alice.log_text().count("SIP Number:") == 2, 10))

        # 3. Alice is one of Bob's contacts again: her call is answered by itself.
        self.tool(bob, "contacts", "add", "Alice", alice.address)
        self.assertEqual(alice.run("-dial", bob.address), 0)
        self.assertTrue(wait_for(lambda: bob.log_text().count("The call was started") == 2, 10),
                        alice.log_text() + bob.log_text())
        time.sleep(1.0)
        self.assertEqual(alice.run("-hangup"), 0)
        self.assertTrue(self.stopped(bob, 3), bob.log_text())
        self.assertTrue(wait_for(lambda: "The call was stopped" in alice.log_text().split(
            "Closing Quillet")[-1], 10), alice.log_text())

        def summary(calls):
            return [(c["direction"], c["kind"], c["uri"].split("@")[0], c["answered"])
                    for c in calls]

        bob_calls = self.history(bob)
        self.assertEqual(summary(bob_calls), [("in", "intercom", "alice", True),
                                              ("in", "call", "alice", False),
                                              ("in", "call", "alice", True)], bob_calls)
        self.assertEqual(bob_calls[1]["duration"], 0)
        self.assertEqual(bob_calls[1]["reason"], "missed")
        self.assertEqual(bob_calls[2]["name"], "Alice")
        self.assertTrue(1 <= bob_calls[2]["duration"] <= 5, bob_calls)
        self.assertTrue(0 <= bob_calls[0]["duration"] <= 4, bob_calls)
        for call in bob_calls:
            self.assertRegex(call["start"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertGreaterEqual(bob_calls[0]["start"], bob_calls[2]["start"])

        alice_calls = self.history(alice, "--limit", "3")
        self.assertEqual(summary(alice_calls), [("out", "intercom", "bob", True),
                                                ("out", "intercom", "bob", False),
                                                ("out", "intercom", "bob", True)], alice_calls)
        self.assertEqual(alice_calls[1]["reason"], "closed")
        self.assertTrue(1 <= alice_calls[2]["duration"] <= 5, alice_calls)
        everything = self.history(alice)
        self.assertEqual(len(everything), 3 + ROTATE_BYTES // len(OLD_LINE) + 1)
        self.assertEqual(everything[-1]["uri"], "old@10.0.0.9")

        # A damaged line and a cut last line are left out, and the file stays as it was.
        with open(history_file, "a") as f:
            f.write('{"start": broken\n{"start":"2026-')
        with open(history_file, "rb") as f:
            before = f.read()
        self.assertEqual(self.history(alice, "--limit", "3"), alice_calls)
        self.assertEqual(self.errors.count("skipping the damaged line"), 2, self.errors)
        with open(history_file, "rb") as f:
            self.assertEqual(f.read(), before)


if __name__ == "__main__":
    unittest.main(verbosity=2)
