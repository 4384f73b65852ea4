#!/usr/bin/env python3
"""Boots Debian's OVMF under QEMU (TCG) with the firmware images on a FAT folder and a
startup script that loads each, and checks what the UEFI shell reports for every image.

Two boots:
  smm    4 MiB OVMF built with SMM (q35, smm=on, secure pflash): EFI_SMM_BASE2_PROTOCOL is
         present, InSmm answers FALSE in DXE: every SMM driver returns EFI_SUCCESS having
         registered nothing; BiosGuardVarDxe returns EFI_SUCCESS and writes no variable
         (QEMU's processor reports no BIOS Guard).
  nosmm  4 MiB OVMF without SMM: EFI_SMM_BASE2_PROTOCOL is absent, so every SMM driver's
         entry point returns the EFI_NOT_FOUND of that lookup; BiosGuardVarDxe as above.
"""
import argparse
import os
import re
import select
import shutil
import subprocess
import sys
import time
import tomllib

OVMF = "/usr/share/OVMF"
BIOS_GUARD_VARIABLE_GUID = "368B3153-563D-4610-8D94-47A9FA8C4C16"
FLASH_SERVICE_PROTOCOL_GUID = "A715AB9C-D147-41F6-AD46-D0C4E4CF6374"
ANSI = re.compile(rb"\x1b\[[0-9;=?]*[A-Za-z]")

BOOTS = {
    "smm": {
        "code": "OVMF_CODE_4M.secboot.fd",
        "machine": ["-machine", "q35,smm=on", "-global", "driver=cfi.pflash01,property=secure,value=on"],
        "smm_result": "Success",
    },
    "nosmm": {
        "code": "OVMF_CODE_4M.fd",
        "machine": ["-machine", "q35"],
        "smm_result": "Not Found",
    },
}


def images(uefi_dir):
    """(name, kind) of every .efi the build produced; the kind comes from its .ffs description."""
    found = []
    for f in sorted(os.listdir(os.path.join(uefi_dir, "efi"))):
        if not f.endswith(".efi"):
            continue
        name = f[:-4]
        with open(os.path.join(uefi_dir, "ffs", name + ".toml"), "rb") as datasheet:
            kind = tomllib.load(datasheet)["file"]["type"]
        found.append((name, kind))
    return found


def boot(config, work, uefi_dir, found, timeout):
    esp = os.path.join(work, "esp")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(esp)
    lines = []
    for name, _ in found:
        shutil.copy(os.path.join(uefi_dir, "efi", name + ".efi"), esp)
        lines.append("load fs0:\\%s.efi" % name)
    lines += ["dmpstore -guid %s" % BIOS_GUARD_VARIABLE_GUID, "dh -p %s" % FLASH_SERVICE_PROTOCOL_GUID, "reset -s"]
    with open(os.path.join(esp, "startup.nsh"), "w", newline="\r\n") as nsh:
        nsh.write("\n".join(lines) + "\n")
    vars_copy = os.path.join(work, "vars.fd")
    shutil.copy(os.path.join(OVMF, "OVMF_VARS_4M.fd"), vars_copy)
    command = (["qemu-system-x86_64"] + config["machine"] + [
        "-accel", "tcg", "-m", "256", "-smp", "1",
        "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + os.path.join(OVMF, config["code"]),
        "-drive", "if=pflash,format=raw,unit=1,file=" + vars_copy,
        "-drive", "format=raw,file=fat:rw:" + esp,
        "-nic", "none", "-display", "none", "-monitor", "none", "-no-reboot", "-serial", "stdio"])
    start = time.monotonic()
    qemu = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    raw = b""
    key_sent = False
    while True:
        left = timeout - (time.monotonic() - start)
        if left <= 0:
            qemu.kill()
            qemu.wait()
            raise SystemExit("%s: no shutdown within %d s; serial so far:\n%s" % (config["code"], timeout, clean(raw)))
        ready, _, _ = select.select([qemu.stdout], [], [], min(left, 0.5))
        if ready:
            chunk = os.read(qemu.stdout.fileno(), 65536)
            if not chunk:
                break
            raw += chunk
            # Any key but ESC skips the shell's five-second countdown before startup.nsh.
            if not key_sent and b"seconds to skip" in ANSI.sub(b"", raw):
                qemu.stdin.write(b" ")
                qemu.stdin.flush()
                key_sent = True
    qemu.wait()
    return clean(raw), time.monotonic() - start, qemu.returncode


