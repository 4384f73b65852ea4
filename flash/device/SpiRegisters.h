// PCH SPI controller (bus 0, device 31, function 5): configuration registers, the memory
// registers behind BAR0, the hardware-sequencing command words this layer issues, and the
// flash descriptor fields it reads. Names follow the 300/400-series PCH datasheets.
#pragma once

#include "frame/PciConfig.h"

namespace spi {

// ---- PCI configuration space of 0:31:5
constexpr PciFunction kSpi{0, 31, 5};
// SPI_BAR0 (the header's BAR 0): a 32-bit memory BAR decoding 4 KiB.
using Bar0Base = RegisterField<31, 12>;
constexpr UINT64 kSpiBarBytes = 0x1000;

// BIOS_SPI_BC, BIOS control (configuration offset 0xDC, 32 bits). The layer reaches it a
// byte at a time: bits 7:0 at 0xDC and bits 15:8 at 0xDD.
struct BiosSpiBc {
  static constexpr UINT64 kOffset = 0xDC;
  using Wpd = RegisterBit<0>;      // write protect disable
  using Le = RegisterBit<1>;       // lock enable
  using Eiss = RegisterBit<5>;     // enable InSMM.STS
  using SyncSs = RegisterBit<8>;   // synchronous SMI status, write 1 to clear
  using Byte0 = RegisterLane<kOffset, 0, 1>;
  using Byte1 = RegisterLane<kOffset, 8, 1>;
};

// ---- Memory registers, offsets from SpiBar
constexpr UINT64 kSpiBarAfterReset = 0xFE010000;

constexpr UINT64 kBfpreg = 0x00;                 // BFPREG: BIOS region base (bits 14:0) / limit

// HSFSTS_CTL, hardware sequencing flash status and control (32 bits). Owned by the SPI
// controller module (SpiController.cpp): the status byte is polled and cleared there, and
// the control half (bits 31:16) is written there with one 16-bit access per cycle.
struct HsfstsCtl {
  static constexpr UINT64 kOffset = 0x04;
  using Fdone = RegisterBit<0>;          // cycle done (W1C)
  using Fcerr = RegisterBit<1>;          // flash cycle error (W1C)
  using Ael = RegisterBit<2>;            // access error log (W1C)
  using Scip = RegisterBit<5>;           // cycle in progress
  using Wrsdis = RegisterBit<11>;        // status-register writes disabled
  using Fdv = RegisterBit<14>;           // descriptor valid
  using Flockdn = RegisterBit<15>;       // configuration locked down
  using Fgo = RegisterBit<16>;           // cycle go
  using Fcycle = RegisterField<20, 17>;  // cycle type
  using Wet = RegisterBit<21>;           // write-enable type (always 0 here)
  using Fdbc = RegisterField<29, 24>;    // byte count minus one
  static constexpr UINT32 kW1c = Fdone::kMask | Fcerr::kMask | Ael::kMask;
  using StatusByte = RegisterLane<kOffset, 0, 1>;   // bits 7:0
  using StatusHalf = RegisterLane<kOffset, 0, 2>;   // bits 15:0
  using ControlHalf = RegisterLane<kOffset, 16, 2>; // bits 31:16
};

constexpr UINT64 kFaddr = 0x08;
constexpr UINT64 kFdata0 = 0x10;                 // FDATA0..FDATA15, byte n of the transfer at 0x10 + n
constexpr UINT32 kFdataBytes = 64;

// FREG0..FREG4, flash regions: base in bits 14:0, limit in bits 30:16 (4 KiB units).
constexpr UINT64 kFreg0 = 0x54;
constexpr UINT64 kFreg1 = 0x58;
constexpr UINT64 kFreg2 = 0x5C;
constexpr UINT64 kFreg3 = 0x60;
constexpr UINT64 kFreg4 = 0x64;
constexpr UINT32 kFregUnused = 0x00007FFF;       // base 0x7FFF above limit 0

// SSFSTS_CTL, software sequencing flash status and control (32 bits at 0xA0). Bits 7:0
// are polled and cleared with byte accesses, bits 23:8 written with one 16-bit access.
struct SsfstsCtl {
  static constexpr UINT64 kOffset = 0xA0;
  using Scip = RegisterBit<0>;          // cycle in progress
  using Fdone = RegisterBit<2>;         // cycle done (W1C)
  using Fcerr = RegisterBit<3>;         // flash cycle error (W1C)
  using Ael = RegisterBit<4>;           // access error log (W1C)
  using Scgo = RegisterBit<9>;          // cycle go
  using Acs = RegisterBit<10>;          // atomic cycle sequence
  using Spop = RegisterBit<11>;         // prefix opcode pointer
  using Cop = RegisterField<14, 12>;    // opcode menu entry
  static constexpr UINT32 kW1c = Fdone::kMask | Fcerr::kMask | Ael::kMask;
  using StatusByte = RegisterLane<kOffset, 0, 1>;    // bits 7:0
  using ControlWord = RegisterLane<kOffset, 8, 2>;   // bits 23:8
};

constexpr UINT64 kPreopOptypeHigh = 0xA7;        // PREOP_OPTYPE bits 31:24: types of menu entries 4-7
constexpr UINT8 kOptypeEntry7Mask = 0xC0;        // bits 7:6 of that byte
constexpr UINT8 kOptypeEntry7WriteNoAddress = 0x40;
constexpr UINT64 kOpmenuEntry7 = 0xAF;           // OPMENU_1 bits 31:24
constexpr UINT8 kOpmenuIndex7 = 7;

constexpr UINT64 kFdoc = 0xB4;
constexpr UINT64 kFdod = 0xB8;
constexpr UINT32 kDescriptorSignature = 0x0FF0A55A;  // FLVALSIG, FDOD with FDOC = 0

constexpr UINT64 kSfdp0Vscc0 = 0xC4;
constexpr UINT64 kSfdp1Vscc1 = 0xC8;
constexpr UINT64 kPtinx = 0xCC;
constexpr UINT64 kPtinxCompareRegister = 0xD4;

// ---- Hardware-sequencing cycles (HSFSTS_CTL.FCYCLE)
enum Fcycle : UINT32 {
  kFcycleRead = 0,
  kFcycleWrite = 2,
  kFcycleErase4K = 3,
  kFcycleErase64K = 4,
  kFcycleReadSfdp = 5,
  kFcycleReadJedecId = 6,
  kFcycleWriteStatus = 7,
  kFcycleReadStatus = 8,
};
// HSFSTS_CTL with a cycle started: FGO, FCYCLE and FDBC; the status half stays 0, so its
// write-1-to-clear bits are never touched by a command.
constexpr UINT32 HsfstsCtlCommand(Fcycle Cycle, UINT32 ByteCount) {
  return HsfstsCtl::Fgo::Make(1) | HsfstsCtl::Fcycle::Make(Cycle) | HsfstsCtl::Fdbc::Make(ByteCount - 1);
}
// The command words as they go out on the 16-bit write to bits 31:16.
static_assert(HsfstsCtl::ControlHalf::Of(HsfstsCtlCommand(kFcycleReadStatus, 1)) == 0x0011 &&
              HsfstsCtl::ControlHalf::Of(HsfstsCtlCommand(kFcycleWriteStatus, 1)) == 0x000F &&
              HsfstsCtl::ControlHalf::Of(HsfstsCtlCommand(kFcycleErase4K, 1)) == 0x0007 &&
              HsfstsCtl::ControlHalf::Of(HsfstsCtlCommand(kFcycleErase64K, 1)) == 0x0009 &&
              HsfstsCtl::ControlHalf::Of(HsfstsCtlCommand(kFcycleReadSfdp, 64)) == 0x3F0B &&
              HsfstsCtl::ControlHalf::Of(HsfstsCtlCommand(kFcycleReadJedecId, 3)) == 0x020D &&
              HsfstsCtl::ControlHalf::Of(HsfstsCtlCommand(kFcycleRead, 64)) == 0x3F01 &&
              HsfstsCtl::ControlHalf::Of(HsfstsCtlCommand(kFcycleWrite, 1)) == 0x0005);

// Status register of the part, as read by the read-status cycle.
constexpr UINT8 kFlashStatusWip = 1u << 0;

// Poll bounds: status reads of the controller, status-register reads of the part.
constexpr UINT32 kCycleWaitReads = 0x4000000;
constexpr UINT32 kFlashReadyPolls = 65535;

// ---- Flash descriptor
constexpr UINT32 kFlumap1Offset = 0xEFC;         // FLUMAP1: VTBA 7:0, VTL 15:8
constexpr UINT32 kSfdpSignature = 0x50444653;    // "SFDP"

// ---- The memory word whose value (with InSMM.STS in bit 0) the write-protection routines
// give to MSR 0x1FE.
constexpr UINT64 kInSmmStatusWord = 0xFED30880;

// Memory-mapped flash window: its last byte is the last byte of the BIOS region.
constexpr UINT64 kBiosWindowBase = 0xFF200000;
constexpr UINT64 kFlashWindowBottom = 0xFE000000;

}  // namespace spi
