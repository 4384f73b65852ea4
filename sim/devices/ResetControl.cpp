#include "sim/devices/ResetControl.h"

namespace sim {

uint32_t ResetControl::IoRead(uint16_t, unsigned) { return value_ & (kSysRst | kFullRst); }

void ResetControl::IoWrite(uint16_t, unsigned, uint32_t value) {
  uint8_t v = static_cast<uint8_t>(value);
  bool start = (v & kRstCpu) && !(value_ & kRstCpu);
  value_ = v & (kSysRst | kFullRst);
  if (!start) return;
  std::string kind = (v & kSysRst) ? "hard reset" : "soft reset";
  if (v & kFullRst) kind += " with power cycle";
  if (on_reset) on_reset(kind);
}

}  // namespace sim