def clean(raw):
    return ANSI.sub(b"", raw).replace(b"\r", b"").decode("utf-8", "replace")


def check(label, config, log, found):
    failures = []
    if "!!!!" in log and "Exception" in log:
        failures.append("processor exception dump in the log")
    for name, kind in found:
        expected = config["smm_result"] if kind == "smm" else "Success"
        ok = re.search(r"Image 'FS0:\\%s\.efi' loaded at [0-9A-Fa-f]+ - Success" % re.escape(name), log)
        err = re.search(r"Image 'FS0:\\%s\.efi' error in StartImage: ([^\n]*)" % re.escape(name), log)
        got = "Success" if ok else (err.group(1).strip() if err else "no report")
        status = "ok" if got == expected else "WRONG"
        print("  %-22s %-6s expected %-10s shell says %s  [%s]" % (name, kind, expected, got, status))
        if got != expected:
            failures.append("%s: expected %s, shell says %s" % (name, expected, got))
    # BiosGuardVarDxe ran on a processor without BIOS Guard: no variable under its GUID.
    if any(n == "BiosGuardVarDxe" for n, _ in found):
        if re.search(r"dmpstore: No matching variables found\. Guid %s" % BIOS_GUARD_VARIABLE_GUID, log, re.I):
            print("  dmpstore: no variable under %s" % BIOS_GUARD_VARIABLE_GUID)
        else:
            failures.append("BiosGuardCapsuleVariable was written, or dmpstore did not run")
    # Nothing installed the flash service in the UEFI protocol database.
    m = re.search(r"dh -p %s\n(.*?)Shell>" % FLASH_SERVICE_PROTOCOL_GUID, log, re.S | re.I)
    if m is None or re.search(r"^\s*[0-9A-F]+: ", m.group(1), re.M):
        failures.append("a handle carries FlashServiceProtocol, or dh did not run")
    return ["%s: %s" % (label, f) for f in failures]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--uefi-dir", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--timeout", type=int, default=150)
    args = parser.parse_args()
    if not os.path.isdir(os.path.join(args.uefi_dir, "efi")):
        if os.environ.get("CI"):
            raise SystemExit("no images in %s/efi" % args.uefi_dir)
        print("no images in %s/efi: run cmake --build --preset uefi first" % args.uefi_dir)
        return 77
    missing = [p for p in ("/usr/bin/qemu-system-x86_64", os.path.join(OVMF, "OVMF_CODE_4M.fd"),
                            os.path.join(OVMF, "OVMF_CODE_4M.secboot.fd")) if not os.path.exists(p)]
    if missing:
        message = "missing %s: apt-get install qemu-system-x86 ovmf" % ", ".join(missing)
        if os.environ.get("CI"):
            raise SystemExit(message)
        print(message)
        return 77
    found = images(args.uefi_dir)
    if not found:
        raise SystemExit("the uefi build produced no .efi")
    failures = []
    for label, config in BOOTS.items():
        log, seconds, rc = boot(config, os.path.join(args.work, label), args.uefi_dir, found, args.timeout)
        with open(os.path.join(args.work, label + ".log"), "w") as out:
            out.write(log)
        print("%s boot (%s): %.1f s, QEMU exit %d" % (label, config["code"], seconds, rc))
        failures += check(label, config, log, found)
    for f in failures:
        print("FAIL " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
