#!/usr/bin/env python3
"""Draws the demo's captures: one sox spectrogram per captured device, each
titled with its run, its number and the tones it holds, all on one time
scale, stacked top to bottom into one picture.

    picture.py OUT_DIR      writes OUT_DIR/demo.png from the tracks there

sox draws every band with the same palette and, for tracks padded to one
length, the same width; this stacks its PNG rows as they are.
"""
import os
import re
import struct
import subprocess
import sys
import zlib

from capture import tones
from summary import RUNS, sox_seconds, tracks_of


def chunks(data):
    pos = 8
    while pos + 8 <= len(data):
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        yield kind, data[pos + 8:pos + 8 + size]
        pos += 12 + size


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else b if pb <= pc else c


def rows(path):
    """(width, palette chunks, unfiltered rows) of an 8-bit palette PNG."""
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("%s is not a PNG file" % path)
    idat, palette = b"", []
    for kind, body in chunks(data):
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if (depth, colour, interlace) != (8, 3, 0):
                raise ValueError("%s is not an 8-bit palette PNG" % path)
        elif kind in (b"PLTE", b"tRNS"):
            palette.append((kind, body))
        elif kind == b"IDAT":
            idat += body
    raw = zlib.decompress(idat)
    out, prior = [], bytearray(width)
    for y in range(height):
        line = raw[y * (width + 1):(y + 1) * (width + 1)]
        kind, row = line[0], bytearray(line[1:])
        for x in range(width):
            left = row[x - 1] if x else 0
            up, corner = prior[x], prior[x - 1] if x else 0
            row[x] = (row[x] + (0, left, up, (left + up) // 2, paeth(left, up, corner))[kind]) & 255
        out.append(bytes(row))
        prior = row
    return width, palette, out


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def stack(out_path, paths):
    width, palette, stacked = None, None, []
    for path in paths:
        w, p, r = rows(path)
        if width is not None and (w, p) != (width, palette):
            raise ValueError("%s differs from %s in width or palette" % (path, paths[0]))
        width, palette = w, p
        stacked += r
    header = struct.pack(">IIBBBBB", width, len(stacked), 8, 3, 0, 0, 0)
    body = zlib.compress(b"".join(b"\0" + r for r in stacked), 9)
    with open(out_path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header))
        for kind, data in palette:
            f.write(chunk(kind, data))
        f.write(chunk(b"IDAT", body) + chunk(b"IEND", b""))


def refused(out, kind):
    """", open N refused (MMSYSERR_ALLOCATED)" for the run's first open that
    the platform refused as allocated, or ""."""
    try:
        text = open(os.path.join(out, kind + ".txt"), encoding="utf-8", errors="replace").read()
    except OSError:
        return ""
    m = re.search(r"open (\d+): result 4 ", text)
    return ", open %s refused (MMSYSERR_ALLOCATED)" % m.group(1) if m else ""


def main(out):
    bands = []
    for name, kind in RUNS:
        tracks = tracks_of(out, kind)
        for i, path in enumerate(tracks):
            n = tones(path)
            title = "%s: device %d of %d, %s tone%s%s" % (name, i + 1, len(tracks), n,
                                                           "" if n == 1 else "s",
                                                           refused(out, kind))
            bands.append((path, title))
    lengths = [sox_seconds(path) for path, _ in bands]
    if not bands or None in lengths:
        print("picture.py: no readable tracks in %s" % out, file=sys.stderr)
        return 1
    longest = max(lengths)
    pictures = []
    for i, ((path, title), length) in enumerate(zip(bands, lengths)):
        png = os.path.join(out, "band-%d.png" % (i + 1))
        subprocess.run(["sox", path, "-n", "pad", "0", "%.6f" % (longest - length),
                        "spectrogram", "-x", "600", "-y", "100", "-t", title, "-c",
                        "time since the device was opened", "-o", png], check=True)
        pictures.append(png)
    stack(os.path.join(out, "demo.png"), pictures)
    for png in pictures:
        os.remove(png)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
