// PMC registers in PWRMBASE (0xFE000000): ETR3 at +0x1048, whose bit 20 (CF9GR) turns a
// reset through port 0xCF9 into a global reset. Other offsets read as plain storage.
#pragma once

#include <cstdint>
#include <map>

#include "sim/core/Bus.h"
#include "sim/core/Device.h"
#include "sim/devices/PchConfigSpace.h"

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

// The PMC's PCI function, 0:31:2. From Cannon Point on, PWRMBASE is its BAR at 0x10 (32-bit
// memory, 64 KiB); the PWRM registers decode there while PCICMD.MSE is set. Firmware may hide
// the function: then it reads all ones and takes no writes, and PWRMBASE stays where it is.
class PmcFunction : public PciFunction {
 public:
  static constexpr uint64_t kWindowSize = 0x10000;
  // PWRMBASE as the board's firmware leaves it.
  static constexpr uint64_t kFirmwareBase = 0xFE000000;
  static constexpr uint16_t kPwrmBaseRegister = 0x10;

  PmcFunction(Bus& bus, PowerManagement& registers, uint16_t device_id, bool hidden);
  ~PmcFunction() override;
  void OnPlatformReset();
  // Where the PWRM registers decode now (0: nowhere).
  uint64_t window_base() const { return mapped_at_; }

  uint32_t ConfigRead(uint16_t reg, unsigned bytes) override;
  void ConfigWrite(uint16_t reg, unsigned bytes, uint32_t value) override;

 private:
  void Remap();

  Bus& bus_;
  PowerManagement& registers_;
  PchConfigSpace cfg_;
  bool hidden_;
  uint64_t mapped_at_ = 0;
};

}  // namespace sim
