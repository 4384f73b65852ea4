// One GPIO community of the PCH: a sideband port holding the pad groups of its rows in the
// PCH's group table. Per pad: PAD_CFG_DW0/DW1, the PAD_OWN nibble; per group and pad bit:
// HOSTSW_OWN, GPI_IS/GPE/SMI/NMI status (write 1 to clear) and enables, and the pad lock
// registers PADCFGLOCK/PADCFGLOCKTX, which read through the window but change only by a
// sideband message with opcode 0x13. A locked pad keeps the fields its lock guards.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/devices/GpioGroupLayout.h"
#include "sim/devices/SidebandWindow.h"

namespace sim {

class GpioCommunity : public SidebandEndpoint {
 public:
  // PAD_CFG_DW0 bits the host can write (GPIORXSTATE and the reserved bits are read-only).
  static constexpr uint32_t kDw0Writable = 0xF7FE1F01;
  static constexpr uint32_t kDw0TxState = 1u << 0;
  static constexpr uint32_t kDw0RxState = 1u << 1;
  static constexpr uint32_t kDw0TxDisable = 1u << 8;
  // PAD_CFG_DW1: TERM 13:10 and IOSSTATE/IOSTERM; INTSEL 7:0 is read-only.
  static constexpr uint32_t kDw1Writable = 0x0003FF00;
  static constexpr uint32_t kDefaultDw0 = 0x44000100;  // GPIO input, reset domain deep

  struct Group {
    unsigned index;  // GpioPadId group index
    std::string name;
    GpioGroupLayout layout;
  };
  struct Pad {
    uint32_t dw0 = kDefaultDw0;
    uint32_t dw1 = 0;
    uint8_t owner = 0;  // PAD_OWN field: 0 host, others another agent
    // Power-on configuration, restored when the pad's reset domain resets.
    uint32_t reset_dw0 = kDefaultDw0;
    uint32_t reset_dw1 = 0;
  };
  // PAD_CFG_DW0.PADRSTCFG (31:30): 0 RSMRST#, 1 host deep reset, 2 PLTRST#, 3 global reset.
  static constexpr unsigned kPadRstCfgShift = 30;
  static constexpr uint32_t kPadRstCfgRsmrst = 0;
  // Per group, per register index: one bit per pad.
  struct GroupState {
    std::vector<Pad> pads;
    std::vector<uint32_t> hostsw_own, gpi_is, gpi_ie, gpe_sts, gpe_en, smi_sts, smi_en, nmi_sts, nmi_en, lock, lock_tx;
  };

  // Builds the community of `port` from every group of `layouts` on that port.
  GpioCommunity(uint8_t port, const std::vector<GpioGroupLayout>& layouts);

  uint8_t port() const { return port_; }
  const std::vector<Group>& groups() const { return groups_; }
  GroupState& state(unsigned group) { return state_[group]; }
  const GroupState& state(unsigned group) const { return state_[group]; }
  // Position of a group (by GpioPadId group index) among this community's groups, or -1.
  int FindGroup(unsigned group_index) const;
  // A reset through 0xCF9 (with or without power cycle): every pad outside the RSMRST#
  // domain returns to its power-on configuration; RSMRST# pads keep theirs.
  void OnPlatformReset();

  uint32_t WindowRead(uint16_t offset) override;
  void WindowWrite(uint16_t offset, uint32_t value, uint32_t byte_mask) override;
  uint8_t Message(uint8_t opcode, uint64_t offset, uint32_t data, uint32_t byte_mask, uint32_t* read_data) override;

 private:
  enum class Kind {
    kPadOwn, kHostSwOwn, kGpiIs, kGpiIe, kGpeSts, kGpeEn, kSmiSts, kSmiEn, kNmiSts, kNmiEn, kLock, kLockTx, kDw0, kDw1,
    kDwReserved,
  };
  struct Decoded {
    unsigned group;
    Kind kind;
    unsigned index;  // register index, or pad number for the pad dwords
  };
  void Map(uint16_t offset, Decoded d);
  const Decoded* Decode(uint16_t offset) const;
  uint32_t* BitRegister(const Decoded& d);
  uint32_t ValidPadBits(const Decoded& d) const;
  uint32_t Read(const Decoded& d);
  void Write(const Decoded& d, uint32_t value, uint32_t byte_mask);
  bool Locked(unsigned group, unsigned pad, bool tx) const;

  uint8_t port_;
  std::vector<Group> groups_;
  std::vector<GroupState> state_;
  std::map<uint16_t, Decoded> map_;
};

constexpr uint8_t kSidebandOpcodePcrRead = 0x06;
constexpr uint8_t kSidebandOpcodePcrWrite = 0x07;
constexpr uint8_t kSidebandOpcodeGpioLockUnlock = 0x13;

}  // namespace sim
