#!/usr/bin/env python3
"""Checks a PE image's header, imports and exports as objdump shows them.

Exit status 0 when the image is as required, 1 when it is not (each problem
is printed on a line starting with "FAIL:"), 2 when it could not be read.
"""
import argparse
import os
import re
import struct
import subprocess
import sys

SUBSYSTEMS = {"native": 1, "windows": 2, "console": 3}


def objdump(tool, args, image):
    try:
        return subprocess.run([tool, *args, image], check=True, capture_output=True,
                              text=True).stdout
    except (OSError, subprocess.CalledProcessError) as err:
        print(f"cannot read {image}: {err}", file=sys.stderr)
        sys.exit(2)


def header_field(text, name):
    m = re.search(rf"^{name}\s+(?:0x)?([0-9a-fA-F]+)", text, re.M)
    return int(m.group(1), 16) if m else None


def imported_dlls(text):
    return [m.group(1) for m in re.finditer(r"^\s*DLL Name:\s*(\S+)", text, re.M)]


def imported_names(text):
    """(dll, name) of every import by name, as objdump -p lists them:
    "\tDLL Name: HAL.dll" then "\tc224\t    1  ExAcquireFastMutex"."""
    imports, dll = [], None
    for line in text.splitlines():
        m = re.match(r"^\s*DLL Name:\s*(\S+)", line)
        if m:
            dll = m.group(1)
            continue
        m = re.match(r"^\s+[0-9a-f]+\s+\d+\s+(\S+)\s*$", line)
        if dll is not None and m:
            imports.append((dll, m.group(1)))
        elif dll is not None and not line.strip():
            pass
        elif dll is not None and not line.startswith(("\t", " ")):
            dll = None
    return imports


# What each kind of source is worth (exports/sources.txt).
STRONG_KINDS = {"shipped", "note"}
WEAK_KINDS = {"book", "review", "design"}
DERIVED_KIND = "wdmver"
HEADER_KIND = "header"
KINDS = STRONG_KINDS | WEAK_KINDS | {DERIVED_KIND, HEADER_KIND}
FLAGS = {"data", "stub"}


def read_sources(folder):
    """{key: kind} of the export lists' sources."""
    kinds = {}
    with open(os.path.join(folder, "sources.txt")) as f:
        for raw in f:
            words = raw.split("#")[0].split()
            if words:
                kinds[words[0]] = words[1] if len(words) > 1 and words[1] in KINDS else None
    return kinds


class ExportList:
    """A platform's export list (windows/exports/): its name, the list of
    the next lower WDM version it extends, and for every (module, export)
    the keys of the sources that say the platform has it."""

    def __init__(self, path):
        self.path = os.path.abspath(path)
        folder = os.path.dirname(self.path)
        self.kinds = read_sources(folder)
        self.platform, self.extends, self.entries, self.problems = None, None, {}, []
        module = None
        with open(path) as f:
            for number, raw in enumerate(f, 1):
                line = raw.split("#")[0].strip()
                where = f"{path}:{number}"
                if not line:
                    continue
                if line.startswith("platform "):
                    self.platform = line[len("platform "):].strip()
                    continue
                if line.startswith("extends "):
                    self.extends = os.path.join(folder, line[len("extends "):].strip())
                    continue
                m = re.fullmatch(r"\[([^\]]+)\]", line)
                if m:
                    module = m.group(1).lower()
                    continue
                words = line.split()
                keys = [w for w in words[1:] if w not in FLAGS]
                if module is None or not keys:
                    self.problems.append(f"{where}: entry without a module or a source")
                elif any(self.kinds.get(k) is None for k in keys):
                    self.problems.append(f"{where}: entry with a source sources.txt lacks")
                else:
                    self.entries[(module, words[0])] = keys
        if self.platform is None:
            self.problems.append(f"{path}: no platform line")
            self.platform = path
        self.modules = {m for m, _ in self.entries}


_lists = {}


def export_list(path):
    path = os.path.abspath(path)
    if path not in _lists:
        _lists[path] = ExportList(path)
    return _lists[path]


def basis(listed, module, name, depth=0):
    """How well the sources of a list found a routine: "strong", "weak",
    "header" (a declaration only), or None when the list lacks it."""
    keys = listed.entries.get((module, name))
    if keys is None:
        return None
    verdict = HEADER_KIND
    for key in keys:
        kind = listed.kinds[key]
        if kind == DERIVED_KIND:
            # As strong as the list of the next lower WDM version finds it.
            lower = export_list(listed.extends) if listed.extends and depth < 8 else None
            found = basis(lower, module, name, depth + 1) if lower else None
        elif kind in STRONG_KINDS:
            found = "strong"
        elif kind in WEAK_KINDS:
            found = "weak"
        else:
            found = HEADER_KIND
        if found == "strong":
            return found
        if found == "weak":
            verdict = found
    return verdict


