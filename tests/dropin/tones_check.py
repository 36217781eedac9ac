#!/usr/bin/env python3
"""Finds the two tones of tones.exe (440 Hz and 1000 Hz) in the tracks an ALSA
file device captured while it ran, each at its own pitch.

    tones_check.py platform|dropin TRACK.wav...

platform: each tone is on some track (the platform gives each open a device).
dropin: one track holds both at the same moment, mixed onto one device.
A tone counts at its pitch when the spectrum of a 0.1 s window has a peak
within 15 Hz of it, and no peak as strong as a third of the strongest lies
elsewhere (a tone played at another rate would).
"""
import cmath
import math
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "demo"))
from capture import layout, mend  # noqa: E402

TONES = (440, 1000)
SCAN = range(200, 3001, 10)


def samples(path):
    """(rate, mono samples scaled to -1..1) of a PCM WAV of 8 or 16 bits."""
    mend(path)
    data = open(path, "rb").read()
    channels, rate, bits, align, body, size = layout(data)
    raw = data[body:body + min(size, len(data) - body) // align * align]
    if bits == 16:
        values = [v / 32768 for v in struct.unpack("<%dh" % (len(raw) // 2), raw)]
    elif bits == 8:
        values = [(v - 128) / 128 for v in raw]
    else:
        raise ValueError("%s: %d-bit samples" % (path, bits))
    return rate, [sum(values[i:i + channels]) / channels for i in range(0, len(values), channels)]


def spectrum(window, rate):
    n = len(window)
    hann = [v * (0.5 - 0.5 * math.cos(2 * math.pi * i / n)) for i, v in enumerate(window)]
    result = {}
    for f in SCAN:
        step = cmath.exp(-2j * math.pi * f / rate)
        acc, w = 0, 1
        for v in hann:
            acc += v * w
            w *= step
        result[f] = abs(acc)
    return result


def tones_in(bins):
    """The tones the window holds at their pitch, or None if a strong peak lies elsewhere."""
    top = max(bins.values())
    if top < 1:
        return set()
    near = lambda f, t: abs(f - t) <= 60
    if any(m > top / 3 for f, m in bins.items() if not any(near(f, t) for t in TONES)):
        return None
    return {t for t in TONES if max(m for f, m in bins.items() if abs(f - t) <= 15) > top / 3}


def windows(rate, values):
    """Five 0.1 s windows spread over the part of the track with sound."""
    step = rate // 20
    loud = [at for at in range(0, len(values) - step, step)
            if math.sqrt(sum(v * v for v in values[at:at + step]) / step) > 0.03]
    if not loud:
        return []
    first, last = loud[0], loud[-1]
    n = rate // 10
    return [values[at:at + n] for at in
            (first + (last - first - n) * k // 4 for k in range(5)) if at >= 0]


def main(argv):
    if len(argv) < 2 or argv[0] not in ("platform", "dropin"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    mode, found, status = argv[0], [], 0
    for path in argv[1:]:
        rate, values = samples(path)
        seen = [tones_in(spectrum(w, rate)) for w in windows(rate, values)]
        print("%s: %d Hz, %.2f s, tones per window %s" % (os.path.basename(path), rate,
                                                         len(values) / rate, seen))
        if None in seen:
            print("  a peak away from both tones: a tone at the wrong pitch")
            status = 1
        found.append(set().union(*[s for s in seen if s]))
        if mode == "dropin" and not any(s and len(s) == 2 for s in seen):
            found[-1] = set()
    if mode == "dropin" and not any(len(f) == 2 for f in found):
        print("no track holds both tones at once (%d tracks)" % len(found))
        status = 1
    if mode == "platform" and (not found or set().union(*found) != set(TONES)):
        print("tones found: %s, expected %s" % (found, TONES))
        status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
