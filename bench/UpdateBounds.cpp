#include "bench/UpdateBounds.h"

#include <algorithm>
#include <cstring>

namespace bench {
namespace {

constexpr uint32_t kCycle = 64;  // FDATA0-FDATA15
constexpr uint32_t kPage = 256;
constexpr uint32_t kSector = 0x1000;
constexpr uint32_t kBlock = 0x10000;

bool Blank(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0xFF) return false;
  return true;
}

// A program can only clear bits: anything else needs an erase first.
bool NeedsErase(const uint8_t* old_data, const uint8_t* new_data, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (new_data[i] & ~old_data[i]) return true;
  return false;
}

}  // namespace

double UpdateBounds::Read(uint64_t bytes) const {
  const double header = 8 + 24 + (bus_.fast_read ? 8 : 0);
  const double cycles = double((bytes + kCycle - 1) / kCycle);
  return (cycles * header + double(bytes) * 8) / bus_.read_hz;
}

double UpdateBounds::ProgramCycle(uint32_t bytes) const {
  // WREN, 02h with address and data, the part's programming time, RDSR.
  const double bus = (8 + 8 + 24 + 8.0 * bytes) / bus_.write_erase_hz + 16 / bus_.status_hz;
  return bus + 1e-9 * double(part_.program_first_byte_ns + part_.program_per_byte_ns * (bytes - 1));
}

double UpdateBounds::Erase(uint32_t unit) const {
  const double bus = (8 + 8 + 24) / bus_.write_erase_hz + 16 / bus_.status_hz;
  return bus + 1e-9 * double(unit == kBlock ? part_.erase_64k_ns : part_.erase_4k_ns);
}

UpdateCost UpdateBounds::Bound(const std::vector<uint8_t>& old_image, const std::vector<uint8_t>& new_image) const {
  UpdateCost total;
  total.seconds = Read(new_image.size());
  total.bytes_read = new_image.size();
  const uint8_t* o = old_image.data();
  const uint8_t* n = new_image.data();
  // Chunks to program in [at, at + bytes): all that are not blank when erased before,
  // else only those that differ.
  auto programs = [&](size_t at, size_t bytes, bool erased) {
    uint64_t cycles = 0;
    for (size_t c = at; c < at + bytes; c += kCycle)
      if (erased ? !Blank(n + c, kCycle) : std::memcmp(o + c, n + c, kCycle) != 0) ++cycles;
    return cycles;
  };
  for (size_t block = 0; block + kBlock <= new_image.size(); block += kBlock) {
    if (std::memcmp(o + block, n + block, kBlock) == 0) continue;
    // One 64 KiB erase, everything programmed again.
    UpdateCost whole;
    whole.erases_64k = 1;
    whole.program_cycles = programs(block, kBlock, true);
    whole.seconds = Erase(kBlock) + double(whole.program_cycles) * ProgramCycle(kCycle);
    // Only the sectors that must be erased, the rest programmed where it differs.
    UpdateCost sectors;
    for (size_t s = block; s < block + kBlock; s += kSector) {
      bool erase = NeedsErase(o + s, n + s, kSector);
      sectors.erases_4k += erase;
      sectors.program_cycles += programs(s, kSector, erase);
    }
    sectors.seconds = double(sectors.erases_4k) * Erase(kSector) + double(sectors.program_cycles) * ProgramCycle(kCycle);
    const UpdateCost& best = whole.seconds < sectors.seconds ? whole : sectors;
    total.seconds += best.seconds + Read(kBlock);
    total.erases_4k += best.erases_4k;
    total.erases_64k += best.erases_64k;
    total.program_cycles += best.program_cycles;
    total.bytes_read += kBlock;
  }
  return total;
}

UpdateCost UpdateBounds::Flashrom(const std::vector<uint8_t>& old_image, const std::vector<uint8_t>& new_image) const {
  UpdateCost total;
  total.seconds = 2 * Read(new_image.size());
  total.bytes_read = 2 * new_image.size();
  const uint8_t* o = old_image.data();
  const uint8_t* n = new_image.data();
  for (size_t s = 0; s + kSector <= new_image.size(); s += kSector) {
    if (std::memcmp(o + s, n + s, kSector) == 0) continue;
    bool erase = false;
    for (size_t p = s; p < s + kSector; p += kPage)
      if (std::memcmp(o + p, n + p, kPage) != 0 && !Blank(o + p, kPage)) erase = true;
    uint64_t pages = 0;
    for (size_t p = s; p < s + kSector; p += kPage)
      if (erase ? !Blank(n + p, kPage) : std::memcmp(o + p, n + p, kPage) != 0) ++pages;
    if (erase) {
      total.seconds += Erase(kSector) + Read(kSector);
      total.bytes_read += kSector;
      ++total.erases_4k;
    }
    total.program_cycles += pages * (kPage / kCycle);
    total.seconds += double(pages * (kPage / kCycle)) * ProgramCycle(kCycle);
  }
  return total;
}

}  // namespace bench
