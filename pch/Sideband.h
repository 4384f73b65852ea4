// PCH sideband (private configuration) access: the SBREG_BAR window and the P2SB
// sideband message interface for registers that take no writes through the window.
#pragma once

#include "uefi/UefiBaseType.h"

// SBREG_BAR is fixed by the board's firmware; each port owns a 64 KiB slice.
constexpr UINT64 kSbregBar = 0xFD000000;

// P2SB bridge, PCI 0:31:1; its sideband message registers live in configuration space.
constexpr UINT64 kP2sbBus = 0;
constexpr UINT64 kP2sbDevice = 31;
constexpr UINT64 kP2sbFunction = 1;
constexpr UINT16 kP2sbVendorIdRegister = 0x00;  // 16 bits; 0xFFFF while P2SB is hidden
constexpr UINT16 kP2sbAbsentVendorId = 0xFFFF;
constexpr UINT16 kSbiAddr = 0xD0;     // 32 bits: DESTID 31:24, OFFSET 15:0
constexpr UINT16 kSbiData = 0xD4;     // 32 bits
constexpr UINT16 kSbiStat = 0xD8;     // 16 bits
constexpr UINT16 kSbiRid = 0xDA;      // 16 bits
constexpr UINT16 kSbiExtAddr = 0xDC;  // 32 bits: offset bits 47:16

constexpr UINT32 kSbiAddrDestIdShift = 24;
constexpr UINT64 kSbiAddrOffsetMask = 0xFFFF;
constexpr UINT16 kSbiStatBusy = 1u << 0;            // write 1 to start, reads 1 until done
constexpr UINT16 kSbiStatResponseShift = 1;         // bits 2:1
constexpr UINT16 kSbiStatResponseMask = 0x3;
constexpr UINT16 kSbiStatKeepOnStart = 0x007F;      // bits 6:0; bit 7 (posted) cleared
constexpr UINT16 kSbiStatOpcodeShift = 8;           // bits 15:8
// Byte enables 1111 (bits 15:12), BAR 0 (bits 10:8), function ID 0 (bits 7:0).
constexpr UINT16 kSbiRidAllBytesBar0Fid0 = 0xF000;

// Both waits on SBISTAT.BUSY are bounded by this many reads, without delay.
constexpr UINT32 kSbiBusyPollLimit = 0x0FFFFFFF;

// Response value handed back while no response has arrived.
constexpr UINT8 kSidebandNoResponse = 4;

// Sideband opcodes accepted from this library's callers (the I/O cycles 0x02 and 0x03
// are not among them).
constexpr UINT32 kSidebandOpcodeMemRead = 0x00;
constexpr UINT32 kSidebandOpcodeMemWrite = 0x01;
constexpr UINT32 kSidebandOpcodeCfgRead = 0x04;
constexpr UINT32 kSidebandOpcodeCfgWrite = 0x05;
constexpr UINT32 kSidebandOpcodePcrRead = 0x06;
constexpr UINT32 kSidebandOpcodePcrWrite = 0x07;
constexpr UINT32 kSidebandOpcodeGpioLockUnlock = 0x13;  // PADCFGLOCK / PADCFGLOCKTX

inline constexpr UINT32 kSidebandAcceptedOpcodes[] = {
    kSidebandOpcodeMemRead, kSidebandOpcodeMemWrite, kSidebandOpcodeCfgRead,       kSidebandOpcodeCfgWrite,
    kSidebandOpcodePcrRead, kSidebandOpcodePcrWrite, kSidebandOpcodeGpioLockUnlock,
};

constexpr BOOLEAN SidebandOpcodeAccepted(UINT32 Opcode) {
  for (UINT32 accepted : kSidebandAcceptedOpcodes)
    if (accepted == Opcode) return TRUE;
  return FALSE;
}

// Address of the register at Offset of sideband port Port in the SBREG_BAR window.
// Offsets are 16-bit: a caller's overflow wraps within the port.
constexpr UINT64 SidebandRegisterAddress(UINT8 Port, UINT16 Offset) {
  return kSbregBar | (static_cast<UINT64>(Port) << 16) | Offset;
}

// One non-posted write through the P2SB sideband message interface. Response receives the
// message's response status (0 = success), or kSidebandNoResponse when none arrived.
EFI_STATUS SidebandMessageWrite(UINT8 Port, UINT64 Offset, const UINT32* Data, UINT8* Response, UINT32 Opcode);
