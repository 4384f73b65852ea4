#include "sim/devices/GpioCommunity.h"

#include <stdexcept>

namespace sim {

GpioCommunity::GpioCommunity(uint8_t port, const std::vector<GpioGroupLayout>& layouts) : port_(port) {
  for (const GpioGroupLayout& row : layouts) {
    if (row.port != port) continue;
    const unsigned g = static_cast<unsigned>(groups_.size());
    groups_.push_back({row.index, row.name, row});
    const unsigned pads = row.pads;
    const unsigned words = (pads + 31) / 32;
    GroupState st;
    st.pads.resize(pads);
    for (auto* v : {&st.hostsw_own, &st.gpi_is, &st.gpi_ie, &st.gpe_sts, &st.gpe_en, &st.smi_sts, &st.smi_en,
                    &st.nmi_sts, &st.nmi_en, &st.lock, &st.lock_tx})
      v->assign(words, 0);
    state_.push_back(std::move(st));

    for (unsigned r = 0; r < (pads + 7) / 8; ++r) Map(static_cast<uint16_t>(row.pad_own + 4 * r), {g, Kind::kPadOwn, r});
    const std::pair<uint16_t, Kind> bit_registers[] = {
        {row.hostsw_own, Kind::kHostSwOwn},   {row.gpi_is, Kind::kGpiIs},         {row.gpi_ie, Kind::kGpiIe},
        {row.gpi_gpe_sts, Kind::kGpeSts},     {row.gpi_gpe_en, Kind::kGpeEn},     {row.gpi_smi_sts, Kind::kSmiSts},
        {row.gpi_smi_en, Kind::kSmiEn},       {row.gpi_nmi_sts, Kind::kNmiSts},   {row.gpi_nmi_en, Kind::kNmiEn},
    };
    for (auto [offset, kind] : bit_registers) {
      if (offset == kGpioAbsentRegister) continue;
      for (unsigned r = 0; r < words; ++r) Map(static_cast<uint16_t>(offset + 4 * r), {g, kind, r});
    }
    for (unsigned r = 0; r < words; ++r) {
      Map(static_cast<uint16_t>(row.padcfglock + 8 * r), {g, Kind::kLock, r});
      Map(static_cast<uint16_t>(row.padcfglocktx + 8 * r), {g, Kind::kLockTx, r});
    }
    for (unsigned n = 0; n < pads; ++n) {
      const uint16_t base = static_cast<uint16_t>(row.pad_cfg_dw0 + 16 * n);
      Map(base, {g, Kind::kDw0, n});
      Map(static_cast<uint16_t>(base + 4), {g, Kind::kDw1, n});
      Map(static_cast<uint16_t>(base + 8), {g, Kind::kDwReserved, n});
      Map(static_cast<uint16_t>(base + 12), {g, Kind::kDwReserved, n});
    }
  }
}

void GpioCommunity::Map(uint16_t offset, Decoded d) {
  if (!map_.emplace(offset, d).second)
    throw std::logic_error("GPIO community " + std::to_string(port_) + ": two registers at offset " +
                           std::to_string(offset));
}

int GpioCommunity::FindGroup(unsigned group_index) const {
  for (size_t g = 0; g < groups_.size(); ++g)
    if (groups_[g].index == group_index) return static_cast<int>(g);
  return -1;
}

void GpioCommunity::OnPlatformReset() {
  for (GroupState& s : state_) {
    for (Pad& p : s.pads) {
      if ((p.dw0 >> kPadRstCfgShift) == kPadRstCfgRsmrst) continue;
      p.dw0 = p.reset_dw0;
      p.dw1 = p.reset_dw1;
    }
  }
}

const GpioCommunity::Decoded* GpioCommunity::Decode(uint16_t offset) const {
  auto it = map_.find(offset);
  return it == map_.end() ? nullptr : &it->second;
}

uint32_t* GpioCommunity::BitRegister(const Decoded& d) {
  GroupState& s = state_[d.group];
  switch (d.kind) {
    case Kind::kHostSwOwn: return &s.hostsw_own[d.index];
    case Kind::kGpiIs: return &s.gpi_is[d.index];
    case Kind::kGpiIe: return &s.gpi_ie[d.index];
    case Kind::kGpeSts: return &s.gpe_sts[d.index];
    case Kind::kGpeEn: return &s.gpe_en[d.index];
    case Kind::kSmiSts: return &s.smi_sts[d.index];
    case Kind::kSmiEn: return &s.smi_en[d.index];
    case Kind::kNmiSts: return &s.nmi_sts[d.index];
    case Kind::kNmiEn: return &s.nmi_en[d.index];
    case Kind::kLock: return &s.lock[d.index];
    case Kind::kLockTx: return &s.lock_tx[d.index];
    default: return nullptr;
  }
}

// Bits of register index d.index that stand for pads the group has.
uint32_t GpioCommunity::ValidPadBits(const Decoded& d) const {
  const unsigned pads = static_cast<unsigned>(state_[d.group].pads.size());
  const unsigned first = d.index * 32;
  if (pads <= first) return 0;
  const unsigned n = pads - first;
  return n >= 32 ? 0xFFFFFFFFu : ((1u << n) - 1);
}

bool GpioCommunity::Locked(unsigned group, unsigned pad, bool tx) const {
  const GroupState& s = state_[group];
  const uint32_t word = tx ? s.lock_tx[pad / 32] : s.lock[pad / 32];
  return (word >> (pad % 32)) & 1;
}

uint32_t GpioCommunity::Read(const Decoded& d) {
  GroupState& s = state_[d.group];
  switch (d.kind) {
    case Kind::kPadOwn: {
      uint32_t v = 0;
      for (unsigned i = 0; i < 8; ++i) {
        const unsigned pad = d.index * 8 + i;
        if (pad < s.pads.size()) v |= static_cast<uint32_t>(s.pads[pad].owner & 3) << (i * 4);
      }
      return v;
    }
    case Kind::kDw0: {
      // With the output buffer on, the pad's input follows what it drives.
      const Pad& p = s.pads[d.index];
      const bool driving = (p.dw0 & kDw0TxDisable) == 0;
      const uint32_t rx = driving && (p.dw0 & kDw0TxState) ? kDw0RxState : 0;
      return (p.dw0 & ~kDw0RxState) | rx;
    }
    case Kind::kDw1: return s.pads[d.index].dw1;
    case Kind::kDwReserved: return 0;
    default: return *BitRegister(d) & ValidPadBits(d);
  }
}

void GpioCommunity::Write(const Decoded& d, uint32_t value, uint32_t byte_mask) {
  GroupState& s = state_[d.group];
  switch (d.kind) {
    case Kind::kPadOwn:  // set by the PCH's ownership configuration, not by the host
    case Kind::kLock:    // lock registers change only by sideband message
    case Kind::kLockTx:
    case Kind::kDwReserved:
      return;
    case Kind::kDw0: {
      Pad& p = s.pads[d.index];
      uint32_t writable = kDw0Writable & byte_mask;
      if (Locked(d.group, d.index, false)) writable &= kDw0TxState;
      if (Locked(d.group, d.index, true)) writable &= ~kDw0TxState;
      p.dw0 = (p.dw0 & ~writable) | (value & writable);
      return;
    }
    case Kind::kDw1: {
      Pad& p = s.pads[d.index];
      if (Locked(d.group, d.index, false)) return;
      const uint32_t writable = kDw1Writable & byte_mask;
      p.dw1 = (p.dw1 & ~writable) | (value & writable);
      return;
    }
    case Kind::kGpiIs:
    case Kind::kGpeSts:
    case Kind::kSmiSts:
    case Kind::kNmiSts:
      *BitRegister(d) &= ~(value & byte_mask);
      return;
    case Kind::kGpeEn:
    case Kind::kSmiEn:
    case Kind::kNmiEn: {
      // The interrupt enables are pad configuration: PADCFGLOCK keeps them.
      const uint32_t writable = byte_mask & ValidPadBits(d) & ~s.lock[d.index];
      uint32_t* reg = BitRegister(d);
      *reg = (*reg & ~writable) | (value & writable);
      return;
    }
    case Kind::kHostSwOwn:
    case Kind::kGpiIe: {
      const uint32_t writable = byte_mask & ValidPadBits(d);
      uint32_t* reg = BitRegister(d);
      *reg = (*reg & ~writable) | (value & writable);
      return;
    }
  }
}

uint32_t GpioCommunity::WindowRead(uint16_t offset) {
  const Decoded* d = Decode(offset);
  return d ? Read(*d) : 0;
}

void GpioCommunity::WindowWrite(uint16_t offset, uint32_t value, uint32_t byte_mask) {
  if (const Decoded* d = Decode(offset)) Write(*d, value, byte_mask);
}

uint8_t GpioCommunity::Message(uint8_t opcode, uint64_t offset, uint32_t data, uint32_t byte_mask,
                               uint32_t* read_data) {
  if (offset > 0xFFFF || (offset & 3) != 0) return kSidebandResponseUnsupported;
  const Decoded* d = Decode(static_cast<uint16_t>(offset));
  switch (opcode) {
    case kSidebandOpcodeGpioLockUnlock: {
      if (d == nullptr || (d->kind != Kind::kLock && d->kind != Kind::kLockTx)) return kSidebandResponseUnsupported;
      const uint32_t writable = byte_mask & ValidPadBits(*d);
      uint32_t* reg = BitRegister(*d);
      *reg = (*reg & ~writable) | (data & writable);
      return kSidebandResponseSuccess;
    }
    case kSidebandOpcodePcrRead:
      *read_data = d ? Read(*d) : 0;
      return kSidebandResponseSuccess;
    case kSidebandOpcodePcrWrite:
      if (d) Write(*d, data, byte_mask);
      return kSidebandResponseSuccess;
    default:
      return kSidebandResponseUnsupported;
  }
}

}  // namespace sim
