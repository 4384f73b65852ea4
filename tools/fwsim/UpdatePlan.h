// How the operating system's flash tool plans a whole-image update before it touches the
// flash: which regions the BIOS master may write (from the descriptor the flash holds),
// which erase units change and how, which of them the board needs to boot, and in what
// order they are written. Nothing here talks to the board; the tool runs the plan.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace fwsim {

struct FlashToolError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One descriptor region as the BIOS master (FLMSTR1) sees it.
struct FlashRegionAccess {
  unsigned index = 0;
  std::string name;  // lower case, as flashrom names them: fd, bios, me, gbe, pd, ec, ...
  uint32_t base = 0;
  uint32_t limit = 0;  // last byte
  bool writable = false;
};

// The regions the descriptor at the start of `flash` names. Without a valid descriptor the
// whole flash is one BIOS region. The BIOS master always may write the BIOS region.
std::vector<FlashRegionAccess> DescribeRegions(std::span<const uint8_t> flash);

// What the tool's own checks find wrong with a new image (empty when nothing): a missing
// descriptor signature, or no firmware volume at the address the pointer at 0xFFFFFFFC holds.
std::vector<std::string> CheckImage(std::span<const uint8_t> image);

struct FlashRange {
  uint32_t base = 0;
  uint32_t limit = 0;  // last byte
  bool Overlaps(uint32_t offset, uint32_t size) const { return offset <= limit && offset + size - 1 >= base; }
};

// What a board needs to start: the block holding the reset vector and the pointer at
// 0xFFFFFFFC (the top of the BIOS region), and the volume that pointer names in the
// current and in the new image.
std::vector<FlashRange> BootCriticalRanges(std::span<const uint8_t> current, std::span<const uint8_t> image);

struct PlannedUnit {
  enum class Action { kSkip, kProgram, kErase };
  uint32_t offset = 0;
  uint32_t size = 0;
  Action action = Action::kSkip;
  bool boot_critical = false;
  // Bytes to write: for kProgram the span that changes, for kErase the unit without the
  // erased (0xFF) bytes at either end of the new data (empty when the new unit is all 0xFF).
  uint32_t write_from = 0;
  uint32_t write_to = 0;
};

struct UpdatePlan {
  // Every unit of the flash in the order the update handles them: the changed units that
  // do not hold boot code first, in flash order, then the boot-critical ones back to back.
  // Unchanged units and units outside the update's regions are kSkip.
  std::vector<PlannedUnit> units;
  std::vector<FlashRange> boot_critical;
  std::vector<std::string> notes;  // differences left alone because --region excluded them
  size_t changed() const;
};

// Plans the update of `current` (the whole flash as read) to `image`. `regions` limits it
// to the named regions (empty: every region). Erase units are `block_bytes`, split into
// 4 KiB sectors where a block is not wholly inside one region, so no erase ever takes
// bytes the plan does not write back, and (with `split_sectors`) where rewriting only the
// sectors that changed is quicker than the whole block. Throws FlashToolError, before
// anything is written, when the image differs where the BIOS master may not write or a
// region name is unknown or not writable.
UpdatePlan PlanUpdate(std::span<const uint8_t> current, std::span<const uint8_t> image,
                      const std::vector<std::string>& regions, uint32_t block_bytes, bool split_sectors = true);

// Units of `unit` bytes that hold neither what `before` held nor what `target` holds
// (what a failed or interrupted update leaves to be done again).
std::vector<FlashRange> RangesNeitherOldNorNew(std::span<const uint8_t> before, std::span<const uint8_t> target,
                                               std::span<const uint8_t> now, uint32_t unit);

std::string HexRange(const FlashRange& r);

}  // namespace fwsim
