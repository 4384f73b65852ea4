// Flash images for the flash-device tests and benchmarks: an Intel flash descriptor
// (IFD v2) with the regions, BIOS master permissions, SPI clock and VSCC table a test
// asks for, followed by a fill pattern.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace flashtest {

struct RegionLayout {
  unsigned index;  // FLREG number: 0 descriptor, 1 BIOS, 2 ME, 3 GbE, 4 platform data
  uint32_t base;
  uint32_t limit;  // last byte
};

struct ImageLayout {
  uint32_t flash_size = 16u << 20;
  bool descriptor = true;
  // Default: descriptor 0-0xFFF, ME 0x1000-0x1FFFFF, BIOS 0x200000 to the end.
  std::vector<RegionLayout> regions;
  uint16_t bios_read = 0x0FFF;   // FLMSTR1 read access, region bit n
  uint16_t bios_write = 0x0FFF;  // FLMSTR1 write access
  uint32_t clock_code = 2;       // 48 MHz
  bool fast_read = true;
  std::vector<std::pair<uint32_t, uint32_t>> vscc_table;  // (JEDEC id, VSCC); may be empty (VTL 0)
  std::optional<uint32_t> flumap1;                        // overrides the one the table implies
  uint32_t flill = 0;                                     // forbidden opcodes 0-3
  uint8_t fill = 0xFF;                                    // what the rest of the image holds
};

constexpr uint32_t kVsccTableOffset = 0xE00;
constexpr uint32_t kBiosBase = 0x200000;

std::vector<uint8_t> BuildImage(const ImageLayout& layout);
// Bytes that differ at every position (so misplaced data shows).
std::vector<uint8_t> Pattern(size_t n, uint32_t seed);

}  // namespace flashtest
