#include "sim/devices/GpioGroupLayout.h"

#include <algorithm>
#include <initializer_list>

namespace sim {

namespace {

// Which GPI event registers a group has: GPI_IS/GPI_IE/GPI_GPE_*, then GPI_SMI_*, then GPI_NMI_*.
enum class Events { kNone, kGpe, kGpeSmi, kGpeSmiNmi };

struct GroupEntry {
  const char* name;
  unsigned index;  // GpioPadId group index
  unsigned pads;
  Events events;
  unsigned slots = 0;  // pad register slots when the group has more than it numbers (else = pads)
};

struct CommunityEntry {
  uint8_t port;
  uint16_t hostsw_own;  // HOSTSW_OWN of the community's first group
  std::initializer_list<GroupEntry> groups;  // register order
};

// Register blocks of a community (first group's register).
constexpr uint16_t kPadOwnBase = 0x20;
constexpr uint16_t kPadCfgLockBase = 0x80;  // PADCFGLOCK, PADCFGLOCKTX at + 4
constexpr uint16_t kGpiIsBase = 0x100;      // then GPI_IE, GPE_STS, GPE_EN, SMI_STS, SMI_EN, NMI_STS, NMI_EN
constexpr uint16_t kGpiBlockStride = 0x20;
constexpr uint16_t kPadCfgBase = 0x600;
constexpr uint16_t kPadCfgBytes = 16;

// Cannon Lake PCH-H (300 series) and Comet Lake PCH-H (400 series) share this layout.
const CommunityEntry kPchHCommunities[] = {
    {0x6E, 0xC0, {{"GPP_A", 0, 25, Events::kGpe}, {"GPP_B", 1, 26, Events::kGpeSmiNmi}}},
    {0x6D, 0xC0, {{"GPP_C", 2, 24, Events::kGpeSmiNmi}, {"GPP_D", 3, 24, Events::kGpeSmiNmi},
                  {"GPP_G", 6, 8, Events::kGpeSmi}, {"AZA", 14, 8, Events::kNone}, {"VGPIO", 12, 40, Events::kGpe}}},
    {0x6C, 0xB0, {{"GPD", 11, 16, Events::kGpe}}},
    {0x6B, 0xC0, {{"GPP_K", 10, 24, Events::kGpe}, {"GPP_H", 7, 24, Events::kGpe},
                  {"GPP_E", 4, 13, Events::kGpeSmiNmi}, {"GPP_F", 5, 24, Events::kGpe}, {"SPI", 13, 9, Events::kNone}}},
    {0x6A, 0xC0, {{"CPU", 15, 11, Events::kNone}, {"JTAG", 16, 9, Events::kNone},
                  {"GPP_I", 8, 18, Events::kGpeSmiNmi}, {"GPP_J", 9, 12, Events::kGpe}}},
};

// Cannon Lake PCH-LP and Comet Lake PCH-LP.
const CommunityEntry kPchLpCommunities[] = {
    {0x6E, 0xB0, {{"GPP_A", 0, 25, Events::kGpe}, {"GPP_B", 1, 26, Events::kGpeSmiNmi},
                  {"GPP_G", 6, 8, Events::kGpe}, {"SPI", 10, 9, Events::kGpe}}},
    // GPP_D has a 25th pad slot (a loop-back pad) that GpioPadId does not number.
    {0x6D, 0xB0, {{"GPP_D", 3, 24, Events::kGpeSmiNmi, 25}, {"GPP_F", 5, 24, Events::kGpe},
                  {"GPP_H", 7, 24, Events::kGpe}, {"VGPIO", 9, 40, Events::kGpe}}},
    {0x6C, 0xB0, {{"GPD", 8, 16, Events::kGpe}}},
    {0x6B, 0xB0, {{"AZA", 11, 8, Events::kGpe}, {"CPU", 12, 11, Events::kNone}}},
    {0x6A, 0xB0, {{"GPP_C", 2, 24, Events::kGpeSmiNmi}, {"GPP_E", 4, 24, Events::kGpeSmiNmi},
                  {"JTAG", 13, 9, Events::kNone}, {"HVMOS", 14, 6, Events::kGpe}}},
};

template <size_t N>
std::vector<GpioGroupLayout> Derive(const CommunityEntry (&communities)[N]) {
  std::vector<GpioGroupLayout> out;
  for (const CommunityEntry& c : communities) {
    uint16_t pad_own = kPadOwnBase;
    uint16_t pad_cfg = kPadCfgBase;
    unsigned position = 0;  // group's place in the community's per-group blocks
    for (const GroupEntry& g : c.groups) {
      const unsigned slots = g.slots != 0 ? g.slots : g.pads;
      GpioGroupLayout l{};
      l.name = g.name;
      l.index = g.index;
      l.port = c.port;
      l.pads = g.pads;
      l.pad_own = pad_own;
      l.hostsw_own = static_cast<uint16_t>(c.hostsw_own + 4 * position);
      uint16_t* blocks[] = {&l.gpi_is, &l.gpi_ie, &l.gpi_gpe_sts, &l.gpi_gpe_en,
                            &l.gpi_smi_sts, &l.gpi_smi_en, &l.gpi_nmi_sts, &l.gpi_nmi_en};
      const unsigned present = g.events == Events::kNone ? 0 : g.events == Events::kGpe ? 4 : g.events == Events::kGpeSmi ? 6 : 8;
      for (unsigned b = 0; b < 8; ++b)
        *blocks[b] = b < present ? static_cast<uint16_t>(kGpiIsBase + kGpiBlockStride * b + 4 * position)
                                 : kGpioAbsentRegister;
      l.padcfglock = static_cast<uint16_t>(kPadCfgLockBase + 8 * position);
      l.padcfglocktx = static_cast<uint16_t>(l.padcfglock + 4);
      l.pad_cfg_dw0 = pad_cfg;
      out.push_back(l);
      pad_own = static_cast<uint16_t>(pad_own + 4 * ((slots + 7) / 8));
      pad_cfg = static_cast<uint16_t>(pad_cfg + kPadCfgBytes * slots);
      ++position;
    }
  }
  std::sort(out.begin(), out.end(), [](const GpioGroupLayout& a, const GpioGroupLayout& b) { return a.index < b.index; });
  return out;
}

}  // namespace

const std::vector<GpioGroupLayout>& GpioGroupLayouts(GpioFamily family) {
  static const std::vector<GpioGroupLayout> h = Derive(kPchHCommunities);
  static const std::vector<GpioGroupLayout> lp = Derive(kPchLpCommunities);
  return family == GpioFamily::kPchLp ? lp : h;
}

}  // namespace sim
