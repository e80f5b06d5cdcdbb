#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""A private PipeWire desktop for audio tests: a session bus, pipewire and wireplumber under
their own XDG_RUNTIME_DIR and XDG_CONFIG_HOME, with a null sink as the speaker and a
loopback from the speaker's monitor to a virtual source as the microphone (an acoustic echo
path of 0 samples). Processes started in `env()` see it as ALSA `default`.

    with PipeWireLab(folder) as lab:
        lab.set_quantum(256)
        subprocess.run([...], env=lab.env())
        lab.play_into_room("voice.wav")   # someone talking in the room

Run on its own, it starts the lab and runs a command in it:
    pipewire_lab.py [--quantum N] -- COMMAND ARGS...
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sip"))
from sipharness import end_process  # noqa: E402

SPEAKER = "quillet-lab-speaker"
MICROPHONE = "quillet-lab-microphone"

LAB_CONF = """# The lab's speaker and the room that carries it back into the microphone.
context.objects = [
  { factory = adapter
    args = {
      factory.name = support.null-audio-sink
      node.name = "%(speaker)s"
      node.description = "Quillet Lab Speaker"
      media.class = Audio/Sink
      audio.position = [ MONO ]
      object.linger = true
    }
  }
]
context.modules = [
  { name = libpipewire-module-loopback
    args = {
      node.description = "Quillet Lab Room"
      capture.props = {
        node.name = "quillet-lab-room"
        target.object = "%(speaker)s"
        stream.capture.sink = true
        audio.position = [ MONO ]
        node.dont-reconnect = true
      }
      playback.props = {
        node.name = "%(microphone)s"
        node.description = "Quillet Lab Microphone"
        media.class = Audio/Source
        audio.position = [ MONO ]
      }
    }
  }
]
""" % {"speaker": SPEAKER, "microphone": MICROPHONE}

ALSA_CONF = """# ALSA default is the lab's PipeWire.
pcm.!default { type pipewire playback_node "-1" capture_node "-1" }
ctl.!default { type pipewire }
"""


class PipeWireLab:
    def __init__(self, folder=None, quantum=None):
        self.own_folder = folder is None
        self.folder = folder or tempfile.mkdtemp(prefix="quillet-pw-")
        self.quantum = quantum
        self.runtime = os.path.join(self.folder, "runtime")
        self.config = os.path.join(self.folder, "config")
        self.processes = {}

    def env(self, base=None):
        env = dict(base if base is not None else os.environ)
        env.update({
            "XDG_RUNTIME_DIR": self.runtime,
            "XDG_CONFIG_HOME": self.config,
            # What the session manager remembers (stream volumes, default devices) stays
            # with the lab, away from the user's desktop and from other labs.
            "XDG_STATE_HOME": os.path.join(self.folder, "state"),
            "DBUS_SESSION_BUS_ADDRESS": "unix:path=%s/bus" % self.runtime,
            "ALSA_CONFIG_PATH": "/usr/share/alsa/alsa.conf:%s/alsa.conf" % self.folder,
            "PIPEWIRE_LOG_SYSTEMD": "false",
        })
        env.pop("PIPEWIRE_REMOTE", None)
        return env

    def _spawn(self, name, args):
        log = open(os.path.join(self.folder, name + ".log"), "wb")
        self.processes[name] = (subprocess.Popen(args, env=self.env(), stdout=log,
                                                 stderr=subprocess.STDOUT), log)

    def start(self):
        os.makedirs(self.runtime, mode=0o700, exist_ok=True)
        os.chmod(self.runtime, 0o700)
        drop_in = os.path.join(self.config, "pipewire", "pipewire.conf.d")
        os.makedirs(drop_in, exist_ok=True)
        with open(os.path.join(drop_in, "quillet-lab.conf"), "w") as f:
            f.write(LAB_CONF)
        with open(os.path.join(self.folder, "alsa.conf"), "w") as f:
            f.write(ALSA_CONF)
        self._spawn("dbus", ["dbus-daemon", "--session", "--nofork", "--nopidfile",
                             "--address=unix:path=%s/bus" % self.runtime])
        self._wait(lambda: os.path.exists(os.path.join(self.runtime, "bus")), "session bus")
        self.start_pipewire()
        if self.quantum:
            self.set_quantum(self.quantum)
        return self

    def start_pipewire(self):
        self._spawn("pipewire", ["pipewire"])
        self._wait(lambda: os.path.exists(os.path.join(self.runtime, "pipewire-0")), "pipewire")
        self._spawn("wireplumber", ["wireplumber"])
        self._wait(self._defaults_ready, "the lab's default devices")

    def _defaults_ready(self):
        status = self.run(["wpctl", "inspect", "@DEFAULT_AUDIO_SINK@"])
        source = self.run(["wpctl", "inspect", "@DEFAULT_AUDIO_SOURCE@"])
        return SPEAKER in status and MICROPHONE in source

    def run(self, args, timeout=10):
        try:
            return subprocess.run(args, env=self.env(), capture_output=True, text=True,
                                  timeout=timeout).stdout
        except (subprocess.TimeoutExpired, OSError):
            return ""

    def _wait(self, ready, what, timeout=15):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if ready():
                return
            time.sleep(0.1)
        raise RuntimeError("PipeWire lab: %s did not come up (logs in %s)" % (what, self.folder))

    def set_quantum(self, frames):
        """Forces the graph quantum (0: back to the automatic one)."""
        self.run(["pw-metadata", "-n", "settings", "0", "clock.force-quantum", str(frames)])

    def play_into_room(self, wav):
        """Someone talking in the room: the file goes into the speaker, and so the microphone."""
        return subprocess.Popen(["pw-play", "--target", SPEAKER, wav], env=self.env(),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def record_speaker(self, wav, seconds):
        """Records what the speaker plays (its monitor) for `seconds`."""
        p = subprocess.Popen(["pw-record", "--target", SPEAKER, "-P",
                              "{ stream.capture.sink = true }", "--rate", "8000",
                              "--channels", "1", wav], env=self.env(),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return p

    def _end(self, name):
        entry = self.processes.pop(name, None)
        if entry is None:
            return
        process, log = entry
        end_process(process)
        log.close()

    def stop_pipewire(self):
        """The sound server goes away (as when it crashes or the user stops it)."""
        self._end("wireplumber")
        self._end("pipewire")

    def stop(self):
        for name in ("wireplumber", "pipewire", "dbus"):
            self._end(name)
        if self.own_folder:
            shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quantum", type=int, default=0)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    with PipeWireLab(quantum=args.quantum) as lab:
        return subprocess.call(command or ["wpctl", "status"], env=lab.env())


if __name__ == "__main__":
    sys.exit(main())
