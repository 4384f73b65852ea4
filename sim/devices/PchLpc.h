// LPC/eSPI controller, PCI 0:31:0: what firmware reads to tell the PCH apart.
#pragma once

#include <cstdint>

#include "sim/core/Device.h"
#include "sim/devices/PchConfigSpace.h"

namespace sim {

class PchLpc : public PciFunction {
 public:
  explicit PchLpc(uint16_t device_id);
  uint32_t ConfigRead(uint16_t reg, unsigned bytes) override;
  void ConfigWrite(uint16_t reg, unsigned bytes, uint32_t value) override;
  uint16_t device_id() const { return static_cast<uint16_t>(cfg_.Get(0x02, 2)); }

 private:
  PchConfigSpace cfg_;
};

}  // namespace sim
