// Interfaces of simulated hardware blocks. Devices see bus accesses only (address or
// offset, width, value, time); they never call into driver code.
#pragma once

#include <cstdint>

namespace sim {

class Clock;

// A block decoded in physical memory space. Offset is relative to the mapped base.
class MmioDevice {
 public:
  virtual ~MmioDevice() = default;
  virtual uint64_t MmioRead(uint64_t offset, unsigned bytes) = 0;
  virtual void MmioWrite(uint64_t offset, unsigned bytes, uint64_t value) = 0;
  // The simulated time until which reads of this register keep answering what they answer
  // now, without side effects; 0 when the device promises nothing. A status register of a
  // block that is busy until a known time answers that time, so that the bus can skip the
  // reads of a poll loop that nothing watches.
  virtual uint64_t ReadStableUntil(uint64_t offset, unsigned bytes) {
    (void)offset;
    (void)bytes;
    return 0;
  }
};

// A block decoded in I/O space; port is the absolute port number.
class IoDevice {
 public:
  virtual ~IoDevice() = default;
  virtual uint32_t IoRead(uint16_t port, unsigned bytes) = 0;
  virtual void IoWrite(uint16_t port, unsigned bytes, uint32_t value) = 0;
};

// A PCI function's 4 KiB configuration space (reached through ECAM at 0xE0000000).
class PciFunction {
 public:
  virtual ~PciFunction() = default;
  virtual uint32_t ConfigRead(uint16_t reg, unsigned bytes) = 0;
  virtual void ConfigWrite(uint16_t reg, unsigned bytes, uint32_t value) = 0;
};

}  // namespace sim
