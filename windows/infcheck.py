#!/usr/bin/env python3
"""Consistency check of an INF: every section it names exists, every file it
copies has a source disk, and the service key gets the configuration values
the driver expects, with their defaults.

Exit status 0 when sound, 1 with "FAIL:" lines otherwise.
"""
import re
import sys

EXPECTED_CONFIG = {"TIME_OUT": 90, "USE_SCSI_PRINT": 0, "MDL_SIZE": 0}


def parse(text):
    sections, current = {}, None
    for raw in text.splitlines():
        line = raw.split(";")[0].strip()
        if not line:
            continue
        m = re.fullmatch(r"\[([^\]]+)\]", line)
        if m:
            current = m.group(1).lower()
            sections.setdefault(current, [])
        elif current is not None:
            sections[current].append(line)
    return sections


def values(lines, key):
    out = []
    for line in lines:
        if "=" in line:
            k, v = line.split("=", 1)
            if k.strip().lower() == key.lower():
                out += [x.strip() for x in v.split(",")]
    return out


def check(text):
    problems = []
    s = parse(text)
    for required in ("version", "manufacturer", "strings", "sourcedisksfiles", "destinationdirs"):
        if required not in s:
            problems.append(f"no [{required}] section")
    if problems:
        return problems
    if values(s["version"], "Signature") != ['"$Windows NT$"']:
        problems.append("signature is not $Windows NT$")
    strings = {l.split("=", 1)[0].strip().lower() for l in s["strings"] if "=" in l}
    for name in set(re.findall(r"%([A-Za-z][\w.]*)%", text)):
        if name.lower() not in strings and not name.isdigit():
            problems.append(f"string %{name}% is not defined")

    models = []
    for line in s["manufacturer"]:
        parts = [p.strip() for p in line.split("=", 1)[1].split(",")]
        models.append(parts[0])
        models += [f"{parts[0]}.{d}" for d in parts[1:]]
    installs = set()
    for model in models:
        if model.lower() not in s:
            problems.append(f"models section [{model}] missing")
            continue
        for line in s[model.lower()]:
            parts = [p.strip() for p in line.split("=", 1)[1].split(",")]
            installs.add(parts[0])
            if len(parts) < 2 or not parts[1].upper().startswith("SBP2\\"):
                problems.append(f"[{model}] installs on {parts[1:]} which is not an SBP-2 unit ID")
            if any(p.upper().startswith("LPTENUM\\") for p in parts[1:]):
                problems.append(f"[{model}] claims the child's LPTENUM ID")

    sources = {l.split("=")[0].strip().lower() for l in s["sourcedisksfiles"]}
    for inst in installs:
        for suffix in (".nt", ".nt.services"):
            if (inst + suffix).lower() not in s:
                problems.append(f"install section [{inst}{suffix}] missing")
        for copy in values(s.get((inst + ".nt").lower(), []), "CopyFiles"):
            for f in s.get(copy.lower(), []):
                if f.lower() not in sources:
                    problems.append(f"{f} is copied but has no source disk")
        for line in values(s.get((inst + ".nt.services").lower(), []), "AddService")[2:3]:
            svc = s.get(line.lower())
            if svc is None:
                problems.append(f"service section [{line}] missing")
                continue
            if values(svc, "ServiceType") != ["1"]:
                problems.append("service is not a kernel driver")
            if not any(v.lower().endswith("prnsbp.sys") for v in values(svc, "ServiceBinary")):
                problems.append("service binary is not prnsbp.sys")
            config = {}
            for reg in values(svc, "AddReg"):
                for entry in s.get(reg.lower(), []):
                    f = [x.strip() for x in entry.split(",")]
                    if len(f) >= 5 and f[0].upper() == "HKR" and f[3].lower() == "0x00010001":
                        config[f[2]] = int(f[4], 0)
            if config != EXPECTED_CONFIG:
                problems.append(f"service configuration {config} is not {EXPECTED_CONFIG}")
    return problems


# Faults the check must find, each made by one edit of the sound INF.
MUTATIONS = [
    ("MDL_SIZE,0x00010001,0", "MDL_SIZE,0x00010001,4096", "service configuration"),
    ("HKR,,TIME_OUT,0x00010001,90", "", "service configuration"),
    ("CmdSetId104d8\n\n[PrnSbp", "CmdSetId104d8, LPTENUM\\ORVEXZR_4410X1234\n\n[PrnSbp",
     "claims the child's LPTENUM ID"),
    ("prnsbp.sys = 1", "other.sys = 1", "has no source disk"),
    ("[PrnSbp_Inst.NT.Services]", "[PrnSbp_Inst.Services]", "install section"),
    ("ServiceType   = 1", "ServiceType   = 16", "not a kernel driver"),
    ("Service.Desc    =", "ServiceDesc    =", "is not defined"),
]


def self_test(text):
    failures = 0
    if check(text):
        print("FAIL: the sound INF is rejected")
        failures += 1
    for old, new, expected in MUTATIONS:
        if old not in text:
            print(f"FAIL: mutation target {old!r} not in the INF")
            failures += 1
            continue
        found = check(text.replace(old, new, 1))
        if not any(expected in p for p in found):
            print(f"FAIL: changing {old!r} to {new!r} is not reported as {expected!r}: {found}")
            failures += 1
    print(f"{len(MUTATIONS) + 1 - failures} passed, {failures} failed")
    return 1 if failures else 0


def main():
    text = open(sys.argv[-1], encoding="ascii").read()
    if sys.argv[1] == "--self-test":
        return self_test(text)
    problems = check(text)
    for p in problems:
        print(f"FAIL: {sys.argv[1]}: {p}")
    if not problems:
        print(f"ok: {sys.argv[1]}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
