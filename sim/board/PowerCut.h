// A power cut armed on a board: at an instant, or on the flash part's count of erases and
// programs or of SPI transactions. Instants and counts start when the board has finished
// booting, so the same cut means the same thing whatever the boot took. From the board
// description:
//
//   [power]
//   cut_at_ns = 2500000000        # power goes 2.5 s (simulated) after the boot
//   cut_after_ops = 12            # ... or the instant the 12th erase or program finishes
//   cut_inside_op = 3             # ... or half way through the 3rd erase or program
//   cut_after_transactions = 400  # ... or the instant the 400th SPI transaction ends
//   cut_seed = 7                  # which bits an interrupted erase had reached
#pragma once

#include <cstdint>
#include <optional>

#include <toml++/toml.h>

#include "sim/devices/FlashPart.h"

namespace sim {

struct PowerCut {
  std::optional<uint64_t> at_ns;
  FlashPowerCutTrigger on_part;

  bool armed() const {
    return at_ns || on_part.after_operations || on_part.inside_operation || on_part.after_transactions;
  }
  // The [power] table of a board description; throws std::runtime_error naming a bad key.
  static PowerCut FromDescription(const toml::table& description);
};

}  // namespace sim