def list_problems(listed):
    """Entries of a list that name a lower version's list which lacks them."""
    problems = list(listed.problems)
    for (module, name), keys in sorted(listed.entries.items()):
        if any(listed.kinds[k] == DERIVED_KIND for k in keys):
            lower = export_list(listed.extends) if listed.extends else None
            if lower is None or (module, name) not in lower.entries:
                problems.append(f"{listed.path}: {name} is marked as inherited, but the list "
                                f"it extends lacks it")
    return problems


def import_verdicts(names, paths):
    """The lists, and for each import that some list judges (it has a
    section for the import's module) the verdict of each list: basis(), or
    "" from a list without that section."""
    lists = [export_list(p) for p in paths]
    rows = []
    for dll, name in sorted(names, key=lambda n: (n[0].lower(), n[1].lower())):
        module = dll.lower()
        if any(module in l.modules for l in lists):
            rows.append((module, name, [(l.platform, basis(l, module, name)
                                         if module in l.modules else "") for l in lists]))
    return lists, rows


def basis_table(names, paths):
    """The markdown table of the imports' verdicts per platform."""
    lists, rows = import_verdicts(names, paths)
    out = ["| import | " + " | ".join(l.platform for l in lists) + " |",
           "|---|" + "---|" * len(lists)]
    for _, name, verdicts in rows:
        cells = ["-" if v == "" else v or "missing" for _, v in verdicts]
        out.append(f"| `{name}` | " + " | ".join(cells) + " |")
    return "\n".join(out) + "\n"


def table_in(path, image):
    """The table that follows "<!-- basis: IMAGE -->" in a markdown file."""
    with open(path) as f:
        text = f.read()
    m = re.search(rf"<!-- basis: {re.escape(image)} -->\n((?:\|[^\n]*\n)*)", text)
    return m.group(1) if m else None


def version_of_inf(path):
    """The w.x.y.z of the INF's DriverVer = mm/dd/yyyy,w.x.y.z."""
    with open(path, encoding="ascii") as f:
        for raw in f:
            m = re.match(r"\s*DriverVer\s*=\s*[\d/]+\s*,\s*(\d+\.\d+\.\d+\.\d+)", raw.split(";")[0])
            if m:
                return m.group(1)
    return None


def resource_data(image, type_id):
    """The first resource of a type in a PE image, or None."""
    with open(image, "rb") as f:
        data = f.read()
    pe = int.from_bytes(data[0x3C:0x40], "little")
    sections = int.from_bytes(data[pe + 6:pe + 8], "little")
    optional = int.from_bytes(data[pe + 20:pe + 22], "little")
    rsrc_rva = int.from_bytes(data[pe + 24 + 112:pe + 24 + 116], "little")  # data directory 2
    table = pe + 24 + optional
    for i in range(sections):
        at = table + 40 * i
        va, raw_size, raw_at = struct.unpack_from("<I I I", data, at + 12)
        if va <= rsrc_rva < va + raw_size and rsrc_rva:
            base = raw_at + rsrc_rva - va

            def entries(offset):
                named, ids = struct.unpack_from("<HH", data, base + offset + 12)
                for n in range(named + ids):
                    yield struct.unpack_from("<II", data, base + offset + 16 + 8 * n)

            def first_leaf(offset):
                while True:
                    children = list(entries(offset))
                    if not children:
                        return None
                    target = children[0][1]
                    if not target & 0x80000000:
                        rva, size = struct.unpack_from("<II", data, base + target)
                        return data[raw_at + rva - va:raw_at + rva - va + size]
                    offset = target & 0x7FFFFFFF

            for name, target in entries(0):
                if name == type_id and target & 0x80000000:
                    return first_leaf(target & 0x7FFFFFFF)
    return None


def version_resource(image):
    """(file version, product version, {string name: value}) of the image's
    VS_VERSIONINFO, or None when it has none."""
    block = resource_data(image, 16)  # RT_VERSION
    if block is None:
        return None
    at = block.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    fms, fls, pms, pls = struct.unpack_from("<IIII", block, at + 8)
    dotted = lambda ms, ls: f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    strings = {}
    text = block.decode("utf-16-le", errors="replace")
    for name in ("FileVersion", "ProductVersion"):
        m = re.search(name + r"\x00+([^\x00]*)", text)
        if m:
            strings[name] = m.group(1)
    return dotted(fms, fls), dotted(pms, pls), strings


