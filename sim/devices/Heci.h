// ME host interface HECI #1, PCI 0:22:0: identification, command byte, a 32- or 64-bit
// memory BAR and the host firmware status registers (HFSTS1 at 0x40).
#pragma once

#include <cstdint>

#include "sim/core/Device.h"
#include "sim/devices/PchConfigSpace.h"

namespace sim {

class Heci : public PciFunction {
 public:
  struct Config {
    uint16_t device_id = 0xA360;
    uint32_t bar0 = 0xFED1A004;  // base 31:4 plus the type bits 2:1 (10b: 64-bit)
    uint32_t bar1 = 0;           // upper half of a 64-bit BAR
    uint32_t hfsts1 = 0;
  };
  explicit Heci(const Config& config);

  uint32_t ConfigRead(uint16_t reg, unsigned bytes) override;
  void ConfigWrite(uint16_t reg, unsigned bytes, uint32_t value) override;

  uint8_t command() const { return static_cast<uint8_t>(cfg_.Get(0x04, 1)); }
  uint64_t bar_base() const;
  bool bar_is_64bit() const { return is_64bit_; }
  void SetHfsts1(uint32_t value) { cfg_.Put(0x40, 4, value); }
  // PLTRST#: command register and BAR back to their power-on values; HFSTS1 is the ME's.
  void OnPlatformReset();

 private:
  PchConfigSpace cfg_;
  Config power_on_;
  bool is_64bit_ = false;
};

}  // namespace sim
