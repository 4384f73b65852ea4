// P2SB bridge (PCI 0:31:1): the SBREG_BAR window and the sideband message interface
// registers in its configuration space. Owned by the sideband library (Sideband.cpp).
#pragma once

#include "frame/PciConfig.h"

namespace p2sb {

constexpr PciFunction kP2sb{0, 31, 1};

// SBREG_BAR, fixed by the board's firmware; each port owns a 64 KiB slice.
constexpr UINT64 kSbregBar = 0xFD000000;
// SBREG_BAR, the window's base as P2SB decodes it (64-bit memory BAR, 16 MiB).
struct SbregBarLow : Register<0x10, 4> {
  using Rba = RegisterField<31, 24>;  // register base address bits 31:24
};
// SBREG_BARH, base address bits 63:32.
struct SbregBarHigh : Register<0x14, 4> {};
// P2SBC, P2SB control (32 bits).
struct P2sbc : Register<0xE0, 4> {
  using Hide = RegisterBit<8>;  // 1: the function reads all ones; P2SBC itself still takes writes
  // HIDE sits alone in this byte (bits 15:9 are reserved), so the byte is written whole while
  // the rest of the register cannot be read back.
  using HideByte = RegisterLane<kOffset, 8, 1>;
};
// An address in the SBREG_BAR window.
struct SbregAddress {
  using Offset = RegisterField<15, 0>;  // register offset within the port
  using Port = RegisterField<23, 16>;   // target port ID
};

// SBI_ADDR, sideband message address (32 bits).
struct SbiAddr : Register<0xD0, 4> {
  using Offset = RegisterField<15, 0>;  // register offset bits 15:0
  using DestId = RegisterField<31, 24>; // destination port
};
// SBI_DATA, the data of a write message, the result of a read (32 bits).
struct SbiData : Register<0xD4, 4> {};
// SBI_STAT, sideband message status and opcode (16 bits).
struct SbiStat : Register<0xD8, 2> {
  using Busy = RegisterBit<0>;            // written 1 to send the message; reads 1 until done
  using Response = RegisterField<2, 1>;   // 0 success, 1 unsuccessful, 2 powered down, 3 mixed
  using Posted = RegisterBit<7>;          // 1: no response is awaited
  using Opcode = RegisterField<15, 8>;
};
// SBI_RID, routing identification (16 bits).
struct SbiRid : Register<0xDA, 2> {
  using Fid = RegisterField<7, 0>;    // function ID
  using Bar = RegisterField<10, 8>;
  using Fbe = RegisterField<15, 12>;  // first-dword byte enables
};
// SBI_EXTADDR, register offset bits 47:16 (32 bits).
struct SbiExtAddr : Register<0xDC, 4> {};

// SBI_STAT.OPCODE values that this library's callers may send (the I/O cycles 0x02 and
// 0x03 are not among them).
constexpr UINT32 kOpcodeMemRead = 0x00;
constexpr UINT32 kOpcodeMemWrite = 0x01;
constexpr UINT32 kOpcodeCfgRead = 0x04;
constexpr UINT32 kOpcodeCfgWrite = 0x05;
constexpr UINT32 kOpcodePcrRead = 0x06;
constexpr UINT32 kOpcodePcrWrite = 0x07;
constexpr UINT32 kOpcodeGpioLockUnlock = 0x13;  // PADCFGLOCK / PADCFGLOCKTX

}  // namespace p2sb
