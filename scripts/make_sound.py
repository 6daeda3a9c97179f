#!/usr/bin/env python3
"""Writes resources/msg.wav, the success sound: a short rising two-tone chime.

Synthesised here so the project ships a sound of its own making. The output is the same on
every run (no randomness), so the file in the repository can be checked by running this again.

Usage: scripts/make_sound.py [OUTPUT]   (default: resources/msg.wav beside this script's repo)
"""
import math
import pathlib
import struct
import sys
import wave

RATE = 22050  # samples per second; plenty for a chime, and a small file
PEAK = 0.6    # of full scale, so the two notes together never clip

# (start s, frequency Hz, length s): G5, then C6 ringing out.
NOTES = [(0.00, 783.99, 0.30), (0.16, 1046.50, 0.45)]
LENGTH = 0.62


def note_sample(t, frequency, length):
    """A struck bell-like tone: quick attack, exponential decay, a quiet octave above."""
    if t < 0 or t >= length:
        return 0.0
    attack = min(1.0, t / 0.005)
    decay = math.exp(-6.0 * t / length)
    tone = math.sin(2 * math.pi * frequency * t) + 0.25 * math.sin(4 * math.pi * frequency * t)
    return attack * decay * tone / 1.25


def main():
    root = pathlib.Path(__file__).resolve().parent.parent
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else root / "resources" / "msg.wav"
    frames = bytearray()
    count = int(LENGTH * RATE)
    for i in range(count):
        t = i / RATE
        value = sum(note_sample(t - start, f, n) for start, f, n in NOTES)
        fade = min(1.0, (count - i) / (0.01 * RATE))  # no click at the end
        frames += struct.pack("<h", int(round(PEAK * fade * value * 32767)))
    with wave.open(str(out), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(bytes(frames))
    print(f"{out}: {count} samples, {LENGTH:.2f} s")


if __name__ == "__main__":
    main()
