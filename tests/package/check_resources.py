#!/usr/bin/env python3
"""Checks the resources of the built Windows binaries: each holds a version
resource whose fixed file version and FileVersion/ProductVersion strings are
the project version, and sndlatch-patch.exe holds its manifest (asInvoker,
the supported-OS list, long-path awareness). sndlatch.dll stays at 6 KB or less.
The two drop-ins' FileDescriptions say which architecture each is for.

    check_resources.py VERSION sndlatch.dll winmm.dll sndlatch-patch.exe x64/winmm.dll
"""
import os
import struct
import sys

RT_VERSION, RT_MANIFEST = 16, 24


def resources(data):
    """{type id: [bytes of each resource of that type]} from a PE32 or PE32+ image."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0", "not a PE image"
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    opt_size = struct.unpack_from("<H", data, pe + 20)[0]
    opt = pe + 24
    dirs = opt + (112 if struct.unpack_from("<H", data, opt)[0] == 0x20B else 96)
    rsrc_rva = struct.unpack_from("<I", data, dirs + 2 * 8)[0]
    table = opt + opt_size

    def offset(rva):
        for i in range(sections):
            va, raw_size, raw_ptr = struct.unpack_from("<III", data, table + 40 * i + 12)
            if va <= rva < va + max(raw_size, 1):
                return raw_ptr + rva - va
        raise ValueError("RVA %#x is in no section" % rva)

    if rsrc_rva == 0:
        return {}
    base = offset(rsrc_rva)

    def entries(at):
        named, ids = struct.unpack_from("<HH", data, base + at + 12)
        for i in range(named + ids):
            ident, target = struct.unpack_from("<II", data, base + at + 16 + 8 * i)
            yield ident, target

    found = {}
    for type_id, names in entries(0):
        for _, langs in entries(names & 0x7FFFFFFF):
            for _, leaf in entries(langs & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base + leaf)
                found.setdefault(type_id, []).append(data[offset(rva):offset(rva) + size])
    return found


def check(path, version, failures):
    data = open(path, "rb").read()
    name = os.path.basename(path)
    res = resources(data)
    versions = res.get(RT_VERSION, [])
    if len(versions) != 1:
        failures.append("%s holds %d version resources" % (name, len(versions)))
        return res
    info = versions[0]
    fixed = info.find(struct.pack("<I", 0xFEEF04BD))
    if fixed < 0:
        failures.append("%s: no VS_FIXEDFILEINFO" % name)
    else:
        ms, ls = struct.unpack_from("<II", info, fixed + 8)
        got = "%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16)
        if got != version:
            failures.append("%s: file version %s, expected %s" % (name, got, version))
    text = info.decode("utf-16-le", "replace")
    for key in ("FileVersion", "ProductVersion"):
        if "%s\0%s\0" % (key, version) not in text.replace("\0\0", "\0"):
            failures.append("%s: no %s string %s" % (name, key, version))
    if "OriginalFilename\0" + name not in text.replace("\0\0", "\0"):
        failures.append("%s: OriginalFilename is not %s" % (name, name))
    return res


def main(version, dll, dropin, exe, dropin64):
    failures = []
    for path, bits in ((dropin, "32-bit"), (dropin64, "64-bit")):
        info = b"".join(resources(open(path, "rb").read()).get(RT_VERSION, []))
        text = info.decode("utf-16-le", "replace").replace("\0\0", "\0")
        want = "FileDescription\0sndlatch drop-in winmm.dll (%s)" % bits
        if want not in text:
            failures.append("%s: FileDescription does not start %s" % (path, want[16:]))
    for path in (dll, dropin, exe):
        res = check(path, version, failures)
        if path == exe:
            manifests = res.get(RT_MANIFEST, [])
            manifest = manifests[0].decode("utf-8", "replace") if manifests else ""
            for part in ('level="asInvoker"', "<supportedOS",
                         "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
                         "<longPathAware", ">true</longPathAware>"):
                if part not in manifest:
                    failures.append("sndlatch-patch.exe's manifest lacks %s" % part)
        elif RT_MANIFEST in res:
            failures.append("%s holds a manifest" % os.path.basename(path))
    size = os.path.getsize(dll)
    if size > 6144:
        failures.append("sndlatch.dll is %d bytes, more than 6 KB" % size)
    for f in failures:
        print("FAIL: " + f)
    if not failures:
        print("version %s in all three; manifest in sndlatch-patch.exe; sndlatch.dll %d bytes"
              % (version, size))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:6]))
