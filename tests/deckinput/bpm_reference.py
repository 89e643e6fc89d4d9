#!/usr/bin/python3
"""An independent float32 model of the tempo analyser, written from the algorithm's description.

Usage: bpm_reference.py SAMPLES.f32 RATE
Reads raw little-endian float32 mono samples and prints "BPM CONFIDENCE" or the error case.
"""
import sys

import numpy as np

FRAME, HOP = 2048, 512
BINS = FRAME // 2
f32 = np.float32


def analyse(samples, rate):
    rate = f32(rate)
    if not (rate > 0 and np.isfinite(rate)):
        return "invalidSampleRate"
    if len(samples) <= 4096:
        return "insufficientData"

    # Magnitude spectra; the packed real FFT scales by 2 and puts Nyquist beside DC in bin 0.
    frames = (len(samples) - FRAME) // HOP
    k = np.arange(FRAME)
    window = (0.54 - 0.46 * np.cos(2 * np.pi * k / FRAME)).astype(f32)
    starts = np.arange(frames)[:, None] * HOP
    windowed = samples[starts + k[None, :]] * window
    spectrum = np.fft.rfft(windowed.astype(np.float64), axis=1) * 2
    magnitudes = np.abs(spectrum[:, :BINS]).astype(f32)
    magnitudes[:, 0] = np.hypot(spectrum[:, 0].real, spectrum[:, BINS].real).astype(f32)

    # Positive spectral flux, normalised to its maximum.
    rises = magnitudes[1:] - magnitudes[:-1]
    flux = np.where(rises < 0, f32(0), rises).sum(axis=1, dtype=np.float64).astype(f32)
    if not np.all(np.isfinite(flux)):
        return "analysisFailure"
    top = flux.max()
    if not top > 0:
        return "noOnsetDetected"
    onset = flux * (f32(1) / top)

    # Autocorrelation over the beat periods of 200 to 60 BPM.
    frame_time = f32(HOP) / rate
    min_lag = int(f32(60) / f32(200) / frame_time)
    max_lag = int(f32(60) / f32(60) / frame_time)
    n = len(onset)
    if not (min_lag >= 1 and max_lag > min_lag and n > max_lag):
        return "analysisFailure"
    o = onset.astype(np.float64)
    ac = np.array([np.dot(o[: n - lag], o[lag:]) / (n - lag) for lag in range(min_lag, max_lag + 1)]).astype(f32)
    best = int(np.argmax(ac))  # the first of equal maxima: the shortest lag
    peak = ac[best]
    mean = f32(ac.astype(np.float64).mean())
    tempo = f32(60) / (frame_time * f32(min_lag + best))
    confidence = f32(0)
    if mean > 0:
        ratio = (peak - mean) / mean
        confidence = min(ratio, f32(1)) if ratio >= 0 else f32(0)

    while tempo < 90:
        tempo = tempo + tempo
    while tempo >= 180:
        tempo = tempo * f32(0.5)
    return f"{int(np.floor(tempo + f32(0.5)))} {float(confidence):.7f}"


def main():
    samples = np.fromfile(sys.argv[1], dtype="<f4")
    print(analyse(samples, float(sys.argv[2])))


if __name__ == "__main__":
    main()
