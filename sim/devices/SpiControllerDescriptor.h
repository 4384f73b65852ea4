// The part of the Intel flash descriptor (IFD v2) the SPI controller loads at reset: the
// signature, the section maps, the component section (SPI clocks, forbidden opcodes), the
// region and master sections. The controller reads it from the flash's first 4 KiB.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

struct SpiControllerDescriptor {
  static constexpr uint32_t kSignature = 0x0FF0A55A;
  static constexpr uint32_t kSignatureOffset = 0x10;
  static constexpr uint32_t kUnusedRegion = 0x00007FFF;
  static constexpr unsigned kRegions = 16;
  static constexpr unsigned kMasters = 5;

  bool valid = false;
  uint32_t flmap[3] = {0, 0, 0};
  uint32_t flcomp = 0;
  uint32_t flill[2] = {0, 0};
  std::array<uint32_t, kRegions> flreg{};
  std::array<uint32_t, kMasters> flmstr{};
  // SPI clocks from FLCOMP, in Hz.
  uint32_t read_hz = 17'000'000;
  uint32_t fast_read_hz = 17'000'000;
  uint32_t write_erase_hz = 17'000'000;
  uint32_t id_status_hz = 17'000'000;
  bool fast_read = false;

  static SpiControllerDescriptor Load(const std::vector<uint8_t>& flash);
  // FDOD with FDOC selecting section `fdss` (0 map, 1 component, 2 region, 3 master), dword `fdsi`.
  uint32_t ObservedDword(unsigned fdss, unsigned fdsi) const;
  // Region i's base and limit (last byte); false when the region is unused.
  bool Region(unsigned i, uint32_t* base, uint32_t* limit) const;
  // Whether the BIOS master (FLMSTR1) may read / write region i. A master always has
  // access to its own region.
  bool BiosMayRead(unsigned region) const;
  bool BiosMayWrite(unsigned region) const;
  bool OpcodeForbidden(uint8_t opcode) const;
};

// 100-series-and-later FLCOMP frequency codes.
uint32_t SpiClockFromCode(uint32_t code);

}  // namespace sim
