// The processor's data cache over a range of the memory-mapped flash window, as boot
// firmware makes the BIOS area cacheable. A line is filled from the window on its first
// read and then answers every read until CLFLUSH or WBINVD drops it: changes the SPI
// controller makes in the flash are not snooped, so a cached line goes stale until it is
// written back and invalidated.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

class DataCache {
 public:
  static constexpr uint64_t kLineBytes = 64;

  DataCache(uint64_t base, uint64_t size);

  bool Covers(uint64_t address) const { return address - base_ < size_; }
  // The cached line that holds `address`, or nullptr when the line is not present.
  const uint8_t* Lookup(uint64_t address) {
    uint64_t line = (address - base_) / kLineBytes;
    if (!valid_[line]) return nullptr;
    ++hits_;
    return data_.data() + line * kLineBytes;
  }
  // Makes the line that holds `address` present; the caller fills its 64 bytes.
  uint8_t* Fill(uint64_t address);
  void FlushLine(uint64_t address);
  void FlushAll();

  uint64_t base() const { return base_; }
  uint64_t size() const { return size_; }
  uint64_t hits() const { return hits_; }
  uint64_t misses() const { return misses_; }
  uint64_t line_flushes() const { return line_flushes_; }
  uint64_t full_flushes() const { return full_flushes_; }

 private:
  uint64_t base_;
  uint64_t size_;
  std::vector<uint8_t> data_;
  std::vector<bool> valid_;
  uint64_t hits_ = 0;
  uint64_t misses_ = 0;
  uint64_t line_flushes_ = 0;
  uint64_t full_flushes_ = 0;
};

}  // namespace sim
