#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""quillet --headless as an intercom endpoint for the phones and PBXs around it: SIPp callers
asking for auto-answer in each dialect, a required mode refused with 403, Priv-Answer-Mode
through do-not-disturb, the headers of Quillet's own intercom INVITE, a PBX page through
Kamailio, scans of a registered profile with svwar, and a forged From with the allow list
on verified identity."""
import os
import re
import subprocess
import sys
import time
import unittest

from e2e_support import RATE, LabCase, Profile, take_binary_argument, wait_for
import sipharness as h  # noqa: E402 (on the path that e2e_support sets)

take_binary_argument()

# Where the internet side's scanners and forgers send from (the proxy and the callers it
# routes are on 127.0.0.1; a known contact's host counts as trusted).
OUTSIDE = "127.0.0.2"

# Each dialect as a caller writes it, and whether it asks to be answered by itself.
DIALECTS = (
    ("", False),
    ("Answer-Mode: Auto", True),
    ("Call-Info: <sip:127.0.0.1>;answer-after=0", True),
    ("Alert-Info: <http://127.0.0.1>;info=alert-autoanswer", True),
    ("Alert-Info: <http://127.0.0.1>;info=intercom", True),
    ("Alert-Info: <http://127.0.0.1>;delay=0", True),
    ("Alert-Info: Ring Answer", True),
    ("Alert-Info: auto answer", True),
    ("Answer-Mode: Manual", False),
)


class DialectsTest(LabCase):
    prefix = "quillet-dialects-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # The caller's speech as raw mu-law for SIPp's RTP stream.
        cls.speech_ulaw = os.path.join(cls.root, "speech.ul")
        subprocess.run(["sox", cls.speech_file, "-t", "ul", cls.speech_ulaw], check=True)

    def quillet(self, name, settings=None, registrar=None):
        settings = {k: dict(v) for k, v in (settings or {}).items()}
        if registrar:
            settings.setdefault("DefaultLine", {}).update(
                {"Proxy": "127.0.0.1:%d" % registrar.port, "ProxyPassword": name + "-pw"})
        port = h.free_udp_port(5400, 5900)
        # A port may come round again within a test: the folder is named after the moment.
        home = "%s-%d" % (name, time.monotonic_ns())
        p = Profile(self.dir, home, port, h.free_udp_port(), name, self.silence_file, settings)
        self.cleanup.append(p.stop)
        p.start()
        if registrar:
            self.assertTrue(wait_for(lambda: "Registered as: sip:%s@" % name in p.log_text(), 10),
                            p.log_text())
        return p

    def kamailio(self):
        k = h.Kamailio(self.dir, {"bob": "bob-pw"})
        self.cleanup.append(k.stop)
        return k

    def caller(self, scenario, port, caller="sipp", headers="", service="bob",
               local_ip="127.0.0.1", **subs):
        """A SIPp caller started from local_ip to 127.0.0.1:port."""
        values = {"from": caller, "headers": headers or "X-Dialect: none", "media": "",
                  "hold": 300, "mode_header": "Answer-Mode", "mode_check": 'check_it="true"',
                  "check_header": "CSeq", "check_value": "INVITE"}
        values.update(subs)
        name = "%s-%d" % (os.path.splitext(scenario)[0], time.monotonic_ns())
        return h.Sipp(self.dir, scenario, "127.0.0.1:%d" % port, extra=["-s", service],
                      subs=values, name=name, timeout=30, local_ip=local_ip)

    def call(self, scenario, port, caller="sipp", headers="", service="bob", local_ip="127.0.0.1",
             **subs):
        """One SIPp caller run from local_ip to 127.0.0.1:port; answers (ok, detail)."""
        s = self.caller(scenario, port, caller, headers, service, local_ip, **subs)
        rc = s.wait(40)
        s.stop()
        return rc == 0, "rc=%s headers=%r\n%s" % (rc, headers, s.messages()[-3000:])

    def test_incoming_dialects_answer_by_themselves_or_ring(self):
        bob = self.quillet("bob", {"Intercom": {"AnswerAll": "0"}})
        for headers, answers in DIALECTS:
            with self.subTest(headers=headers):
                ok, detail = self.call("uac_auto_answer.xml" if answers else "uac_rings.xml",
                                       bob.sip_port, headers=headers)
                self.assertTrue(ok, detail + bob.log_text()[-1500:])
        self.assertIn("Incoming call rings until answered (no auto-answer asked)", bob.log_text())
        self.assertIn("Incoming call rings until answered (the caller asked to ring)",
                      bob.log_text())
        # An answer delay is kept: answer-after=2 answers two seconds after the first ring.
        began = time.monotonic()
        ok, detail = self.call("uac_auto_answer.xml", bob.sip_port,
                               headers="Call-Info: <sip:127.0.0.1>;answer-after=2")
        self.assertTrue(ok, detail)
        self.assertGreater(time.monotonic() - began, 2.0)

        # A call that rings is answered by the user; its 200 does not say Auto.
        ringing = self.caller("uac_auto_answer.xml", bob.sip_port,
                              mode_check='check_it_inverse="true"')
        self.assertTrue(wait_for(lambda: bob.log_text().count("rings until answered") == 3, 10))
        self.assertEqual(bob.run("-answer"), 0)
        rc = ringing.wait(20)
        ringing.stop()
        self.assertEqual(rc, 0, ringing.messages()[-3000:])
        self.assertIn("Answering call...", bob.log_text().split("rings until answered")[-1])

        # Intercom/AnswerAll on (the default): a call without any header answers too, and
        # its 200 says so.
        compatible = self.quillet("carl")
        ok, detail = self.call("uac_auto_answer.xml", compatible.sip_port, service="carl")
        self.assertTrue(ok, detail + compatible.log_text()[-1500:])

    def test_required_mode_refused_priv_answer_mode_through_dnd(self):
        allow = {"AllowAll": "0", "Allow": "carol"}
        bob = self.quillet("bob", {"Intercom": allow})
        ok, detail = self.call("uac_refused.xml", bob.sip_port, caller="mallory",
                               headers="Answer-Mode: Auto;require", status=403,
                               check_header="Answer-Mode", check_value="^ *Manual")
        self.assertTrue(ok, "a required auto-answer we do not honour: 403, Answer-Mode: Manual\n"
                        + detail)
        ok, detail = self.call("uac_refused.xml", bob.sip_port, caller="mallory",
                               headers="Answer-Mode: Auto", status=487)
        self.assertTrue(ok, "without ;require the refusal stays 487\n" + detail)

        dnd = self.quillet("dave", {"Intercom": allow, "Settings": {"DoNotDisturb": "1"}})
        ok, detail = self.call("uac_auto_answer.xml", dnd.sip_port, caller="carol",
                               service="dave", headers="Priv-Answer-Mode: Auto",
                               mode_header="Priv-Answer-Mode")
        self.assertTrue(ok, "Priv-Answer-Mode passes DND for a caller on the list\n" + detail)
        for caller, headers in (("mallory", "Priv-Answer-Mode: Auto"), ("carol", "")):
            ok, detail = self.call("uac_refused.xml", dnd.sip_port, caller=caller, service="dave",
                                   headers=headers, status=480)
            self.assertTrue(ok, "DND holds for %s %r\n%s" % (caller, headers, detail))
        self.assertIn("DND is on - reject incoming call from: mallory@", dnd.log_text())

    def test_intercom_invite_carries_the_chosen_headers(self):
        choices = (
            ("", 'check_it="true"', 'check_it_inverse="true"', 'check_it_inverse="true"'),
            ("Call-Info", 'check_it_inverse="true"', 'check_it="true"', 'check_it_inverse="true"'),
            ("Answer-Mode, Call-Info, Alert-Info", 'check_it="true"', 'check_it="true"',
             'check_it="true"'),
        )
        for choice, am, ci, ai in choices:
            with self.subTest(choice=choice):
                callee = h.Sipp(self.dir, "uas_answer_headers.xml", subs={"am": am, "ci": ci,
                                                                          "ai": ai},
                                name="uas-%d" % time.monotonic_ns(), timeout=30)
                alice = self.quillet("alice", {"Intercom": {"AnswerHeaders": choice}})
                self.assertEqual(alice.run("-dial", "sip:door@127.0.0.1:%d" % callee.port), 0)
                started = wait_for(lambda: "The call was started" in alice.log_text(), 10)
                alice.run("-hangup")
                rc = callee.wait(20)
                callee.stop()
                alice.stop()
                self.assertTrue(started and rc == 0, "rc=%s\n%s\n%s" % (
                    rc, callee.messages()[-3000:], alice.log_text()[-1500:]))

    def test_pbx_page_through_kamailio_is_answered_and_heard(self):
        kam = self.kamailio()
        bob = self.quillet("bob", {"Intercom": {"AnswerAll": "0"}}, registrar=kam)
        seconds = len(self.speech) / RATE
        media = '<nop><action><exec rtp_stream="%s,1,0"/></action></nop>' % self.speech_ulaw
        ok, detail = self.call("uac_auto_answer.xml", kam.port, service="page-bob", media=media,
                               hold=int(seconds * 1000) + 1500)
        self.assertTrue(ok, detail + bob.log_text()[-2000:])
        self.assertIn("Alert-Info: <http://127.0.0.1>;info=alert-autoanswer", bob.trace_text())
        self.assertTrue(wait_for(lambda: "The call was stopped" in bob.log_text(), 10))
        bob.stop()
        self.assert_words_heard("PBX page", bob.heard())

    def svwar(self, method, port):
        """svwar's report of a scan of a few user names at 127.0.0.1:port, sent from OUTSIDE
        (this svwar ignores its -b option: its socket's bind is pointed there)."""
        names = os.path.join(self.dir, "names.txt")
        with open(names, "w") as f:
            f.write("100\n101\nadmin\nbob\ncarol\n200\n")
        launcher = ("import os, socket, sys\n"
                    "bind = socket.socket.bind\n"
                    "socket.socket.bind = lambda s, a: bind(s, (%r, a[1]))\n"
                    "sys.argv = ['svwar'] + sys.argv[1:]\n"
                    "sys.path.insert(0, os.path.dirname(os.path.realpath('/usr/bin/svwar')))\n"
                    "from sipvicious.svwar import main\n"
                    "main()\n" % OUTSIDE)
        try:
            result = subprocess.run(
                [sys.executable, "-c", launcher, "-m", method, "-d", names, "-t", "0.05",
                 "--maximumtime", "5", "udp://127.0.0.1:%d" % port],
                capture_output=True, text=True, timeout=8, cwd=self.dir)
            report = result.stdout + result.stderr
        except subprocess.TimeoutExpired as stalled:
            # It waits for ever on a call that only rings: it learnt nothing.
            report = "".join(part.decode() if isinstance(part, bytes) else (part or "")
                             for part in (stalled.stdout, stalled.stderr)) + "\n(stalled)"
        self.assertNotIn("Traceback", report)
        return report

    def test_scans_of_a_registered_profile_find_nothing(self):
        # The scan works: a profile without a server answers 404 for users it does not have.
        plain = self.quillet("bob")
        report = self.svwar("OPTIONS", plain.sip_port)
        self.assertRegex(report, r"\|\s*bob\s*\|", report)
        plain.stop()

        kam = self.kamailio()
        bob = self.quillet("bob", registrar=kam)
        # Through its proxy the profile still answers an intercom call by itself.
        ok, detail = self.call("uac_auto_answer.xml", kam.port, headers="Answer-Mode: Auto")
        self.assertTrue(ok, detail + bob.log_text()[-1500:])
        self.assertTrue(wait_for(lambda: "The call was stopped" in bob.log_text(), 10))
        calls = bob.log_text().count("The call was started")

        for method in ("OPTIONS", "INVITE"):
            with self.subTest(method=method):
                report = self.svwar(method, bob.sip_port)
                print("svwar -m %s:\n%s" % (method, report.strip()))
                self.assertNotIn("exists", report)
                # Whatever the scan concluded, it concluded the same for every name.
                found = dict(re.findall(r"^\|\s*(\w+)\s*\|\s*(\w+)\s*\|$", report, re.M))
                found.pop("Extension", None)
                self.assertIn(len(found), (0, 6), report)
                self.assertLessEqual(len(set(found.values())), 1, report)
                if os.environ.get("QUILLET_DEBUG_SCAN"):
                    print(bob.trace_text()[-6000:])
        self.assertEqual(bob.log_text().count("The call was started"), calls,
                         "a scan's call reached the speaker")
        self.assertIn("Incoming call rings until answered (not through the line's server)",
                      bob.log_text())

    def test_forged_from_and_verified_identity(self):
        kam = self.kamailio()
        for verified in ("1", "0"):
            with self.subTest(verified=verified):
                bob = self.quillet("bob", {"Intercom": {"AllowAll": "0", "Allow": "alice",
                                                        "AllowDirect": "1",
                                                        "VerifiedIdentity": verified}},
                                   registrar=kam)
                # Straight to the profile, not through its proxy, with a From on the list.
                if verified == "1":
                    ok, detail = self.call("uac_refused.xml", bob.sip_port, caller="alice",
                                           headers="Answer-Mode: Auto", status=487,
                                           local_ip=OUTSIDE)
                else:
                    ok, detail = self.call("uac_auto_answer.xml", bob.sip_port, caller="alice",
                                           headers="Answer-Mode: Auto", local_ip=OUTSIDE)
                self.assertTrue(ok, detail + bob.log_text()[-1500:])
                # Through the proxy the same From is vouched for.
                ok, detail = self.call("uac_auto_answer.xml", kam.port, caller="alice",
                                       headers="Answer-Mode: Auto")
                self.assertTrue(ok, detail + bob.log_text()[-1500:])
                bob.stop()


if __name__ == "__main__":
    unittest.main(verbosity=2)
