"""WAV files for the test scripts: reads 16, 24 and 32-bit PCM and 32-bit float
(plain or extensible format). Import it with tests/support on sys.path."""
import struct


def read(path):
    """(format code, bits per sample, channels as lists of floats in -1..1)."""
    with open(path, "rb") as f:
        blob = f.read()
    if blob[:4] != b"RIFF" or blob[8:12] != b"WAVE":
        raise SystemExit("%s: not a WAV file" % path)
    pos, fmt, data = 12, None, None
    while pos + 8 <= len(blob):
        tag, size = blob[pos:pos + 4], struct.unpack("<I", blob[pos + 4:pos + 8])[0]
        if tag == b"fmt ":
            fmt = struct.unpack("<HHIIHH", blob[pos + 8:pos + 24])
            if fmt[0] == 0xFFFE:  # the sub-format's first two bytes give the real format
                fmt = (struct.unpack("<H", blob[pos + 32:pos + 34])[0],) + fmt[1:]
        elif tag == b"data":
            data = blob[pos + 8:pos + 8 + size]
        pos += 8 + size + (size & 1)
    if fmt is None or data is None:
        raise SystemExit("%s: no format or no data" % path)
    code, channels, bits = fmt[0], fmt[1], fmt[5]
    width = bits // 8
    count = len(data) // width if width else 0
    if code == 3 and bits == 32:
        values = struct.unpack("<%df" % count, data[:count * 4])
    elif code == 1 and bits == 16:
        values = [v / 32768.0 for v in struct.unpack("<%dh" % count, data[:count * 2])]
    elif code == 1 and bits == 32:
        values = [v / 2147483648.0 for v in struct.unpack("<%di" % count, data[:count * 4])]
    elif code == 1 and bits == 24:
        values = [int.from_bytes(data[i:i + 3], "little", signed=True) / 8388608.0
                  for i in range(0, count * 3, 3)]
    else:
        raise SystemExit("%s: unsupported WAV format %d, %d bits" % (path, code, bits))
    frames = count // channels if channels else 0
    return code, bits, [list(values[c:frames * channels:channels]) for c in range(channels)]
