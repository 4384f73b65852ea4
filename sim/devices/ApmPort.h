// APM_CNT (0xB2) and APM_STS (0xB3): a byte written to APM_CNT raises a software SMI
// with that value; APM_STS is scratch the caller may pass along.
#pragma once

#include <cstdint>
#include <functional>

#include "sim/core/Device.h"

namespace sim {

class ApmPort : public IoDevice {
 public:
  uint32_t IoRead(uint16_t port, unsigned bytes) override;
  void IoWrite(uint16_t port, unsigned bytes, uint32_t value) override;
  // The board delivers the SMI to the SMM core once the writing instruction completes.
  std::function<void(uint8_t command, uint8_t data)> on_smi;
  uint8_t command() const { return cnt_; }

 private:
  uint8_t cnt_ = 0;
  uint8_t sts_ = 0;
};

}  // namespace sim
