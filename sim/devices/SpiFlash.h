// The board's SPI flash as the processor sees it: the memory-mapped window that decodes
// the flash below 4 GiB with the BIOS region's last byte at 0xFFFFFFFF.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <toml++/toml.h>

#include "sim/core/Bus.h"
#include "sim/core/Cpu.h"

namespace sim {

class SpiFlash : public MmioDevice {
 public:
  SpiFlash(Bus& bus, Cpu& cpu, const toml::table& description, std::vector<uint8_t> contents);
  ~SpiFlash() override;

  const std::vector<uint8_t>& contents() const { return contents_; }
  std::vector<uint8_t>& mutable_contents() { return contents_; }
  std::string part_name() const { return part_; }

  uint64_t MmioRead(uint64_t offset, unsigned bytes) override;
  void MmioWrite(uint64_t, unsigned, uint64_t) override {}  // the window is read-only

 private:
  Bus& bus_;
  std::string part_;
  std::vector<uint8_t> contents_;
};

}  // namespace sim
