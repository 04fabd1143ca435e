#!/usr/bin/env python3
"""crashsite.py LOG [--objdir DIR]

Reads the output of a Wine run and, for each of Wine's own crash lines
("wine: Unhandled page fault at address 7BC26814 (thread 011c), ..."),
prints one line naming the module of Wine's that holds the address and the
routine there (with the routines inlined into it), from the builtin images
under DIR (default: the 32-bit Wine's i386-windows folder). Addresses outside
Wine's own images (the drivers' images load where Wine puts them) are said to
be outside. Prints nothing when there is no crash line; always exits 0, so
the caller's own status decides.
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys

CRASH = re.compile(r"wine: Unhandled (.+?) at address ([0-9A-Fa-f]+) \(thread ([0-9A-Fa-f]+)\)")
DEFAULT_DIR = "/usr/lib/i386-linux-gnu/wine/i386-windows"


def image_range(path):
    """(ImageBase, SizeOfImage) of a PE32 image, or None."""
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
    except OSError:
        return None
    if len(head) < 64 or head[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", head, 60)[0]
    if pe + 24 + 60 > len(head) or head[pe:pe + 4] != b"PE\0\0":
        return None
    optional = pe + 24
    if struct.unpack_from("<H", head, optional)[0] != 0x10B:  # PE32
        return None
    base = struct.unpack_from("<I", head, optional + 28)[0]
    size = struct.unpack_from("<I", head, optional + 56)[0]
    return base, size


def module_of(address, objdir):
    for name in sorted(os.listdir(objdir)):
        path = os.path.join(objdir, name)
        r = image_range(path)
        if r and r[0] <= address < r[0] + r[1]:
            return name, path, r[0]
    return None


def routines_at(path, address):
    """Routine names at the address, innermost first (addr2line -i)."""
    tool = shutil.which("i686-w64-mingw32-addr2line") or shutil.which("addr2line")
    if tool is None:
        return []
    try:
        out = subprocess.run([tool, "-f", "-i", "-e", path, hex(address)], capture_output=True,
                             text=True, timeout=30).stdout.split("\n")
    except (OSError, subprocess.SubprocessError):
        return []
    names = [out[i] for i in range(0, len(out) - 1, 2) if out[i] and out[i] != "??"]
    return names


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[1])
    parser.add_argument("log")
    parser.add_argument("--objdir", default=DEFAULT_DIR)
    args = parser.parse_args()
    try:
        text = open(args.log, errors="replace").read()
    except OSError as e:
        print(f"crashsite.py: cannot read {args.log}: {e}", file=sys.stderr)
        return 0
    for kind, at, thread in CRASH.findall(text):
        address = int(at, 16)
        found = module_of(address, args.objdir) if os.path.isdir(args.objdir) else None
        if found is None:
            print(f"crash: {kind} at {address:08X} (thread {thread}), outside Wine's own images")
            continue
        name, path, base = found
        names = routines_at(path, address)
        where = " in ".join(names) if names else "no routine name"
        print(f"crash: {kind} at {address:08X} (thread {thread}): {name}+0x{address - base:X}, {where}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
