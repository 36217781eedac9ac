#!/usr/bin/env python3
"""The WAV files that the demo's ALSA file device captures: mending their
header, and measuring the sound in them.

    capture.py FILE.wav...      mends each file in place

The ALSA file device writes the header when it starts and fills in the sizes
only when the device is closed. The demo, like the programs it imitates, never
closes it, so the RIFF size and the data size stay 0 and players read no
samples. Mending sets both from the file's real length, cut to whole frames.
"""
import struct
import sys

LEVEL = 1000  # a 16-bit sample above this counts as sound
TONE_SECONDS = 0.4  # the length of each tone demo.exe plays


def layout(data):
    """(channels, rate, bits, block_align, data_offset, data_size) of a PCM WAV
    image, with the data size as its header gives it; None if it is not one."""
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        return None
    pos, fmt = 12, None
    while pos + 8 <= len(data):
        cid, size = data[pos:pos + 4], struct.unpack("<I", data[pos + 4:pos + 8])[0]
        body = pos + 8
        if cid == b"fmt " and size >= 16:
            fmt = struct.unpack("<HHIIHH", data[body:body + 16])
        if cid == b"data":
            if not fmt:
                return None
            _, channels, rate, _, align, bits = fmt
            return channels, rate, bits, align, body, size
        pos = body + size + (size & 1)
    return None


def mend(path):
    """Sets the RIFF and data sizes of an unfinished capture from its length.
    A data size that is 0 or runs past the end of the file is unfinished; a
    finished file is left alone. Returns True if the file was changed."""
    with open(path, "r+b") as f:
        data = f.read()
        shape = layout(data)
        if not shape:
            raise ValueError("%s is not a PCM WAV file" % path)
        align, body, size = max(shape[3], 1), shape[4], shape[5]
        if 0 < size <= len(data) - body:
            return False
        size = (len(data) - body) // align * align
        f.seek(4)
        f.write(struct.pack("<I", body + size - 8))
        f.seek(body - 4)
        f.write(struct.pack("<I", size))
        f.truncate(body + size)
    return True


def audio(path):
    """(seconds captured, seconds above LEVEL, peak, samples) of a 16-bit PCM
    WAV, read as far as its header says, or None if it cannot be read."""
    try:
        data = open(path, "rb").read()
    except OSError:
        return None
    shape = layout(data)
    if not shape:
        return None
    channels, rate, bits, _, body, size = shape
    if not rate or not channels or bits != 16:
        return None
    count = min(size, len(data) - body) // 2
    values = struct.unpack("<%dh" % count, data[body:body + count * 2])
    loud = sum(1 for v in values if abs(v) > LEVEL)
    peak = max((abs(v) for v in values), default=0)
    return count / channels / rate, loud / channels / rate, peak, count // channels


def tones(path):
    """How many of demo.exe's tones a 16-bit PCM WAV holds: its time with
    sound, in half-millisecond windows that reach above LEVEL, in tones of
    TONE_SECONDS, rounded. A tone split by a gap the driver left counts once,
    and a stray few samples count as none."""
    try:
        data = open(path, "rb").read()
    except OSError:
        return None
    shape = layout(data)
    if not shape or shape[2] != 16 or not shape[0] or not shape[1]:
        return None
    channels, rate, _, _, body, size = shape
    count = min(size, len(data) - body) // 2
    values = struct.unpack("<%dh" % count, data[body:body + count * 2])
    window = max(1, rate // 2000) * channels
    loud = sum(1 for at in range(0, count, window)
               if max(abs(v) for v in values[at:at + window]) > LEVEL)
    return round(loud * window / channels / rate / TONE_SECONDS)


def main(paths):
    if not paths:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    status = 0
    for path in paths:
        try:
            mend(path)
        except (OSError, ValueError) as e:
            print("capture.py: %s" % e, file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
