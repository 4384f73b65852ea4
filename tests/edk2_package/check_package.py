#!/usr/bin/env python3
"""Checks that the staged FwBoardPkg (build/uefi/edk2) agrees with the images the uefi
build produced (build/uefi/ffs/*.ffs): file GUIDs, module and file types, the PE32 image,
the dependency expressions, the GUIDs of the .dec, and the FDF lines and rules an
integrator adds. Exit 77 when there is no uefi build to check."""
import argparse
import os
import re
import struct
import sys
import uuid

FV_FILETYPE = {0x07: "DXE_DRIVER", 0x0A: "DXE_SMM_DRIVER"}
DEPEX_SECTION = {"DXE_DRIVER": (0x13, "DXE_DEPEX"), "DXE_SMM_DRIVER": (0x1C, "SMM_DEPEX")}
SECTION_PE32 = 0x10
POWER_BUTTON_DISPATCH2 = uuid.UUID("1B1183FA-1823-46A7-8872-9C578755409D")
SX_DISPATCH2 = uuid.UUID("456D2859-A84B-4E47-A2EE-3276D886997D")


def ffs_sections(path):
    data = open(path, "rb").read()
    guid = uuid.UUID(bytes_le=data[:16])
    ftype = data[18]
    size = int.from_bytes(data[20:23], "little")
    sections, off = {}, 24
    while off + 4 <= size:
        ssize = int.from_bytes(data[off:off + 3], "little")
        if ssize < 4:
            break
        sections[data[off + 3]] = data[off + 4:off + ssize]
        off = (off + ssize + 3) & ~3
    return guid, ftype, sections


def depex_protocols(code):
    """The set of protocols an AND-only expression (or TRUE) requires; None when it is another shape."""
    required, pc, depth = set(), 0, 0
    while pc < len(code):
        op = code[pc]
        pc += 1
        if op == 0x02:
            required.add(uuid.UUID(bytes_le=bytes(code[pc:pc + 16])))
            pc += 16
            depth += 1
        elif op == 0x03:
            depth -= 1
        elif op == 0x06:
            depth += 1
        elif op == 0x08:
            return required if depth == 1 and pc == len(code) else None
        else:
            return None
    return None


def c_guids(path):
    pattern = re.compile(r"constexpr EFI_GUID (\w+)\s*=\s*\{\s*(0x\w+),\s*(0x\w+),\s*(0x\w+),\s*\{([^}]*)\}")
    out = {}
    for m in pattern.finditer(open(path).read()):
        tail = bytes(int(x, 16) for x in m.group(5).split(","))
        raw = struct.pack("<IHH", int(m.group(2), 16), int(m.group(3), 16), int(m.group(4), 16)) + tail
        out[m.group(1)] = uuid.UUID(bytes_le=raw)
    return out


def dec_guids(path):
    out, section = {}, None
    for line in open(path):
        s = line.split("#", 1)[0].strip()
        if s.startswith("["):
            section = s.strip("[]")
            continue
        m = re.match(r"(g\w+)\s*=\s*\{\s*(0x\w+),\s*(0x\w+),\s*(0x\w+),\s*\{([^}]*)\}", s)
        if m:
            tail = bytes(int(x, 16) for x in m.group(5).split(","))
            raw = struct.pack("<IHH", int(m.group(2), 16), int(m.group(3), 16), int(m.group(4), 16)) + tail
            out[m.group(1)] = (section, uuid.UUID(bytes_le=raw))
    return out


def inf(path):
    defines, binaries, section = {}, [], None
    for line in open(path):
        s = line.split("#", 1)[0].strip()
        if not s:
            continue
        if s.startswith("["):
            section = s.strip("[]")
        elif section == "Defines" and "=" in s:
            k, v = s.split("=", 1)
            defines[k.strip()] = v.strip()
        elif section == "Binaries.X64":
            binaries.append([p.strip() for p in s.split("|")])
    return defines, binaries


