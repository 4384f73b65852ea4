#include "sim/devices/Heci.h"

namespace sim {

namespace {
constexpr uint16_t kVendorIntel = 0x8086;
constexpr uint16_t kCommand = 0x04;
constexpr uint32_t kCommandWritable = 0x0506;  // memory space, bus master, SERR#, INTx disable
constexpr uint16_t kBar0 = 0x10;
constexpr uint16_t kBar1 = 0x14;
constexpr uint32_t kBarBaseMask = 0xFFFFF000;  // 4 KiB of MMIO registers
constexpr uint32_t kBarType64 = 0x4;
}  // namespace

Heci::Heci(const Config& config) : power_on_(config) {
  cfg_.Put(0x00, 2, kVendorIntel);
  cfg_.Put(0x02, 2, config.device_id);
  cfg_.Put(0x08, 4, 0x07800000);  // communication controller (other)
  is_64bit_ = (config.bar0 & 0x6) == kBarType64;
  cfg_.Put(kBar0, 4, (config.bar0 & kBarBaseMask) | (is_64bit_ ? kBarType64 : 0));
  cfg_.Put(kBar1, 4, is_64bit_ ? config.bar1 : 0);
  cfg_.Put(0x40, 4, config.hfsts1);  // HFSTS1
}

void Heci::OnPlatformReset() {
  cfg_.Put(kCommand, 2, 0);
  cfg_.Put(kBar0, 4, (power_on_.bar0 & kBarBaseMask) | (is_64bit_ ? kBarType64 : 0));
  cfg_.Put(kBar1, 4, is_64bit_ ? power_on_.bar1 : 0);
}

uint64_t Heci::bar_base() const {
  uint64_t base = cfg_.Get(kBar0, 4) & kBarBaseMask;
  if (is_64bit_) base |= static_cast<uint64_t>(cfg_.Get(kBar1, 4)) << 32;
  return base;
}

uint32_t Heci::ConfigRead(uint16_t reg, unsigned bytes) { return cfg_.Get(reg, bytes); }

void Heci::ConfigWrite(uint16_t reg, unsigned bytes, uint32_t value) {
  cfg_.Merge(kCommand, 2, kCommandWritable, reg, bytes, value);
  cfg_.Merge(kBar0, 4, kBarBaseMask, reg, bytes, value);
  if (is_64bit_) cfg_.Merge(kBar1, 4, 0xFFFFFFFF, reg, bytes, value);
}

}  // namespace sim
