// The SBREG_BAR window (0xFD000000, 16 MiB): address bits 23:16 select the sideband port,
// bits 15:0 the register offset within it. Ports without an endpoint read as all ones and
// drop writes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>

#include "sim/core/Device.h"

namespace sim {

// A PCH block reachable over the sideband fabric: through the window and by message.
class SidebandEndpoint {
 public:
  virtual ~SidebandEndpoint() = default;
  // Dword-aligned register access through the window; byte_mask selects the bytes written.
  virtual uint32_t WindowRead(uint16_t offset) = 0;
  virtual void WindowWrite(uint16_t offset, uint32_t value, uint32_t byte_mask) = 0;
  // A message from P2SB. Returns the response status (0 success, 1 unsupported request).
  // A read answers into *read_data.
  virtual uint8_t Message(uint8_t opcode, uint64_t offset, uint32_t data, uint32_t byte_mask, uint32_t* read_data) = 0;
};

constexpr uint8_t kSidebandResponseSuccess = 0;
constexpr uint8_t kSidebandResponseUnsupported = 1;

class SidebandWindow : public MmioDevice {
 public:
  void Attach(uint8_t port, SidebandEndpoint* endpoint) { ports_[port] = endpoint; }
  SidebandEndpoint* Endpoint(uint8_t port) const;
  // Called before every window access (lets in-flight sideband messages land first).
  std::function<void()> before_access;

  uint64_t MmioRead(uint64_t offset, unsigned bytes) override;
  void MmioWrite(uint64_t offset, unsigned bytes, uint64_t value) override;

 private:
  std::map<uint8_t, SidebandEndpoint*> ports_;
};

}  // namespace sim
