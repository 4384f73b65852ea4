// What a flash update must cost at least, from the change alone: the old and the new image,
// the part's datasheet times and the SPI bus the PCH runs (clock, read mode, 64-byte cycles,
// 4 KiB and 64 KiB erase cycles). Nothing here looks at how an update was actually done.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/devices/FlashPartDatasheet.h"

namespace bench {

struct SpiBus {
  double read_hz = 48e6;         // clock of read cycles
  bool fast_read = true;         // 0Bh (eight dummy clocks) instead of 03h
  double write_erase_hz = 48e6;  // clock of write-enable, program and erase cycles
  double status_hz = 48e6;       // clock of read-status cycles
};

struct UpdateCost {
  double seconds = 0;
  uint64_t erases_4k = 0;
  uint64_t erases_64k = 0;
  uint64_t program_cycles = 0;  // 64-byte PCH write cycles
  uint64_t bytes_read = 0;
};

class UpdateBounds {
 public:
  UpdateBounds(const sim::FlashPartTiming& part, const SpiBus& bus) : part_(part), bus_(bus) {}

  // The plan an update cannot beat: one read of the whole flash to compare, then for each
  // 64 KiB block that differs the cheapest of programming only (when the change only clears
  // bits), 4 KiB erases of the sectors that must be erased, or one 64 KiB erase, each
  // followed by programming the 64-byte chunks that need it; then one read of each
  // changed block.
  UpdateCost Bound(const std::vector<uint8_t>& old_image, const std::vector<uint8_t>& new_image) const;
  // flashrom's plan on the same PCH: a full read, for each 4 KiB sector that differs an
  // erase (when a differing 256-byte page is not blank on the chip) with a read-back of the
  // sector, every 256-byte page that must be written as four 64-byte cycles, then a
  // read of the whole flash to verify.
  UpdateCost Flashrom(const std::vector<uint8_t>& old_image, const std::vector<uint8_t>& new_image) const;

  // Single operations, seconds: bus time plus the part's typical busy time, one status
  // read to see the part done.
  double Read(uint64_t bytes) const;  // 64-byte read cycles
  double ProgramCycle(uint32_t bytes) const;
  double Erase(uint32_t unit) const;

 private:
  const sim::FlashPartTiming& part_;
  SpiBus bus_;
};

}  // namespace bench
