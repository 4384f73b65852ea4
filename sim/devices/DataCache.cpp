#include "sim/devices/DataCache.h"

#include <algorithm>

namespace sim {

DataCache::DataCache(uint64_t base, uint64_t size)
    : base_(base & ~(kLineBytes - 1)),
      size_(((base + size + kLineBytes - 1) & ~(kLineBytes - 1)) - (base & ~(kLineBytes - 1))),
      data_(size_),
      valid_(size_ / kLineBytes, false) {}

uint8_t* DataCache::Fill(uint64_t address) {
  uint64_t line = (address - base_) / kLineBytes;
  ++misses_;
  valid_[line] = true;
  return data_.data() + line * kLineBytes;
}

void DataCache::FlushLine(uint64_t address) {
  if (!Covers(address)) return;
  ++line_flushes_;
  valid_[(address - base_) / kLineBytes] = false;
}

void DataCache::FlushAll() {
  ++full_flushes_;
  std::fill(valid_.begin(), valid_.end(), false);
}

}  // namespace sim
