#include "tools/fwsim/UpdatePlan.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "tools/fwimage/ImageBuilder.h"

namespace fwsim {
namespace {

constexpr uint32_t kSector = 0x1000;       // regions start and end on 4 KiB
constexpr unsigned kBiosRegion = 1;
constexpr unsigned kBiosMaster = 1;        // FLMSTR1
constexpr uint32_t kResetVectorBytes = 16; // 0xFFFFFFF0-0xFFFFFFFF, the pointer in its last four

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// flashrom's names for FLREG0..15, so that the same --region words work for both tools.
std::string FlashromRegionName(unsigned index) {
  static const char* const kNames[] = {"fd",   "bios", "me",   "gbe",  "pd",    "reg5",  "bios2", "reg7",
                                       "ec",   "reg9", "ie",   "10gbe", "reg12", "reg13", "reg14", "reg15"};
  return index < 16 ? kNames[index] : "reg" + std::to_string(index);
}

const FlashRegionAccess* RegionAt(const std::vector<FlashRegionAccess>& regions, uint32_t offset) {
  for (const FlashRegionAccess& r : regions)
    if (offset >= r.base && offset <= r.limit) return &r;
  return nullptr;
}

// [first, last] of the bytes that differ in [from, to), or false.
bool DiffSpan(std::span<const uint8_t> a, std::span<const uint8_t> b, uint32_t from, uint32_t to, uint32_t* first,
              uint32_t* last) {
  auto m = std::mismatch(a.begin() + from, a.begin() + to, b.begin() + from);
  if (m.first == a.begin() + to) return false;
  *first = uint32_t(m.first - a.begin());
  uint32_t l = to;
  while (l > *first && a[l - 1] == b[l - 1]) --l;
  *last = l - 1;
  return true;
}

// Typical NOR figures (W25Q, MX25L, GD25Q datasheets): a 4 KiB erase takes about a third
// of a 64 KiB one, and programming runs at about 3 ms per KiB through 64-byte cycles.
constexpr double kSectorEraseMs = 45, kBlockEraseMs = 150, kProgramMsPerKiB = 3.2;

double ProgramMs(std::span<const uint8_t> image, uint32_t from, uint32_t to) {
  uint32_t data = 0;
  for (uint32_t at = from; at < to; at += 64)
    data += std::any_of(image.begin() + at, image.begin() + std::min(to, at + 64), [](uint8_t b) { return b != 0xFF; });
  return data * kProgramMsPerKiB / 16;
}

// Whether erasing and rewriting only the sectors of a block that need an erase (and
// programming the others' changes) is quicker than one block erase and a whole rewrite.
bool SectorsCheaper(std::span<const uint8_t> current, std::span<const uint8_t> image, uint32_t block, uint32_t bytes) {
  if (bytes <= kSector) return false;
  double sectors = 0;
  bool any_erase = false;
  for (uint32_t at = block; at < block + bytes; at += kSector) {
    uint32_t first = 0, last = 0;
    if (!DiffSpan(current, image, at, at + kSector, &first, &last)) continue;
    bool only_clears = true;
    for (uint32_t i = first; i <= last && only_clears; ++i) only_clears = (current[i] & image[i]) == image[i];
    any_erase |= !only_clears;
    sectors += only_clears ? ProgramMs(image, first, last + 1) : kSectorEraseMs + ProgramMs(image, at, at + kSector);
  }
  return any_erase && sectors < kBlockEraseMs + ProgramMs(image, block, block + bytes);
}

}  // namespace

std::string HexRange(const FlashRange& r) {
  char b[40];
  std::snprintf(b, sizeof b, "0x%08X-0x%08X", r.base, r.limit);
  return b;
}

std::vector<FlashRegionAccess> DescribeRegions(std::span<const uint8_t> flash) {
  const fwimage::ImageInfo info = fwimage::InspectImage(flash);
  std::vector<FlashRegionAccess> out;
  if (!info.has_descriptor) {
    out.push_back({kBiosRegion, "bios", 0, uint32_t(flash.size() - 1), true});
    return out;
  }
  uint16_t write = 0;
  for (const fwimage::MasterLayout& m : info.masters)
    if (m.master == kBiosMaster) write = m.write;
  for (const fwimage::RegionInfo& r : info.regions)
    out.push_back({r.index, FlashromRegionName(r.index), r.base, r.limit,
                   r.index == kBiosRegion || ((write >> r.index) & 1) != 0});
  return out;
}

std::vector<std::string> CheckImage(std::span<const uint8_t> image) {
  std::vector<std::string> problems;
  const fwimage::ImageInfo info = fwimage::InspectImage(image);
  if (!info.has_descriptor) problems.push_back("the image has no flash descriptor (signature 0x0FF0A55A at offset 0x10)");
  if (!info.has_base_pointer) {
    problems.push_back("the image has no pointer at 0xFFFFFFFC");
  } else if (info.VolumeAtBasePointer() == nullptr) {
    char b[96];
    std::snprintf(b, sizeof b, "no firmware volume at 0x%08X, the address the pointer at 0xFFFFFFFC holds",
                  info.base_pointer);
    problems.push_back(b);
  }
  return problems;
}

std::vector<FlashRange> BootCriticalRanges(std::span<const uint8_t> current, std::span<const uint8_t> image) {
  std::vector<FlashRange> out;
  for (std::span<const uint8_t> flash : {current, image}) {
    const fwimage::ImageInfo info = fwimage::InspectImage(flash);
    if (info.bios_limit < kResetVectorBytes) continue;
    out.push_back({uint32_t(info.bios_limit + 1 - kResetVectorBytes), uint32_t(info.bios_limit)});
    if (const fwimage::VolumeInfo* v = info.VolumeAtBasePointer(); v != nullptr && v->length > 0)
      out.push_back({uint32_t(v->offset), uint32_t(v->offset + v->length - 1)});
  }
  std::sort(out.begin(), out.end(), [](const FlashRange& a, const FlashRange& b) { return a.base < b.base; });
  out.erase(std::unique(out.begin(), out.end(),
                        [](const FlashRange& a, const FlashRange& b) { return a.base == b.base && a.limit == b.limit; }),
            out.end());
  return out;
}

size_t UpdatePlan::changed() const {
  return size_t(std::count_if(units.begin(), units.end(),
                              [](const PlannedUnit& u) { return u.action != PlannedUnit::Action::kSkip; }));
}

UpdatePlan PlanUpdate(std::span<const uint8_t> current, std::span<const uint8_t> image,
                      const std::vector<std::string>& region_names, uint32_t block_bytes, bool split_sectors) {
  if (current.size() != image.size()) throw FlashToolError("the image and the flash differ in size");
  const uint32_t size = uint32_t(image.size());
  const std::vector<FlashRegionAccess> regions = DescribeRegions(current);
  UpdatePlan plan;

  // Which regions the update covers.
  std::vector<const FlashRegionAccess*> scope;
  for (const std::string& wanted : region_names) {
    std::string name = Lower(wanted);
    if (name == "descriptor") name = "fd";
    auto it = std::find_if(regions.begin(), regions.end(), [&](const FlashRegionAccess& r) { return r.name == name; });
    if (it == regions.end()) {
      std::string known;
      for (const FlashRegionAccess& r : regions) known += (known.empty() ? "" : ", ") + r.name;
      throw FlashToolError("the flash has no region '" + wanted + "' (its descriptor names " + known + ")");
    }
    if (!it->writable)
      throw FlashToolError("the BIOS master may not write the " + it->name + " region " +
                           HexRange({it->base, it->limit}) + " (descriptor FLMSTR1); nothing was written");
    scope.push_back(&*it);
  }
  auto in_scope = [&](const FlashRegionAccess* r) {
    return r != nullptr && r->writable && (scope.empty() || std::find(scope.begin(), scope.end(), r) != scope.end());
  };

  // Differences the BIOS master cannot write refuse the image; differences in writable
  // regions the update does not cover are left alone.
  for (const FlashRegionAccess& r : regions) {
    uint32_t first = 0, last = 0;
    if (!DiffSpan(current, image, r.base, std::min(r.limit, size - 1) + 1, &first, &last)) continue;
    if (!r.writable)
      throw FlashToolError("the image differs from the flash in the " + r.name + " region " +
                           HexRange({r.base, r.limit}) + " at " + HexRange({first, last}) +
                           ", which the BIOS master may not write (descriptor FLMSTR1); nothing was written");
    if (!in_scope(&r))
      plan.notes.push_back("the " + r.name + " region differs at " + HexRange({first, last}) +
                           " and is left as it is (not among --region)");
  }
  for (uint32_t at = 0; at < size; at += kSector) {
    uint32_t first = 0, last = 0;
    if (RegionAt(regions, at) == nullptr && DiffSpan(current, image, at, at + kSector, &first, &last))
      throw FlashToolError("the image differs from the flash at " + HexRange({first, last}) +
                           ", outside every region the descriptor names; nothing was written");
  }

  plan.boot_critical = BootCriticalRanges(current, image);
  std::vector<PlannedUnit> ordinary, critical;
  auto plan_unit = [&](uint32_t offset, uint32_t bytes) {
    PlannedUnit u{offset, bytes};
    u.boot_critical = std::any_of(plan.boot_critical.begin(), plan.boot_critical.end(),
                                  [&](const FlashRange& r) { return r.Overlaps(offset, bytes); });
    uint32_t first = 0, last = 0;
    if (in_scope(RegionAt(regions, offset)) && DiffSpan(current, image, offset, offset + bytes, &first, &last)) {
      bool only_clears = true;
      for (uint32_t i = first; i <= last && only_clears; ++i) only_clears = (current[i] & image[i]) == image[i];
      if (only_clears) {
        u.action = PlannedUnit::Action::kProgram;
        u.write_from = first;
        u.write_to = last + 1;
      } else {
        u.action = PlannedUnit::Action::kErase;
        u.write_from = offset;
        u.write_to = offset + bytes;
        while (u.write_from < u.write_to && image[u.write_from] == 0xFF) ++u.write_from;
        while (u.write_to > u.write_from && image[u.write_to - 1] == 0xFF) --u.write_to;
      }
    }
    (u.boot_critical && u.action != PlannedUnit::Action::kSkip ? critical : ordinary).push_back(u);
  };
  for (uint32_t block = 0; block < size; block += block_bytes) {
    // A block wholly inside one region is one unit; a block shared by regions is handled
    // sector by sector, so that bytes outside the update are never erased. So is a block
    // where erasing and rewriting only the sectors that need it costs less time.
    const FlashRegionAccess* r = RegionAt(regions, block);
    const bool whole = r != nullptr && r->limit >= block + block_bytes - 1 &&
                       !(split_sectors && in_scope(r) && SectorsCheaper(current, image, block, block_bytes));
    if (whole) {
      plan_unit(block, block_bytes);
    } else {
      for (uint32_t at = block; at < block + block_bytes; at += kSector) plan_unit(at, kSector);
    }
  }
  plan.units = std::move(ordinary);
  plan.units.insert(plan.units.end(), critical.begin(), critical.end());
  return plan;
}

std::vector<FlashRange> RangesNeitherOldNorNew(std::span<const uint8_t> before, std::span<const uint8_t> target,
                                               std::span<const uint8_t> now, uint32_t unit) {
  std::vector<FlashRange> out;
  const size_t n = std::min({before.size(), target.size(), now.size()});
  for (size_t at = 0; at < n; at += unit) {
    const size_t end = std::min(n, at + unit);
    auto same = [&](std::span<const uint8_t> a) { return std::equal(now.begin() + at, now.begin() + end, a.begin() + at); };
    if (same(before) || same(target)) continue;
    if (!out.empty() && out.back().limit + 1 == at)
      out.back().limit = uint32_t(end - 1);
    else
      out.push_back({uint32_t(at), uint32_t(end - 1)});
  }
  return out;
}

}  // namespace fwsim
