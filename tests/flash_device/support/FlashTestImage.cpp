#include "tests/flash_device/support/FlashTestImage.h"

namespace flashtest {
namespace {

void Put32(std::vector<uint8_t>& v, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) v[at + i] = uint8_t(value >> (8 * i));
}

constexpr uint32_t kComponentBase = 0x30;
constexpr uint32_t kRegionBase = 0x40;
constexpr uint32_t kMasterBase = 0x80;

}  // namespace

std::vector<uint8_t> BuildImage(const ImageLayout& layout) {
  std::vector<uint8_t> image(layout.flash_size, layout.fill);
  if (!layout.descriptor) return image;
  std::fill(image.begin(), image.begin() + 0x1000, 0xFF);
  Put32(image, 0x10, 0x0FF0A55A);
  Put32(image, 0x14, kComponentBase >> 4 | (kRegionBase >> 4) << 16);
  Put32(image, 0x18, kMasterBase >> 4 | 2u << 8);
  Put32(image, 0x1C, 0);
  uint32_t density = 0;
  while ((512u * 1024) << density < layout.flash_size) ++density;
  uint32_t c = layout.clock_code & 7;
  Put32(image, kComponentBase, density | 0xF0 | c << 17 | (layout.fast_read ? 1u : 0u) << 20 | c << 21 | c << 24 | c << 27);
  Put32(image, kComponentBase + 4, layout.flill);
  Put32(image, kComponentBase + 8, 0);
  std::vector<RegionLayout> regions = layout.regions;
  if (regions.empty())
    regions = {{0, 0, 0xFFF}, {2, 0x1000, kBiosBase - 1}, {1, kBiosBase, layout.flash_size - 1}};
  for (unsigned i = 0; i < 16; ++i) Put32(image, kRegionBase + 4 * i, 0x00007FFF);
  for (const RegionLayout& r : regions) Put32(image, kRegionBase + 4 * r.index, (r.base >> 12) | (r.limit >> 12) << 16);
  for (unsigned m = 0; m < 5; ++m) Put32(image, kMasterBase + 4 * m, 0);
  Put32(image, kMasterBase, uint32_t(layout.bios_read & 0xFFF) << 8 | uint32_t(layout.bios_write & 0xFFF) << 20);
  for (size_t n = 0; n < layout.vscc_table.size(); ++n) {
    Put32(image, kVsccTableOffset + 8 * n, layout.vscc_table[n].first);
    Put32(image, kVsccTableOffset + 8 * n + 4, layout.vscc_table[n].second);
  }
  uint32_t flumap1 = kVsccTableOffset >> 4 | uint32_t(layout.vscc_table.size() * 2) << 8;
  Put32(image, 0xEFC, layout.flumap1.value_or(flumap1));
  return image;
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 12345;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345;
    v[i] = uint8_t(x >> 16);
  }
  return v;
}

}  // namespace flashtest
