#!/usr/bin/env python3
"""Checks the driver package folder the Windows build makes: exactly the
files to ship (the INF, prnsbp.sys, the install text, and under printer/
prnmodel.dll with the text that says where it goes), every file the INF
copies beside it and nothing it does not name, the INF fragment for the
printer driver package sound, and the texts carrying the INF's version.
The images' version resources are pecheck.py's (--version-of-inf).

Exit status 0 when sound, 1 with "FAIL:" lines otherwise.
"""
import os
import re
import shutil
import sys
import tempfile

import infcheck

FILES = {"prnsbp.inf", "prnsbp.sys", "INSTALL.TXT", "printer/prnmodel.dll", "printer/PRNMODEL.TXT"}


def listing(folder):
    found = set()
    for root, _, names in os.walk(folder):
        for name in names:
            found.add(os.path.relpath(os.path.join(root, name), folder).replace(os.sep, "/"))
    return found


def check(folder):
    problems = []
    found = listing(folder)
    for name in sorted(FILES - found):
        problems.append(f"{name} is missing")
    for name in sorted(found - FILES):
        problems.append(f"{name} is not part of the package")
    if "prnsbp.inf" not in found:
        return problems
    text = open(os.path.join(folder, "prnsbp.inf"), encoding="ascii").read()
    sections = infcheck.parse(text)
    shipped = {n for n in found if "/" not in n}
    for line in sections.get("sourcedisksfiles", []):
        name = line.split("=")[0].strip()
        if name not in shipped:
            problems.append(f"the INF copies {name}, which is not beside it")
    version = infcheck.values(sections.get("version", []), "DriverVer")[1:2]
    for name in ("INSTALL.TXT", "printer/PRNMODEL.TXT"):
        path = os.path.join(folder, name)
        named = rf"(?<![\d.]){re.escape(version[0])}(?![\d.])" if version else None
        if named and os.path.isfile(path) and not re.search(named, open(path, encoding="ascii").read()):
            problems.append(f"{name} does not name the INF's version {version[0]}")

    # The fragment a printer driver package merges into its INF: its
    # indented INF lines must copy prnmodel.dll into the printer driver
    # directory (dirid 66000).
    path = os.path.join(folder, "printer/PRNMODEL.TXT")
    if os.path.isfile(path):
        fragment = "\n".join(l[2:] for l in open(path, encoding="ascii").read().splitlines()
                             if l.startswith("  "))
        f = infcheck.parse(fragment)
        dirs = {l.split("=")[0].strip().lower(): l.split("=", 1)[1].split(";")[0].strip()
                for l in f.get("destinationdirs", []) if "=" in l}
        lists = [n for n, lines in f.items() if [x.lower() for x in lines] == ["prnmodel.dll"]]
        if not lists or dirs.get(lists[0]) != "66000":
            problems.append("printer/PRNMODEL.TXT has no INF lines copying prnmodel.dll to 66000")
        if not any(l.split("=")[0].strip().lower() == "prnmodel.dll"
                   for l in f.get("sourcedisksfiles", [])):
            problems.append("printer/PRNMODEL.TXT gives prnmodel.dll no source disk")
    return problems


# Faults the check must find, each made by one change of a copy of the package.
def _remove(name):
    return lambda d: os.remove(os.path.join(d, name))


def _add(name):
    return lambda d: open(os.path.join(d, name), "w").close()


def _edit(name, old, new):
    def run(d):
        path = os.path.join(d, name)
        text = open(path, encoding="ascii").read()
        assert old in text, f"{old!r} not in {name}"
        open(path, "w", encoding="ascii").write(text.replace(old, new, 1))
    return run


MUTATIONS = [
    (_remove("prnsbp.sys"), "prnsbp.sys is missing"),
    (_remove("printer/prnmodel.dll"), "printer/prnmodel.dll is missing"),
    (_add("prnsbp.cat"), "prnsbp.cat is not part of the package"),
    (_add("printer/prnsbp.inf"), "printer/prnsbp.inf is not part of the package"),
    (_edit("prnsbp.inf", "prnsbp.sys = 1", "prnsbp.sys = 1\nprnsbp.hlp = 1"), "prnsbp.hlp"),
    (_edit("printer/PRNMODEL.TXT", "= 66000", "= 11"), "copying prnmodel.dll"),
    (_edit("INSTALL.TXT", "port driver (prnsbp) ", "port driver (prnsbp) 0."), "INF's version"),
]


def self_test(folder):
    failures = 0
    if check(folder):
        print(f"FAIL: the sound package is rejected: {check(folder)}")
        failures += 1
    for change, expected in MUTATIONS:
        with tempfile.TemporaryDirectory() as work:
            copy = os.path.join(work, "package")
            shutil.copytree(folder, copy)
            change(copy)
            found = check(copy)
            if not any(expected in p for p in found):
                print(f"FAIL: {expected!r} is not reported: {found}")
                failures += 1
    print(f"{len(MUTATIONS) + 1 - failures} passed, {failures} failed")
    return 1 if failures else 0


def main():
    if sys.argv[1] == "--self-test":
        return self_test(sys.argv[2])
    problems = check(sys.argv[1])
    for p in problems:
        print(f"FAIL: {sys.argv[1]}: {p}")
    if not problems:
        print(f"ok: {sys.argv[1]}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
