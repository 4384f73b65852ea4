// The simulator's own reading of the GPIO communities of the 300/400-series PCH-H and PCH-LP.
//
// The datasheets describe each community (one sideband port) as its pad groups in register
// order, and every per-group register block as a run of registers in that same order:
// PAD_OWN from 0x20 (4 bits a pad, 8 pads a register), HOSTSW_OWN and the GPI_* blocks one
// 32-bit register a group, PADCFGLOCK/PADCFGLOCKTX one pair of 8 bytes a group, and
// PAD_CFG_DW0 from 0x600 (16 bytes a pad). A group's offsets therefore follow from the
// groups before it and their pad counts; they are derived here, not listed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class GpioFamily { kPchH, kPchLp };

// GpioPadId bits 31:24 of each family's pads.
constexpr uint8_t kGpioPadIdChipsetPchH = 3;
constexpr uint8_t kGpioPadIdChipsetPchLp = 4;

// Offset of a register a group does not have.
constexpr uint16_t kGpioAbsentRegister = 0xFFFF;

// One pad group's registers within its community (offsets of the group's first register).
struct GpioGroupLayout {
  std::string name;   // "GPP_D"
  unsigned index;     // group index in GpioPadId bits 23:16
  uint8_t port;       // sideband port ID of the community
  unsigned pads;      // pads GpioPadId numbers (0 .. pads-1)
  uint16_t pad_own;
  uint16_t hostsw_own;
  uint16_t gpi_is, gpi_ie, gpi_gpe_sts, gpi_gpe_en, gpi_smi_sts, gpi_smi_en, gpi_nmi_sts, gpi_nmi_en;
  uint16_t padcfglock;
  uint16_t padcfglocktx;
  uint16_t pad_cfg_dw0;  // pad 0; pad n at + 16 n
};

// The family's groups in GpioPadId group-index order.
const std::vector<GpioGroupLayout>& GpioGroupLayouts(GpioFamily family);

}  // namespace sim