def exported_names(text):
    names = []
    m = re.search(r"\[Ordinal/Name Pointer\] Table[^\n]*\n((?:\s*\[\s*\d+\]\s+\S+[^\n]*\n)*)", text)
    if m:
        names = [n.group(1) for n in re.finditer(r"\[\s*\d+\]\s+(\S+)", m.group(1))]
    return names


def section_addresses(sections):
    # objdump -h: "  0 .text  00000040  00011000  00011000  00000400  2**2"
    addresses = {}
    for m in re.finditer(r"^\s*(\d+)\s+\S+\s+[0-9a-f]+\s+([0-9a-f]+)", sections, re.M):
        addresses[int(m.group(1)) + 1] = int(m.group(2), 16)
    return addresses


def section_names(sections):
    # objdump -h, 1-based like the section numbers of objdump -t
    return {int(m.group(1)) + 1: m.group(2)
            for m in re.finditer(r"^\s*(\d+)\s+(\S+)\s+[0-9a-f]+\s+[0-9a-f]+", sections, re.M)}


def symbol_section(symbols, sections, name):
    names = section_names(sections)
    for line in symbols.splitlines():
        m = re.search(r"\(sec\s+(-?\d+)\).*\s0x[0-9a-f]+\s+(\S+)$", line)
        if m and m.group(2) == name:
            return names.get(int(m.group(1)))
    return None


def symbol_address(symbols, sections, name):
    # objdump -t on a PE image gives the value relative to a 1-based section:
    # "[  2](sec  1)(fl 0x00)(ty   20)(scl   2) (nx 1) 0x00000000 _DriverEntry@8"
    addresses = section_addresses(sections)
    for line in symbols.splitlines():
        m = re.search(r"\(sec\s+(-?\d+)\).*\s0x([0-9a-f]+)\s+(\S+)$", line)
        if m and m.group(3) == name and int(m.group(1)) in addresses:
            return addresses[int(m.group(1))] + int(m.group(2), 16)
    return None


def pe_checksum(image):
    """The header checksum as the Windows loader computes it; returns the
    computed value and the one stored in the optional header."""
    with open(image, "rb") as f:
        data = bytearray(f.read())
    at = int.from_bytes(data[0x3C:0x40], "little") + 4 + 20 + 64
    stored = int.from_bytes(data[at:at + 4], "little")
    data[at:at + 4] = b"\0\0\0\0"
    length = len(data)
    if length % 2:
        data.append(0)
    total = 0
    for i in range(0, len(data), 2):
        total += data[i] | (data[i + 1] << 8)
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + length) & 0xFFFFFFFF, stored


def read_def_exports(path):
    names = []
    in_exports = False
    with open(path) as f:
        for raw in f:
            line = raw.split(";")[0].strip()
            if not line:
                continue
            word = line.split()[0]
            if word.upper() == "EXPORTS":
                in_exports = True
                continue
            if word.upper() in ("LIBRARY", "NAME", "DESCRIPTION", "SECTIONS"):
                in_exports = False
                continue
            if in_exports:
                names.append(word.split("=")[0].split("@")[0])
    return names


