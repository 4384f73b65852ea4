// PCH sideband (private configuration) access: the SBREG_BAR window and the P2SB
// sideband message interface for registers that take no writes through the window.
#pragma once

#include "pch/P2sbRegisters.h"
#include "uefi/UefiBaseType.h"

// Both waits on SBI_STAT.BUSY are bounded by this many reads, without delay.
constexpr UINT32 kSbiBusyPollLimit = 0x0FFFFFFF;

// Response value handed back while no response has arrived.
constexpr UINT8 kSidebandNoResponse = 4;

inline constexpr UINT32 kSidebandAcceptedOpcodes[] = {
    p2sb::kOpcodeMemRead, p2sb::kOpcodeMemWrite, p2sb::kOpcodeCfgRead,         p2sb::kOpcodeCfgWrite,
    p2sb::kOpcodePcrRead, p2sb::kOpcodePcrWrite, p2sb::kOpcodeGpioLockUnlock,
};

constexpr BOOLEAN SidebandOpcodeAccepted(UINT32 Opcode) {
  for (UINT32 accepted : kSidebandAcceptedOpcodes)
    if (accepted == Opcode) return TRUE;
  return FALSE;
}

// Address of the register at Offset of sideband port Port in the SBREG_BAR window.
// Offsets are 16-bit: a caller's overflow wraps within the port.
constexpr UINT64 SidebandRegisterAddress(UINT8 Port, UINT16 Offset) {
  return p2sb::kSbregBar | p2sb::SbregAddress::Port::Make(Port) | p2sb::SbregAddress::Offset::Make(Offset);
}

// TRUE while P2SB's SBREG_BAR decodes the window at kSbregBar with memory decoding on. Every
// window access goes to that fixed address, so an operating system that moved the BAR (and
// put a device of its own there) would receive them: SMM code checks first. A hidden P2SB is
// revealed for the reads and hidden again.
BOOLEAN SidebandWindowInPlace();

// One non-posted write through the P2SB sideband message interface. Response receives the
// message's response status (0 = success), or kSidebandNoResponse when none arrived.
EFI_STATUS SidebandMessageWrite(UINT8 Port, UINT64 Offset, const UINT32* Data, UINT8* Response, UINT32 Opcode);
