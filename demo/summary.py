#!/usr/bin/env python3
"""Summarises the runs of the demo side by side: the opens asked for, the
distinct handles received, and the devices captured, each on a track of its
own (an ALSA file device per open, mended by capture.py), with the tones each
holds (its sound time in tones, see capture.tones). Lengths are the samples
sox reads from each track.

    summary.py [--check] OUT_DIR

OUT_DIR holds each run's output (unpatched.txt, patched.txt, dropin.txt) and
its tracks (unpatched-1.wav, unpatched-2.wav, ..., patched-1.wav, ...).

With --check it also exits 1 unless the unpatched run got one handle per open
and left as many devices, each holding one tone; the patched run got one
handle in all, the drop-in run one handle per open, and each of the two one
device holding every tone, at about its
expected length; and sox reads every track to its end.

On the platform that allows one open at a time (oneopen-*.txt and tracks,
when run.sh made them), demo.exe ends with two sounds at once. --check then
also wants: unpatched, the second open refused with MMSYSERR_ALLOCATED and
one device holding two tones (level 1, and one of the two sounds); patched,
one handle and one device holding every level and the two sounds one after
the other; the drop-in, a handle per open and one device holding every level
and the two sounds at once, in the time of one.
"""
import glob
import os
import re
import subprocess
import sys

from capture import LEVEL, TONE_SECONDS, audio, tones
RUNS = (("unpatched", "unpatched"), ("patched", "patched"), ("drop-in", "dropin"),
        ("one-open unpatched", "oneopen-unpatched"), ("one-open patched", "oneopen-patched"),
        ("one-open drop-in", "oneopen-dropin"))
MMSYSERR_ALLOCATED = 4


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


def sox_seconds(path):
    """The length in seconds that sox reads from the file."""
    try:
        out = subprocess.run(["soxi", "-D", path], capture_output=True, text=True)
    except OSError:
        return None
    try:
        return float(out.stdout) if out.returncode == 0 else None
    except ValueError:
        return None


def tracks_of(out, kind):
    """The run's tracks, in the order their devices were opened."""
    found = glob.glob(os.path.join(out, "%s-*.wav" % kind))
    return sorted(found, key=lambda p: int(re.search(r"-(\d+)\.wav$", p).group(1)))


def together_counts(path):
    """(tones written at once, tones played) of the last scene, or None."""
    try:
        text = open(path, encoding="utf-8", errors="replace").read()
    except OSError:
        return None
    m = re.search(r"together: (\d+) tones written at once, (\d+) played", text)
    return tuple(int(x) for x in m.groups()) if m else None


class Run:
    def __init__(self, out, name, kind):
        self.name = name
        self.kind = kind
        self.output = os.path.join(out, kind + ".txt")
        self.counts = run_counts(self.output)
        self.together = together_counts(self.output)
        self.tracks = tracks_of(out, kind)
        self.audio = [audio(t) for t in self.tracks]
        self.tones = [tones(t) for t in self.tracks]
        self.sox = [sox_samples(t) for t in self.tracks]

    def seconds(self):
        """Seconds captured in all tracks, as sox reads them."""
        lengths = [sox_seconds(t) for t in self.tracks]
        return sum(lengths) if lengths and None not in lengths else None

    def one_open_problems(self):
        """What the run on the one-open platform got wrong (see the module's text)."""
        c, t, found = self.counts, self.together, []
        kind = self.kind[len("oneopen-"):]
        text = open(self.output, encoding="utf-8", errors="replace").read()
        if kind == "unpatched":
            want = c and (1, 1, None, 2)
            if "open 2: result %d " % MMSYSERR_ALLOCATED not in text:
                found.append("%s: the second open was not refused with MMSYSERR_ALLOCATED"
                             % self.name)
        else:
            want = c and ((c[0] if kind == "dropin" else 1), c[0], (2, 2),
                          c[0] + (1 if kind == "dropin" else 2))
        got = c and (c[1], c[2], t if want[2] else None, self.tones[0] if self.tones else None)
        if not c or got != want or len(self.tracks) != 1:
            found.append("%s: expected %s, got %s on %d devices (handles, tones played, "
                         "together, tones on the device)" % (self.name, want, got,
                                                            len(self.tracks)))
        return found

    def problems(self):
        if self.kind.startswith("oneopen-"):
            return self.one_open_problems()
        found = []
        c = self.counts
        one_device = self.name != "unpatched"
        # sndlatch.dll hands every open the first handle; the drop-in gives
        # every open a handle of its own and mixes them onto one device.
        one_handle = self.name == "patched"
        if not c or c[1] != (1 if one_handle else c[0]):
            found.append("%s: expected %s, got %s (opens, handles, tones)"
                         % (self.name, "one handle in all" if one_handle else "one handle per open",
                            c))
        for path, a, read in zip(self.tracks, self.audio, self.sox):
            if not a or read != a[3]:
                found.append("%s: sox reads %s samples from %s, the file holds %s"
                             % (self.name, read, path, a and a[3]))
        if not c:
            return found
        want = [c[0]] if one_device else [1] * c[0]
        if self.tones != want:
            found.append("%s: expected %s, got devices holding %s tones"
                         % (self.name, "one device holding every tone" if one_device
                            else "one device per tone", self.tones))
        if one_device and self.audio and self.audio[0]:
            heard, expected = self.audio[0][1], c[0] * TONE_SECONDS
            if not 0.7 * expected <= heard <= 1.3 * expected or self.audio[0][2] <= LEVEL:
                found.append("%s: %.2f s of tone captured, expected about %.2f s"
                             % (self.name, heard, expected))
        return found


def main(argv):
    check = "--check" in argv
    args = [a for a in argv if a != "--check"]
    if len(args) != 1:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    out = args[0]
    runs = [Run(out, name, kind) for name, kind in RUNS
            if not kind.startswith("oneopen-") or os.path.exists(os.path.join(out, kind + ".txt"))]

    def cell(value, fmt="{}"):
        return "-" if value is None else fmt.format(value)

    rows = [("opens asked for", lambda r: cell(r.counts and r.counts[0])),
            ("distinct handles", lambda r: cell(r.counts and r.counts[1])),
            ("tones played", lambda r: cell(r.counts and r.counts[2])),
            ("devices captured", lambda r: cell(len(r.tracks))),
            ("tones per device", lambda r: ",".join(cell(t) for t in r.tones) or "-"),
            ("audio captured (s)", lambda r: cell(r.seconds(), "{:.2f}")),
            ("of which tone (s)",
             lambda r: cell(None if None in r.audio else sum(a[1] for a in r.audio), "{:.2f}")),
            ("peak level",
             lambda r: cell(None if None in r.audio or not r.audio
                            else max(a[2] for a in r.audio)))]
    line = "%-22s" + " %18s" * len(runs)
    print()
    print(line % (("sndlatch demo",) + tuple(r.name for r in runs)))
    for name, fn in rows:
        print(line % ((name,) + tuple(fn(r) for r in runs)))
    first = True
    for r in runs:
        for path in r.tracks:
            print("%-10s%s" % ("captured:" if first else "", os.path.relpath(path)))
            first = False

    if not check:
        return 0
    problems = [p for r in runs for p in r.problems()]
    for p in problems:
        print("FAIL: " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
