// The PCH of the simulated board, as far as the board's firmware sees it besides SPI:
// LPC/eSPI 0:31:0 (device ID by variant), P2SB 0:31:1 with the sideband message interface,
// the SBREG_BAR window with GPIO communities 0x6A-0x6E, and HECI 0:22:0.
//
// Description sections read (defaults when absent):
//   [pch]    variant = "h" | "lp" | "unknown", lpc_device_id = 0xA305
//   [gpio]   GPP_D9 = { owner = 0, lock = false, lock_tx = true, dw0 = 0x44000200, dw1 = 0,
//                       hostsw_own = false, gpi_ie = false, gpe_en = false, smi_en = false,
//                       nmi_en = false }     (key: pad name, or pad ID such as "0x03030009")
//   [me]     present = true, device_id, hfsts1, bar0 = 0xFED1A004, bar1 = 0
//   [faults] p2sb_hidden = true, p2sb_stuck_busy = "entry" | "message", p2sb_error_response = 1..3,
//            p2sb_error_after = N (the first N messages are answered by their endpoints)
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <toml++/toml.h>

#include "sim/core/Bus.h"
#include "sim/core/Cpu.h"
#include "sim/devices/GpioCommunity.h"
#include "sim/devices/GpioGroupLayout.h"
#include "sim/devices/Heci.h"
#include "sim/devices/P2sb.h"
#include "sim/devices/PchLpc.h"
#include "sim/devices/PowerManagement.h"
#include "sim/devices/SidebandWindow.h"

namespace sim {

enum class PchKind { kH, kLp, kUnknown };

// The PCH family an LPC/eSPI device ID (0:31:0 register 0x02) belongs to, from the
// datasheets' device-ID tables: each family's LPC/eSPI controller takes the IDs of one
// 32-ID block, its SKUs in the low 5 bits.
struct PchFamily {
  const char* name;
  uint16_t lpc_first, lpc_last;  // LPC/eSPI device IDs of the family
  PchKind kind;                  // the GPIO layout its pads follow (kUnknown: a PCH the firmware does not serve)
  uint16_t p2sb, heci, pmc;      // device IDs of its P2SB, HECI and PMC functions
};
// The family of `lpc_device_id`, or nullptr for an ID of no listed family.
const PchFamily* PchFamilyOfLpcDeviceId(uint16_t lpc_device_id);

// Default LPC/eSPI device IDs: Z390 (300-series PCH-H), 300-series PCH-LP, and a
// 200-series PCH-H that the firmware does not know.
constexpr uint16_t kLpcDeviceIdPchH = 0xA305;
constexpr uint16_t kLpcDeviceIdPchLp = 0x9D84;
constexpr uint16_t kLpcDeviceIdUnknown = 0xA2C9;

struct GpioPadRef {
  GpioCommunity* community;
  unsigned group;       // within the community
  unsigned group_index; // GpioPadId group index
  unsigned pad;
  uint32_t pad_id;      // GpioPadId
  std::string name;     // e.g. GPP_D9
};

class PchDevices {
 public:
  PchDevices(Bus& bus, Cpu& cpu, const toml::table& description, PowerManagement& pwrm);
  ~PchDevices();
  PchDevices(const PchDevices&) = delete;
  PchDevices& operator=(const PchDevices&) = delete;

  PchKind kind() const { return kind_; }
  PchLpc& lpc() { return *lpc_; }
  P2sb& p2sb() { return *p2sb_; }
  SidebandWindow& sideband() { return sideband_; }
  GpioCommunity* community(uint8_t port);
  Heci* heci() { return heci_.get(); }  // nullptr when the ME host interface is absent
  PmcFunction& pmc() { return *pmc_; }
  // Board reset through 0xCF9: PLTRST#-domain state returns to its power-on values.
  void OnPlatformReset();

  // The GPIO groups that this PCH's pads follow (an unrecognised PCH has PCH-H pads).
  const std::vector<GpioGroupLayout>& group_layouts() const;
  uint8_t chipset_id() const;
  // A pad by name ("GPP_D9") or by GpioPadId ("0x03030009"); nullopt when this PCH has none.
  std::optional<GpioPadRef> FindPad(const std::string& name_or_id);

 private:
  void ApplyPadDescription(const std::string& key, const toml::table& pad);

  Bus& bus_;
  PchKind kind_;
  std::unique_ptr<PchLpc> lpc_;
  SidebandWindow sideband_;
  std::unique_ptr<P2sb> p2sb_;
  std::vector<std::unique_ptr<GpioCommunity>> communities_;
  std::unique_ptr<Heci> heci_;
  std::unique_ptr<PmcFunction> pmc_;
};

}  // namespace sim
