// A first-fit pool over a range of simulated RAM. Buffers are physical addresses that are
// also valid host pointers (RAM below 2 GiB is identity-mapped), so a buffer from the SMRAM
// pool lies inside the ranges EFI_SMM_ACCESS2_PROTOCOL reports.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

class PoolAllocator {
 public:
  PoolAllocator(std::string name, uint64_t base, uint64_t size) : name_(std::move(name)), base_(base), size_(size) {
    free_[base] = size;
  }

  // Returns 0 when the pool is exhausted or an injected failure is due.
  uint64_t Allocate(uint64_t size, const std::string& owner = {});
  // False when `address` is not the start of a live allocation (double free, foreign pointer).
  bool Free(uint64_t address);

  bool Contains(uint64_t address) const { return address >= base_ && address - base_ < size_; }
  const std::map<uint64_t, uint64_t>& live() const { return live_; }
  std::string OwnerOf(uint64_t address) const {
    auto it = owners_.find(address);
    return it == owners_.end() ? std::string() : it->second;
  }
  uint64_t bytes_in_use() const;
  const std::string& name() const { return name_; }

  // Fault injection: the next `count` allocations fail.
  void FailNextAllocations(unsigned count) { fail_next_ = count; }
  unsigned bad_frees() const { return bad_frees_; }

 private:
  static constexpr uint64_t kAlign = 16;
  std::string name_;
  uint64_t base_;
  uint64_t size_;
  std::map<uint64_t, uint64_t> free_;  // address -> size
  std::map<uint64_t, uint64_t> live_;  // address -> size
  std::map<uint64_t, std::string> owners_;
  unsigned fail_next_ = 0;
  unsigned bad_frees_ = 0;
};

}  // namespace sim
