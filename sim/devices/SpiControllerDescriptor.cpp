#include "sim/devices/SpiControllerDescriptor.h"

#include <cstddef>

namespace sim {
namespace {

uint32_t Get32(const std::vector<uint8_t>& v, size_t at) {
  if (at + 4 > v.size()) return 0xFFFFFFFF;
  return v[at] | uint32_t(v[at + 1]) << 8 | uint32_t(v[at + 2]) << 16 | uint32_t(v[at + 3]) << 24;
}

constexpr unsigned kBiosRegion = 1;
constexpr unsigned kDescriptorBytes = 0x1000;

}  // namespace

uint32_t SpiClockFromCode(uint32_t code) {
  switch (code & 7) {
    case 2:
      return 48'000'000;
    case 4:
      return 30'000'000;
    default:  // 6, and the reserved codes
      return 17'000'000;
  }
}

SpiControllerDescriptor SpiControllerDescriptor::Load(const std::vector<uint8_t>& flash) {
  SpiControllerDescriptor d;
  d.flreg.fill(0);
  if (Get32(flash, kSignatureOffset) != kSignature) return d;
  d.valid = true;
  for (int i = 0; i < 3; ++i) d.flmap[i] = Get32(flash, kSignatureOffset + 4 + 4 * i);
  uint32_t fcba = (d.flmap[0] & 0xFF) << 4;
  uint32_t frba = ((d.flmap[0] >> 16) & 0xFF) << 4;
  uint32_t fmba = (d.flmap[1] & 0xFF) << 4;
  d.flcomp = Get32(flash, fcba);
  d.flill[0] = Get32(flash, fcba + 4);
  d.flill[1] = Get32(flash, fcba + 8);
  for (unsigned i = 0; i < kRegions; ++i) {
    uint32_t at = frba + 4 * i;
    d.flreg[i] = at + 4 <= kDescriptorBytes ? Get32(flash, at) : kUnusedRegion;
  }
  for (unsigned m = 0; m < kMasters; ++m) d.flmstr[m] = Get32(flash, fmba + 4 * m);
  d.read_hz = SpiClockFromCode(d.flcomp >> 17);
  d.fast_read = (d.flcomp >> 20) & 1;
  d.fast_read_hz = SpiClockFromCode(d.flcomp >> 21);
  d.write_erase_hz = SpiClockFromCode(d.flcomp >> 24);
  d.id_status_hz = SpiClockFromCode(d.flcomp >> 27);
  return d;
}

uint32_t SpiControllerDescriptor::ObservedDword(unsigned fdss, unsigned fdsi) const {
  if (!valid) return 0xFFFFFFFF;
  switch (fdss) {
    case 0:
      return fdsi == 0 ? kSignature : fdsi <= 3 ? flmap[fdsi - 1] : 0xFFFFFFFF;
    case 1:
      return fdsi == 0 ? flcomp : fdsi <= 2 ? flill[fdsi - 1] : 0xFFFFFFFF;
    case 2:
      return fdsi < kRegions ? flreg[fdsi] : 0xFFFFFFFF;
    case 3:
      return fdsi < kMasters ? flmstr[fdsi] : 0xFFFFFFFF;
    default:
      return 0xFFFFFFFF;
  }
}

bool SpiControllerDescriptor::Region(unsigned i, uint32_t* base, uint32_t* limit) const {
  if (!valid || i >= kRegions) return false;
  uint32_t v = flreg[i];
  uint32_t b = v & 0x7FFF, l = (v >> 16) & 0x7FFF;
  if (b > l || (i > 0 && l == 0)) return false;
  *base = b << 12;
  *limit = (l << 12) | 0xFFF;
  return true;
}

bool SpiControllerDescriptor::BiosMayRead(unsigned region) const {
  if (!valid || region == kBiosRegion) return true;
  uint32_t m = flmstr[0];
  return region < 12 ? (m >> (8 + region)) & 1 : (m >> (region - 12)) & 1;
}

bool SpiControllerDescriptor::BiosMayWrite(unsigned region) const {
  if (!valid || region == kBiosRegion) return true;
  uint32_t m = flmstr[0];
  return region < 12 ? (m >> (20 + region)) & 1 : (m >> (4 + region - 12)) & 1;
}

bool SpiControllerDescriptor::OpcodeForbidden(uint8_t opcode) const {
  if (!valid) return false;
  for (uint32_t word : flill)
    for (int i = 0; i < 4; ++i)
      if (uint8_t(word >> (8 * i)) == opcode && opcode != 0) return true;
  return false;
}

}  // namespace sim
