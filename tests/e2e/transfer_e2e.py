#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Transfers with real phones, driven by `quillet-tool call transfer` on the running profile:
a baresip calls Quillet, Quillet hands it over to another baresip (directly, and with all
three registered at Kamailio), and Linphone's linphonec as the party handed over. Each time
the two remaining parties must hear each other and Quillet's call must end. The tool's
refusals (no program, no call, a bad target, another user) are checked on the way, and a
transfer that fails (a caller refusing the REFER, a busy target) is reported as failed.
With two calls, hanging up ends the second, and a join keeps the line busy to OPTIONS; two
calls on different lines are joined by re-INVITE, the program bridging them.
Usage: transfer_e2e.py QUILLET QUILLET_TOOL"""
import os
import shutil
import subprocess
import sys
import time
import unittest

import numpy as np

if len(sys.argv) > 2:
    os.environ["QUILLET_BINARY"] = sys.argv.pop(1)
    TOOL = os.path.abspath(sys.argv.pop(1))
else:
    TOOL = "build/bin/quillet-tool"
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "sip"))
import sipharness as h  # noqa: E402
from e2e_support import (RATE, LabCase, find_in, read_wav, run_tests,  # noqa: E402
                         wait_for, write_wav)
_argv, sys.argv = sys.argv, sys.argv[:1]  # linphone_e2e reads its own arguments on import
from linphone_e2e import LINPHONEC, Linphone, read_wav_any  # noqa: E402
sys.argv = _argv

# Each side speaks the first words of the sample, from half a second into its file (a
# baresip plays its file from the start in each new call); both speak at once, which the
# file devices keep apart.
SPOKEN_SECONDS = 2.5


def tool(profile, *args):
    """quillet-tool on the profile: (exit status, standard error)."""
    done = subprocess.run([TOOL, *args], env=profile.env(), timeout=100, capture_output=True,
                          text=True)
    return done.returncode, done.stderr


class TransferTest(LabCase):
    prefix = "quillet-transfer-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # baresip's file source hangs up when its file ends: the words are padded.
        cls.words = cls.speech[:int(RATE * SPOKEN_SECONDS)]
        cls.talker_file = os.path.join(cls.root, "talker.wav")
        write_wav(cls.talker_file, np.concatenate([np.zeros(RATE // 2), cls.words,
                                                   np.zeros(RATE * 20)]))
        cls.talk_time = 0.5 + SPOKEN_SECONDS + 1.5
        cls.repeating_file = os.path.join(cls.root, "repeating-talker.wav")
        pause = np.zeros(RATE)
        write_wav(cls.repeating_file, np.concatenate([pause, *[np.concatenate([cls.words, pause])
                                                               for _ in range(12)]]))
        # linphonec's recording of the new call's far end starts late: the target speaks to it
        # 3 s into the call.
        cls.late_lead = 3.0
        cls.late_file = os.path.join(cls.root, "late-talker.wav")
        write_wav(cls.late_file, np.concatenate([np.zeros(int(RATE * cls.late_lead)), cls.words,
                                                 np.zeros(RATE * 20)]))

    def baresip(self, name, user, play, answer="manual", registrar=None):
        port = h.free_udp_port()
        if registrar:
            account = ("<sip:%s@127.0.0.1:%d>;auth_pass=%s-pw;regint=60;answermode=%s"
                       % (user, registrar, user, answer))
        else:
            account = "<sip:%s@127.0.0.1:%d>;regint=0;answermode=%s" % (user, port, answer)
        return self.owned(h.Baresip(self.dir, name, port, [account], play_wav=play,
                                    answer=answer))

    def check_heard(self, who, heard):
        # The words are looked for from where they fit best as a whole: a recording may begin
        # with other sounds (linphonec records the ringback tone of the new call).
        start = max(0, int((find_in(self.words, heard)[0] - 0.5) * RATE))
        self.assert_words_heard(who, heard[start:], self.words, np.median)

    def transfer(self, q, target, transferee_output):
        """Transfers Quillet's connected call to `target` with the tool and waits for
        Quillet's call to end."""
        status, error = tool(q, "call", "transfer", target)
        self.assertEqual(status, 0, error)
        self.assertTrue(wait_for(lambda: "The call was stopped" in q.log_text(), 15),
                        q.log_text() + transferee_output())
        trace = q.trace_text()
        self.assertIn("REFER sip:", trace)
        self.assertRegex(trace, r"SIP/2\.0 2\d\d")

    def talk_and_check(self, carol, dave):
        """Lets the two baresips, now in one call, talk; dave hangs up; each must have heard
        the other."""
        time.sleep(self.talk_time)
        dave.command("hangup")
        self.assertIsNotNone(carol.wait_call_event("CALL_CLOSED", 10), carol.output())
        carol.stop()
        dave.stop()
        self.check_heard("carol -> dave", self.last_recording(dave))
        self.check_heard("dave -> carol", self.last_recording(carol))

    def last_recording(self, b):
        """What baresip `b` recorded of its last call (files named by the second of the start;
        a transfer takes longer than that)."""
        files = sorted(f for f in os.listdir(b.dir) if f.endswith("-dec.wav"))
        self.assertTrue(files, "%s recorded nothing" % b.name)
        return read_wav(os.path.join(b.dir, files[-1]))

    def test_tool_refusals(self):
        q = self.quillet("alice", self.silence_file)
        status, error = tool(q, "call", "transfer", "bob@127.0.0.1")
        self.assertEqual(status, 1)
        self.assertIn("no quillet runs on this profile", error)
        q.start()
        for args in (("transfer", "bob@127.0.0.1"), ("join",)):
            status, error = tool(q, "call", *args)
            self.assertEqual(status, 1, error)
            self.assertIn("quillet-tool: call %s: no call is up" % args[0], error)
        self.assertEqual(tool(q, "call", "transfer")[0], 2)
        # Another user's program: the socket is not theirs to use.
        if os.geteuid() == 0 and shutil.which("setpriv"):
            done = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                   TOOL, "call", "join"], env=q.env(), capture_output=True,
                                  text=True, timeout=10)
            self.assertEqual(done.returncode, 1, done.stderr)
            self.assertIn("another user", done.stderr)

    def test_refused_transfer_reported(self):
        """A caller (SIPp) refuses the REFER with 403 and the target, called instead, is busy:
        the tool says the far end was not handed over and exits 1, and the call goes on until
        the caller hangs up."""
        q = self.quillet("alice", self.silence_file)
        q.start()
        target = self.owned(h.Sipp(self.dir, "uas_final.xml", name="busy-target",
                                   subs={"status": 486, "reason": "Busy Here"}))
        caller = self.owned(h.Sipp(self.dir, "uac_refer_refused.xml", "127.0.0.1:%d" % q.sip_port,
                                   extra=["-s", "alice"], name="refusing-caller",
                                   subs={"status": 403, "reason": "Forbidden", "hold": 4000}))
        self.assertTrue(wait_for(lambda: "The call was started" in q.log_text(), 10),
                        q.log_text() + caller.messages())
        status, error = tool(q, "call", "transfer", "sip:bob@127.0.0.1:%d" % target.port)
        self.assertEqual((status, "the far end was not handed over" in error), (1, True),
                         error + q.log_text())
        self.assertNotIn("The call was stopped", q.log_text())
        self.assertEqual(target.wait(10), 0, target.messages())
        self.assertEqual(caller.wait(15), 0, caller.messages())
        self.assertTrue(wait_for(lambda: "The call was stopped" in q.log_text(), 5),
                        q.log_text())

    def test_second_call_hung_up_and_line_busy_during_join(self):
        """With a second call up, `-hangup` ends that call (the one with the audio) and the
        first goes on; during a join the line answers OPTIONS 486, not 200 from the second
        call's engine that has handed its call over."""
        q = self.quillet("alice", self.silence_file)
        q.start()
        carol = self.owned(h.Sipp(self.dir, "uac_joined.xml", "127.0.0.1:%d" % q.sip_port,
                                  extra=["-s", "alice"], name="carol", subs={"wait": 4000}))
        self.assertTrue(wait_for(lambda: "The call was started" in q.log_text(), 10),
                        q.log_text() + carol.messages())
        daves = []
        for name in ("dave1", "dave2"):
            daves.append(self.owned(h.Sipp(self.dir, "uas_answer.xml", name=name)))
            status, error = tool(q, "call", "consult", "sip:dave@127.0.0.1:%d" % daves[-1].port)
            self.assertEqual(status, 0, error)
            self.assertTrue(wait_for(lambda: q.log_text().count("The second call was started")
                                     == len(daves), 10), q.log_text())
            if name == "dave1":
                self.assertEqual(q.run("-hangup"), 0)
                self.assertEqual(daves[0].wait(10), 0, daves[0].messages())
                self.assertTrue(wait_for(lambda: "The second call was stopped" in q.log_text(),
                                         5), q.log_text())
                self.assertNotIn("The call was stopped", q.log_text())
        join = subprocess.Popen([TOOL, "call", "join"], env=q.env(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, text=True)
        self.assertTrue(wait_for(lambda: "REFER sip:" in q.trace_text(), 10), q.log_text())
        probe = self.owned(h.Sipp(self.dir, "uac_out_of_dialog.xml", "127.0.0.1:%d" % q.sip_port,
                                  extra=["-s", "alice"], name="options",
                                  subs={"status": 486, "check": "true"}))
        probe_status = probe.wait(10)
        pending = join.poll() is None
        _, error = join.communicate(timeout=30)
        self.assertEqual((probe_status, pending), (0, True), probe.messages())
        self.assertEqual(join.returncode, 0, error + q.log_text())
        self.assertEqual(carol.wait(15), 0, carol.messages())
        self.assertEqual(daves[1].wait(10), 0, daves[1].messages())

    def test_baresip_handed_over_to_baresip(self):
        self.blind_between_baresips(registrar=None)

    def test_baresip_handed_over_to_baresip_through_kamailio(self):
        kamailio = self.owned(h.Kamailio(self.dir, {"alice": "alice-pw", "carol": "carol-pw",
                                                    "dave": "dave-pw"}))
        self.blind_between_baresips(registrar=kamailio.port)

    def blind_between_baresips(self, registrar):
        """carol (baresip) calls alice (Quillet), who hands her over to dave (baresip,
        answering by himself): carol and dave hear each other."""
        line = {"DefaultLine": {"Proxy": "127.0.0.1:%d" % registrar,
                                "ProxyPassword": "alice-pw"}} if registrar else {}
        q = self.quillet("alice", self.silence_file, line)
        q.start()
        carol = self.baresip("carol", "carol", self.talker_file, registrar=registrar)
        dave = self.baresip("dave", "dave", self.talker_file, answer="auto", registrar=registrar)
        if registrar:
            self.assertTrue(wait_for(lambda: "Registered as: sip:alice@" in q.log_text(), 10),
                            q.log_text())
            for b in (carol, dave):
                self.assertTrue(wait_for(lambda: "200 OK" in b.output(), 10), b.output())
            carol.command("dial", "sip:alice@127.0.0.1:%d" % registrar)
            target = "dave"
        else:
            carol.command("dial", q.address)
            target = "sip:dave@127.0.0.1:%d" % dave.sip_port
        self.assertTrue(wait_for(lambda: "The call was started" in q.log_text(), 10),
                        q.log_text() + carol.output())
        self.assertIsNotNone(carol.wait_call_event("CALL_ESTABLISHED", 5), carol.output())
        if not registrar:
            # Targets the call cannot be handed to are refused, and the call goes on.
            for bad, says in (("<sip:bob@127.0.0.1", "is not a SIP address"),
                              ("202", "names no server")):
                status, error = tool(q, "call", "transfer", bad)
                self.assertEqual((status, "quillet-tool: call transfer: " in error, says in error),
                                 (1, True, True), error)
            status, error = tool(q, "call", "join")
            self.assertIn("no second call is up to join", error)
            self.assertEqual(status, 1)
        self.transfer(q, target, carol.output)
        self.assertIsNotNone(dave.wait_call_event("CALL_ESTABLISHED", 10),
                             carol.output() + dave.output())
        self.talk_and_check(carol, dave)

    def join(self, q, carol, dave, *consult):
        """carol calls alice (Quillet); alice places the second call to dave (`call consult
        *consult`) and joins the two calls, which both end here. Answers the SIP trace."""
        carol.command("dial", q.address)
        self.assertTrue(wait_for(lambda: "The call was started" in q.log_text(), 10),
                        q.log_text() + carol.output())
        self.assertIsNotNone(carol.wait_call_event("CALL_ESTABLISHED", 5), carol.output())
        status, error = tool(q, "call", "consult", *consult)
        self.assertEqual(status, 0, error)
        self.assertIsNotNone(dave.wait_call_event("CALL_ESTABLISHED", 10), dave.output())
        status, error = tool(q, "call", "join")
        self.assertEqual(status, 0, error + q.log_text())
        self.assertTrue(wait_for(lambda: "The call was stopped" in q.log_text()
                                 and "The second call was stopped" in q.log_text(), 15),
                        q.log_text() + carol.output() + dave.output())
        return q.trace_text()

    def test_baresip_joined_to_baresip(self):
        """carol (baresip) calls alice (Quillet); alice places a second call to dave (baresip,
        answering by himself) and joins the two: carol and dave hear each other."""
        q = self.quillet("alice", self.silence_file)
        q.start()
        carol = self.baresip("carol", "carol", self.talker_file)
        dave = self.baresip("dave", "dave", self.talker_file, answer="auto")
        trace = self.join(q, carol, dave, "sip:dave@127.0.0.1:%d" % dave.sip_port)
        self.assertRegex(trace, r"Refer-To: <sip:dave@[^>]*\?Replaces=")
        self.talk_and_check(carol, dave)

    def test_baresip_joined_across_two_lines(self):
        """As above, but alice (line 1 without a server) places the second call on line 2
        (bob, at Kamailio). The lines differ, so the two far ends are connected by re-INVITE
        and kept so by the bridge: they hear each other, and dave's BYE reaches carol."""
        kamailio = self.owned(h.Kamailio(self.dir, {"bob": "bob-pw", "dave": "dave-pw"}))
        server = "127.0.0.1:%d" % kamailio.port
        q = self.quillet("alice", self.silence_file, {"Line2": {
            "UseDefault": "0", "DisplayName": "Bob", "UserName": "bob", "Proxy": server,
            "ProxyPassword": "bob-pw"}, "Line3": {"UseDefault": "0", "Proxy": server}})
        q.start()
        for line, says in (("3", "line 3 has no UserName"), ("4", "line 4 is not set up"),
                           ("0", "'0' is not a line number")):
            status, error = tool(q, "call", "consult", "--line", line, "dave")
            self.assertEqual((status, says in error), (1, True), error)
        # The call goes on through the re-INVITEs, so each side says its words again and again.
        carol = self.baresip("carol", "carol", self.repeating_file)
        dave = self.baresip("dave", "dave", self.repeating_file, answer="auto",
                            registrar=kamailio.port)
        self.assertTrue(wait_for(lambda: "200 OK" in dave.output(), 10), dave.output())
        trace = self.join(q, carol, dave, "--line", "2", "dave")
        self.assertRegex(trace, r"INVITE sip:dave@%s[^\n]*\n(.+\n)*?From: \"Bob\" <sip:bob@%s>"
                         % (server, server))
        self.assertEqual(trace.count("REFER sip:"), 0, "joined by REFER, not by re-INVITE")
        self.assertIn("The two parties are connected to each other", q.log_text())
        self.talk_and_check(carol, dave)

    @unittest.skipUnless(LINPHONEC, "linphonec is not installed (package linphone-cli)")
    def test_linphone_handed_over_to_baresip(self):
        """linphonec calls alice (Quillet), who hands it over to dave (baresip)."""
        q = self.quillet("alice", self.silence_file)
        q.start()
        dave = self.baresip("dave", "dave", self.late_file, answer="auto")
        heard = os.path.join(self.dir, "linphone-heard.wav")
        lp = self.owned(Linphone(self.dir, h.free_udp_port(), self.talker_file, heard))
        lp.command("call " + q.address)
        self.assertTrue(wait_for(lambda: "The call was started" in q.log_text(), 10),
                        q.log_text() + lp.output())
        self.transfer(q, "sip:dave@127.0.0.1:%d" % dave.sip_port, lp.output)
        self.assertIsNotNone(dave.wait_call_event("CALL_ESTABLISHED", 10),
                             lp.output() + dave.output())
        time.sleep(self.talk_time + self.late_lead)
        dave.command("hangup")
        self.assertTrue(wait_for(lambda: "ended" in lp.output(), 10), lp.output())
        lp.stop()
        dave.stop()
        self.check_heard("linphone -> dave", self.last_recording(dave))
        self.check_heard("dave -> linphone", read_wav_any(heard))


if __name__ == "__main__":
    run_tests({"test_baresip_handed_over_to_baresip": "transfer-baresip",
               "test_baresip_handed_over_to_baresip_through_kamailio": "transfer-kamailio",
               "test_linphone_handed_over_to_baresip": "transfer-linphone",
               "test_baresip_joined_to_baresip": "transfer-baresip",
               "test_baresip_joined_across_two_lines": "transfer-kamailio"})
