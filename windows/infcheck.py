#!/usr/bin/env python3
"""Consistency check of the driver's INF, which serves Windows 98 SE and Me
(undecorated install sections, loaded by NTKERN) and Windows 2000 and later
(.NT sections, a kernel service): every section it names exists, every file
it copies has a source disk and a destination, both paths load prnsbp.sys
and give it the configuration values it expects, with their defaults, the
version is well formed and a catalog it names is beside it.

Exit status 0 when sound, 1 with "FAIL:" lines otherwise.
"""
import os
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


def config_values(s, addregs):
    config = {}
    for reg in addregs:
        for entry in s.get(reg.lower(), []):
            f = [x.strip() for x in entry.split(",")]
            if len(f) >= 5 and f[0].upper() == "HKR" and f[3].lower() == "0x00010001":
                config[f[2]] = int(f[4], 0)
    return config


def registry_strings(s, addregs):
    out = {}
    for reg in addregs:
        for entry in s.get(reg.lower(), []):
            f = [x.strip() for x in entry.split(",")]
            if len(f) >= 5 and f[0].upper() == "HKR" and f[3] in ("", "0"):
                out[f[2].lower()] = f[4]
    return out


def check_copies(s, sources, inst_section, problems, legacy=False):
    dirs = {}
    for line in s["destinationdirs"]:
        if "=" in line:
            k, v = line.split("=", 1)
            dirs[k.strip().lower()] = v.strip().replace(" ", "").lower()
    copied = []
    for copy in values(s.get(inst_section, []), "CopyFiles"):
        where = dirs.get(copy.lower(), dirs.get("defaultdestdir"))
        if where is None:
            problems.append(f"[{copy}] has no destination")
        elif legacy and where != "10,system32\\drivers":
            # 12 is IOSUBSYS there; NTKERN loads drivers from System32\Drivers.
            problems.append(f"[{copy}] goes to {where}, not 10,System32\\Drivers (Windows 98, Me)")
        for f in s.get(copy.lower(), []):
            copied.append(f.lower())
            if f.lower() not in sources:
                problems.append(f"{f} is copied but has no source disk")
    if "prnsbp.sys" not in copied:
        problems.append(f"[{inst_section}] does not copy prnsbp.sys")


def check(text, folder=None):
    problems = []
    s = parse(text)
    for required in ("version", "manufacturer", "strings", "sourcedisksfiles", "destinationdirs"):
        if required not in s:
            problems.append(f"no [{required}] section")
    if problems:
        return problems
    if [v.lower() for v in values(s["version"], "Signature")] != ['"$chicago$"']:
        problems.append("signature is not $CHICAGO$ (the INF serves Windows 98 and Me too)")
    driver_ver = values(s["version"], "DriverVer")
    if (len(driver_ver) != 2 or not re.fullmatch(r"\d\d/\d\d/\d{4}", driver_ver[0])
            or not re.fullmatch(r"\d+\.\d+\.\d+\.\d+", driver_ver[1])):
        problems.append(f"DriverVer {driver_ver} is not mm/dd/yyyy,w.x.y.z")
    for line in s["version"]:
        key, _, value = line.partition("=")
        if key.strip().lower().startswith("catalogfile"):
            cat = value.strip()
            if folder is None or not os.path.isfile(os.path.join(folder, cat)):
                problems.append(f"catalog {cat} is named but not beside the INF")
    if values(s["version"], "ClassGuid"):
        for section in ("classinstall", "classinstall32"):
            if section not in s:
                problems.append(f"no [{section}] for the setup class")
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
        for suffix in ("", ".nt", ".nt.services"):
            if (inst + suffix).lower() not in s:
                problems.append(f"install section [{inst}{suffix}] missing")
        # Windows 98 and Me: NTKERN loads the WDM driver the device's
        # NTMPDriver names; the configuration goes under the driver key.
        legacy = inst.lower()
        if legacy in s:
            check_copies(s, sources, legacy, problems, legacy=True)
            addregs = values(s[legacy], "AddReg")
            loader = registry_strings(s, addregs)
            if loader.get("devloader", "").lower() != "*ntkern":
                problems.append(f"[{inst}] does not make NTKERN the device loader (DevLoader)")
            if loader.get("ntmpdriver", "").lower() != "prnsbp.sys":
                problems.append(f"[{inst}] does not name prnsbp.sys as NTMPDriver")
            config = config_values(s, addregs)
            if config != EXPECTED_CONFIG:
                problems.append(f"legacy configuration {config} is not {EXPECTED_CONFIG}")
        if (inst + ".nt").lower() in s:
            check_copies(s, sources, (inst + ".nt").lower(), problems)
        for line in values(s.get((inst + ".nt.services").lower(), []), "AddService")[2:3]:
            svc = s.get(line.lower())
            if svc is None:
                problems.append(f"service section [{line}] missing")
                continue
            if values(svc, "ServiceType") != ["1"]:
                problems.append("service is not a kernel driver")
            if not any(v.lower().endswith("prnsbp.sys") for v in values(svc, "ServiceBinary")):
                problems.append("service binary is not prnsbp.sys")
            config = config_values(s, values(svc, "AddReg"))
            if config != EXPECTED_CONFIG:
                problems.append(f"service configuration {config} is not {EXPECTED_CONFIG}")
    return problems


# Faults the check must find, each made by one edit of the sound INF.
MUTATIONS = [
    ("MDL_SIZE,0x00010001,0", "MDL_SIZE,0x00010001,4096", "service configuration"),
    ("HKR,,TIME_OUT,0x00010001,90", "", "service configuration"),
    ("CmdSetId104d8\n\n; ----", "CmdSetId104d8, LPTENUM\\ORVEXZR_4410X1234\n\n; ----",
     "claims the child's LPTENUM ID"),
    ("prnsbp.sys = 1", "other.sys = 1", "has no source disk"),
    ("[PrnSbp_Inst.NT.Services]", "[PrnSbp_Inst.Services]", "install section"),
    ("ServiceType   = 1", "ServiceType   = 16", "not a kernel driver"),
    ("Service.Desc    =", "ServiceDesc    =", "is not defined"),
    ('"$CHICAGO$"', '"$Windows NT$"', "signature is not $CHICAGO$"),
    ("[PrnSbp_Inst]", "[PrnSbp_Inst.Win]", "install section [PrnSbp_Inst] missing"),
    ("HKR,,DevLoader,,*ntkern", "HKR,,DevLoader,,*ios", "device loader"),
    ("HKR,,NTMPDriver,,prnsbp.sys", "HKR,,NTMPDriver,,other.sys", "NTMPDriver"),
    ("AddReg    = PrnSbp_Loader, PrnSbp_Config", "AddReg    = PrnSbp_Loader",
     "legacy configuration"),
    ("PrnSbp_Files_9x = 10,System32\\Drivers", "", "System32\\Drivers"),
    ("[ClassInstall]\nAddReg", "[ClassInstall9x]\nAddReg", "no [classinstall]"),
    ("DriverVer   = 12/07/2026,1.75.0.0", "DriverVer   = 12/07/2026", "DriverVer"),
    ("DriverVer   =", "CatalogFile = prnsbp.cat\nDriverVer   =", "catalog prnsbp.cat is named"),
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
    problems = check(text, os.path.dirname(os.path.abspath(sys.argv[1])))
    for p in problems:
        print(f"FAIL: {sys.argv[1]}: {p}")
    if not problems:
        print(f"ok: {sys.argv[1]}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
