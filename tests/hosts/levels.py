#!/usr/bin/env python3
"""Levels of rendered WAV files, for the real-host checks.

  levels.py show FILE...                      peak and RMS of each channel (dBFS)
  levels.py ratio OUT REF DB TOL              OUT's level against REF's, per channel,
                                              must be DB dB within TOL; REF may be
                                              several files joined by commas (mono
                                              takes, one per channel)
  levels.py every OUT REF DB TOL [SKIP]       every frame of OUT (after the first SKIP)
                                              must be REF's times the gain DB, within
                                              TOL: no block left unprocessed
  levels.py chunk SESSION_FILE                the plug-in's settings chunk saved in an
                                              Ardour session, as text

Levels are taken over the middle three quarters of each file (fades and the
engines' declicking at both ends are left out). Reads 16, 24 and 32-bit PCM and
32-bit float WAV files. Exits 1 when a check fails.
"""
import base64
import math
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import wavfile  # noqa: E402


def read(path):
    """The channels of a WAV file as lists of floats."""
    return wavfile.read(path)[2]


def db(x):
    return 20.0 * math.log10(x) if x > 0 else float("-inf")


def middle(samples):
    n = len(samples)
    return samples[n // 8:n - n // 8]


def rms(samples):
    part = middle(samples)
    return math.sqrt(sum(x * x for x in part) / len(part)) if part else 0.0


def peak(samples):
    return max((abs(x) for x in middle(samples)), default=0.0)


def show(paths):
    for path in paths:
        for c, ch in enumerate(read(path)):
            print("%s channel %d: %d frames, peak %.3f dBFS, rms %.3f dBFS" %
                  (path, c, len(ch), db(peak(ch)), db(rms(ch))))
    return 0


def read_all(paths):
    """The channels of one or more files (comma-separated), in order."""
    channels = []
    for path in paths.split(","):
        channels += read(path)
    return channels


def ratio(out_path, ref_path, want, tol):
    out, ref = read(out_path), read_all(ref_path)
    if len(out) < len(ref):
        print("%s has %d channels, %s %d" % (out_path, len(out), ref_path, len(ref)))
        return 1
    bad = 0
    for c in range(len(ref)):
        got = db(rms(out[c])) - db(rms(ref[c]))
        ok = abs(got - want) <= tol
        bad += not ok
        print("channel %d: %.3f dBFS against %.3f dBFS: %+.3f dB (expected %+.2f +/- %.2f) %s" %
              (c, db(rms(out[c])), db(rms(ref[c])), got, want, tol, "ok" if ok else "WRONG"))
    return 1 if bad else 0


def every(out_path, ref_path, want, tol, skip):
    out, ref = read(out_path), read(ref_path)
    gain = 10.0 ** (want / 20.0)
    bad = 0
    for c in range(min(len(out), len(ref))):
        n = min(len(out[c]), len(ref[c]))
        errors = [abs(out[c][i] - gain * ref[c][i]) for i in range(skip, n)]
        worst = max(errors, default=0.0)
        first = next((skip + i for i, e in enumerate(errors) if e > tol), None)
        if first is None:
            print("channel %d: all %d frames within %.0e of the reference times %+.2f dB (largest %.1e)" %
                  (c, n - skip, tol, want, worst))
        else:
            bad += 1
            print("channel %d: frame %d is %.6f, expected %.6f (largest error %.1e over %d frames)" %
                  (c, first, out[c][first], gain * ref[c][first], worst, n - skip))
    return 1 if bad else 0


def chunk(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    found = re.findall(r"<chunk[^>]*>([A-Za-z0-9+/=\s]+)</chunk>", text)
    if not found:
        print("no plug-in chunk in %s" % path)
        return 1
    for blob in found:
        sys.stdout.write(base64.b64decode(blob).split(b"\0")[0].decode("latin-1"))
    return 0


def main(argv):
    if len(argv) >= 3 and argv[1] == "show":
        return show(argv[2:])
    if len(argv) == 6 and argv[1] == "ratio":
        return ratio(argv[2], argv[3], float(argv[4]), float(argv[5]))
    if len(argv) in (6, 7) and argv[1] == "every":
        return every(argv[2], argv[3], float(argv[4]), float(argv[5]), int(argv[6]) if len(argv) == 7 else 0)
    if len(argv) == 3 and argv[1] == "chunk":
        return chunk(argv[2])
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
