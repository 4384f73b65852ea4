// RTC CMOS RAM behind the index/data ports 0x70/0x71 (battery-backed: survives resets).
#pragma once

#include <array>
#include <cstdint>

#include "sim/core/Device.h"

namespace sim {

class Cmos : public IoDevice {
 public:
  uint32_t IoRead(uint16_t port, unsigned bytes) override;
  void IoWrite(uint16_t port, unsigned bytes, uint32_t value) override;
  uint8_t byte(uint8_t index) const { return ram_[index & 0x7F]; }
  void set_byte(uint8_t index, uint8_t value) { ram_[index & 0x7F] = value; }
  std::array<uint8_t, 128>& ram() { return ram_; }

 private:
  uint8_t index_ = 0;
  std::array<uint8_t, 128> ram_{};
};

}  // namespace sim
