#include "sim/devices/Cmos.h"

#include "sim/board/MemoryMap.h"

namespace sim {

uint32_t Cmos::IoRead(uint16_t port, unsigned) {
  if (port == kCmosDataPort) return ram_[index_];
  return 0xFF;  // the index register is write-only
}

void Cmos::IoWrite(uint16_t port, unsigned, uint32_t value) {
  if (port == kCmosIndexPort)
    index_ = value & 0x7F;  // bit 7 is the NMI mask, not part of the index
  else if (port == kCmosDataPort)
    ram_[index_] = static_cast<uint8_t>(value);
}

}  // namespace sim
