#include "sim/devices/PmTimer.h"

namespace sim {

uint32_t PmTimer::Count() const {
  if (stopped_) return stopped_count_;
  unsigned __int128 ticks = static_cast<unsigned __int128>(clock_.Now()) * kFrequencyHz / 1000000000u;
  return static_cast<uint32_t>(ticks) & 0x00FFFFFF;
}

void PmTimer::Stop() {
  stopped_count_ = Count();
  stopped_ = true;
}

uint32_t PmTimer::IoRead(uint16_t port, unsigned bytes) {
  uint32_t v = Count();
  return v >> ((port & 3) * 8) & (bytes >= 4 ? 0xFFFFFFFFu : ((1u << (bytes * 8)) - 1));
}

}  // namespace sim
