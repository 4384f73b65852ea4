#!/usr/bin/env python3
"""The board drivers in real SMM: EDK II's PI SMM core in an OVMF built by the project
(build_smm_firmware.sh) dispatches them from the firmware volume, where GenFds placed them
through the integrator's package (FwBoardPkg, staged by the uefi build). QEMU q35 with
smm=on boots SmmProbe.efi as the removable-media loader; it raises the SMIs and prints what
came back. The debug-port log tells which images were dispatched and which handler served
each event.

Exit 77 (skipped) with the reason when QEMU, the uefi build or the SMM test firmware is
missing; `./fw firmware` builds the firmware once per machine.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SMM_IMAGES = ["PlatformFlashSmm", "SpiFlashSmm", "BoardSmiServiceSmm", "SleepGpioSmm"]
ACCESS_DENIED = 0x800000000000000F
UNTOUCHED = 0x0BADC0DE0BADC0DE
EFI_NOT_FOUND = 0x800000000000000E
RAX_UPPER = 0x1122334455660000
RBX_UPPER = 0x99AABBCCDDEE0000
ANSI = re.compile(r"\x1b\[[0-9;=?]*[A-Za-z]")


def skip(reason):
    print("SKIPPED: " + reason)
    return 77


def file_guid(uefi_dir, name):
    for line in open(os.path.join(uefi_dir, "edk2", "FwBoardPkg", name, name + ".inf")):
        m = re.match(r"\s*FILE_GUID\s*=\s*(\S+)", line)
        if m:
            return m.group(1).upper()
    return "?"


def boot(work, code, vars_template, probe, timeout, idle_limit):
    esp = os.path.join(work, "esp")
    shutil.rmtree(esp, ignore_errors=True)
    os.makedirs(os.path.join(esp, "EFI", "BOOT"))
    shutil.copy(probe, os.path.join(esp, "EFI", "BOOT", "BOOTX64.EFI"))
    vars_copy = os.path.join(work, "vars.fd")
    shutil.copy(vars_template, vars_copy)
    serial, debug = os.path.join(work, "serial.log"), os.path.join(work, "debug.log")
    for f in (serial, debug):
        if os.path.exists(f):
            os.remove(f)
    command = ["qemu-system-x86_64", "-machine", "q35,smm=on", "-accel", "tcg", "-m", "512", "-smp", "1",
               "-global", "driver=cfi.pflash01,property=secure,value=on",
               # An X64 PEI with SMM cannot resume from S3: OVMF asserts unless S3 is off.
               "-global", "ICH9-LPC.disable_s3=1",
               "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + code,
               "-drive", "if=pflash,format=raw,unit=1,file=" + vars_copy,
               "-drive", "format=raw,file=fat:rw:" + esp,
               "-nic", "none", "-display", "none", "-monitor", "none", "-no-reboot",
               "-serial", "file:" + serial, "-debugcon", "file:" + debug, "-global", "isa-debugcon.iobase=0x402"]
    start = time.monotonic()
    qemu = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    last_size, last_change, ended = -1, start, "shut down"
    while qemu.poll() is None:
        time.sleep(0.5)
        now = time.monotonic()
        size = sum(os.path.getsize(f) for f in (serial, debug) if os.path.exists(f))
        if size != last_size:
            last_size, last_change = size, now
        if now - start > timeout:
            ended = "killed after %d s" % timeout
        elif now - last_change > idle_limit:
            ended = "killed: no output for %d s (hung)" % idle_limit
        else:
            continue
        qemu.kill()
        break
    qemu.wait()
    read = lambda f: ANSI.sub("", open(f, errors="replace").read()).replace("\r", "") if os.path.exists(f) else ""
    return read(serial), read(debug), time.monotonic() - start, ended


class Checks:
    def __init__(self):
        self.failures, self.lines = [], []

    def __call__(self, what, ok, detail=""):
        self.lines.append("  %-4s %s%s" % ("ok" if ok else "FAIL", what, (": " + detail) if detail else ""))
        if not ok:
            self.failures.append(what + ((": " + detail) if detail else ""))


def probe_values(serial):
    """{label: {key: value}} from the probe's lines "probe: <label words> key=value ..."."""
    values = {}
    for line in serial.splitlines():
        words = line.strip().split()
        if not words or words[0] != "probe:":
            continue
        label = " ".join(w for w in words[1:] if "=" not in w)
        pairs = [w.split("=", 1) for w in words[1:] if "=" in w]
        if pairs:
            entry = values.setdefault(label, {})
            for k, val in pairs:
                entry[k] = int(val, 16) if val.startswith("0x") else val
    return values


