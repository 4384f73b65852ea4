// PMC registers in PWRMBASE (0xFE000000): ETR3 at +0x1048, whose bit 20 (CF9GR) turns a
// reset through port 0xCF9 into a global reset. Other offsets read as plain storage.
#pragma once

#include <cstdint>
#include <map>

#include "sim/core/Device.h"

namespace sim {

class PowerManagement : public MmioDevice {
 public:
  static constexpr uint64_t kEtr3 = 0x1048;
  static constexpr uint32_t kEtr3Cf9GlobalReset = 1u << 20;

  uint64_t MmioRead(uint64_t offset, unsigned bytes) override;
  void MmioWrite(uint64_t offset, unsigned bytes, uint64_t value) override;
  uint32_t etr3() const { return Read32(kEtr3); }
  // A platform reset restores the registers in the resume well to their defaults,
  // except CF9GR, which is cleared by the global reset it caused.
  void OnReset() { regs_.clear(); }

 private:
  uint32_t Read32(uint64_t offset) const;
  std::map<uint64_t, uint8_t> regs_;
};

}  // namespace sim
