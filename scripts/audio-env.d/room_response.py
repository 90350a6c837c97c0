#!/usr/bin/env python3
"""Writes the room's impulse response: a direct path at t = 0 and a diffuse tail of noise that
decays by 60 dB over 250 ms, its energy half the direct path's; the whole response has unit
energy (the convolver's gain sets the echo level). Mono 16-bit 48 kHz; a fixed seed, so every
room is the same.
    room_response.py OUT.wav"""
import array
import math
import random
import sys
import wave

RATE = 48000
TAIL_S = 0.25
ONSET_S = 0.002  # first reflections 2 ms after the direct path

rng = random.Random(20240611)
n = int(RATE * TAIL_S)
h = [0.0] * n
for i in range(int(RATE * ONSET_S), n):
    h[i] = rng.gauss(0.0, 1.0) * 10 ** (-3.0 * i / n)  # -60 dB at the end
tail = sum(v * v for v in h)
h = [v * math.sqrt(0.5 / tail) for v in h]  # tail energy 0.5
h[0] = 1.0
scale = 1 / math.sqrt(sum(v * v for v in h))
samples = array.array("h", (max(-32767, min(32767, round(v * scale * 32767))) for v in h))
if sys.byteorder != "little":
    samples.byteswap()
with wave.open(sys.argv[1], "wb") as out:
    out.setnchannels(1)
    out.setsampwidth(2)
    out.setframerate(RATE)
    out.writeframes(samples.tobytes())