def check(serial, debug, uefi_dir):
    c = Checks()
    v = probe_values(serial)
    c("no processor exception in the debug log", "!!!! X64 Exception" not in debug,
      re.search(r"!!!! X64 Exception.*", debug).group(0) if "!!!! X64 Exception" in debug else "")

    # Every image dispatched: the dispatcher's list of loaded SMM images (0xF0) by file GUID
    # (our images carry no debug directory, so the SMM core's load messages do not name them).
    loaded = {m.group(1).upper(): (int(m.group(2), 16), int(m.group(2), 16) + int(m.group(3), 16)) for m in
              re.finditer(r"TestSmiDispatch: image ([0-9A-Fa-f-]{36}) base 0x([0-9A-Fa-f]+) size 0x([0-9A-Fa-f]+)", debug)}
    bases = {}
    for name in SMM_IMAGES:
        guid = file_guid(uefi_dir, name)
        c("%s (%s) dispatched by the SMM core" % (name, guid), guid in loaded,
          "" if guid in loaded else "discovered but not loaded" if re.search(guid + r".*not loaded", debug, re.I) else "not loaded")
        if guid in loaded:
            bases[name] = loaded[guid]

    def owner(address):
        return next((n for n, (lo, hi) in bases.items() if lo <= address < hi), "?")

    registrations = [(m.group(1), owner(int(m.group(2), 16))) for m in
                     re.finditer(r"TestSmiDispatch: register (sw 0x[0-9a-fA-F]+|power-button phase 0|S[345] phase 0) handler 0x([0-9A-Fa-f]+)", debug)]
    registrations = [(what.lower() if what.startswith("sw") else what, who) for what, who in registrations]
    for event in ["sw 0x90", "sw 0xe0"]:
        want = "SpiFlashSmm" if event == "sw 0x90" else "BoardSmiServiceSmm"
        c("%s registered by %s" % (event, want), (event, want) in registrations)
    for event in ["power-button phase 0", "S3 phase 0", "S4 phase 0", "S5 phase 0"]:
        c("SleepGpioSmm registered %s" % event, (event, "SleepGpioSmm") in registrations)

    c("probe started", "probe: start" in serial)
    bdr = v.get("bdr0", {})
    # No PCH SPI controller on q35: 0:31:5 reads all ones, so the flash drivers found no
    # sound controller base to pin at start-up. Every request is refused with
    # EFI_ACCESS_DENIED, no controller register touched, and only Status is written.
    c('"$BDR" function 0 refused with EFI_ACCESS_DENIED (no SPI controller to pin)',
      bdr.get("status") == ACCESS_DENIED, "%#x" % bdr.get("status", 0))
    c('"$BDR" function 0 refused: Address, Size, Buffer and the part-name fields untouched',
      (bdr.get("address"), bdr.get("size"), bdr.get("buffer"), bdr.get("namesig"), bdr.get("namelen"),
       bdr.get("name0")) == (UNTOUCHED & 0xFFFFFFFF,) * 3 + (UNTOUCHED & 0xFFFFFFFF, UNTOUCHED >> 32, UNTOUCHED),
      "%s" % {k: hex(bdr[k]) for k in ("address", "size", "buffer") if k in bdr})
    for f in (1, 2, 3):
        sdb = v.get("sdb%d" % f, {})
        c('"$SDB" function %d over the real flash answered without fault (refused: no SPI controller)' % f,
          sdb.get("status") == ACCESS_DENIED, "status %#x" % sdb.get("status", 0))
    late = v.get("late-reserved", {})
    c("record in a reserved page taken after ready-to-lock: refused or answered, never a fault",
      late.get("status") in (UNTOUCHED, ACCESS_DENIED) and
      v.get("alive after late-reserved", {}).get("bx") == 0xAA55, "%s" % late)
    c("SMM alive after the area lookups", v.get("alive after area lookups", {}).get("bx") == 0xAA55)

    def e0(label, ax, bx_check, note):
        r = v.get("e0 " + label, {})
        rax, rbx = r.get("rax"), r.get("rbx")
        ok = rax is not None and rax >> 16 == RAX_UPPER >> 16 and rbx >> 16 == RBX_UPPER >> 16 and \
            rax & 0xFFFF == ax and bx_check(rbx & 0xFFFF)
        c("0xE0 %s: %s, upper halves of RAX/RBX kept" % (label, note), ok,
          "rax=%s rbx=%s" % (hex(rax) if rax is not None else "-", hex(rbx) if rbx is not None else "-"))

    e0("presence", 0x00E0, lambda bx: bx == 0xAA55, "AX 0x00E0, BX 0xAA55")
    e0("presence-wrong", 0x01E0, lambda bx: bx == 0x1234, "AH 1, BX unchanged")
    e0("me-manufacturing", 0x00E0, lambda bx: bx in (0, 1), "AH 0, BX 0 or 1")
    e0("me-operation", 0x00E0, lambda bx: bx >> 8 == 0, "AH 0, BH 0")
    e0("unknown", 0x00E0, lambda bx: bx == 0x4321, "AH 0, BX unchanged")

    for event, name in [("power button", r"power button"), ("S5 entry", r"S5 entry")]:
        m = re.findall(r"TestSmiDispatch: %s -> handler 0x([0-9A-Fa-f]+) (\S+)" % name, debug)
        served = [(owner(int(a, 16)), s) for a, s in m]
        c("%s reached SleepGpioSmm's handler" % event, ("SleepGpioSmm", "Success") in served, "%s" % served)
    c("BiosGuardVarDxe wrote no BiosGuardCapsuleVariable (no BIOS Guard)",
      v.get("variable", {}).get("status") == EFI_NOT_FOUND, "GetVariable %#x" % v.get("variable", {}).get("status", 0))

    for label in ["boot-services-data", "0xB3", "smram", "mmio", "above-4g"]:
        raised = ("probe: hostile %s raising" % label) in serial
        alive = v.get("alive after " + label, {}).get("bx") == 0xAA55
        status = v.get("hostile " + label, {}).get("status")
        refused = status is None or status == UNTOUCHED
        c("record at %s refused, SMM alive afterwards" % label, raised and alive and refused,
          "" if raised and alive and refused else
          ("not reached" if not raised else "SMM died" if not alive else "record written: status %#x" % status))
    c("probe ran to the end", "probe: done" in serial)
    return c


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--uefi-dir", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--timeout", type=int, default=600)
    args = parser.parse_args()
    probe = os.path.join(args.uefi_dir, "test-apps", "SmmProbe.efi")
    package = os.path.join(args.uefi_dir, "edk2")
    if not shutil.which("qemu-system-x86_64"):
        return skip("qemu-system-x86_64 missing (apt-get install qemu-system-x86)")
    if not os.path.exists(probe) or not os.path.isdir(os.path.join(package, "FwBoardPkg")):
        return skip("no uefi build in %s (cmake --build --preset uefi)" % args.uefi_dir)
    script = os.path.join(HERE, "build_smm_firmware.sh")
    if subprocess.run([script, "--check"], stdout=subprocess.DEVNULL).returncode != 0:
        return skip("the SMM test firmware is not built on this machine: ./fw firmware builds it once "
                    "(15 to 30 minutes on two cores), then these tests run")
    os.makedirs(args.work, exist_ok=True)
    t = time.monotonic()
    if subprocess.run([script, "--assemble", package, args.work]).returncode != 0:
        print("FAIL placing the drivers into the firmware volume (see %s/assemble.log)" % args.work)
        return 1
    print("drivers placed into the firmware volume by GenFds through FwBoardPkg: %.0f s" % (time.monotonic() - t))
    serial, debug, seconds, ended = boot(args.work, os.path.join(args.work, "OVMF_CODE.fd"),
                                         os.path.join(args.work, "OVMF_VARS.fd"), probe, args.timeout, 120)
    print("QEMU q35 smm=on: %.0f s, %s (logs: %s/serial.log, debug.log)" % (seconds, ended, args.work))
    checks = check(serial, debug, args.uefi_dir)
    print("\n".join(checks.lines))
    print("%d checks, %d failed" % (len(checks.lines), len(checks.failures)))
    return 1 if checks.failures else 0


if __name__ == "__main__":
    sys.exit(main())
