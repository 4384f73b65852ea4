#!/usr/bin/env python3
"""Compiles RegisterFieldCodegen.cpp for the firmware target and checks each typed register
access against its hand-written twin: the same instructions, with the expected number of
memory loads and stores, and no call left behind."""
import argparse
import re
import subprocess
import sys

# Pair name -> (loads, stores) of one access.
EXPECTED = {
    "HsfstsCtlStartRead": (0, 1),
    "HsfstsCtlSetFgo": (1, 1),
    "PadCfgDw0TxState": (1, 1),
    "SbiStatOpcode": (1, 1),
}


def functions(disassembly):
    """Function name -> list of (mnemonic, operands) from llvm-objdump -M intel output."""
    result, current = {}, None
    for line in disassembly.splitlines():
        label = re.match(r"^(?:[0-9a-f]+ )?<([^>]+)>:$", line.strip())
        if label:
            current = result.setdefault(label.group(1), [])
            continue
        text = line.strip()
        if current is None or not text or text.startswith("Disassembly of section"):
            continue
        mnemonic, _, operands = text.partition("\t")
        if mnemonic.strip() in ("nop", "int3"):
            continue  # alignment padding between functions
        current.append((mnemonic.strip(), [o.strip() for o in operands.split(",")] if operands else []))
    return result


def accesses(instructions):
    """(loads, stores, calls) of a function body: an operand in brackets is memory, except
    for lea; the first operand is the destination."""
    loads = stores = calls = 0
    for mnemonic, operands in instructions:
        if mnemonic.startswith("call") or (mnemonic == "jmp" and operands and not operands[0].startswith("0x")):
            calls += 1
        if mnemonic == "lea":
            continue
        for index, operand in enumerate(operands):
            if "[" not in operand:
                continue
            if index == 0 and mnemonic not in ("cmp", "test"):
                stores += 1
                if mnemonic != "mov":
                    loads += 1  # read-modify-write
            else:
                loads += 1
        if mnemonic in ("push", "pop"):
            calls += 1  # a frame: the access did not reduce to plain loads and stores
    return loads, stores, calls


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cxx", required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--object", required=True)
    parser.add_argument("flags", nargs="*")
    args = parser.parse_args()

    subprocess.run([args.cxx, *args.flags, "-c", args.source, "-o", args.object], check=True)
    listing = subprocess.run([args.objdump, "-d", "--no-show-raw-insn", "--no-leading-addr", "-M", "intel", args.object],
                             check=True, capture_output=True, text=True).stdout
    bodies = functions(listing)

    failures = []
    for pair, (loads, stores) in EXPECTED.items():
        typed, raw = bodies.get("Typed" + pair), bodies.get("Raw" + pair)
        if typed is None or raw is None:
            failures.append(f"{pair}: Typed{pair} or Raw{pair} missing from the object")
            continue
        for name, body in (("Typed" + pair, typed), ("Raw" + pair, raw)):
            got = accesses(body)
            if got != (loads, stores, 0):
                failures.append(f"{name}: {got[0]} loads, {got[1]} stores, {got[2]} calls or pushes; "
                                f"expected {loads} loads, {stores} stores, none")
        if typed != raw:
            failures.append(f"{pair}: typed and hand-written forms differ\n  typed: {typed}\n  raw:   {raw}")
        else:
            print(f"{pair}: {loads} load(s), {stores} store(s), same as the hand-written mask: "
                  + "; ".join(f"{m} {', '.join(o)}".strip() for m, o in typed))
    for failure in failures:
        print("FAIL " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
