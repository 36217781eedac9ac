#!/usr/bin/env python3
"""Summarises two runs of the demo side by side: the opens asked for, the
distinct handles received and the audio captured, from each run's output and
the WAV file that an ALSA file device wrote while it played.

    summary.py [--check] UNPATCHED.txt UNPATCHED.wav PATCHED.txt PATCHED.wav

With --check it also exits 1 unless the unpatched run got one handle per open,
the patched run got one handle in all, and the patched capture holds the tones
at about their expected length.
"""
import re
import struct
import sys

TONE_SECONDS = 0.4   # the length of each tone demo.exe plays
LEVEL = 1000         # a 16-bit sample above this counts as sound


def run_counts(path):
    try:
        text = open(path, encoding="utf-8", errors="replace").read()
    except OSError:
        return None
    m = re.search(r"opens (\d+), distinct handles (\d+), tones played (\d+)", text)
    return tuple(int(x) for x in m.groups()) if m else None


def wav_audio(path):
    """(seconds captured, seconds above LEVEL, peak) of a 16-bit PCM WAV.

    A device that is never closed leaves the data size unset, so the data
    runs to the end of the file."""
    try:
        data = open(path, "rb").read()
    except OSError:
        return None
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        return None
    pos, rate, channels, bits, samples = 12, 0, 0, 0, b""
    while pos + 8 <= len(data):
        cid, size = data[pos:pos + 4], struct.unpack("<I", data[pos + 4:pos + 8])[0]
        body = pos + 8
        if cid == b"fmt " and size >= 16:
            _, channels, rate, _, _, bits = struct.unpack("<HHIIHH", data[body:body + 16])
        if cid == b"data":
            end = body + size if 0 < size <= len(data) - body else len(data)
            samples = data[body:end]
            break
        pos = body + size + (size & 1)
    if not rate or not channels or bits != 16:
        return None
    count = len(samples) // 2
    values = struct.unpack("<%dh" % count, samples[:count * 2])
    loud = sum(1 for v in values if abs(v) > LEVEL)
    peak = max((abs(v) for v in values), default=0)
    return count / channels / rate, loud / channels / rate, peak


def main(argv):
    check = "--check" in argv
    args = [a for a in argv if a != "--check"]
    if len(args) != 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    runs = {"unpatched": (run_counts(args[0]), wav_audio(args[1]), args[1]),
            "patched": (run_counts(args[2]), wav_audio(args[3]), args[3])}

    def cell(value, fmt="{}"):
        return "-" if value is None else fmt.format(value)

    rows = [("opens asked for", lambda c, w: cell(c and c[0])),
            ("distinct handles", lambda c, w: cell(c and c[1])),
            ("tones played", lambda c, w: cell(c and c[2])),
            ("audio captured (s)", lambda c, w: cell(w and w[0], "{:.2f}")),
            ("of which tone (s)", lambda c, w: cell(w and w[1], "{:.2f}")),
            ("peak level", lambda c, w: cell(w and w[2]))]
    print()
    print("%-22s %12s %12s" % ("sndlatch demo", "unpatched", "patched"))
    for name, fn in rows:
        print("%-22s %12s %12s" % (name, fn(*runs["unpatched"][:2]), fn(*runs["patched"][:2])))
    print("captured: %s" % runs["unpatched"][2])
    print("          %s" % runs["patched"][2])

    if not check:
        return 0
    problems = []
    (uc, _, _), (pc, pw, _) = runs["unpatched"], runs["patched"]
    if not uc or uc[1] != uc[0]:
        problems.append("unpatched: expected one handle per open, got %s" % (uc,))
    if not pc or pc[1] != 1:
        problems.append("patched: expected one handle in all, got %s" % (pc,))
    if not pw or pw[2] <= LEVEL:
        problems.append("patched: the capture holds no sound: %s" % (pw,))
    elif pc:
        expected = pc[0] * TONE_SECONDS
        if not 0.7 * expected <= pw[1] <= 1.3 * expected:
            problems.append("patched: %.2f s of tone captured, expected about %.2f s"
                            % (pw[1], expected))
    for p in problems:
        print("FAIL: " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
