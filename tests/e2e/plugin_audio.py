#!/usr/bin/env python3
"""Audio files and checks for the relays through plug-ins the slave hosts.

  plugin_audio.py signal OUT CHANNELS FRAMES RATE   a 32-bit float WAV test signal: a
                                                   different tone and noise per channel
  plugin_audio.py split IN PREFIX                  each channel of IN as PREFIX-N.wav
                                                   (mono, 32-bit float), N from 1
  plugin_audio.py same OUT REFS TOL                every sample of OUT equals the REFS'
                                                   (one mono file per channel, joined by
                                                   commas) within TOL
  plugin_audio.py note OUT RATE ON OFF HZ CENTS    a note from frame ON to frame OFF:
                                                   silence before ON, the first sound at
                                                   ON (the event's frame), signal after it,
                                                   silence in the last half second, and
                                                   the strongest frequency near HZ within
                                                   CENTS of it

Exits 1 when a check fails, saying why.
"""
import math
import os
import random
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import wavfile  # noqa: E402


def write(path, rate, channels):
    """A 32-bit float WAV file of the given channels (lists of floats)."""
    frames = len(channels[0])
    count = len(channels)
    data = struct.pack("<%df" % (frames * count), *[channels[c][i] for i in range(frames) for c in range(count)])
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt ")
        f.write(struct.pack("<IHHIIHH", 16, 3, count, rate, rate * 4 * count, 4 * count, 32))
        f.write(b"data" + struct.pack("<I", len(data)) + data)


def signal(path, channels, frames, rate):
    noise = random.Random(7)
    out = []
    for c in range(channels):
        hz = 220.0 * (c + 1) + 17.0
        out.append([0.5 * math.sin(2 * math.pi * hz * i / rate) + 0.2 * (noise.random() - 0.5)
                    for i in range(frames)])
    write(path, rate, out)
    return 0


def split(path, prefix):
    _, _, channels = wavfile.read(path)
    rate = struct.unpack("<I", open(path, "rb").read()[24:28])[0]
    for c, samples in enumerate(channels):
        write("%s-%d.wav" % (prefix, c + 1), rate, [samples])
    return 0


def same(out_path, refs, tol):
    _, _, out = wavfile.read(out_path)
    refs = refs.split(",")
    if len(out) != len(refs):
        print("%s has %d channels, the reference %d" % (out_path, len(out), len(refs)))
        return 1
    worst = 0.0
    for c, ref_path in enumerate(refs):
        _, _, ref = wavfile.read(ref_path)
        if len(ref[0]) != len(out[c]):
            print("channel %d: %d frames, the reference %d" % (c + 1, len(out[c]), len(ref[0])))
            return 1
        for i, (a, b) in enumerate(zip(out[c], ref[0])):
            error = abs(a - b)
            if error > tol:
                print("channel %d, frame %d: %.9g, the reference %.9g (error %.3g over %.3g)" % (c + 1, i, a, b,
                                                                                             error, tol))
                return 1
            worst = max(worst, error)
    print("every sample of %d channels within %.3g of the reference (largest error %.3g)" % (len(out), tol, worst))
    return 0


def strength(samples, hz, rate):
    """The magnitude of one frequency in Hann-windowed samples."""
    re = im = 0.0
    n = len(samples)
    step = 2 * math.pi * hz / rate
    for i, x in enumerate(samples):
        w = 0.5 - 0.5 * math.cos(2 * math.pi * i / (n - 1))
        re += w * x * math.cos(step * i)
        im -= w * x * math.sin(step * i)
    return math.hypot(re, im)


def peak(samples):
    return max((abs(x) for x in samples), default=0.0)


def note(out_path, rate, on, off, hz, cents):
    _, _, channels = wavfile.read(out_path)
    left = channels[0]
    frames = len(left)
    failures = []
    before = max(peak(ch[:on]) for ch in channels)
    during = max(peak(ch[on:off]) for ch in channels)
    after = max(peak(ch[frames - rate // 2:]) for ch in channels)
    print("peak before the note %.3g, during it %.3g, in the last half second %.3g" % (before, during, after))
    first = min((next((i for i, x in enumerate(ch) if x != 0.0), frames) for ch in channels), default=frames)
    print("first sound at frame %d, the note-on at %d" % (first, on))
    if before != 0.0:
        failures.append("the output is not silent before the note-on")
    elif first != on:
        failures.append("the note starts at frame %d, not at the note-on's %d" % (first, on))
    if during < 0.05:
        failures.append("the note is not heard")
    if after > 1e-4:
        failures.append("the output is not silent after the release")
    # A quarter second from 50 ms into the note; the strongest frequency within
    # a semitone, found on a 1 Hz grid and then on a 0.01 Hz one.
    start = on + rate // 20
    window = left[start:start + rate // 4]
    low, high = hz * 2 ** (-1 / 12), hz * 2 ** (1 / 12)
    best = max((low + k for k in range(int(high - low) + 1)), key=lambda f: strength(window, f, rate))
    best = max((best + k / 100.0 for k in range(-100, 101)), key=lambda f: strength(window, f, rate))
    off_by = 1200 * math.log2(best / hz)
    print("fundamental %.2f Hz: %+.2f cents from %.2f Hz" % (best, off_by, hz))
    if abs(off_by) > cents:
        failures.append("the note's pitch is %+.2f cents off" % off_by)
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


def main(argv):
    if len(argv) == 6 and argv[1] == "signal":
        return signal(argv[2], int(argv[3]), int(argv[4]), int(argv[5]))
    if len(argv) == 4 and argv[1] == "split":
        return split(argv[2], argv[3])
    if len(argv) == 5 and argv[1] == "same":
        return same(argv[2], argv[3], float(argv[4]))
    if len(argv) == 8 and argv[1] == "note":
        return note(argv[2], int(argv[3]), int(argv[4]), int(argv[5]), float(argv[6]), float(argv[7]))
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
