// The memory-mapped flash window below 4 GiB: the BIOS region's last byte answers at
// 0xFFFFFFFF and the flash below it follows downwards. Reads go through the SPI
// controller's direct-read path, and through the processor's data cache when one covers
// the address. Writes to the window are dropped: the flash changes only through cycles.
#pragma once

#include <cstdint>
#include <memory>

#include "sim/core/Bus.h"
#include "sim/core/Cpu.h"
#include "sim/devices/DataCache.h"
#include "sim/devices/SpiController.h"

namespace sim {

enum class WindowCacheMode { kOff, kBiosRegion, kWholeWindow };

class FlashWindow : public MmioDevice {
 public:
  static constexpr uint64_t kTop = 1ULL << 32;
  static constexpr uint64_t kMaxSize = 0x02000000;  // 0xFE000000 - 0xFFFFFFFF

  FlashWindow(Bus& bus, Cpu& cpu, SpiController& controller, WindowCacheMode cache);
  ~FlashWindow() override;
  FlashWindow(const FlashWindow&) = delete;
  FlashWindow& operator=(const FlashWindow&) = delete;

  // After a reset the BIOS region (and so the window) may have moved.
  void Remap();
  void SetCacheMode(WindowCacheMode mode);

  uint64_t MmioRead(uint64_t offset, unsigned bytes) override;
  void MmioWrite(uint64_t, unsigned, uint64_t) override {}

  uint64_t base() const { return base_; }
  uint64_t size() const { return size_; }
  // Flash linear address of a window address inside the window.
  uint32_t Linear(uint64_t address) const { return uint32_t(address + bios_limit_ + 1); }
  DataCache* cache() { return cache_.get(); }
  WindowCacheMode cache_mode() const { return cache_mode_; }

 private:
  void ReadSpan(uint64_t address, uint8_t* out, size_t n);

  Bus& bus_;
  Cpu& cpu_;
  SpiController& controller_;
  WindowCacheMode cache_mode_;
  uint64_t base_ = 0;
  uint64_t size_ = 0;
  uint32_t bios_limit_ = 0;
  std::unique_ptr<DataCache> cache_;
};

}  // namespace sim
