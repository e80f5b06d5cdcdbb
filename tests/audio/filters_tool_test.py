#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Measures the program's audio filters from outside through quillet-tool:

- resample: a 1 kHz sine 44100 -> 8000 and 8000 -> 44100 keeps frequency and level; SNR,
  image rejection (upwards) and alias rejection (downwards), next to sox on the same input;
- agc: quiet speech is raised by about 18 dB, loud speech held near +7 dB (peak level);
- echo: a synthetic hands-free recording (far-end speech delayed 40-200 ms and attenuated
  into the microphone, near-end speech at other times): echo down by at least 20 dB once
  adapted, near-end speech within 1 dB;
- denoise: speech over pink noise at -40 dBFS (a fan): the noise in the pauses down by at
  least 15 dB, and at least 95 % of the speech's voiced pieces intact (e2e_support's judge,
  which a short linear filter or a moving gain does not fool); its delay and CPU time are
  printed.

usage: filters_tool_test.py QUILLET_TOOL
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import wave

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from e2e_support import pieces_intact, pink_noise  # noqa: E402

TOOL = sys.argv[1]
FAILURES = []


def check(cond, text):
    print(("ok   " if cond else "FAIL ") + text)
    if not cond:
        FAILURES.append(text)


def write_wav(path, rate, samples):
    data = np.clip(np.round(samples), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(data.tobytes())


def read_wav(path):
    with wave.open(path, "rb") as w:
        assert w.getsampwidth() == 2 and w.getnchannels() == 1, path
        return w.getframerate(), np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(float)


def tool(*args):
    out = subprocess.run([TOOL, "audio", *args], capture_output=True, text=True, timeout=60)
    if out.returncode != 0:
        raise RuntimeError(f"quillet-tool audio {' '.join(args)}: {out.stderr.strip()}")
    return json.loads(out.stdout)


def sox(inp, out, rate):
    subprocess.run(["sox", inp, "-r", str(rate), out], check=True, timeout=60)


def fit(y, f):
    """Least-squares sinusoid (with DC) at f cycles/sample: amplitude and SNR in dB."""
    n = np.arange(len(y))
    m = np.stack([np.cos(2 * np.pi * f * n), np.sin(2 * np.pi * f * n), np.ones(len(y))], 1)
    coef, *_ = np.linalg.lstsq(m, y, rcond=None)
    model = m[:, :2] @ coef[:2]
    resid = y - model - coef[2]
    return np.hypot(coef[0], coef[1]), 10 * np.log10(np.sum(model**2) / max(np.sum(resid**2), 1e-9))


def peak_frequency(y, rate, guess):
    """Frequency of the largest spectral peak near guess, refined by parabolic fit."""
    win = np.hanning(len(y))
    spectrum = np.abs(np.fft.rfft(y * win, 8 * len(y)))
    freqs = np.fft.rfftfreq(8 * len(y), 1 / rate)
    band = (freqs > guess * 0.95) & (freqs < guess * 1.05)
    i = np.argmax(np.where(band, spectrum, 0))
    a, b, c = np.log(spectrum[i - 1 : i + 2] + 1e-12)
    return freqs[i] + 0.5 * (a - c) / (a - 2 * b + c) * (freqs[1] - freqs[0])


def tone_level(y, rate, f):
    n = np.arange(len(y))
    return 2 * abs(np.sum(y * np.exp(-2j * np.pi * f * n / rate))) / len(y)


def measure_resample(work):
    amp = 0.5 * 32767
    rows = []
    for src, dst in ((44100, 8000), (8000, 44100)):
        inp = os.path.join(work, f"sine{src}.wav")
        write_wav(inp, src, amp * np.sin(2 * np.pi * 1000 * np.arange(2 * src) / src))
        for name in ("quillet", "quillet-capture", "sox"):
            out = os.path.join(work, f"{name}{src}to{dst}.wav")
            if name == "sox":
                sox(inp, out, dst)
            else:
                tool("resample", inp, out, str(dst), *(["--capture"] if name.endswith("capture") else []))
            rate, y = read_wav(out)
            seg = y[dst // 4 : dst // 4 + dst]  # a steady second
            f = peak_frequency(seg, rate, 1000)
            a, snr = fit(seg, f / rate)
            row = {"who": name, "from": src, "to": dst, "freq": f, "level_db": 20 * np.log10(a / amp),
                   "snr_db": snr}
            if dst > src:  # images of 1 kHz at 7 and 9 kHz
                row["image_db"] = 20 * np.log10(a / max(tone_level(seg, rate, 7000 * f / 1000),
                                                          tone_level(seg, rate, 9000 * f / 1000)))
            rows.append(row)
    # Downwards: a 5 kHz tone must not fold to 3 kHz.
    inp = os.path.join(work, "alias44100.wav")
    write_wav(inp, 44100, amp * np.sin(2 * np.pi * 5000 * np.arange(2 * 44100) / 44100))
    for name in ("quillet", "quillet-capture", "sox"):
        out = os.path.join(work, f"alias-{name}.wav")
        if name == "sox":
            sox(inp, out, 8000)
        else:
            tool("resample", inp, out, "8000", *(["--capture"] if name.endswith("capture") else []))
        rate, y = read_wav(out)
        seg = y[2000:10000]
        alias = max(tone_level(seg, rate, f) for f in np.arange(2950, 3050, 2.5))
        for row in rows:
            if row["who"] == name and row["to"] == 8000:
                row["alias_db"] = 20 * np.log10(amp / max(alias, 1e-3))
    print(f"{'resampler':16} {'rates':>12} {'freq Hz':>9} {'level dB':>9} {'SNR dB':>7} {'image/alias dB':>15}")
    for r in rows:
        extra = r.get("image_db", r.get("alias_db", float("nan")))
        print(f"{r['who']:16} {r['from']:>5}->{r['to']:<6} {r['freq']:9.2f} {r['level_db']:+9.3f} "
              f"{r['snr_db']:7.1f} {extra:15.1f}")
    for r in rows:
        if r["who"] != "quillet":
            continue
        tag = f"{r['from']}->{r['to']}"
        # The output rate is within 0.001 of the rate ratio (0.23 % for 8000 -> 44100).
        check(abs(r["freq"] - 1000) < 2.5, f"resample {tag} keeps 1 kHz ({r['freq']:.2f} Hz)")
        check(abs(r["level_db"]) < 0.2, f"resample {tag} keeps the level ({r['level_db']:+.3f} dB)")
        check(r["snr_db"] > 50, f"resample {tag} SNR {r['snr_db']:.1f} dB > 50 dB")
        if "image_db" in r:
            check(r["image_db"] > 40, f"resample {tag} images {r['image_db']:.1f} dB down")
        if "alias_db" in r:
            check(r["alias_db"] > 50, f"resample {tag} alias of 5 kHz {r['alias_db']:.1f} dB down")


def speech(work, text, voice, name):
    """espeak-ng speech resampled to 8000 Hz by sox, as floats."""
    raw = os.path.join(work, name + "-22k.wav")
    out = os.path.join(work, name + ".wav")
    subprocess.run(["espeak-ng", "-v", voice, "-w", raw, text], check=True, timeout=60,
                   capture_output=True)
    subprocess.run(["sox", raw, "-r", "8000", "-c", "1", "-b", "16", out], check=True, timeout=60)
    return read_wav(out)[1]


def peak_db(y):
    # The program's peak level: 0 dB is a quarter of full scale.
    return 20 * np.log10(max(np.max(np.abs(y)), 1) / 8192)


def block_levels(y, block=160):
    """Peak level (dB, 0 dB = a quarter of full scale) of each 20 ms block."""
    n = len(y) // block
    peaks = np.max(np.abs(y[: n * block].reshape(n, block)), axis=1)
    return 20 * np.log10(np.maximum(peaks, 1) / 8192)


def measure_agc(work, voice):
    voice = voice / np.max(np.abs(voice))
    for in_db in (-34, 9):
        x = np.tile(voice, 4) * 8192 * 10 ** (in_db / 20)  # peak level in_db
        inp = os.path.join(work, f"agc-in{in_db}.wav")
        out = os.path.join(work, f"agc-out{in_db}.wav")
        write_wav(inp, 8000, x)
        result = tool("agc", inp, out)
        _, y = read_wav(out)
        half = len(y) // 2  # after the gain has settled
        lin = block_levels(x[half:])
        lout = block_levels(y[half:])
        if in_db < 0:
            gain = peak_db(y[half:]) - peak_db(x[half:])
            print(f"agc: quiet speech at {in_db} dB peak raised by {gain:.1f} dB "
                  f"(final gain {result['final_gain_db']:.1f} dB)")
            check(abs(gain - 18) <= 2, f"agc raises quiet speech by about 18 dB ({gain:.1f})")
        else:
            # The gain follows each 20 ms block's peak: what the loud blocks come out at.
            loud = lout[lin >= 3]
            med = float(np.median(loud))
            print(f"agc: loud speech at {in_db} dB peak: blocks above +3 dB come out at a median "
                  f"of {med:.1f} dB (90 % below {np.percentile(loud, 90):.1f} dB, overall peak "
                  f"{peak_db(y[half:]):.1f} dB)")
            check(abs(med - 7) <= 1.5, f"agc holds loud speech near +7 dB ({med:.1f})")


def measure_echo(work, far_voice, near_voice):
    rate = 8000
    n = 30 * rate
    far = np.zeros(n)
    near = np.zeros(n)
    far_spans = [(0.0, 7.0), (11.0, 17.0), (22.0, 29.0)]
    near_spans = [(7.6, 10.4), (17.6, 21.4)]
    fv = far_voice / np.max(np.abs(far_voice)) * 0.7 * 32767
    nv = near_voice / np.max(np.abs(near_voice)) * 0.4 * 32767
    for a, b in far_spans:
        seg = np.tile(fv, 10)[: int((b - a) * rate)]
        far[int(a * rate) : int(a * rate) + len(seg)] = seg
    for a, b in near_spans:
        seg = np.tile(nv, 10)[: int((b - a) * rate)]
        near[int(a * rate) : int(a * rate) + len(seg)] = seg
    results = []
    for delay_ms, gain_db in ((40, -6), (120, -10), (200, -16)):
        d = delay_ms * rate // 1000
        echo = np.zeros(n)
        echo[d:] = far[:-d] * 10 ** (gain_db / 20)
        echo[d + 24 :] += far[: -d - 24] * 10 ** ((gain_db - 8) / 20)  # a reflection
        rng = np.random.default_rng(1)
        mic = echo + near + rng.normal(0, 3, n)
        mic_path = os.path.join(work, f"mic{delay_ms}.wav")
        far_path = os.path.join(work, f"far{delay_ms}.wav")
        out_path = os.path.join(work, f"out{delay_ms}.wav")
        write_wav(mic_path, rate, mic)
        write_wav(far_path, rate, far)
        learned = tool("echo", mic_path, far_path, out_path)
        _, y = read_wav(out_path)
        mic_q = read_wav(mic_path)[1]

        def energy(x, a, b):
            s = x[int(a * rate) : int(b * rate)]
            return 10 * np.log10(np.mean(s**2) + 1e-9)

        # Adapted: every far span after the first, to its echo's end.
        att = min(energy(mic_q, a, b + 0.25) - energy(y, a, b + 0.25) for a, b in far_spans[1:])
        nea = max(abs(energy(y, a, b) - energy(mic_q, a, b)) for a, b in near_spans)
        print(f"echo: delay {delay_ms} ms, echo {gain_db} dB: echo attenuated by >= {att:.1f} dB, "
              f"near-end speech within {nea:.2f} dB; learned {learned['echo']}")
        check(att >= 20, f"echo {delay_ms} ms attenuated by at least 20 dB ({att:.1f})")
        check(nea <= 1.0, f"near-end speech within 1 dB with echo delay {delay_ms} ms ({nea:.2f})")
        results.append(att)


def measure_denoise(work, first, second):
    rate = 8000
    n = 16 * rate
    clean = np.zeros(n)
    spans = []
    for at, voice in ((2.5, first), (9.5, second)):
        v = voice / np.max(np.abs(voice)) * 0.4 * 32767
        a = int(at * rate)
        clean[a:a + len(v)] = v[: n - a]
        spans.append((a, min(n, a + len(v))))
    noise = pink_noise(n, 32767 * 10 ** (-40 / 20))
    inp = os.path.join(work, "noisy.wav")
    out = os.path.join(work, "denoised.wav")
    write_wav(inp, rate, clean + noise)
    result = tool("denoise", inp, out)
    x = read_wav(inp)[1]
    _, y = read_wav(out)
    # The pauses once the suppressor has learned the noise (it starts from none: 2 s in)
    # and clear of the words by 100 ms.
    pause = np.ones(n, bool)
    pause[:2 * rate] = False
    for a, b in spans:
        pause[max(0, a - rate // 10):b + rate // 10] = False
    reduction = 10 * np.log10(np.mean(x[pause] ** 2) / max(np.mean(y[pause] ** 2), 1e-9))
    # How long it takes to learn the noise: the first quarter second taken down by 15 dB.
    q = rate // 4
    power = [(np.mean(x[i:i + q] ** 2), np.mean(y[i:i + q] ** 2)) for i in range(0, spans[0][0], q)]
    learned_s = next((i * q / rate for i, (a, b) in enumerate(power) if a >= 10 ** 1.5 * b), None)
    # The delay: where the output lines up best with the noisy input.
    lags = range(0, 2 * 160 + 1)
    corr = [np.dot(x[: n - 400], y[lag: lag + n - 400]) for lag in lags]
    delay_ms = 1000.0 * lags[int(np.argmax(corr))] / rate
    # The words are looked for from half a second before the first one (find_words).
    kept, voiced = pieces_intact(clean[2 * rate:], y[2 * rate:])
    noisy_kept, _ = pieces_intact(clean[2 * rate:], x[2 * rate:])
    share = kept / max(voiced, 1)
    print(f"denoise: pink noise at -40 dBFS reduced by {reduction:.1f} dB in the pauses (by 15 dB "
          f"from {learned_s} s on); speech "
          f"pieces intact {kept}/{voiced} ({100 * share:.0f} %; {noisy_kept}/{voiced} in the noisy "
          f"input); delay {delay_ms:.1f} ms; CPU {result['cpu_ms_per_second']:.2f} ms per second "
          f"of audio")
    check(reduction >= 15, f"denoise takes the noise down by at least 15 dB ({reduction:.1f})")
    check(voiced >= 20 and share >= 0.95,
          f"denoise keeps at least 95 % of the speech intact ({kept}/{voiced})")
    check(result["cpu_ms_per_second"] < 500, "denoise runs well faster than real time")
    wide = os.path.join(work, "wide.wav")
    write_wav(wide, 16000, np.zeros(1600))
    check(subprocess.run([TOOL, "audio", "denoise", wide, out], capture_output=True).returncode == 1,
          "denoise of a 16000 Hz file is rejected")


def main():
    work = tempfile.mkdtemp(prefix="quillet-filters-")
    try:
        measure_resample(work)
        if shutil.which("espeak-ng"):
            far = speech(work, "The quick brown fox jumps over the lazy dog. Pack my box with "
                         "five dozen liquor jugs.", "en", "far")
            near = speech(work, "Hello, this is the door station. Please come downstairs, the "
                          "parcel has arrived.", "en+f3", "near")
            measure_agc(work, far)
            measure_echo(work, far, near)
            measure_denoise(work, far, near)
        else:
            check(False, "espeak-ng is missing (deps/test-audio.txt)")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    # Bad usage and bad input.
    check(subprocess.run([TOOL, "audio", "resample"], capture_output=True).returncode == 2,
          "resample without arguments is bad usage")
    check(subprocess.run([TOOL, "audio", "agc", "/nonexistent.wav", "/tmp/x.wav"],
                         capture_output=True).returncode == 1, "agc of a missing file is rejected")
    if FAILURES:
        print(f"{len(FAILURES)} failure(s)")
        sys.exit(1)


if __name__ == "__main__":
    main()
