// A PCI function's 4 KiB configuration space as bytes, for the PCH's simple functions.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace sim {

class PchConfigSpace {
 public:
  uint32_t Get(uint16_t reg, unsigned bytes) const {
    uint32_t v = 0;
    if (reg < bytes_.size() && bytes <= bytes_.size() - reg) std::memcpy(&v, &bytes_[reg], bytes);
    else v = 0xFFFFFFFFu;
    return v;
  }
  void Put(uint16_t reg, unsigned bytes, uint32_t value) {
    if (reg < bytes_.size() && bytes <= bytes_.size() - reg) std::memcpy(&bytes_[reg], &value, bytes);
  }
  // Merges a write of `bytes` at `reg` into the register of `width` bytes at `base`, keeping
  // the bits outside `writable`. Returns false when the write does not touch the register.
  bool Merge(uint16_t base, unsigned width, uint32_t writable, uint16_t reg, unsigned bytes, uint32_t value) {
    if (reg + bytes <= base || reg >= base + width) return false;
    uint32_t old = Get(base, width);
    uint32_t merged = old;
    for (unsigned i = 0; i < bytes; ++i) {
      int pos = int(reg + i) - int(base);
      if (pos < 0 || pos >= int(width)) continue;
      uint32_t byte_mask = 0xFFu << (pos * 8);
      merged = (merged & ~byte_mask) | (((value >> (i * 8)) & 0xFFu) << (pos * 8));
    }
    Put(base, width, (old & ~writable) | (merged & writable));
    return true;
  }

 private:
  std::array<uint8_t, 4096> bytes_{};
};

}  // namespace sim
