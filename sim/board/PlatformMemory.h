// The board's memory as its firmware reports it: the DXE services' memory-space map (every
// RAM range, TSEG, each device window, the flash decode, both APICs, holes) and the UEFI
// memory map (the allocation type of each RAM range), and the memory an SMM page table
// leaves unmapped after ready-to-lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/core/Bus.h"
#include "uefi/DxeServices.h"

namespace sim {

struct PlatformRange {
  uint64_t base;
  uint64_t size;
  EFI_GCD_MEMORY_TYPE gcd;
  EFI_MEMORY_TYPE uefi;  // for RAM; ignored for device windows
  const char* name;
  bool ram = false;      // backed by DRAM (listed in the UEFI memory map)
};

// RAM the board maps: low RAM, the tool arena, the boot-services pool, OS memory, ACPI NVS
// below TSEG, TSEG, reserved RAM above it, RAM above 4 GiB.
const std::vector<PlatformRange>& BoardRam();

struct PlatformMemoryMaps {
  std::vector<EFI_GCD_MEMORY_SPACE_DESCRIPTOR> gcd;  // sorted, covering 0 to 2^48 with holes as non-existent
  std::vector<EFI_MEMORY_DESCRIPTOR> uefi;          // RAM only
  std::vector<Bus::Range> smm_unmapped;              // memory SMM may not touch after ready-to-lock
};

// `windows`: the device windows decoding at boot (sorted or not); `flash_size`: the part's
// size, decoded below 4 GiB as far down as no device window interferes.
PlatformMemoryMaps BuildPlatformMemoryMaps(std::vector<PlatformRange> windows, uint64_t flash_size);

// Memory types an SMM page table unmaps after ready-to-lock (what the operating system
// reclaims once boot services end).
bool UnmappedInSmmAfterLock(EFI_MEMORY_TYPE type);
std::string MemoryTypeName(EFI_MEMORY_TYPE type);

}  // namespace sim
