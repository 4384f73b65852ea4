// PCH SPI controller (bus 0, device 31, function 5): configuration registers, the memory
// registers behind BAR0, the hardware-sequencing command words this layer issues, and the
// flash descriptor fields it reads. Names follow the 300/400-series PCH datasheets.
#pragma once

#include "uefi/UefiBaseType.h"

namespace spi {

// ---- PCI configuration space of 0:31:5
constexpr UINT64 kPciBus = 0;
constexpr UINT64 kPciDevice = 31;
constexpr UINT64 kPciFunction = 5;
constexpr UINT64 kCfgBar0 = 0x10;                // SPI_BAR0, 32-bit memory BAR, 4 KiB
constexpr UINT32 kBar0BaseMask = 0xFFFFF000;
constexpr UINT32 kBar0TypeMask = 0x00000007;     // 0: 32-bit memory BAR anywhere below 4 GiB
constexpr UINT64 kSpiBarBytes = 0x1000;
constexpr UINT64 kCfgCommand = 0x04;             // PCICMD, 16 bits
constexpr UINT16 kCommandMse = 1u << 1;          // memory space enable
constexpr UINT64 kCfgBiosSpiBc = 0xDC;           // BIOS_SPI_BC bits 7:0
constexpr UINT64 kCfgBiosSpiBcByte1 = 0xDD;      // BIOS_SPI_BC bits 15:8
constexpr UINT8 kBcWpd = 1u << 0;                // write protect disable
constexpr UINT8 kBcLe = 1u << 1;                 // lock enable
constexpr UINT8 kBcEiss = 1u << 5;               // enable InSMM.STS
constexpr UINT8 kBcByte1SyncSs = 1u << 0;        // SPI_SYNC_SS (register bit 8), write 1 to clear

// ---- Memory registers, offsets from SpiBar
constexpr UINT64 kSpiBarAfterReset = 0xFE010000;

constexpr UINT64 kBfpreg = 0x00;                 // BIOS region base (bits 14:0) / limit mirror
constexpr UINT64 kHsfsts = 0x04;                 // HSFSTS_CTL bits 15:0 (status)
constexpr UINT64 kHsfctl = 0x06;                 // HSFSTS_CTL bits 31:16 (control)
constexpr UINT8 kHsfstsFdone = 1u << 0;
constexpr UINT8 kHsfstsFcerr = 1u << 1;
constexpr UINT8 kHsfstsAel = 1u << 2;
constexpr UINT8 kHsfstsScip = 1u << 5;
constexpr UINT8 kHsfstsClearAll = kHsfstsFdone | kHsfstsFcerr | kHsfstsAel;
constexpr UINT16 kHsfstsWrsdis = 1u << 11;       // status-register writes disabled
constexpr UINT16 kHsfstsFdv = 1u << 14;          // descriptor valid
constexpr UINT16 kHsfstsFlockdn = 1u << 15;      // configuration locked down

constexpr UINT64 kFaddr = 0x08;
constexpr UINT64 kFdata0 = 0x10;                 // FDATA0..FDATA15, byte n of the transfer at 0x10 + n
constexpr UINT32 kFdataBytes = 64;

// FREG0..FREG4: base in bits 14:0, limit in bits 30:16 (4 KiB units).
constexpr UINT64 kFreg0 = 0x54;
constexpr UINT64 kFreg1 = 0x58;
constexpr UINT64 kFreg2 = 0x5C;
constexpr UINT64 kFreg3 = 0x60;
constexpr UINT64 kFreg4 = 0x64;
constexpr UINT32 kFregUnused = 0x00007FFF;       // base 0x7FFF above limit 0

constexpr UINT64 kSsfsts = 0xA0;                 // SSFSTS_CTL bits 7:0 (software-cycle status)
constexpr UINT64 kSsfctl = 0xA1;                 // SSFSTS_CTL bits 23:8 (software-cycle control)
constexpr UINT8 kSsfstsScip = 1u << 0;
constexpr UINT8 kSsfstsFdone = 1u << 2;
constexpr UINT8 kSsfstsFcerr = 1u << 3;
constexpr UINT8 kSsfstsAel = 1u << 4;
constexpr UINT8 kSsfstsClearAll = kSsfstsFdone | kSsfstsFcerr | kSsfstsAel;
// Control word as written at 0xA1 (register bits 23:8): SCGO is register bit 9, ACS 10,
// SPOP 11, COP 14:12.
constexpr UINT16 kSsfctlScgo = 1u << 1;
constexpr UINT16 kSsfctlCopShift = 4;

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

// ---- Hardware-sequencing command words (HSFSTS_CTL bits 31:16): FGO bit 0, FCYCLE 4:1,
// FDBC 13:8 (byte count minus one).
constexpr UINT16 kFgo = 1u << 0;
constexpr UINT16 kFcycleShift = 1;
constexpr UINT16 kFdbcShift = 8;
enum Fcycle : UINT16 {
  kFcycleRead = 0,
  kFcycleWrite = 2,
  kFcycleErase4K = 3,
  kFcycleErase64K = 4,
  kFcycleReadSfdp = 5,
  kFcycleReadJedecId = 6,
  kFcycleWriteStatus = 7,
  kFcycleReadStatus = 8,
};
constexpr UINT16 CommandWord(Fcycle Cycle, UINT32 ByteCount) {
  return static_cast<UINT16>(((ByteCount - 1) << kFdbcShift) | (Cycle << kFcycleShift) | kFgo);
}
constexpr UINT16 kCmdReadStatus = CommandWord(kFcycleReadStatus, 1);
constexpr UINT16 kCmdWriteStatus = CommandWord(kFcycleWriteStatus, 1);
constexpr UINT16 kCmdErase4K = CommandWord(kFcycleErase4K, 1);
constexpr UINT16 kCmdErase64K = CommandWord(kFcycleErase64K, 1);
constexpr UINT16 kCmdReadSfdp64 = CommandWord(kFcycleReadSfdp, 64);
constexpr UINT16 kCmdReadJedecId = CommandWord(kFcycleReadJedecId, 3);
static_assert(kCmdReadStatus == 0x0011 && kCmdWriteStatus == 0x000F && kCmdErase4K == 0x0007 &&
              kCmdErase64K == 0x0009 && kCmdReadSfdp64 == 0x3F0B && kCmdReadJedecId == 0x020D);

// Status register of the part, as read by the read-status cycle.
constexpr UINT8 kFlashStatusWip = 1u << 0;

// Poll bounds: status reads of the controller, status-register reads of the part.
constexpr UINT32 kCycleWaitReads = 0x4000000;
constexpr UINT32 kFlashReadyPolls = 65535;

// ---- Flash descriptor
constexpr UINT32 kFlumap1Offset = 0xEFC;         // FLUMAP1: VTBA 7:0, VTL 15:8
constexpr UINT32 kSfdpSignature = 0x50444653;    // "SFDP"

// ---- Other platform registers the write-protection routines touch
constexpr UINT32 kMsrPlatformInfo = 0xCE;
constexpr UINT64 kPlatformInfoBiosGuard = 1ULL << 35;
constexpr UINT32 kMsrBiosGuardConfig = 0x110;
constexpr UINT64 kBiosGuardConfigEnabled = 1ULL << 1;
constexpr UINT32 kMsrSpiWriteProtect = 0x1FE;
constexpr UINT64 kInSmmStatusSource = 0xFED30880;

// Memory-mapped flash window: its last byte is the last byte of the BIOS region.
constexpr UINT64 kBiosWindowBase = 0xFF200000;
constexpr UINT64 kFlashWindowBottom = 0xFE000000;

}  // namespace spi
