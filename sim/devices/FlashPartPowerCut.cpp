// A flash part losing power: the triggers counted on the part's own events, and what an
// erase, program or status write cut in flight leaves in the array.
//
// NOR erase moves a sector's cells towards the erased state over the whole erase time,
// not in address order: a cut leaves every bit either already erased or still as it
// was, and which bits got there first differs from cell to cell. A seeded hash per byte
// gives each bit the fraction of the erase time it needs, so a cut at the same instant
// with the same seed always leaves the same sector. A page program drives the data bits
// into the cells in the order they arrived, so a cut leaves a prefix of them programmed.
#include <algorithm>
#include <cstring>

#include "sim/devices/FlashPart.h"

namespace sim {
namespace {

uint64_t Mix(uint64_t x) {  // splitmix64 finaliser
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// Bits of the byte at `offset` that an erase `progress` (0..256) of the way through has
// already erased.
uint8_t ErasedBits(uint64_t seed, uint32_t offset, unsigned progress) {
  const uint64_t h = Mix(seed ^ Mix(offset));
  uint8_t mask = 0;
  for (unsigned bit = 0; bit < 8; ++bit)
    if (((h >> (8 * bit)) & 0xFF) < progress) mask |= uint8_t(1u << bit);
  return mask;
}

}  // namespace

void FlashPart::ArmPowerCut(uint64_t now, const FlashPowerCutTrigger& trigger) {
  trigger_ = trigger;
  cut_seed_ = trigger.seed;
  operations_since_armed_ = 0;
  transactions_since_armed_ = 0;
  if (rail_ != nullptr && (trigger.after_operations == 0u || trigger.after_transactions == 0u)) rail_->CutAt(now);
}

bool FlashPart::CutPossible() const { return rail_ != nullptr && (rail_->armed() || trigger_.has_value()); }

void FlashPart::RecordInFlight(InFlight::Kind kind, uint64_t now, uint64_t duration, uint32_t base, uint32_t bytes,
                               uint32_t first, uint32_t count) {
  if (!CutPossible()) {
    in_flight_.kind = InFlight::Kind::kNone;
    return;
  }
  in_flight_.kind = kind;
  in_flight_.start_ns = now;
  in_flight_.end_ns = now + duration;
  in_flight_.base = base;
  in_flight_.bytes = bytes;
  in_flight_.first = first;
  in_flight_.count = count;
  in_flight_.status_before = status_bits_;
  in_flight_.before.assign(array_.begin() + base, array_.begin() + base + bytes);
}

void FlashPart::CountOperation(FlashOperationRecord::Kind kind, uint64_t now, uint64_t duration, uint32_t base,
                               uint32_t bytes) {
  if (on_operation) on_operation({kind, base, bytes, now, now + duration});
  ++operations_since_armed_;
  if (!trigger_ || rail_ == nullptr) return;
  if (trigger_->after_operations == operations_since_armed_) rail_->CutAt(now + duration);
  if (trigger_->inside_operation == operations_since_armed_) rail_->CutAt(now + duration / 2);
}

void FlashPart::SettleInterrupted(uint64_t off_ns) {
  InFlight& f = in_flight_;
  if (f.kind == InFlight::Kind::kNone || off_ns >= f.end_ns) {
    f.kind = InFlight::Kind::kNone;
    return;
  }
  const uint64_t done_ns = off_ns > f.start_ns ? off_ns - f.start_ns : 0;
  const uint64_t total_ns = f.end_ns - f.start_ns;
  switch (f.kind) {
    case InFlight::Kind::kErase: {
      const unsigned progress = unsigned(done_ns * 256 / total_ns);
      for (uint32_t i = 0; i < f.bytes; ++i) {
        const uint8_t before = f.before[i];
        const uint8_t erased = array_[f.base + i] & uint8_t(~before);
        array_[f.base + i] = before | (erased & ErasedBits(cut_seed_, f.base + i, progress));
      }
      break;
    }
    case InFlight::Kind::kProgram: {
      const uint64_t bits = done_ns * 8 * f.count / total_ns;
      for (uint32_t j = 0; j < f.count; ++j) {
        const uint32_t in_page = (f.first + j) % f.bytes;
        const uint64_t first_bit = uint64_t(j) * 8;
        uint8_t mask = 0;
        if (bits >= first_bit + 8)
          mask = 0xFF;
        else if (bits > first_bit)
          mask = uint8_t((1u << (bits - first_bit)) - 1);
        uint8_t& cell = array_[f.base + in_page];
        cell = uint8_t((cell & mask) | (f.before[in_page] & ~mask));
      }
      break;
    }
    case InFlight::Kind::kStatusWrite:
      status_bits_ = f.status_before;  // the non-volatile cells keep their old value
      break;
    case InFlight::Kind::kNone:
      break;
  }
  f.kind = InFlight::Kind::kNone;
}

}  // namespace sim
