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

}  // namespace sim
