// The platform's memory as the SMM drivers judge caller-supplied addresses: the DXE
// services' memory-space map (system memory, MMIO, reserved and non-existent space) and
// the UEFI memory map (which allocation each part of system memory belongs to), both
// taken once at start-up into SMRAM.
//
// Memory that a caller may hand to SMM is system memory of a type that SMM keeps mapped
// after ready-to-lock: reserved, runtime-services code and data, ACPI NVS. Boot-services,
// loader, conventional, unusable and ACPI-reclaim memory belong to the operating system
// once it runs; MMIO is a device's, and SMRAM is SMM's own.
#pragma once

#include "uefi/UefiBaseType.h"

enum MemoryRangeKind : UINT32 {
  kMemoryRangeCaller = 1,       // system memory of a type SMM keeps mapped
  kMemoryRangeMmio = 2,         // a device window
  kMemoryRangeFlashWindow = 3,  // the MMIO range that ends at 4 GiB: the flash decode (it holds the reset vector)
};

struct MemoryRange {
  UINT64 Base;
  UINT64 Length;
  UINT32 Kind;  // MemoryRangeKind
};

// Takes both maps (constructor step, after the SMRAM map). Without either the table stays
// empty and only the SMRAM test applies.
VOID LoadMemorySpaceMap();
VOID FreeMemorySpaceMap();
BOOLEAN MemorySpaceMapAvailable();

// TRUE when [Address, Address + Length) lies wholly inside one caller-memory range and
// outside SMRAM. Without a map: outside SMRAM and not wrapping. A zero length is tested as
// one byte, so an address is always judged.
BOOLEAN RangeIsCallerMemory(UINT64 Address, UINT64 Length);
// TRUE when the range lies wholly inside the flash decode window (never SMRAM).
BOOLEAN RangeIsFlashWindow(UINT64 Address, UINT64 Length);
// TRUE when the range lies wholly inside one device window of the map (an MMIO range
// other than the flash decode) and outside SMRAM. Without a map: outside SMRAM, not wrapping.
BOOLEAN RangeIsPlatformMmio(UINT64 Address, UINT64 Length);
