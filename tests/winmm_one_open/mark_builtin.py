#!/usr/bin/env python3
"""Copies a DLL and marks the copy as a Wine builtin, so that Wine loads it
from a WINEDLLPATH folder in place of its own module of that name.

    mark_builtin.py SOURCE.dll DEST.dll

Wine tells its builtins by the text "Wine builtin DLL" at offset 0x40 of the
DOS header, in the DOS stub, which nothing else reads.
"""
import sys

MARK = b"Wine builtin DLL\0"

source, dest = sys.argv[1:3]
data = bytearray(open(source, "rb").read())
pe_offset = int.from_bytes(data[0x3c:0x40], "little")
if data[:2] != b"MZ" or pe_offset < 0x40 + len(MARK):
    sys.exit("mark_builtin.py: %s has no room for the mark before its PE header" % source)
data[0x40:0x40 + len(MARK)] = MARK
open(dest, "wb").write(bytes(data))
