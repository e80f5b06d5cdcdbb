# SPDX-License-Identifier: Apache-2.0
"""The window's networking wizard in the NAT namespace lab: ui_test's
NetworkWizardTest.InTheNatLab* runs offscreen inside a namespace and checks the messages,
progress and settings for the network it finds there:

    symmetric  behind the masquerade (STUN's change test fails), no UPnP router
    upnp       the same with miniupnpd on the router
    direct     on the public side
    stun       behind a router that does not filter (the public side routes back)

    nat_wizard.py UI_TEST

With QUILLET_SCREENSHOTS set to a folder the wizard runs under Xvfb and leaves a picture of
each result there (network-wizard-NETWORK.png)."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from natlab import LAN, PUBLIC, ROUTER_OUT, Checks, NatLab  # noqa: E402

UI_TEST = sys.argv[1]


def wizard(lab, where, network):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", QUILLET_NAT_LAB=network,
               QUILLET_NAT_LAB_STUN=PUBLIC)
    command = [UI_TEST, "--gtest_filter=NetworkWizardTest.InTheNatLab*"]
    if os.environ.get("QUILLET_SCREENSHOTS"):
        env["QUILLET_SCREENSHOTS"] = os.path.abspath(os.environ["QUILLET_SCREENSHOTS"])
        command = ["xvfb-run", "-a", "env", "-u", "QT_QPA_PLATFORM"] + command
    r = lab.inside(where, *command, check=False, env=env, timeout=120)
    out = r.stdout + r.stderr
    failures = [line for line in out.splitlines()
                if "Failure" in line or "Which is" in line or "Expected" in line or
                "  " + network in line]
    return r.returncode == 0 and "[  PASSED  ] 1 test" in out, "\n".join(failures)[-3000:]


def main():
    c = Checks()
    with NatLab() as lab:
        lab.start_stund()
        ok, detail = wizard(lab, "lan", "symmetric")
        c.expect(ok, "behind a symmetric NAT without UPnP the wizard asks for manual set-up",
                 detail)
        upnpd = lab.start_miniupnpd()
        ok, detail = wizard(lab, "lan", "upnp")
        c.expect(ok, "behind a symmetric NAT the wizard finds the UPnP router", detail)
        lab.stop(upnpd)
        ok, detail = wizard(lab, "pub", "direct")
        c.expect(ok, "on a public address the wizard switches STUN and UPnP off", detail)
    with NatLab(masquerade=False) as lab:
        lab.inside("pub", "ip", "route", "add", LAN.rsplit(".", 1)[0] + ".0/24", "via",
                   ROUTER_OUT)
        lab.start_stund()
        ok, detail = wizard(lab, "lan", "stun")
        c.expect(ok, "behind a router that does not filter the wizard keeps STUN", detail)
    c.finish()


if __name__ == "__main__":
    main()
