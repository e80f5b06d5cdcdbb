# SPDX-License-Identifier: Apache-2.0
"""Helpers of the media interop tests: WAV reading, alignment and signal-to-noise."""
import wave

import numpy as np


def read_wav(path):
    with wave.open(path, "rb") as w:
        assert w.getsampwidth() == 2, path
        data = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.float64)
        if w.getnchannels() > 1:
            data = data.reshape(-1, w.getnchannels()).mean(axis=1)
        return data, w.getframerate()


def write_wav(path, samples, rate=8000):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.clip(samples, -32768, 32767).astype("<i2").tobytes())


def best_lag(reference, received):
    """Lag (in samples) at which `reference` best matches inside `received`."""
    n = 1
    while n < len(reference) + len(received):
        n *= 2
    spectrum = np.fft.rfft(received, n) * np.conj(np.fft.rfft(reference, n))
    correlation = np.fft.irfft(spectrum, n)
    lag = int(np.argmax(correlation[: len(received)]))
    return lag


def aligned_snr(reference, received):
    """Signal-to-noise in dB of `received` against `reference` after alignment."""
    lag = best_lag(reference, received)
    part = received[lag : lag + len(reference)]
    ref = reference[: len(part)]
    noise = np.sum((ref - part) ** 2)
    signal = np.sum(ref**2)
    if noise == 0:
        return 99.0, lag
    return 10 * np.log10(signal / noise), lag



def voiced_pieces(reference, received, piece=4000):
    """Each voiced half second of `reference` with the received audio lined up to it on its
    own, near where the previous piece was found (None where nothing is left to match): a
    receiver's playout may shorten a pause or stretch a little audio to follow the jitter,
    which moves what comes after."""
    position = None
    for start in range(0, len(reference) - piece + 1, piece):
        ref = reference[start : start + piece]
        if np.sqrt(np.mean(ref**2)) < 300:
            continue
        low = 0 if position is None else max(0, position - 1200)
        high = len(received) if position is None else min(len(received), position + piece + 1200)
        window = received[low:high]
        lag = best_lag(ref, window) if len(window) >= piece else 0
        part = window[lag : lag + piece]
        if len(part) < piece:
            yield ref, None
            continue
        position = low + lag + piece
        yield ref, part


def piece_snrs(reference, received):
    """Signal-to-noise in dB of each voiced piece (see voiced_pieces)."""
    found = []
    for ref, part in voiced_pieces(reference, received):
        if part is None:
            found.append(-99.0)
            continue
        noise = np.sum((ref - part) ** 2)
        found.append(99.0 if noise == 0 else float(10 * np.log10(np.sum(ref**2) / noise)))
    return found


def piece_correlations(reference, received):
    """The correlation of each voiced piece (see voiced_pieces) with what was received."""
    return [0.0 if part is None else float(np.corrcoef(ref, part)[0, 1])
            for ref, part in voiced_pieces(reference, received)]
