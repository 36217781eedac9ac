#!/usr/bin/env python3
"""Builds the release zip with CPack into a scratch folder and checks what it
holds, all in its one folder sndlatch-VERSION/: the DLL and both drop-ins as built (the 32-bit winmm.dll at the top,
the 64-bit one in x64/), sndlatch-patch.exe, a commented sndlatch.ini that
leaves Debug_Log at 0, the license, a plain-text changelog dated at packaging
that names only what the packages hold, and an end-user README.txt
that also tells how to install, check and undo the drop-in, which one a
program needs, how to troubleshoot and how to report a problem.

    check_package.py BUILD_DIR VERSION
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import zipfile


def main(build, version):
    failures = []
    with tempfile.TemporaryDirectory() as scratch:
        subprocess.run(["cpack", "-G", "ZIP", "--config", os.path.join(build, "CPackConfig.cmake"),
                        "-B", scratch], check=True, stdout=subprocess.DEVNULL)
        path = os.path.join(scratch, "sndlatch-%s-win32.zip" % version)
        if not os.path.exists(path):
            print("FAIL: no %s; CPack wrote %s" % (os.path.basename(path), os.listdir(scratch)))
            return 1
        top = "sndlatch-%s/" % version
        with zipfile.ZipFile(path) as z:
            names = sorted(n for n in z.namelist() if not n.endswith("/"))
            want = ["CHANGELOG.txt", "LICENSE.txt", "README.txt", "sndlatch-patch.exe",
                    "sndlatch.dll", "sndlatch.ini", "winmm.dll", "x64/winmm.dll"]
            if names != [top + n for n in want]:
                failures.append("the zip holds %s, expected %s in %s" % (names, want, top))
            files = {n[len(top):]: z.read(n) for n in names if n.startswith(top)}

    for name, built_as, machine in [("sndlatch.dll", "module/sndlatch.dll", 0x14C),
                                    ("winmm.dll", "dropin/winmm.dll", 0x14C),
                                    ("x64/winmm.dll", "x64/dropin/winmm.dll", 0x8664)]:
        built = open(os.path.join(build, built_as), "rb").read()
        if files.get(name) != built:
            failures.append("%s in the zip is not the one built as %s" % (name, built_as))
        data = files.get(name, b"")
        pe = struct.unpack_from("<I", data, 0x3C)[0] if len(data) > 0x40 else 0
        found = struct.unpack_from("<H", data, pe + 4)[0] if 0 < pe < len(data) - 6 else 0
        if found != machine:
            failures.append("%s is for machine %#x, expected %#x" % (name, found, machine))
    exe = files.get("sndlatch-patch.exe", b"")
    if exe[:2] != b"MZ":
        failures.append("sndlatch-patch.exe is not a Windows program")
    ini = files.get("sndlatch.ini", b"").decode("latin-1")
    settings = [l.strip() for l in ini.splitlines() if l.strip() and not l.startswith("#")]
    if settings != ["Debug_Log = 0"]:
        failures.append("sndlatch.ini sets %s, expected only Debug_Log = 0" % settings)
    if sum(1 for l in ini.splitlines() if l.startswith("#")) < 5:
        failures.append("sndlatch.ini explains too little")
    readme = files.get("README.txt", b"").decode("latin-1")
    for topic in ["waveOutOpen", "Wine", "sndlatch-patch", "--restore", "Debug_Log",
                  "sndlatch.log", "GetProcAddress", version, "INSTALL WITHOUT PATCHING",
                  'WINEDLLOVERRIDES="winmm=n,b" %command%', "winecfg", "delete winmm.dll",
                  "WHEN TO PATCH, AND WHEN TO DROP IN", "Security software",
                  "x64\\winmm.dll", "(32 bit)", "64-bit: use the 64-bit drop-in winmm.dll"]:
        if topic not in readme:
            failures.append("README.txt does not mention %s" % topic)
    if "do not put winmm.dll beside a 64-bit program" in readme.replace("\r\n", " "):
        failures.append("README.txt still warns against 64-bit programs")
    if "\r\n" not in readme or "\n" in readme.replace("\r\n", ""):
        failures.append("README.txt does not use CR LF line ends throughout")
    license_text = files.get("LICENSE.txt", b"").decode("latin-1")
    if "MIT License" not in license_text or "Copyright (c) 2026 the sndlatch developers" not in license_text:
        failures.append("LICENSE.txt is not the MIT license of the sndlatch developers")
    changes = files.get("CHANGELOG.txt", b"").decode("latin-1")
    if not re.search(r"^%s \(\d{4}-\d\d-\d\d\)\r$" % re.escape(version), changes, re.M):
        failures.append("CHANGELOG.txt has no dated entry for %s" % version)
    for word in ["not yet released", "`", "## ", "demo", "benchmark"]:
        if word in changes:
            failures.append("CHANGELOG.txt holds %r" % word)
    for topic in ["REPORTING A PROBLEM", "--scan", "wine --version", "TROUBLESHOOTING",
                  "WINEDEBUG=+winmm", "DOES SNDLATCH FIT MY PROGRAM?"]:
        if topic not in readme:
            failures.append("README.txt does not mention %s" % topic)
    for f in failures:
        print("FAIL: " + f)
    if not failures:
        print("package sndlatch-%s-win32.zip: %s" % (version, ", ".join(want)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
