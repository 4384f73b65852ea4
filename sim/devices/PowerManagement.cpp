#include "sim/devices/PowerManagement.h"

namespace sim {

uint64_t PowerManagement::MmioRead(uint64_t offset, unsigned bytes) {
  uint64_t v = 0;
  for (unsigned i = 0; i < bytes; ++i) {
    auto it = regs_.find(offset + i);
    v |= uint64_t(it == regs_.end() ? 0 : it->second) << (8 * i);
  }
  return v;
}

void PowerManagement::MmioWrite(uint64_t offset, unsigned bytes, uint64_t value) {
  for (unsigned i = 0; i < bytes; ++i) regs_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t PowerManagement::Read32(uint64_t offset) const {
  uint32_t v = 0;
  for (unsigned i = 0; i < 4; ++i) {
    auto it = regs_.find(offset + i);
    v |= uint32_t(it == regs_.end() ? 0 : it->second) << (8 * i);
  }
  return v;
}

namespace {
constexpr uint16_t kCommand = 0x04;
constexpr uint16_t kCommandMemorySpace = 1u << 1;
constexpr uint16_t kPwrmBase = PmcFunction::kPwrmBaseRegister;
constexpr uint32_t kPwrmBaseMask = 0xFFFF0000;
}  // namespace

PmcFunction::PmcFunction(Bus& bus, PowerManagement& registers, uint16_t device_id, bool hidden)
    : bus_(bus), registers_(registers), hidden_(hidden) {
  cfg_.Put(0x00, 2, 0x8086);
  cfg_.Put(0x02, 2, device_id);
  cfg_.Put(0x08, 4, 0x05800000);  // memory controller (other)
  OnPlatformReset();
}

PmcFunction::~PmcFunction() {
  if (mapped_at_ != 0) bus_.UnmapMmio(&registers_);
}

void PmcFunction::OnPlatformReset() {
  cfg_.Put(kCommand, 2, kCommandMemorySpace);
  cfg_.Put(kPwrmBase, 4, static_cast<uint32_t>(kFirmwareBase));
  Remap();
}

void PmcFunction::Remap() {
  const uint64_t want = (cfg_.Get(kCommand, 2) & kCommandMemorySpace) ? (cfg_.Get(kPwrmBase, 4) & kPwrmBaseMask) : 0;
  if (want == mapped_at_) return;
  if (mapped_at_ != 0) bus_.UnmapMmio(&registers_);
  mapped_at_ = want;
  // Mapped last, so PWRM decodes ahead of the flash window it overlaps at 0xFE000000.
  if (want != 0) bus_.MapMmio(want, kWindowSize, &registers_);
}

uint32_t PmcFunction::ConfigRead(uint16_t reg, unsigned bytes) {
  if (hidden_) return 0xFFFFFFFFu;
  return cfg_.Get(reg, bytes);
}

void PmcFunction::ConfigWrite(uint16_t reg, unsigned bytes, uint32_t value) {
  if (hidden_) return;
  const bool command = cfg_.Merge(kCommand, 2, kCommandMemorySpace | 0x0004, reg, bytes, value);
  const bool base = cfg_.Merge(kPwrmBase, 4, kPwrmBaseMask, reg, bytes, value);
  if (command || base) Remap();
}

}  // namespace sim
