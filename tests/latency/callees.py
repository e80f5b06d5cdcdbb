# SPDX-License-Identifier: Apache-2.0
"""The callees of the delay measurements, each on a private PipeWire desktop's default
devices (pipewire_lab.py: a null sink as the speaker whose monitor is the microphone), so
that what a callee plays comes back into its microphone with no delay of its own and its
talk-back returns it to the caller:

- QuilletCallee: a quillet --headless profile that answers an intercom call by itself and
  talks back;
- BaresipCallee: baresip 1.0.0 with its ALSA module on `default`, answering by itself, with
  its jitter buffer at its default (5-10 frames) or off.
"""
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
for folder in ("e2e", "pipewire", "sip"):
    sys.path.insert(0, os.path.join(HERE, "..", folder))
from e2e_support import Profile, wait_for  # noqa: E402
from sipharness import Process, baresip_config, free_udp_port  # noqa: E402


def playout_report(log_text):
    """The playout figures a quillet profile logged at the end of its last call, as a dict
    (empty when there was none)."""
    found = re.findall(r"Playout: (.*)", log_text)
    queue = re.findall(r"Playback: device queue (\d+) ms", log_text)
    if not found:
        return {}
    report = {key: int(value) for key, value in re.findall(r"(\w+) (-?\d+) ms", found[-1])}
    if queue:
        report["device_queue"] = int(queue[-1])
    # The standing delay the call's source took out of the far end's pauses, and put in.
    taken = re.findall(r"Playback: (\d+) ms of delay taken out of pauses, (\d+) ms put in",
                       log_text)
    if taken:
        report["taken_out"], report["put_in"] = (int(ms) for ms in taken[-1])
    return report


class QuilletCallee(Profile):
    name = "quillet"

    def __init__(self, lab, root, label, settings=None):
        port = free_udp_port(5400, 5900)
        values = {"Settings": {"RecordDevice": "", "PlayDevice": ""},
                  "Intercom": {"AutoTalkBack": "1"}}
        for section, pairs in (settings or {}).items():
            values.setdefault(section, {}).update(pairs)
        super().__init__(root, "%s-%d" % (label, port), port, free_udp_port(), "bob",
                         os.devnull, values)
        self.lab = lab

    def env(self):
        return self.lab.env(super().env())

    def playout_report(self):
        return playout_report(self.log_text())


class BaresipCallee:
    def __init__(self, lab, root, label, jitter_buffer=True):
        self.name = "baresip" if jitter_buffer else "baresip, jitter buffer off"
        self.lab = lab
        self.sip_port = free_udp_port(5400, 5900)
        self.dir = os.path.join(root, "%s-%d" % (label, self.sip_port))
        os.makedirs(self.dir, exist_ok=True)
        # Its stock configuration asks for 5-10 frames; a minimum of 0 turns it off.
        config = baresip_config(self.sip_port, "alsa,default", "alsa,default",
                                "5-10" if jitter_buffer else "0-0", ("g711", "alsa", "account"))
        with open(os.path.join(self.dir, "config"), "w") as f:
            f.write("\n".join(config) + "\n")
        with open(os.path.join(self.dir, "accounts"), "w") as f:
            f.write("<sip:bob@127.0.0.1:%d>;regint=0;answermode=auto\n" % self.sip_port)
        self.process = None

    def start(self):
        env = self.lab.env()
        self.process = Process(["baresip", "-f", self.dir], self.dir, "baresip", env=env)
        if not wait_for(lambda: "baresip is ready." in self.process.output(), 10):
            raise RuntimeError("baresip did not start:\n" + self.process.output())
        return self.process

    def stop(self):
        if self.process:
            self.process.stop()

    def playout_report(self):
        return {}
