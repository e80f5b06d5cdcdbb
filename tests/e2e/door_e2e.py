#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Door control on the user's path: a headless door station with door codes takes an intercom
call and the caller keys codes in (telephone events): the right code runs its program once,
a code kept for another contact and wrong codes run nothing, and the third wrong code ends
the call. A phone that sends its digits in SIP INFO requests opens the door as well. (GPIO
lines are not tried here: this machine has no simulated GPIO chip.)"""
import os
import time

from e2e_support import LabCase, intercom_call, run_tests, take_binary_argument, wait_for
from sip_caller import Caller

take_binary_argument()

MARKER_PROGRAM = """#!/usr/bin/python3
import sys
with open(sys.argv[1], "a") as f:
    f.write(" ".join(sys.argv[2:]) + "\\n")
"""


def lines(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return f.read().splitlines()


class DoorControl(LabCase):
    def marker_program(self):
        """A program that notes its arguments (a blank in its path: no shell), and its notes."""
        program = os.path.join(self.dir, "open door")
        with open(program, "w") as f:
            f.write(MARKER_PROGRAM)
        os.chmod(program, 0o755)
        return program, os.path.join(self.dir, "opened.txt")

    def test_codes_open_the_door_once_and_wrong_ones_end_the_call(self):
        program, opened = self.marker_program()
        door = self.quillet("door", self.silence_file, {"Door": {
            "Code1": "4711", "Action1": 'command:"%s" %s front' % (program, opened),
            "Code2": "999", "Action2": 'command:"%s" %s back' % (program, opened),
            "Contact2": "someone-else",
            "Code3": "12x", "Action3": "command:/bin/true"}})
        alice = self.quillet("alice", self.speech_file)
        door.start()
        alice.start("-dial", door.address)
        self.assertTrue(wait_for(lambda: "The call was started" in door.log_text(), 10),
                        alice.log_text() + door.log_text())
        self.assertIn("Door: Code3 is not 1 to 16 of the digits", door.log_text())

        self.assertEqual(alice.run("-dtmf", "4711"), 0)
        self.assertTrue(wait_for(lambda: lines(opened), 5), door.log_text())
        self.assertIn("Door: code 1 from alice@", door.log_text())
        # Someone else's code, then two wrong ones: nothing more runs, the call ends.
        self.assertEqual(alice.run("-dtmf", "999#"), 0)
        self.assertTrue(wait_for(lambda: "(1 of 3)" in door.log_text(), 5), door.log_text())
        self.assertEqual(alice.run("-dtmf", "4712#5#"), 0)
        self.assertTrue(wait_for(lambda: "The call was stopped" in alice.log_text(), 10),
                        door.log_text())
        self.assertIn("Door: 3 wrong codes from alice@", door.log_text())
        time.sleep(0.5)
        self.assertEqual(lines(opened), ["front"])

    def test_digits_in_sip_info_requests_open_the_door(self):
        program, opened = self.marker_program()
        door = self.quillet("door", self.silence_file, {"Door": {
            "Code1": "4711", "Action1": 'command:"%s" %s front' % (program, opened)}})
        door.start()
        gate = Caller(door.sip_port, user="gate", target_user="door")
        self.cleanup.append(gate.close)
        call, started = intercom_call(door, gate, 40000)
        self.assertTrue(started, door.log_text())
        for signal in ("4", "7", "1", "1"):
            gate.info_digit(call, signal)
            self.assertIsNotNone(gate.wait_response(call, [200], 5, method="INFO"))
        self.assertTrue(wait_for(lambda: lines(opened) == ["front"], 5), door.log_text())
        gate.bye(call)


if __name__ == "__main__":
    run_tests({})
