#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""sipvicious' svmap (a SIP scan) and svwar (extension guessing with OPTIONS, INVITE and
REGISTER) against a running quillet --headless profile on loopback. The program must not
crash, must answer OPTIONS with 200 afterwards, answer a real intercom call and end with
status 0 on SIGTERM. What the scanners report is printed.
Usage: scan_e2e.py PATH/TO/quillet"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

from e2e_support import (RATE, Checks, Profile, intercom_call, sigterm_status,
                         take_binary_argument, write_wav)
from sip_caller import Caller


def scan(*args):
    result = subprocess.run(list(args), capture_output=True, text=True, timeout=120,
                            stdin=subprocess.DEVNULL)
    lines = [line for line in (result.stdout + result.stderr).splitlines() if line.strip()]
    return result.returncode, lines


def main():
    if shutil.which("svmap") is None or shutil.which("svwar") is None:
        print("sipvicious is not installed (deps/test-sip.txt): skipped")
        return 77
    root = tempfile.mkdtemp(prefix="quillet-scan-")
    check = Checks()
    bob = None
    try:
        silence = os.path.join(root, "silence.wav")
        write_wav(silence, np.zeros(RATE * 10))
        bob = Profile(root, "bob", 5730, 26200, "bob", silence)
        bob.start()
        target = "127.0.0.1"
        port = str(bob.sip_port)
        names = os.path.join(root, "names.txt")
        with open(names, "w") as f:
            f.write("admin\nalice\nbob\ndoor\n100\n")
        reports = [
            ("svmap", scan("svmap", "-p", port, target)),
            ("svmap -m INVITE", scan("svmap", "-p", port, "-m", "INVITE", target)),
        ]
        for method in ("OPTIONS", "INVITE", "REGISTER"):
            reports.append(("svwar -m %s -e 100-120" % method,
                            scan("svwar", "-p", port, "-m", method, "-e", "100-120", target)))
        reports.append(("svwar -m INVITE -d names",
                        scan("svwar", "-p", port, "-m", "INVITE", "-d", names, target)))
        for name, (code, lines) in reports:
            print("== %s (status %d)" % (name, code))
            for line in lines[-12:]:
                print("   " + line)
        check.expect(bob.process.poll() is None, "the program survives the scans")
        time.sleep(1.0)
        probe = Caller(bob.sip_port)
        options = probe.options()
        check.expect(probe.wait_response(options, [200], 5, method="OPTIONS") is not None,
                     "OPTIONS gets 200 after the scans")
        call, answered = intercom_call(bob, probe, 40200)
        probe.bye(call)
        probe.close()
        check.expect(answered, "an intercom call is answered after the scans")
        code = sigterm_status(bob)
        check.expect(code == 0, "SIGTERM ends with status 0 (%s)" % code)
    finally:
        if bob is not None:
            bob.stop()
        shutil.rmtree(root, ignore_errors=True)
    return 1 if check.failed else 0


if __name__ == "__main__":
    take_binary_argument()
    sys.exit(main())
