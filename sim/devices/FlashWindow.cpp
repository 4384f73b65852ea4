#include "sim/devices/FlashWindow.h"

#include <algorithm>
#include <cstring>

namespace sim {

FlashWindow::FlashWindow(Bus& bus, Cpu& cpu, SpiController& controller, WindowCacheMode cache)
    : bus_(bus), cpu_(cpu), controller_(controller), cache_mode_(cache) {
  cpu_.on_flush_line = [this](uint64_t address) {
    if (cache_) cache_->FlushLine(address);
  };
  cpu_.on_wbinvd = [this] {
    if (cache_) cache_->FlushAll();
  };
  Remap();
}

FlashWindow::~FlashWindow() {
  bus_.UnmapMmio(this);
  cpu_.on_flush_line = nullptr;
  cpu_.on_wbinvd = nullptr;
}

void FlashWindow::Remap() {
  bus_.UnmapMmio(this);
  bios_limit_ = controller_.bios_limit();
  size_ = std::min<uint64_t>(uint64_t(bios_limit_) + 1, kMaxSize);
  base_ = kTop - size_;
  bus_.MapMmioBehind(base_, size_, this);
  SetCacheMode(cache_mode_);
}

void FlashWindow::SetCacheMode(WindowCacheMode mode) {
  cache_mode_ = mode;
  cache_.reset();
  if (mode == WindowCacheMode::kOff) return;
  uint64_t from = base_;
  if (mode == WindowCacheMode::kBiosRegion) {
    // The BIOS region's first byte in the window, as boot firmware marks it cacheable.
    uint32_t base = 0, limit = 0;
    uint64_t bios_bytes = controller_.descriptor().Region(1, &base, &limit) ? uint64_t(limit) - base + 1 : size_;
    from = kTop - std::min(bios_bytes, size_);
  }
  cache_ = std::make_unique<DataCache>(from, kTop - from);
}

void FlashWindow::ReadSpan(uint64_t address, uint8_t* out, size_t n) {
  // n bytes inside one 64-byte line.
  if (cache_ && cache_->Covers(address)) {
    const uint8_t* line = cache_->Lookup(address);
    if (line == nullptr) {
      uint64_t line_address = address & ~(DataCache::kLineBytes - 1);
      uint8_t* fill = cache_->Fill(line_address);
      controller_.DirectRead(Linear(line_address), fill, DataCache::kLineBytes);
      line = fill;
    }
    std::memcpy(out, line + (address & (DataCache::kLineBytes - 1)), n);
    return;
  }
  controller_.DirectRead(Linear(address), out, n);
}

uint64_t FlashWindow::MmioRead(uint64_t offset, unsigned bytes) {
  uint64_t address = base_ + offset;
  uint8_t buffer[8] = {};
  size_t done = 0;
  while (done < bytes) {
    uint64_t a = address + done;
    size_t in_line = DataCache::kLineBytes - (a & (DataCache::kLineBytes - 1));
    size_t take = std::min<size_t>(bytes - done, in_line);
    ReadSpan(a, buffer + done, take);
    done += take;
  }
  uint64_t value = 0;
  std::memcpy(&value, buffer, bytes);
  return value;
}

}  // namespace sim
