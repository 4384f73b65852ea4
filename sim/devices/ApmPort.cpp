#include "sim/devices/ApmPort.h"

#include "sim/board/MemoryMap.h"

namespace sim {

uint32_t ApmPort::IoRead(uint16_t port, unsigned) { return port == kApmCntPort ? cnt_ : sts_; }

void ApmPort::IoWrite(uint16_t port, unsigned, uint32_t value) {
  if (port == kApmStsPort) {
    sts_ = static_cast<uint8_t>(value);
    return;
  }
  cnt_ = static_cast<uint8_t>(value);
  if (on_smi) on_smi(cnt_, sts_);
}

}  // namespace sim
