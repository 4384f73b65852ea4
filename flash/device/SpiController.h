// Access to the PCH SPI controller: its register block, hardware- and software-sequenced
// cycles, the flash descriptor and its regions, and the translation of caller addresses
// (flash linear addresses or memory-mapped window addresses) to flash linear addresses.
#pragma once

#include "flash/device/SpiRegisters.h"

// Flash region numbers as this layer uses them.
enum SpiRegion : UINT32 {
  kSpiRegionBios = 0,        // FREG1
  kSpiRegionMe = 1,          // FREG2
  kSpiRegionGbe = 2,         // FREG3
  kSpiRegionDescriptor = 3,  // FREG0
  kSpiRegionPlatformData = 4 // FREG4
};
constexpr UINT32 kSpiRegionCount = 5;

// SpiBar = BAR0 of 0:31:5 with its low 12 bits cleared.
VOID SpiRefreshBar();
// Waits for the selected engines' cycles to end (bounded by status reads) and clears
// their write-1-to-clear status bits. A read limit that runs out is not an error.
VOID SpiWaitCycle(BOOLEAN Hardware, BOOLEAN Software);
// HSFSTS_CTL belongs to this module. One hardware-sequenced cycle: the command (FGO,
// FCYCLE, FDBC = ByteCount - 1) goes to bits 31:16 with one 16-bit write, then the cycle is
// waited for and its status bits cleared. EFI_DEVICE_ERROR when the controller set FCERR,
// EFI_ACCESS_DENIED for AEL, EFI_TIMEOUT when the cycle had not ended within the bound of
// status reads. FDATA holds the cycle's data only on EFI_SUCCESS.
EFI_STATUS SpiHardwareCycle(spi::Fcycle Cycle, UINT32 ByteCount);
// FADDR = Linear, then SpiHardwareCycle.
EFI_STATUS SpiAddressedCycle(spi::Fcycle Cycle, UINT32 Linear, UINT32 ByteCount);
// Polls the part's status register; the last value read, or 0xFF when the part stayed busy.
UINT8 SpiWaitFlashReady();
EFI_STATUS SpiRegionBounds(UINT32 Region, UINT64* Base, UINT64* Limit);
BOOLEAN SpiDescriptorPresent();
EFI_STATUS SpiReadDescriptor(UINT32 Offset, UINT32 Count, UINT8* Buffer);
EFI_STATUS SpiTranslateAddress(UINT64 Address, UINT32* Linear);
// One read cycle: at most 64 bytes, never across a 256-byte boundary of the linear
// address. Returns the number of bytes read (Remaining is lowered by it), or an error with
// Buffer and Remaining untouched: EFI_INVALID_PARAMETER for an address outside the flash,
// the cycle's status when the controller refused the read.
EFI_STATUS EFIAPI ReadChunk(UINT64 Address, UINT8* Buffer, UINT32* Remaining);
// Writes the part's status register to 0 when any of its block-protect bits is set.
VOID ClearStatusProtection(UINT64 Address);
// Global block-protection unlock (0x98) through software sequencing, menu entry 7.
VOID GlobalBlockUnlock();

// BIOS-region write protection in BIOS_SPI_BC, each the only routine of its list.
typedef VOID(EFIAPI* BIOS_REGION_WRITE_ROUTINE)();
VOID EFIAPI EnableBiosRegionWrite();
VOID EFIAPI DisableBiosRegionWrite();
extern const BIOS_REGION_WRITE_ROUTINE EnableBiosRegionWriteList[];
extern const BIOS_REGION_WRITE_ROUTINE DisableBiosRegionWriteList[];

