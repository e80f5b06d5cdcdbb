#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Quillet's own PipeWire streams (no ALSA in between) against a private PipeWire daemon
(pipewire_lab.py): a call between two profiles whose ALSA knows no PipeWire, the streams'
role, the callee's playback following the desktop's default sink as it changes and as it
goes away, and the call's volume on its own stream.

Usage: pipewire_native_e2e.py QUILLET QUILLET-TOOL [unittest options]."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import numpy as np

if len(sys.argv) > 2:
    os.environ["QUILLET_BINARY"] = sys.argv.pop(1)
    TOOL = sys.argv.pop(1)
else:
    TOOL = "build/bin/quillet-tool"
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from e2e_support import (RATE, Profile, make_speech, pieces_intact,  # noqa: E402
                         read_wav, wait_for)
from pipewire_lab import MICROPHONE, PipeWireLab  # noqa: E402
from sipharness import end_process, free_udp_port  # noqa: E402

DESK = "quillet-test-desk"        # the callee's speaker: the default sink during the call
DESK2 = "quillet-test-desk2"      # a headset plugged in mid-call and made the default
EAR = "quillet-test-alice-ear"    # the caller's speaker
QUIET = "quillet-test-quiet"      # the callee's microphone: a source nobody feeds
PLAY_VOLUME_DB = -6
RECORD_VOLUME_DB = -4  # the caller's: its capture stream's own volume

# ALSA as a board without PipeWire's plugin has it: whatever the program opens through ALSA
# is a null device, and PipeWire's PCM does not exist.
ALSA_WITHOUT_PIPEWIRE = """pcm.!default { type null }
"""


def dump(lab):
    """pw-dump's objects: (nodes by id: their props with the process id of their client as
    "pid", links as (output node, input node), the Props of each node by id)."""
    try:
        objects = json.loads(lab.run(["pw-dump"]) or "[]")
    except ValueError:
        objects = []
    nodes, links, params = {}, [], {}
    pids = {o["id"]: str((o.get("info") or {}).get("props", {}).get("application.process.id"))
            for o in objects if o.get("type") == "PipeWire:Interface:Client"}
    for o in objects:
        info = o.get("info") or {}
        if o.get("type") == "PipeWire:Interface:Node":
            nodes[o["id"]] = dict(info.get("props", {}))
            nodes[o["id"]]["pid"] = pids.get(nodes[o["id"]].get("client.id"))
            params[o["id"]] = (info.get("params") or {}).get("Props", [])
        elif o.get("type") == "PipeWire:Interface:Link":
            links.append((info.get("output-node-id"), info.get("input-node-id")))
    return nodes, links, params


def node_id(nodes, name):
    return next((i for i, p in nodes.items() if p.get("node.name") == name), None)


