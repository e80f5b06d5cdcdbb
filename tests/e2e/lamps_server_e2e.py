#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Lamps through a server: Alice, Bob and Carol (quillet --headless) register with a local
Kamailio that follows the calls through it and serves "Event: dialog" subscriptions from
their state. Alice has Bob as a contact and watches his line at the server, not at Bob. Bob's
call to Carol through the server lights Alice's lamp for Bob within a second of its start
and clears it within a second of its end.
Usage: lamps_server_e2e.py PATH/TO/quillet"""
import time
import unittest

from e2e_support import LabCase, take_binary_argument, wait_for
import sipharness as h  # noqa: E402 (on the path that e2e_support sets)

take_binary_argument()

USERS = {"alice": "alice-pw", "bob": "bob-pw", "carol": "carol-pw"}


class LampsThroughServerTest(LabCase):
    prefix = "quillet-lamps-server-"

    def lamp_within(self, profile, text, count, seconds):
        """The log line `text` appears for the count-th time within `seconds`."""
        return wait_for(lambda: profile.log_text().count(text) >= count, seconds, 0.02)

    def test_the_server_lights_the_lamp_of_a_call_through_it(self):
        started = time.monotonic()
        kam = self.owned(h.Kamailio(self.dir, USERS, presence=True))
        profiles = {}
        for name, password in USERS.items():
            profiles[name] = self.quillet(name, self.silence_file, {"DefaultLine": {
                "Proxy": "127.0.0.1:%d" % kam.port, "ProxyPassword": password}})
        alice, bob, carol = profiles["alice"], profiles["bob"], profiles["carol"]
        self.tool(alice, "contacts", "add", "Bob", "bob")
        for p in (alice, bob, carol):
            p.start()
        for p in (alice, bob, carol):
            self.assertTrue(wait_for(lambda: "Registered as: sip:%s@" % p.user in p.log_text(),
                                     10), p.log_text())
        self.assertTrue(self.lamp_within(alice, "Contact Bob is free", 1, 10),
                        alice.log_text() + kam.output()[-3000:])

        self.assertEqual(bob.run("-dial", "carol"), 0)
        self.assertTrue(wait_for(lambda: "Incoming SIP call" in carol.log_text(), 10),
                        bob.log_text() + carol.log_text())
        self.assertEqual(carol.run("-answer"), 0)
        self.assertTrue(wait_for(lambda: "The call was started" in bob.log_text(), 10),
                        bob.log_text() + carol.log_text())
        self.assertTrue(self.lamp_within(alice, "Contact Bob is busy", 1, 1.0),
                        alice.log_text() + kam.output()[-3000:])
        self.assertEqual(bob.run("-hangup"), 0)
        self.assertTrue(wait_for(lambda: "The call was stopped" in bob.log_text(), 10))
        self.assertTrue(self.lamp_within(alice, "Contact Bob is free", 2, 1.0),
                        alice.log_text() + kam.output()[-3000:])

        # The watch went to the server (Bob never saw it), and its NOTIFYs came from there.
        watches = [entry for entry in bob.trace_text().split("-" * 64)
                   if "Received from" in entry and "\nSUBSCRIBE " in entry
                   and "\nEvent: dialog" in entry]
        self.assertEqual(watches, [])
        notifies = [entry for entry in alice.trace_text().split("-" * 64)
                    if "\nNOTIFY sip:alice@" in entry and 'entity="sip:bob@' in entry]
        self.assertTrue(notifies and all("\nContact: <sip:127.0.0.1:%d>" % kam.port in entry
                                         for entry in notifies), alice.trace_text()[-3000:])
        print("lamps through a server e2e: %.1f s" % (time.monotonic() - started))


if __name__ == "__main__":
    unittest.main(verbosity=2)
