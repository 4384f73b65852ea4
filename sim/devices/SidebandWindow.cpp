#include "sim/devices/SidebandWindow.h"

namespace sim {

namespace {
uint32_t ByteMask(unsigned shift_bytes, unsigned bytes) {
  uint64_t m = bytes >= 4 ? 0xFFFFFFFFull : ((1ull << (bytes * 8)) - 1);
  return static_cast<uint32_t>(m << (shift_bytes * 8));
}
}  // namespace

SidebandEndpoint* SidebandWindow::Endpoint(uint8_t port) const {
  auto it = ports_.find(port);
  return it == ports_.end() ? nullptr : it->second;
}

uint64_t SidebandWindow::MmioRead(uint64_t offset, unsigned bytes) {
  if (before_access) before_access();
  SidebandEndpoint* ep = Endpoint(static_cast<uint8_t>(offset >> 16));
  if (ep == nullptr) return ~0ull;
  uint16_t reg = static_cast<uint16_t>(offset);
  if (bytes == 8) {
    uint64_t lo = ep->WindowRead(reg & 0xFFFC);
    uint64_t hi = ep->WindowRead(static_cast<uint16_t>((reg & 0xFFFC) + 4));
    return lo | (hi << 32);
  }
  unsigned shift = reg & 3;
  return (ep->WindowRead(reg & 0xFFFC) >> (shift * 8)) & (bytes >= 4 ? 0xFFFFFFFFu : ((1u << (bytes * 8)) - 1));
}

void SidebandWindow::MmioWrite(uint64_t offset, unsigned bytes, uint64_t value) {
  if (before_access) before_access();
  SidebandEndpoint* ep = Endpoint(static_cast<uint8_t>(offset >> 16));
  if (ep == nullptr) return;
  uint16_t reg = static_cast<uint16_t>(offset);
  if (bytes == 8) {
    ep->WindowWrite(reg & 0xFFFC, static_cast<uint32_t>(value), 0xFFFFFFFFu);
    ep->WindowWrite(static_cast<uint16_t>((reg & 0xFFFC) + 4), static_cast<uint32_t>(value >> 32), 0xFFFFFFFFu);
    return;
  }
  unsigned shift = reg & 3;
  if (shift + bytes > 4) bytes = 4 - shift;  // accesses do not straddle a register
  ep->WindowWrite(reg & 0xFFFC, static_cast<uint32_t>(value << (shift * 8)), ByteMask(shift, bytes));
}

}  // namespace sim
