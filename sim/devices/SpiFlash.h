// The board's SPI flash subsystem: the flash part (from the catalogue), the PCH SPI
// controller at PCI 0:31:5 with its BAR, the memory-mapped window below 4 GiB and the
// processor's data cache over it. Built from the board description:
//
//   [flash]
//   part = "W25Q128JV"          # catalogue name
//   status = 0x00               # power-up status register of parts with non-volatile bits
//   bios_control = 0x09         # BIOS_SPI_BC as boot firmware left it (WPD 1, SRC 10b)
//   flockdn = false             # configuration locked down by the boot firmware
//   wrsdis = false              # status-register writes disabled
//   opcode_menu_locked = false  # software-sequencing opcode menu locked
//   vscc = 0x2005               # VSCC the boot firmware programmed (optional)
//   vscc_locked = false
//   cache = "off"               # processor cache over the window: off | bios | window
//
//   [faults.flash]
//   stuck_at_zero = [[0x1000, 0x01]]   # bits an erase cannot set
//   stuck_at_one = [[0x2000, 0x80]]    # bits a program cannot clear
//   failing_erase_blocks = [0x3000]    # erases covering these offsets change nothing
//   erase_failures = 0                 # the next N erases change nothing
//   program_failures = 0               # the next N programs change nothing
//   hang_after_operations = -1         # the part never finishes the operation after N
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <toml++/toml.h>

#include "sim/core/Bus.h"
#include "sim/core/Cpu.h"
#include "sim/devices/FlashPart.h"
#include "sim/devices/FlashWindow.h"
#include "sim/devices/SpiController.h"

namespace sim {

class SpiFlash {
 public:
  // `contents` is the flash image from offset 0; a shorter image leaves the rest of the
  // part erased, a longer one is refused.
  SpiFlash(Bus& bus, Cpu& cpu, const toml::table& description, std::vector<uint8_t> contents);
  ~SpiFlash();
  SpiFlash(const SpiFlash&) = delete;
  SpiFlash& operator=(const SpiFlash&) = delete;

  const std::vector<uint8_t>& contents() const { return part_->contents(); }
  // For board-side code that changes the array without bus cycles: the controller's read
  // buffer and the processor's cached lines are dropped.
  std::vector<uint8_t>& mutable_contents();
  std::string part_name() const { return part_->datasheet().name; }

  FlashPart& part() { return *part_; }
  SpiController& controller() { return *controller_; }
  FlashWindow& window() { return *window_; }

  // Platform reset: the controller reloads from the descriptor, the window follows the
  // BIOS region, the processor's caches start empty. The part keeps its state.
  void OnReset();

  static SpiControllerConfig ControllerConfig(const toml::table& description);
  static FlashFaults Faults(const toml::table& description);

 private:
  std::unique_ptr<FlashPart> part_;
  std::unique_ptr<SpiController> controller_;
  std::unique_ptr<FlashWindow> window_;
  Bus& bus_;
};

}  // namespace sim
