#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The engine calling baresip on loopback by address, with audio both ways checked in the
recorded WAV files (a 440 Hz tone from the engine, a 1000 Hz tone from baresip), and the engine's two lines joining two baresips (attended transfer).
baresip calling quillet is peers_e2e's.
Usage: sip_baresip.py PATH/TO/sip_peer [name-filter]"""

import os
import re
import subprocess
import sys
import time
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sipharness as h  # noqa: E402

PEER = os.path.abspath(sys.argv[1])
ONLY = sys.argv[2] if len(sys.argv) > 2 else ""
run = h.TestRun(ONLY, row="baresip")
scenario = run.scenario


def tone(path, freq, seconds=10):
    subprocess.run(["sox", "-n", "-r", "8000", "-c", "1", "-b", "16", path, "synth",
                    str(seconds), "sine", str(freq), "vol", "0.5"], check=True)


def dominant(path, skip=0.5):
    """(dominant frequency in Hz, RMS) of a 16-bit WAV, leaving out the first `skip` s and
    the silent parts."""
    import numpy as np
    with wave.open(path, "rb") as w:
        rate = w.getframerate()
        channels = w.getnchannels()
        data = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(float)
    if channels > 1:
        data = data.reshape(-1, channels)[:, 0]
    data = data[int(skip * rate):]
    if len(data) < rate // 4:
        return 0.0, 0.0
    frames = data[: len(data) // 160 * 160].reshape(-1, 160)
    loud = frames[np.sqrt((frames ** 2).mean(axis=1)) > 300]
    if len(loud) < 25:  # under half a second of sound
        return 0.0, 0.0
    sound = loud.reshape(-1)
    spectrum = np.abs(np.fft.rfft(sound * np.hanning(len(sound))))
    freqs = np.fft.rfftfreq(len(sound), 1.0 / rate)
    return float(freqs[int(np.argmax(spectrum))]), float(np.sqrt((sound ** 2).mean()))


def recorded(folder, suffix):
    files = [os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(suffix)]
    return max(files, key=os.path.getsize) if files else None


def audio_checks(name, engine_wav, baresip_dir, peer):
    got_engine = dominant(engine_wav) if os.path.exists(engine_wav) else (0, 0)
    bare = recorded(baresip_dir, "-dec.wav")
    got_bare = dominant(bare) if bare else (0, 0)
    run.check(name + ": the engine hears baresip's 1000 Hz",
              abs(got_engine[0] - 1000) < 20, "engine heard %s\n%s" % (got_engine, peer.output()))
    run.check(name + ": baresip hears the engine's 440 Hz",
              abs(got_bare[0] - 440) < 20, "baresip heard %s (%s)" % (got_bare, bare))


@scenario
def engine_calls_baresip(d):
    tone(os.path.join(d, "a440.wav"), 440)
    tone(os.path.join(d, "b1k.wav"), 1000)
    bport = h.free_udp_port()
    engine_wav = os.path.join(d, "engine-heard.wav")
    trace = os.path.join(d, "trace")
    with h.Baresip(d, "bob", bport, ["<sip:bob@127.0.0.1:%d>;regint=0;answermode=auto" % bport],
                   play_wav=os.path.join(d, "b1k.wav")) as b, \
            h.Peer(PEER, d, "a", "alice", args=["--play", os.path.join(d, "a440.wav"),
                                               "--record", engine_wav, "--trace", trace,
                                               "--trace-audio"]) as peer:
        peer.send("dial bob@127.0.0.1:%d" % bport)
        connected = peer.wait_for("EVENT connected", 10)
        time.sleep(1)
        peer.send("dtmf 159")
        dtmf_sent = peer.wait_for("EVENT dtmfsent", 5)
        b.wait_event(lambda e: False, 2)  # collects baresip's events meanwhile
        digits = "".join(str(e.get("param", "")) for e in b.events
                         if e.get("type") == "CALL_DTMF_START")
        run.check("digits sent into the call reach baresip and DtmfSent is raised once",
                  dtmf_sent is not None and digits == "159" and
                  sum(1 for l in peer.lines if l == "EVENT dtmfsent") == 1,
                  "sent=%s digits=%r events=%s\n%s" % (dtmf_sent is not None, digits, [e.get("type") for e in b.events],
                                              peer.output()))
        peer.send("hangup")
        ended = peer.wait_for("EVENT ended", 5)
        closed = b.wait_call_event("CALL_CLOSED", 5)
        run.check("engine calls baresip by address; hang-up closes baresip's call",
                  None not in (connected, ended, closed), peer.output() + b.output())
        b.stop()
        audio_checks("engine to baresip", engine_wav, b.dir, peer)
        import glob
        text = "".join(open(p, errors="replace", newline="").read()
                       for p in glob.glob(os.path.join(trace, "*SipTrace.txt")))
        sent = re.findall(r"\d\d:\d\d:\d\d \d+ms Rtp >>> [0-9.]+:\d+ (?:Mark|    ) \d+ "
                          r"seq=\d+ ts=-?\d+ ssrc=-?\d+ 160 bytes\r\n", text)
        got = re.findall(r"\d+ms Rtp <<< [0-9.]+:\d+ (?:Mark|    ) \d+ seq=\d+ ts=-?\d+ "
                         r"ssrc=-?\d+ 160 bytes\r\n", text)
        run.check("with the audio option the trace has one line per RTP packet each way",
                  len(sent) > 50 and len(got) > 50 and h.trace_is_well_framed(trace),
                  "sent=%d received=%d, as traced: %s" % (
                      len(sent), len(got), re.findall(r"[^\r\n]* Rtp [<>]{3} [^\r\n]*", text)[:4]))


def attended_transfer(d, line2_user, how):
    """The engine's two lines call carol and dave (both baresip, answering by themselves)
    and join the calls: carol and dave must end up talking to each other (440 Hz from
    carol, 1000 Hz from dave) and both of the engine's calls end. baresip 1.0 does not
    take the Replaces of an INVITE: dave answers carol as a new call, and the engine's BYE
    ends the call it replaces."""
    tone(os.path.join(d, "c440.wav"), 440, 14)
    tone(os.path.join(d, "d1k.wav"), 1000, 14)
    phones = {}
    for name, wav in (("carol", "c440.wav"), ("dave", "d1k.wav")):
        port = h.free_udp_port()
        phones[name] = h.Baresip(d, name, port, [
            "<sip:%s@127.0.0.1:%d>;regint=0;answermode=auto" % (name, port)],
            play_wav=os.path.join(d, wav))
    carol, dave = phones["carol"], phones["dave"]
    peer = h.Peer(PEER, d, "a", "alice", args=["--line2", line2_user])
    what = "attended transfer (%s) between two baresips" % how
    try:
        peer.send("dial carol@127.0.0.1:%d" % carol.sip_port)
        peer.send("line2 dial dave@127.0.0.1:%d" % dave.sip_port)
        # The two lines report in any order: each wait looks at every line seen so far.
        connected = (peer.wait_for("EVENT connected", 10, from_start=True),
                     peer.wait_for("EVENT2 connected", 10, from_start=True))
        peer.send("join")
        ended = (peer.wait_for("EVENT ended", 20, from_start=True),
                 peer.wait_for("EVENT2 ended", 20, from_start=True))
        time.sleep(3)
        run.check(what + ": both of the engine's calls end", None not in connected + ended,
                  peer.output() + carol.output() + dave.output(), row="transfer-baresip")
        carol.stop()
        dave.stop()
        for listener, freq, speaker in ((carol, 1000, "dave"), (dave, 440, "carol")):
            files = sorted(f for f in os.listdir(listener.dir) if f.endswith("-dec.wav"))
            got = dominant(os.path.join(listener.dir, files[-1])) if files else (0, 0)
            run.check("%s: %s hears %s (%d Hz) in its last call" % (what, listener.name, speaker,
                                                                     freq),
                      abs(got[0] - freq) < 20, "heard %s in %s\n%s" % (got, files, peer.output()),
                      row="transfer-baresip")
    finally:
        peer.stop()
        carol.stop()
        dave.stop()


@scenario
def attended_transfer_same_line(d):
    attended_transfer(d, "alice", "REFER with Replaces")


@scenario
def attended_transfer_two_lines(d):
    attended_transfer(d, "bob", "re-INVITE bridge")


sys.exit(run.finish())
