#include "sim/firmware/PoolAllocator.h"

namespace sim {

uint64_t PoolAllocator::Allocate(uint64_t size, const std::string& owner) {
  if (fail_next_ > 0) {
    --fail_next_;
    return 0;
  }
  if (size == 0) size = 1;
  uint64_t need = (size + kAlign - 1) & ~(kAlign - 1);
  for (auto it = free_.begin(); it != free_.end(); ++it) {
    if (it->second < need) continue;
    uint64_t address = it->first;
    uint64_t remaining = it->second - need;
    free_.erase(it);
    if (remaining) free_[address + need] = remaining;
    live_[address] = need;
    owners_[address] = owner;
    return address;
  }
  return 0;
}

bool PoolAllocator::Free(uint64_t address) {
  auto it = live_.find(address);
  if (it == live_.end()) {
    ++bad_frees_;
    return false;
  }
  uint64_t size = it->second;
  live_.erase(it);
  owners_.erase(address);
  auto next = free_.lower_bound(address);
  if (next != free_.end() && address + size == next->first) {
    size += next->second;
    next = free_.erase(next);
  }
  if (next != free_.begin()) {
    auto prev = std::prev(next);
    if (prev->first + prev->second == address) {
      prev->second += size;
      return true;
    }
  }
  free_[address] = size;
  return true;
}

uint64_t PoolAllocator::bytes_in_use() const {
  uint64_t total = 0;
  for (auto& [a, s] : live_) total += s;
  return total;
}

}  // namespace sim
