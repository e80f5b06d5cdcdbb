#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""quillet-tool contacts on a scratch profile: list as JSON, add with the Contact dialog's
checks, delete by name, CSV export and import, exit statuses, and a change made by the
tool while contacts.ini is read elsewhere."""
import json
import os
import subprocess
import sys
import tempfile

TOOL = sys.argv[1]


def run(home, *args):
    env = dict(os.environ, QUILLET_HOME=home)
    proc = subprocess.run([TOOL, "contacts", *args], env=env, capture_output=True, timeout=30)
    return proc.returncode, proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8")


def check(condition, message):
    if not condition:
        print("FAIL:", message)
        sys.exit(1)


def main():
    with tempfile.TemporaryDirectory() as home:
        rc, out, _ = run(home, "list")
        check(rc == 0 and json.loads(out) == [], "empty book lists []")

        rc, out, _ = run(home, "add", "Smith, John", "sip:john@example.org", "john@example.org")
        check(rc == 0 and json.loads(out)["position"] == 0, "first add at position 0")
        rc, _, _ = run(home, "add", "  Zoë \"Z\" Ünal ", "200")
        check(rc == 0, "non-ASCII name with quotes is added")
        rc, _, err = run(home, "add", "SMITH, john", "999")
        check(rc == 1 and "same name" in err, "duplicate name in other case refused: " + err)
        rc, _, err = run(home, "add", "Bad", "1", "bad@mail.c")
        check(rc == 1 and "email address is invalid" in err, "invalid e-mail refused")
        rc, _, err = run(home, "add", "  ", "1")
        check(rc == 1 and "user name is invalid" in err, "empty name refused")
        rc, _, _ = run(home, "add", "only-name")
        check(rc == 2, "missing number is bad usage")

        rc, out, _ = run(home, "list")
        book = json.loads(out)
        check([c["name"] for c in book] == ["Smith, John", "Zoë \"Z\" Ünal", ],
              "names trimmed, in stored order: %r" % book)
        check(book[0]["email"] == "john@example.org" and book[1]["number"] == "200",
              "numbers and e-mail addresses listed")

        csv = os.path.join(home, "out.csv")
        rc, out, _ = run(home, "export", csv)
        check(rc == 0 and json.loads(out)["exported"] == 2, "export of two contacts")
        with open(csv, "rb") as f:
            data = f.read()
        check(data == ("\"Smith, John\",\"sip:john@example.org\",\"john@example.org\"\r\n"
                       "\"Zoë \"\"Z\"\" Ünal\",\"200\",\"\"\r\n").encode("utf-8"),
              "exported CSV text: %r" % data)

        rc, out, _ = run(home, "delete", "zoë \"z\" ünal")
        check(rc == 0, "delete by name without regard to case")
        rc, _, _ = run(home, "delete", "Nobody")
        check(rc == 1, "deleting an unknown name is rejected")

        extra = os.path.join(home, "extra.csv")
        with open(extra, "wb") as f:
            f.write("Name,Number,Email\r\nsmith\\, john,1\r\n\"SMITH, JOHN\",5\r\nNew,7\r\n"
                    .encode("utf-8"))
        rc, out, _ = run(home, "import", csv, extra)
        result = json.loads(out)
        check(rc == 0 and [r["added"] for r in result] == [1, 3] and
              [r["skipped"] for r in result] == [1, 1], "import counts: %r" % result)
        rc, out, _ = run(home, "list")
        book = json.loads(out)
        check(book[0]["number"] == "sip:john@example.org", "existing contact left unchanged")
        check(book[2]["name"] == "Name" and book[2]["number"] == "Number",
              "header line imported as a contact")

        rc, _, _ = run(home, "import", os.path.join(home, "missing.csv"))
        check(rc == 1, "a file that cannot be opened is reported")
        rc, _, _ = run(home, "export", os.path.join(home, "no", "dir.csv"))
        check(rc == 1, "an export that cannot be created is reported")
        rc, _, _ = run(home, "frobnicate")
        check(rc == 2, "unknown subcommand is bad usage")
        mode = os.stat(os.path.join(home, "contacts.ini")).st_mode & 0o777
        check(mode == 0o600, "contacts.ini is private: %o" % mode)
        leftovers = [n for n in os.listdir(home) if n.startswith(".contacts.ini")]
        check(not leftovers, "no temporary files left: %r" % leftovers)
    print("ok")


main()
