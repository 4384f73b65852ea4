#!/usr/bin/env python3
"""Lays out FwBoardPkg with its binaries, ready to copy into an EDK II workspace.

    stage_package.py --project <repo> --uefi-build <build/uefi> --out <dir>

Copies edk2/FwBoardPkg to <dir>/FwBoardPkg and, for every module .inf in it, places the
built <BASE_NAME>.efi beside the .inf and compiles the module's [Depex] section into the
dependency expression file its [Binaries] section names (<BASE_NAME>.depex). Protocol
names resolve through FwBoardPkg.dec and the project's UEFI type layer (uefi/*.h), where
EDK II's gEfiSmmCpuProtocolGuid is EFI_SMM_CPU_PROTOCOL_GUID.
"""
import argparse
import os
import re
import shutil
import struct
import sys

DEP_PUSH, DEP_AND, DEP_TRUE, DEP_END = 0x02, 0x03, 0x06, 0x08


def c_name(edk2_name):
    """gEfiSmmCpuProtocolGuid -> EFI_SMM_CPU_PROTOCOL_GUID."""
    words = re.findall(r"[A-Z][a-z]*[0-9]*|[0-9]+", edk2_name[1:])
    return "_".join(w.upper() for w in words)


def guids_of_headers(project):
    found = {}
    pattern = re.compile(r"constexpr EFI_GUID (\w+)\s*=\s*\{\s*(0x[0-9A-Fa-f]+),\s*(0x[0-9A-Fa-f]+),\s*(0x[0-9A-Fa-f]+),"
                         r"\s*\{([^}]*)\}\s*\}")
    udir = os.path.join(project, "uefi")
    for f in sorted(os.listdir(udir)):
        if f.endswith(".h"):
            for m in pattern.finditer(open(os.path.join(udir, f)).read()):
                tail = bytes(int(x, 16) for x in m.group(5).split(","))
                found[m.group(1)] = struct.pack("<IHH", int(m.group(2), 16), int(m.group(3), 16),
                                                int(m.group(4), 16)) + tail
    return found


def guids_of_dec(path):
    found = {}
    pattern = re.compile(r"^\s*(g\w+)\s*=\s*\{\s*(0x[0-9A-Fa-f]+),\s*(0x[0-9A-Fa-f]+),\s*(0x[0-9A-Fa-f]+),\s*\{([^}]*)\}\s*\}",
                         re.M)
    for m in pattern.finditer(open(path).read()):
        tail = bytes(int(x, 16) for x in m.group(5).split(","))
        found[m.group(1)] = struct.pack("<IHH", int(m.group(2), 16), int(m.group(3), 16), int(m.group(4), 16)) + tail
    return found


def inf_sections(path):
    """{section name: [lines]} of an INF, comments dropped."""
    sections, current = {}, None
    for raw in open(path):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        if line.startswith("["):
            current = line.strip("[]").strip()
            sections.setdefault(current, [])
        elif current:
            sections[current].append(line)
    return sections


def compile_depex(expression, resolve):
    """An AND of protocol names, or TRUE, as a PI dependency expression."""
    words = expression.split()
    if words == ["TRUE"]:
        return bytes([DEP_TRUE, DEP_END])
    if not words or len(words) % 2 == 0 or any(w != "AND" for w in words[1::2]):
        raise ValueError("unsupported dependency expression: %s" % expression)
    code = b""
    for i, name in enumerate(words[::2]):
        code += bytes([DEP_PUSH]) + resolve(name)
        if i > 0:
            code += bytes([DEP_AND])
    return code + bytes([DEP_END])


def stage(project, uefi_build, out):
    source = os.path.join(project, "edk2", "FwBoardPkg")
    target = os.path.join(out, "FwBoardPkg")
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(source, target)
    known = guids_of_headers(project)
    known_dec = guids_of_dec(os.path.join(source, "FwBoardPkg.dec"))

    def resolve(name):
        if name in known_dec:
            return known_dec[name]
        if c_name(name) in known:
            return known[c_name(name)]
        raise ValueError("unknown GUID name %s" % name)

    modules = []
    for entry in sorted(os.listdir(target)):
        inf = os.path.join(target, entry, entry + ".inf")
        if not os.path.isfile(inf):
            continue
        sections = inf_sections(inf)
        defines = dict(l.split("=", 1) for l in sections["Defines"])
        defines = {k.strip(): v.strip() for k, v in defines.items()}
        name = defines["BASE_NAME"]
        shutil.copy(os.path.join(uefi_build, "efi", name + ".efi"), os.path.join(target, entry))
        depex_file = None
        for line in sections.get("Binaries.X64", []):
            kind, path = [p.strip() for p in line.split("|")[:2]]
            if kind.endswith("_DEPEX"):
                depex_file = path
        if depex_file:
            code = compile_depex(" ".join(sections.get("Depex", ["TRUE"])), resolve)
            with open(os.path.join(target, entry, depex_file), "wb") as f:
                f.write(code)
        modules.append(name)
    return modules


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--project", required=True)
    parser.add_argument("--uefi-build", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    try:
        modules = stage(args.project, args.uefi_build, args.out)
    except (ValueError, KeyError, OSError) as e:
        print("stage_package: %s" % e, file=sys.stderr)
        return 1
    print("FwBoardPkg: %s" % ", ".join(modules))
    return 0


if __name__ == "__main__":
    sys.exit(main())