class NativeProfile(Profile):
    """A profile in the lab, with an ALSA that has no way to PipeWire."""

    def __init__(self, lab, alsa_conf, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.lab = lab
        self.alsa_conf = alsa_conf

    def env(self):
        env = self.lab.env(super().env())
        env["ALSA_CONFIG_PATH"] = self.alsa_conf
        env.pop("QUILLET_PIPEWIRE", None)
        return env

    def streams(self, nodes):
        """The program's own stream nodes: {(category, target or None): id}."""
        pid = str(self.process.pid)
        return {(p.get("media.category"), p.get("target.object")): i for i, p in nodes.items()
                if p.get("application.name") == "Quillet" and p.get("node.name") == "Quillet"
                and p.get("pid") == pid}

    def maps(self):
        with open("/proc/%d/maps" % self.process.pid) as f:
            return f.read()


class PipeWireNativeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="quillet-pwn-e2e-")
        cls.lab = PipeWireLab(os.path.join(cls.root, "lab")).start()
        cls.speech = make_speech(cls.root)
        cls.speech_file = os.path.join(cls.root, "speech.wav")
        cls.alsa_conf = os.path.join(cls.root, "alsa-without-pipewire.conf")
        with open(cls.alsa_conf, "w") as f:
            f.write(ALSA_WITHOUT_PIPEWIRE)
        cls.processes = []

    @classmethod
    def tearDownClass(cls):
        for p in cls.processes:
            end_process(p)
        cls.lab.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    def setUp(self):
        self.profiles = []

    def tearDown(self):
        for p in self.profiles:
            p.stop()

    def make_node(self, name, media_class, extra=""):
        self.lab.run(["pw-cli", "create-node", "adapter",
                      "{ factory.name = support.null-audio-sink node.name = %s "
                      "node.description = \"%s\" media.class = %s audio.position = [ MONO ] "
                      "object.linger = true %s }" % (name, name, media_class, extra)])
        self.assertTrue(wait_for(lambda: node_id(dump(self.lab)[0], name) is not None, 5), name)

    def set_default_sink(self, name):
        self.lab.run(["wpctl", "set-default", str(node_id(dump(self.lab)[0], name))])
        self.assertTrue(wait_for(lambda: name in self.lab.run(
            ["wpctl", "inspect", "@DEFAULT_AUDIO_SINK@"]), 5), name)

    def record_sink(self, name, wav):
        p = subprocess.Popen(["pw-record", "--target", name, "-P",
                              "{ stream.capture.sink = true }", "--rate", str(RATE),
                              "--channels", "1", wav], env=self.lab.env(),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(p)
        return p

    def say_in_room(self):
        """The caller's words, said in the caller's room (into its microphone)."""
        p = self.lab.play_into_room(self.speech_file)
        self.processes.append(p)
        return p

    def profile(self, name, record, play, settings=None):
        port = free_udp_port(5400, 5900)
        values = {"Settings": {"RecordDevice": record, "PlayDevice": play}}
        for section, pairs in (settings or {}).items():
            values.setdefault(section, {}).update(pairs)
        p = NativeProfile(self.lab, self.alsa_conf, self.root, "%s-%d" % (name, port), port,
                          free_udp_port(), name, self.speech_file, values)
        self.profiles.append(p)
        return p

    def linked_sink(self, stream):
        nodes, links, _ = dump(self.lab)
        sinks = [nodes.get(i, {}).get("node.name") for o, i in links if o == stream]
        return sinks[0] if sinks else None

    def heard_on(self, name, seconds, words):
        """What the sink `name` plays while the caller says its words (started `words` s
        into the recording), for `seconds`."""
        wav = os.path.join(self.root, "%s-%d.wav" % (name, time.monotonic_ns()))
        recorder = self.record_sink(name, wav)
        time.sleep(words)
        self.say_in_room().wait(timeout=30)
        time.sleep(max(0.0, seconds - words - len(self.speech) / RATE))
        end_process(recorder)
        return read_wav(wav) if os.path.exists(wav) else np.zeros(0)

    def assert_words_intact(self, name, what, share, seconds=1.5, words=0.3):
        """The caller's words are heard on the sink `name` with `share` of their voiced pieces
        intact. Said a second time if the first falls short: a CPU-starved lab (no real-time
        priority here) can drop or squeeze a stretch of one hearing; a wrong device, silence
        or garbling fails both. Answers what was heard."""
        for attempt in (1, 2):
            heard = self.heard_on(name, len(self.speech) / RATE + seconds, words)
            intact, voiced = pieces_intact(self.speech, heard)
            print("%s: %d of %d voiced pieces intact%s" % (what, intact, voiced,
                                                           "" if attempt == 1 else " (again)"))
            if intact >= share * voiced:
                return heard
        self.fail("%s: %d of %d voiced pieces intact" % (what, intact, voiced))

    def test_a_call_on_native_streams_follows_the_default_sink(self):
        # The desk is the sink the session manager falls back to (the lab's speaker would
        # carry the callee's sound into the caller's microphone).
        self.make_node(DESK, "Audio/Sink", "priority.session = 3000")
        self.make_node(EAR, "Audio/Sink")
        self.make_node(QUIET, "Audio/Source/Virtual")
        self.set_default_sink(DESK)
        desktop_volume = self.lab.run(["wpctl", "get-volume", "@DEFAULT_AUDIO_SINK@"]).strip()
        # The caller records from the lab's room and plays to its own ear; the callee records
        # from a silent source and plays to the default sink, the desk, at its own volume.
        alice = self.profile("alice", "pipewire:" + MICROPHONE, "pipewire:" + EAR,
                             {"Settings": {"RecordVolume": str(RECORD_VOLUME_DB)}})
        bob = self.profile("bob", "pipewire:" + QUIET, "",
                           {"Settings": {"PlayVolume": str(PLAY_VOLUME_DB)},
                            "Intercom": {"AutoTalkBack": "1"}})
        bob.start()
        alice.start("-dial", bob.address)
        self.assertTrue(wait_for(lambda: "The call was started" in bob.log_text(), 10),
                        bob.log_text()[-1500:])
        streams = {}

        def bobs_streams():
            streams.update(bob.streams(dump(self.lab)[0]))
            return ("Playback", None) in streams and ("Capture", QUIET) in streams
        self.assertTrue(wait_for(bobs_streams, 5), streams)
        playback = streams[("Playback", None)]
        self.assertTrue(wait_for(lambda: self.linked_sink(playback) == DESK, 5))

        # The callee hears the caller's words, through PipeWire alone.
        heard = self.assert_words_intact(DESK, "native call, at the callee", 0.9, 2.0, 0.5)
        for who in (alice, bob):
            self.assertNotIn("libasound_module_pcm_pipewire", who.maps())

        # Every stream of the call is a communication stream at the call's frame.
        nodes, _, params = dump(self.lab)
        own = list(bob.streams(nodes).values()) + list(alice.streams(nodes).values())
        self.assertEqual(len(own), 4, own)
        for i in own:
            self.assertEqual(nodes[i].get("media.role"), "Communication", nodes[i])
            self.assertNotIn("node.dont-reconnect", nodes[i])
        print("native call: node.latency %s"
              % sorted({nodes[i].get("node.latency") for i in own}))

        # The call's volumes are its streams'; the desktop's volume stays as it was.
        volumes = [v for p in params.get(playback, []) for v in p.get("channelVolumes", [])]
        gain = 10 ** (PLAY_VOLUME_DB / 20)
        print("callee's stream volume %s (PlayVolume %d dB = %.3f); desktop %s"
              % (volumes, PLAY_VOLUME_DB, gain, desktop_volume))
        self.assertTrue(volumes and all(abs(v - gain) < 0.01 for v in volumes), volumes)
        capture = next(i for (kind, _), i in alice.streams(nodes).items() if kind == "Capture")
        record_gain = 10 ** (RECORD_VOLUME_DB / 20)
        volumes = [v for p in params.get(capture, []) for v in p.get("channelVolumes", [])]
        print("caller's capture stream volume %s (RecordVolume %d dB = %.3f)"
              % (volumes, RECORD_VOLUME_DB, record_gain))
        self.assertTrue(volumes and all(abs(v - record_gain) < 0.01 for v in volumes),
                        (volumes, alice.log_text()[-2000:]))
        self.assertEqual(self.lab.run(["wpctl", "get-volume", "@DEFAULT_AUDIO_SINK@"]).strip(),
                         desktop_volume)
        # The words were heard once, whole: their energy gives the gain they were recorded and
        # played at.
        heard_gain = float(np.sqrt(np.sum(heard ** 2) / np.sum(self.speech ** 2)))
        print("callee's speaker: the words at gain %.3f" % heard_gain)
        self.assertLess(abs(heard_gain - gain * record_gain), 0.12)

        # A headset plugged in and made the default takes the call's sound at once.
        self.make_node(DESK2, "Audio/Sink")
        began = time.monotonic()
        self.set_default_sink(DESK2)
        self.assertTrue(wait_for(lambda: self.linked_sink(playback) == DESK2, 5, 0.02))
        moved = time.monotonic() - began
        print("default sink changed: the call's playback on it after %.2f s" % moved)
        self.assertLess(moved, 1.0)
        self.assert_words_intact(DESK2, "on the new default", 0.9)

        # The headset goes away: the call goes on, on the default, with a line in the log.
        self.lab.run(["pw-cli", "destroy", str(node_id(dump(self.lab)[0], DESK2))])
        self.assertTrue(wait_for(lambda: "Audio device gone: %s, using the default" % DESK2
                                 in bob.log_text(), 5), bob.log_text()[-1500:])
        self.assertTrue(wait_for(lambda: DESK in self.lab.run(
            ["wpctl", "inspect", "@DEFAULT_AUDIO_SINK@"]), 5))
        self.assertTrue(wait_for(lambda: self.linked_sink(playback) == DESK, 5),
                        self.linked_sink(playback))
        # The move from a sink that vanished may cost a piece or two as it settles.
        self.assert_words_intact(DESK, "headset gone, on the default", 0.8)
        # The stream itself is taken away (its node destroyed): the callee makes it again on
        # the default device.
        self.lab.run(["pw-cli", "destroy", str(playback)])
        self.assertTrue(wait_for(lambda: "Audio device gone: pipewire, using the default"
                                 in bob.log_text(), 5), bob.log_text()[-1500:])
        self.assertTrue(wait_for(lambda: bobs_streams() and streams[("Playback", None)]
                                 != playback, 5))
        streams.clear()
        self.assertTrue(wait_for(bobs_streams, 5), streams)
        playback = streams[("Playback", None)]
        self.assertTrue(wait_for(lambda: self.linked_sink(playback) == DESK, 5))
        self.assert_words_intact(DESK, "stream made again", 0.9)
        volumes = [v for p in dump(self.lab)[2].get(playback, [])
                   for v in p.get("channelVolumes", [])]
        self.assertTrue(volumes and all(abs(v - gain) < 0.01 for v in volumes), volumes)
        self.assertIsNone(bob.process.poll())
        self.assertNotIn("The call was stopped", bob.log_text())
        self.assertIn("Audio: PipeWire's data thread runs at", bob.log_text())
        print([line for line in bob.log_text().splitlines() if "data thread" in line][0])
        alice.stop()
        self.assertTrue(wait_for(lambda: "The call was stopped" in bob.log_text(), 10))

    def test_the_default_device_is_native_unless_turned_off(self):
        env = self.lab.env()  # ALSA default is PipeWire's plugin here
        defaults = {}
        for setting in ("1", "0"):
            env["QUILLET_PIPEWIRE"] = setting
            out = json.loads(subprocess.run([TOOL, "audio", "devices"], env=env,
                                            capture_output=True, text=True, timeout=30).stdout)
            defaults[setting] = out["playback"][0]["pcm"]
            names = {d["name"]: d["pcm"] for d in out["capture"]}
            if setting == "1":
                self.assertEqual(names.get("Quillet Lab Microphone"), "pipewire:" + MICROPHONE)
            else:
                self.assertNotIn("Quillet Lab Microphone", names)
        self.assertEqual(defaults, {"1": "pipewire", "0": "default"})


if __name__ == "__main__":
    unittest.main(verbosity=2)
