#!/usr/bin/env python3
"""Summarises the runs of the demo side by side: the opens asked for, the
distinct handles received and the audio captured, from each run's output and
the WAV file that an ALSA file device wrote while it played (mended by
capture.py).

    summary.py [--check] UNPATCHED.txt UNPATCHED.wav PATCHED.txt PATCHED.wav \
               DROPIN.txt DROPIN.wav

With --check it also exits 1 unless the unpatched run got one handle per open,
the patched and drop-in runs got one handle in all and their captures hold the
tones at about their expected length, and sox reads every capture to its end.
"""
import os
import re
import subprocess
import sys

from capture import LEVEL, audio

TONE_SECONDS = 0.4  # the length of each tone demo.exe plays
COLUMNS = ("unpatched", "patched", "drop-in")


def run_counts(path):
    try:
        text = open(path, encoding="utf-8", errors="replace").read()
    except OSError:
        return None
    m = re.search(r"opens (\d+), distinct handles (\d+), tones played (\d+)", text)
    return tuple(int(x) for x in m.groups()) if m else None


def sox_samples(path):
    """The number of samples per channel that sox reads from the file."""
    try:
        out = subprocess.run(["soxi", "-s", path], capture_output=True, text=True)
    except OSError as e:
        return "soxi: %s" % e.strerror
    return int(out.stdout) if out.returncode == 0 and out.stdout.strip().isdigit() else None


def problems_of(name, counts, wav, path):
    """What --check finds wrong with one column."""
    found = []
    one_device = name != "unpatched"
    if not counts or counts[1] != (1 if one_device else counts[0]):
        found.append("%s: expected %s, got %s (opens, handles, tones)"
                     % (name, "one handle in all" if one_device else "one handle per open",
                        counts))
    read = wav and sox_samples(path)
    if wav and (not read or read != wav[3]):
        found.append("%s: sox reads %s samples from %s, the file holds %d"
                     % (name, read, path, wav[3]))
    if not one_device:
        return found
    if not wav or wav[2] <= LEVEL:
        found.append("%s: the capture holds no sound: %s" % (name, wav))
    elif counts:
        expected = counts[0] * TONE_SECONDS
        if not 0.7 * expected <= wav[1] <= 1.3 * expected:
            found.append("%s: %.2f s of tone captured, expected about %.2f s"
                         % (name, wav[1], expected))
    return found


def main(argv):
    check = "--check" in argv
    args = [a for a in argv if a != "--check"]
    if len(args) != 2 * len(COLUMNS):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    runs = [(run_counts(args[2 * i]), audio(args[2 * i + 1]), args[2 * i + 1])
            for i in range(len(COLUMNS))]

    def cell(value, fmt="{}"):
        return "-" if value is None else fmt.format(value)

    rows = [("opens asked for", lambda c, w: cell(c and c[0])),
            ("distinct handles", lambda c, w: cell(c and c[1])),
            ("tones played", lambda c, w: cell(c and c[2])),
            ("audio captured (s)", lambda c, w: cell(w and w[0], "{:.2f}")),
            ("of which tone (s)", lambda c, w: cell(w and w[1], "{:.2f}")),
            ("peak level", lambda c, w: cell(w and w[2]))]
    line = "%-22s" + " %12s" * len(COLUMNS)
    print()
    print(line % (("sndlatch demo",) + COLUMNS))
    for name, fn in rows:
        print(line % ((name,) + tuple(fn(c, w) for c, w, _ in runs)))
    for i, (_, _, path) in enumerate(runs):
        print("%-10s%s" % ("captured:" if i == 0 else "", os.path.relpath(path)))

    if not check:
        return 0
    problems = [p for name, run in zip(COLUMNS, runs) for p in problems_of(name, *run)]
    for p in problems:
        print("FAIL: " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
