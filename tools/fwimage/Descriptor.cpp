#include "tools/fwimage/Descriptor.h"

#include <bit>
#include <cctype>

#include "tools/fwimage/Ffs.h"

namespace fwimage {
namespace {

struct RegionNames {
  const char* key;    // description key
  const char* label;  // display name
};
// FLREG numbers of 300/400-series descriptors.
constexpr RegionNames kRegionNames[ifd::kRegionCount] = {
    {"descriptor", "Descriptor"}, {"bios", "BIOS"},   {"me", "ME"},         {"gbe", "GbE"},
    {"pd", "PDR"},                {"devexp", "DevExp"}, {"bios2", "BIOS2"}, {"reg7", "Reg7"},
    {"ec", "EC"},                 {"devexp2", "DevExp2"}, {"ie", "IE"},     {"10gbe0", "10GbE0"},
    {"10gbe1", "10GbE1"},         {"reg13", "Reg13"}, {"reg14", "Reg14"},   {"ptt", "PTT"},
};

}  // namespace

std::string RegionName(unsigned index) {
  return index < ifd::kRegionCount ? kRegionNames[index].label : "Region" + std::to_string(index);
}

namespace ifd {

int RegionIndexFromName(const std::string& name) {
  std::string lower;
  for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "fd") return 0;
  for (unsigned i = 0; i < kRegionCount; ++i)
    if (lower == kRegionNames[i].key) return static_cast<int>(i);
  return -1;
}

int SpiClockCodeOf(uint32_t mhz) {
  for (const SpiClockCode& c : kSpiClockCodes)
    if (c.mhz == mhz) return static_cast<int>(c.code);
  return -1;
}

uint32_t SpiClockMhzOf(uint32_t code) {
  for (const SpiClockCode& c : kSpiClockCodes)
    if (c.code == (code & 7)) return c.mhz;
  return 0;
}

uint32_t EncodeMaster(uint16_t read, uint16_t write) {
  return static_cast<uint32_t>(read & 0xFFF) << 8 | static_cast<uint32_t>(write & 0xFFF) << 20 |
         static_cast<uint32_t>(read >> 12 & 0xF) | static_cast<uint32_t>(write >> 12 & 0xF) << 4;
}

void DecodeMaster(uint32_t value, uint16_t* read, uint16_t* write) {
  *read = static_cast<uint16_t>((value >> 8 & 0xFFF) | (value & 0xF) << 12);
  *write = static_cast<uint16_t>((value >> 20 & 0xFFF) | (value >> 4 & 0xF) << 12);
}

std::vector<uint8_t> Encode(const ImageDescription& d) {
  std::vector<uint8_t> out(kDescriptorSize, 0xFF);
  PutU32(out, kFlValSigOffset, kFlValSig);
  PutU32(out, kFlMap0, kComponentBase >> 4 | (kRegionBase >> 4) << 16);
  PutU32(out, kFlMap1, kMasterBase >> 4 | 2u << 8 | (kPchStrapBase >> 4) << 16 | kPchStrapDwords << 24);
  PutU32(out, kFlMap2, kCpuStrapBase >> 4 | kCpuStrapDwords << 8 | kIccRegisterInitBase << 16);

  // FLCOMP: component 0 density (bytes = 1 << (19 + code)), component 1 absent, the clocks.
  uint32_t density = static_cast<uint32_t>(std::countr_zero(d.flash_size)) - 19;
  auto code = [](uint32_t mhz) { return static_cast<uint32_t>(SpiClockCodeOf(mhz)); };
  uint32_t flcomp = density | 0xF0 | code(d.spi.read_mhz) << kFlcompReadClockShift |
                    uint32_t(d.spi.fast_read) << kFlcompFastReadShift |
                    code(d.spi.fast_read_mhz) << kFlcompFastReadClockShift |
                    code(d.spi.write_erase_mhz) << kFlcompWriteEraseClockShift |
                    code(d.spi.id_status_mhz) << kFlcompIdStatusClockShift;
  PutU32(out, kComponentBase, flcomp);
  PutU32(out, kComponentBase + 4, 0);  // FLILL: no forbidden opcodes
  PutU32(out, kComponentBase + 8, 0);  // FLILL1

  for (unsigned i = 0; i < kRegionCount; ++i) PutU32(out, kRegionBase + 4 * i, kRegionUnused);
  for (const RegionLayout& r : d.regions)
    PutU32(out, kRegionBase + 4 * r.index, (r.base / kRegionUnit) | (r.limit / kRegionUnit) << 16);

  for (unsigned m = 0; m < kMasterCount; ++m) PutU32(out, kMasterBase + 4 * m, 0);
  for (const MasterLayout& m : d.masters) PutU32(out, kMasterBase + 4 * (m.master - 1), EncodeMaster(m.read, m.write));

  for (uint32_t i = 0; i < kPchStrapDwords; ++i) PutU32(out, kPchStrapBase + 4 * i, 0);
  for (uint32_t i = 0; i < kCpuStrapDwords; ++i) PutU32(out, kCpuStrapBase + 4 * i, 0);

  for (size_t n = 0; n < d.vscc.size(); ++n) {
    PutU32(out, kVsccTableBase + 8 * n, d.vscc[n].jedec_id);
    PutU32(out, kVsccTableBase + 8 * n + 4, d.vscc[n].value);
  }
  uint32_t vtl = static_cast<uint32_t>(d.vscc.size() * 2);  // in 32-bit words
  PutU32(out, kFlUMap1, kVsccTableBase >> 4 | vtl << 8 | kMipTableBase << 24);
  return out;
}

Decoded Decode(std::span<const uint8_t> image) {
  Decoded r;
  if (image.size() < kDescriptorSize || GetU32(image, kFlValSigOffset) != kFlValSig) return r;
  r.valid = true;
  uint32_t map0 = GetU32(image, kFlMap0);
  uint32_t map1 = GetU32(image, kFlMap1);
  uint32_t fcba = (map0 & 0xFF) << 4;
  if (fcba + 4 <= kDescriptorSize) {
    uint32_t flcomp = GetU32(image, fcba);
    r.spi.read_mhz = SpiClockMhzOf(flcomp >> kFlcompReadClockShift);
    r.spi.fast_read = (flcomp >> kFlcompFastReadShift) & 1;
    r.spi.fast_read_mhz = SpiClockMhzOf(flcomp >> kFlcompFastReadClockShift);
    r.spi.write_erase_mhz = SpiClockMhzOf(flcomp >> kFlcompWriteEraseClockShift);
    r.spi.id_status_mhz = SpiClockMhzOf(flcomp >> kFlcompIdStatusClockShift);
  }
  uint32_t frba = (map0 >> 16 & 0xFF) << 4;
  uint32_t fmba = (map1 & 0xFF) << 4;
  for (unsigned i = 0; i < kRegionCount; ++i) {
    uint32_t at = frba + 4 * i;
    if (at + 4 > kDescriptorSize) {
      r.problems.push_back("region table runs past the descriptor");
      break;
    }
    uint32_t v = GetU32(image, at);
    uint32_t base = v & 0x7FFF;
    uint32_t limit = v >> 16 & 0x7FFF;
    // Unused: base above limit (0x00007FFF), or a zero limit for any region but the
    // descriptor itself.
    if (base > limit || (i > 0 && limit == 0)) continue;
    r.regions.push_back({i, base * kRegionUnit, limit * kRegionUnit + (kRegionUnit - 1)});
  }
  for (unsigned m = 0; m < kMasterCount; ++m) {
    uint32_t at = fmba + 4 * m;
    if (at + 4 > kDescriptorSize) break;
    MasterLayout item;
    item.master = m + 1;
    DecodeMaster(GetU32(image, at), &item.read, &item.write);
    r.masters.push_back(item);
  }
  uint32_t umap = GetU32(image, kFlUMap1);
  if (umap != 0 && umap != 0xFFFFFFFF) {
    uint32_t table = (umap & 0xFF) << 4;
    uint32_t length = umap >> 6 & 0x3FC;  // VTL words -> bytes
    if (table + length > kDescriptorSize) {
      r.problems.push_back("VSCC table runs past the descriptor");
    } else {
      for (uint32_t c = 0; c + 8 <= length; c += 8) r.vscc.push_back({GetU32(image, table + c), GetU32(image, table + c + 4)});
    }
  }
  return r;
}

}  // namespace ifd
}  // namespace fwimage
