// Reset control register at I/O port 0xCF9: SYS_RST (bit 1) selects a hard reset,
// RST_CPU (bit 2) going from 0 to 1 starts it, FULL_RST (bit 3) adds a power cycle.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "sim/core/Device.h"

namespace sim {

class ResetControl : public IoDevice {
 public:
  static constexpr uint8_t kSysRst = 1u << 1;
  static constexpr uint8_t kRstCpu = 1u << 2;
  static constexpr uint8_t kFullRst = 1u << 3;

  uint32_t IoRead(uint16_t port, unsigned bytes) override;
  void IoWrite(uint16_t port, unsigned bytes, uint32_t value) override;

  // Called with a description of the reset ("hard reset with power cycle", ...).
  std::function<void(const std::string&)> on_reset;
  uint8_t value() const { return value_; }

 private:
  uint8_t value_ = 0;
};

}  // namespace sim
