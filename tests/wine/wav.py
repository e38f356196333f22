#!/usr/bin/env python3
"""32-bit float WAV files for the Wine stage's converter checks.

  wav.py write FILE RATE FRAMES SAMPLE...   one channel per SAMPLE, each
                                            holding the float32 nearest to
                                            it (a number or a quotient a/b)
  wav.py codes FILE PREC                    prints, per channel, the sorted set
                                            of wire codes the decoded output
                                            samples came from

The plug-in decodes wire code b of precision 1 to (b - 128) * 0.007874016 and
code s of precision 2 to s * 3.0518509e-05 (single precision), so each output
sample names the exact code the slave received and sent back unchanged.
"""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import wavfile  # noqa: E402

STEP = {1: struct.unpack("<f", struct.pack("<I", 0x3C010204))[0],
        2: struct.unpack("<f", struct.pack("<I", 0x38000100))[0]}


def value(text):
    """A sample given as a number or as a quotient such as 2.5/127."""
    if "/" in text:
        num, den = text.split("/", 1)
        return f32(float(num) / float(den))
    return f32(float(text))


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def write(path, rate, frames, samples):
    channels = len(samples)
    frame = struct.pack("<%df" % channels, *samples)
    data = frame * frames
    fmt = struct.pack("<HHIIHH", 3, channels, rate, rate * channels * 4, channels * 4, 32)
    fact = struct.pack("<I", frames)
    body = (b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"fact" + struct.pack("<I", 4) + fact +
            b"data" + struct.pack("<I", len(data)) + data)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body)) + body)


def read(path):
    code, bits, channels = wavfile.read(path)
    if (code, bits) != (3, 32):
        raise SystemExit("%s: not a 32-bit float WAV file" % path)
    return channels


def codes(path, prec):
    step = STEP[prec]
    for c, samples in enumerate(read(path)):
        found = set()
        for v in samples:
            k = round(v / step)
            if f32(k * step) != v:
                found.add("?%r" % v)  # not a value the decoder can produce
            else:
                found.add(str(k + 128 if prec == 1 else k))
        print("channel %d: %s" % (c, " ".join(sorted(found))))


def main(argv):
    if len(argv) >= 5 and argv[1] == "write":
        write(argv[2], int(argv[3]), int(argv[4]), [value(s) for s in argv[5:]])
    elif len(argv) == 4 and argv[1] == "codes":
        codes(argv[2], int(argv[3]))
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
