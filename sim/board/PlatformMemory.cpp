#include "sim/board/PlatformMemory.h"

#include <algorithm>

#include "sim/board/MemoryMap.h"

namespace sim {

namespace {
constexpr uint64_t kFourGiB = 0x100000000ULL;
constexpr uint64_t kAddressSpaceEnd = 1ULL << 48;
constexpr uint64_t kLegacyHoleBase = 0x000A0000;
constexpr uint64_t kLegacyHoleSize = 0x00060000;
}  // namespace

const std::vector<PlatformRange>& BoardRam() {
  static const std::vector<PlatformRange> ram = {
      {kLowRamBase, kLowRamSize, EfiGcdMemoryTypeSystemMemory, EfiBootServicesData, "low RAM", true},
      {kOsToolArenaBase, kOsToolArenaSize, EfiGcdMemoryTypeSystemMemory, EfiReservedMemoryType, "flash tool arena", true},
      {kBootPoolBase, kBootPoolSize, EfiGcdMemoryTypeSystemMemory, EfiBootServicesData, "boot-services pool", true},
      {kOsConventionalBase, kOsConventionalSize, EfiGcdMemoryTypeSystemMemory, EfiConventionalMemory, "OS memory", true},
      {kBelowTsegBase, kBelowTsegSize, EfiGcdMemoryTypeSystemMemory, EfiACPIMemoryNVS, "ACPI NVS", true},
      {kTsegBase, kTsegSize, EfiGcdMemoryTypeReserved, EfiReservedMemoryType, "TSEG (SMRAM)", true},
      {kAboveTsegBase, kAboveTsegSize, EfiGcdMemoryTypeSystemMemory, EfiReservedMemoryType, "reserved RAM", true},
      {kHighRamBase, kHighRamSize, EfiGcdMemoryTypeSystemMemory, EfiRuntimeServicesData, "RAM above 4 GiB", true},
  };
  return ram;
}

bool UnmappedInSmmAfterLock(EFI_MEMORY_TYPE type) {
  switch (type) {
    case EfiLoaderCode:
    case EfiLoaderData:
    case EfiBootServicesCode:
    case EfiBootServicesData:
    case EfiConventionalMemory:
    case EfiUnusableMemory:
    case EfiACPIReclaimMemory:
      return true;
    default:
      return false;
  }
}

std::string MemoryTypeName(EFI_MEMORY_TYPE type) {
  static const char* const names[] = {"Reserved",        "LoaderCode",         "LoaderData",     "BootServicesCode",
                                      "BootServicesData", "RuntimeServicesCode", "RuntimeServicesData",
                                      "Conventional",    "Unusable",           "ACPIReclaim",    "ACPI NVS",
                                      "MMIO",            "MMIO port space",    "PalCode",        "Persistent"};
  return type < std::size(names) ? names[type] : "type " + std::to_string(type);
}

PlatformMemoryMaps BuildPlatformMemoryMaps(std::vector<PlatformRange> windows, uint64_t flash_size) {
  PlatformMemoryMaps maps;
  std::vector<PlatformRange> all = BoardRam();
  all.push_back({kLegacyHoleBase, kLegacyHoleSize, EfiGcdMemoryTypeReserved, EfiReservedMemoryType, "legacy hole"});
  // The flash decodes downwards from 4 GiB as far as the part reaches and no device window
  // below 4 GiB sits in the way.
  uint64_t flash_base = kFourGiB - std::min<uint64_t>(flash_size, kFlashWindowSize);
  for (auto& w : windows)
    if (w.base < kFourGiB && w.base + w.size > flash_base) flash_base = std::max(flash_base, w.base + w.size);
  for (auto& w : windows) all.push_back(w);
  if (flash_base < kFourGiB)
    all.push_back({flash_base, kFourGiB - flash_base, EfiGcdMemoryTypeMemoryMappedIo, EfiMemoryMappedIO, "flash"});
  std::sort(all.begin(), all.end(), [](const PlatformRange& a, const PlatformRange& b) { return a.base < b.base; });

  uint64_t next = 0;
  auto add = [&](uint64_t base, uint64_t size, EFI_GCD_MEMORY_TYPE type) {
    maps.gcd.push_back({base, size, 0, 0, type, nullptr, nullptr});
  };
  for (auto& r : all) {
    if (r.base < next) continue;  // a window inside another one (the board maps none)
    if (r.base > next) add(next, r.base - next, EfiGcdMemoryTypeNonExistent);
    add(r.base, r.size, r.gcd);
    if (r.ram) {
      maps.uefi.push_back({r.uefi, 0, r.base, 0, r.size >> 12, 0});
      if (UnmappedInSmmAfterLock(r.uefi)) maps.smm_unmapped.push_back({r.base, r.size, MemoryTypeName(r.uefi)});
    }
    next = r.base + r.size;
  }
  if (next < kAddressSpaceEnd) add(next, kAddressSpaceEnd - next, EfiGcdMemoryTypeNonExistent);
  return maps;
}

}  // namespace sim