def check(args):
    problems = []
    headers = objdump(args.objdump, ["-p"], args.image)

    if "file format pei-i386" not in headers:
        problems.append("not a 32-bit x86 PE image")
    magic = header_field(headers, "Magic")
    if magic != 0x10B:
        problems.append(f"optional header magic {magic!r:} is not PE32 (0x10b)")

    subsystem = header_field(headers, "Subsystem")
    want = SUBSYSTEMS[args.subsystem]
    if subsystem != want:
        problems.append(f"subsystem {subsystem} is not {args.subsystem} ({want})")

    characteristics = header_field(headers, "Characteristics")
    is_dll = characteristics is not None and characteristics & 0x2000 != 0
    if args.dll and not is_dll:
        problems.append("image is not marked as a DLL")

    if args.entry:
        base = header_field(headers, "ImageBase")
        entry = header_field(headers, "AddressOfEntryPoint")
        symbols = objdump(args.objdump, ["-t"], args.image)
        sections = objdump(args.objdump, ["-h"], args.image)
        address = symbol_address(symbols, sections, args.entry)
        if address is None:
            problems.append(f"entry symbol {args.entry} not found (image stripped?)")
        elif base is None or entry is None or address - base != entry:
            problems.append(f"entry point is not {args.entry}")
        if args.entry_section and address is not None:
            where = symbol_section(symbols, sections, args.entry)
            if where != args.entry_section:
                problems.append(f"entry {args.entry} is in {where}, not {args.entry_section}")

    if args.checksum:
        computed, stored = pe_checksum(args.image)
        if stored != computed:
            problems.append(f"header checksum {stored:#x} is not the image's {computed:#x}")

    allowed = {dll.lower() for dll in args.allow_import}
    for dll in imported_dlls(headers):
        if dll.lower() not in allowed:
            problems.append(f"import from {dll} is not allowed")

    if args.exports_list:
        for path in args.exports_list:
            problems += list_problems(export_list(path))
        _, rows = import_verdicts(imported_names(headers), args.exports_list)
        for dll, name, verdicts in rows:
            for platform, verdict in verdicts:
                if verdict is None:
                    problems.append(f"import {dll}!{name} is not exported by {platform}")
                elif verdict == HEADER_KIND:
                    problems.append(f"import {dll}!{name} has only a header basis on {platform}")
        if args.basis_table:
            print(basis_table(imported_names(headers), args.exports_list), end="")
        if args.check_table:
            want = basis_table(imported_names(headers), args.exports_list)
            image = os.path.basename(args.image).lower()
            if table_in(args.check_table, image) != want:
                problems.append(f"the table under \"<!-- basis: {image} -->\" in "
                                f"{args.check_table} is not the lists' verdicts; it should be:\n"
                                + want)

    if args.version_of_inf:
        want = version_of_inf(args.version_of_inf)
        found = version_resource(args.image)
        if want is None:
            problems.append(f"{args.version_of_inf} has no DriverVer")
        elif found is None:
            problems.append("no version resource")
        else:
            file_version, product_version, strings = found
            for what, got in (("file version", file_version), ("product version", product_version),
                              ("FileVersion string", strings.get("FileVersion")),
                              ("ProductVersion string", strings.get("ProductVersion"))):
                if got != want:
                    problems.append(f"{what} {got} is not the INF's DriverVer {want}")

    if args.no_static_constructors:
        symbols = objdump(args.objdump, ["-t"], args.image)
        for line in symbols.splitlines():
            if "_GLOBAL__sub_I" in line:
                problems.append(f"static constructor {line.split()[-1]} would never run")

    if args.exports_def is not None or args.no_exports:
        want_names = set(read_def_exports(args.exports_def)) if args.exports_def else set()
        got = exported_names(headers)
        for name in sorted(set(got) - want_names):
            problems.append(f"unexpected export {name}")
        for name in sorted(want_names - set(got)):
            problems.append(f"missing export {name}")
        if len(got) != len(set(got)):
            problems.append("an export name appears twice")

    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("image")
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("--subsystem", choices=sorted(SUBSYSTEMS), required=True)
    parser.add_argument("--entry", help="symbol the entry point must be")
    parser.add_argument("--entry-section",
                        help="section the entry symbol must lie in (INIT: freed after it ran)")
    parser.add_argument("--dll", action="store_true", help="the image must be a DLL")
    parser.add_argument("--allow-import", action="append", default=[], metavar="DLL")
    parser.add_argument("--exports-def", help="the export list must be exactly this .def file's")
    parser.add_argument("--no-exports", action="store_true", help="the image exports nothing")
    parser.add_argument("--no-static-constructors", action="store_true")
    parser.add_argument("--checksum", action="store_true",
                        help="the header checksum must be the image's (the kernel checks it)")
    parser.add_argument("--exports-list", action="append", default=[], metavar="FILE",
                        help="every import from a module this platform's export list "
                        "(windows/exports) has a section for must be in it, on more than a "
                        "header's word")
    parser.add_argument("--basis-table", action="store_true",
                        help="print the imports' verdicts per platform as a markdown table")
    parser.add_argument("--check-table", metavar="MARKDOWN",
                        help="the table under \"<!-- basis: IMAGE -->\" there must be the "
                        "imports' verdicts")
    parser.add_argument("--version-of-inf", metavar="INF",
                        help="the version resource must carry the INF's DriverVer version")
    args = parser.parse_args()

    problems = check(args)
    for p in problems:
        print(f"FAIL: {args.image}: {p}")
    if problems:
        return 1
    print(f"ok: {args.image}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