def check(project, uefi_build):
    failures = []
    pkg = os.path.join(uefi_build, "edk2", "FwBoardPkg")
    dec = dec_guids(os.path.join(pkg, "FwBoardPkg.dec"))
    project_guids = c_guids(os.path.join(project, "uefi", "BoardProtocols.h"))
    project_guids.update(c_guids(os.path.join(project, "flash", "service", "FlashServiceProtocol.h")))

    # Protocol GUIDs of the .dec are the ones the drivers are built with.
    for name, c in [("gFwBoardSmmFrameSupportProtocolGuid", "SMM_FRAME_SUPPORT_PROTOCOL_GUID"),
                    ("gFwBoardPlatformFlashProtocolGuid", "PLATFORM_FLASH_PROTOCOL_GUID"),
                    ("gFwBoardFlashUpdatePrepareProtocolGuid", "FLASH_UPDATE_PREPARE_PROTOCOL_GUID"),
                    ("gFwBoardBiosGuardProtocolGuid", "BIOS_GUARD_PROTOCOL_GUID"),
                    ("gFwBoardFlashServiceProtocolGuid", "FLASH_SERVICE_PROTOCOL_GUID")]:
        if dec.get(name, (None, None))[1] != project_guids.get(c) or dec[name][0] != "Protocols":
            failures.append("%s in the .dec is not %s of the build" % (name, c))

    fdf_lines = open(os.path.join(pkg, "FwBoardPkg.fdf.inc")).read()
    rules = open(os.path.join(pkg, "FwBoardPkg.rules.fdf.inc")).read()
    modules = sorted(d for d in os.listdir(pkg) if os.path.isfile(os.path.join(pkg, d, d + ".inf")))
    ffs_dir = os.path.join(uefi_build, "ffs")
    built = sorted(f[:-4] for f in os.listdir(ffs_dir) if f.endswith(".ffs"))
    if modules != built:
        failures.append("package modules %s, built images %s" % (modules, built))

    for name in modules:
        where = os.path.join(pkg, name)
        defines, binaries = inf(os.path.join(where, name + ".inf"))
        ffs = os.path.join(ffs_dir, name + ".ffs")
        if not os.path.exists(ffs):
            continue
        guid, ftype, sections = ffs_sections(ffs)
        row = []
        mtype = defines.get("MODULE_TYPE")
        if defines.get("BASE_NAME") != name:
            failures.append("%s: BASE_NAME is %s" % (name, defines.get("BASE_NAME")))
        if uuid.UUID(defines.get("FILE_GUID", "0" * 32)) != guid:
            failures.append("%s: FILE_GUID %s, image file %s" % (name, defines.get("FILE_GUID"), guid))
        if dec.get("gFwBoard%sFileGuid" % name, (None, None))[1] != guid:
            failures.append("%s: the .dec's file GUID is not the image's" % name)
        if FV_FILETYPE.get(ftype) != mtype:
            failures.append("%s: MODULE_TYPE %s, image file type 0x%02X" % (name, mtype, ftype))
            continue
        section_type, depex_kind = DEPEX_SECTION[mtype]
        kinds = {b[0]: b[1] for b in binaries}
        if kinds.get("PE32") != name + ".efi" or depex_kind not in kinds:
            failures.append("%s: [Binaries.X64] must name PE32 %s.efi and %s" % (name, name, depex_kind))
            continue
        pe = open(os.path.join(where, kinds["PE32"]), "rb").read()
        if pe != sections.get(SECTION_PE32):
            failures.append("%s: the package's .efi is not the image's PE32 section" % name)
        package_depex = depex_protocols(open(os.path.join(where, kinds[depex_kind]), "rb").read())
        image_depex = depex_protocols(sections.get(section_type, b""))
        if package_depex is None or image_depex is None:
            failures.append("%s: dependency expression missing or not an AND of protocols" % name)
            continue
        if name == "SleepGpioSmm":
            # The image starts whatever is installed; the module waits for both dispatchers.
            if image_depex != set() or package_depex != {POWER_BUTTON_DISPATCH2, SX_DISPATCH2}:
                failures.append("SleepGpioSmm: module must wait for the power-button and Sx dispatchers")
        elif package_depex != image_depex:
            failures.append("%s: module dependency %s, image %s" % (name, package_depex, image_depex))
        if not re.search(r"^INF\s+RuleOverride\s*=\s*BINARY\s+FwBoardPkg/%s/%s\.inf\s*$" % (name, name), fdf_lines, re.M):
            failures.append("%s: no INF line in FwBoardPkg.fdf.inc" % name)
        row.append("%-20s %-15s %s  depex %d protocol(s)" % (name, mtype, guid, len(package_depex)))
        print("  " + row[0])

    for mtype, (_, depex_kind) in DEPEX_SECTION.items():
        m = re.search(r"\[Rule\.Common\.%s\.BINARY\](.*?)(\n\[|\Z)" % mtype, rules, re.S)
        if not m or not re.search(r"%s\s+%s.*\|\.depex" % (depex_kind, depex_kind), m.group(1)) or \
                not re.search(r"PE32\s+PE32\s*\|\.efi", m.group(1)):
            failures.append("FwBoardPkg.rules.fdf.inc: no binary rule for %s" % mtype)
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--project", required=True)
    parser.add_argument("--uefi-build", required=True)
    args = parser.parse_args()
    if not os.path.isdir(os.path.join(args.uefi_build, "edk2", "FwBoardPkg")):
        message = "no staged package in %s/edk2: run cmake --build --preset uefi first" % args.uefi_build
        if os.environ.get("CI"):
            raise SystemExit(message)
        print(message)
        return 77
    failures = check(args.project, args.uefi_build)
    for f in failures:
        print("FAIL " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
