#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Message waiting: a quillet --headless profile whose line registers at a SIPp registrar
that is also its voicemail box. The profile subscribes to the box, logs the state each NOTIFY
reports (3 new messages, then none) and ends the subscription when it closes; SIPp checks the
SUBSCRIBEs' Event, Accept and final Expires: 0.
Usage: voicemail_e2e.py PATH/TO/quillet"""
import unittest

from e2e_support import LabCase, take_binary_argument, wait_for
import sipharness as h  # noqa: E402 (on the path that e2e_support sets)

take_binary_argument()


class VoicemailTest(LabCase):
    prefix = "quillet-voicemail-"

    def test_the_mailbox_state_follows_the_notifications(self):
        notifier = h.Sipp(self.dir, "uas_voicemail_notifier.xml", calls=2, timeout=40)
        self.cleanup.append(notifier.stop)
        bob = self.quillet("bob", self.silence_file,
                           {"DefaultLine": {"Proxy": "127.0.0.1:%d" % notifier.port}})
        bob.start()
        self.assertTrue(wait_for(lambda: "Voicemail: no new messages" in bob.log_text(), 15),
                        bob.log_text())
        log = bob.log_text()
        self.assertIn("Registered as: sip:bob@127.0.0.1:%d" % notifier.port, log)
        self.assertIn("Voicemail: subscribed to sip:bob@127.0.0.1:%d" % notifier.port, log)
        waiting = log.index("Voicemail: 3 new messages (1 old)")
        self.assertLess(waiting, log.index("Voicemail: no new messages"))
        subscribe = bob.trace_text()
        self.assertRegex(subscribe, r"SUBSCRIBE sip:bob@127\.0\.0\.1:\d+ SIP/2\.0")
        bob.stop()
        self.assertEqual(notifier.wait(20), 0, "SIPp's checks of the SUBSCRIBEs failed")


if __name__ == "__main__":
    unittest.main(verbosity=2)
