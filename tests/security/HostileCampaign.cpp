#include "tests/security/HostileCampaign.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "sim/board/MemoryMap.h"

namespace hostile {

Campaign::Campaign() {
  for (auto& d : fb_.board().firmware().smram_map()) smram_.push_back({d.CpuStart, d.CpuStart + d.PhysicalSize});
  // SMRAM no driver holds gets the canary; the drivers' buffers keep their contents.
  auto& pool = fb_.board().firmware().smram_pool();
  uint8_t* tseg = fb_.board().bus().HostPointer(sim::kTsegBase, sim::kTsegSize);
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> held;
  for (auto& [address, size] : pool.live())
    held.push_back({address, std::vector<uint8_t>(tseg + (address - sim::kTsegBase),
                                                  tseg + (address - sim::kTsegBase) + size)});
  for (uint64_t i = 0; i < sim::kTsegSize; ++i) tseg[i] = kCanary[i % 8];
  for (auto& [address, bytes] : held) std::copy(bytes.begin(), bytes.end(), tseg + (address - sim::kTsegBase));
}

bool Campaign::InSmram(uint64_t a, uint64_t n) const {
  for (auto& r : smram_)
    if (r.Overlaps(a, n)) return true;
  return false;
}

void Campaign::PokeOutsideSmram(uint64_t address, const void* data, size_t n) {
  const auto* b = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < n; ++i) {
    uint64_t a = address + i;
    if (a < address || InSmram(a, 1)) continue;
    if (fb_.board().bus().HostPointer(a, 1) == nullptr) continue;
    fb_.board().bus().PokeBytes(a, &b[i], 1);
  }
}

Observation Campaign::Attack(uint64_t record, std::optional<std::vector<Range>> allowed,
                             std::function<void(uint64_t, unsigned)> after_read) {
  Observation o;
  std::vector<unsigned> record_reads(sizeof(FlashServiceRequest), 0);
  auto& bus = fb_.board().bus();
  size_t calls_before = fb_.platform_flash().calls().size();
  int id = bus.AddObserver([&](const sim::Bus::Access& a) {
    const bool read = a.kind == "MR";
    if (!read && a.kind != "MW") return;
    const unsigned n = a.bits / 8;
    ++o.accesses;
    if (InSmram(a.address, n)) (read ? o.smram_reads : o.smram_writes)++;
    if (!read) o.writes.push_back({a.address, n});
    if (!read) return;
    bool in_record = false;
    for (unsigned i = 0; i < n; ++i) {
      uint64_t b = a.address + i;
      if (b >= record && b - record < record_reads.size()) {
        o.max_record_byte_reads = std::max(o.max_record_byte_reads, ++record_reads[b - record]);
        in_record = true;
      }
    }
    if (allowed && !in_record) {
      bool ok = std::any_of(allowed->begin(), allowed->end(), [&](const Range& r) { return r.Contains(a.address, n); });
      if (!ok && o.reads_outside_allowed++ == 0) o.first_read_outside = a.address;
    }
    if (after_read) after_read(a.address, n);
  });
  const unsigned cpu = next_cpu_++ % 4;
  auto r = fb_.Raise(record, cpu);
  bus.RemoveObserver(id);
  o.handled = r.handled;
  o.platform_calls = fb_.platform_flash().calls().size() - calls_before;
  if (bus.HostPointer(record + 8, 8) != nullptr && !InSmram(record + 8, 8))
    bus.PeekBytes(record + 8, &o.status, 8);
  return o;
}

uint64_t Campaign::SmramHash() const {
  uint64_t h = 1469598103934665603ULL;
  // With the .efi images the drivers' module state and the stack their handlers run on
  // are SMRAM too (a host image keeps them in the simulator process): they may change.
  auto& board = const_cast<fstest::FlashBoard&>(fb_).board();
  std::vector<Range> own{{sim::kSmmStackBase, sim::kSmmStackBase + sim::kSmmStackSize}};
  for (auto& [address, size] : board.firmware().smram_pool().live()) {
    std::string owner = board.firmware().smram_pool().OwnerOf(address);
    if (owner.size() > 6 && owner.ends_with(" image")) own.push_back({address, address + size});
  }
  for (auto& r : smram_) {
    const uint8_t* p = board.bus().HostPointer(r.base, r.end - r.base);
    for (uint64_t a = r.base; a < r.end; ++a) {
      auto skip = std::find_if(own.begin(), own.end(), [&](const Range& o) { return a >= o.base && a < o.end; });
      if (skip != own.end()) {
        a = std::min(r.end, skip->end) - 1;
        continue;
      }
      h = (h ^ p[a - r.base]) * 1099511628211ULL;
    }
  }
  return h;
}

size_t Campaign::CanaryLeaks() {
  size_t found = 0;
  auto scan = [&](const uint8_t* p, size_t n) {
    const uint8_t* end = p + n;
    while (true) {
      auto it = std::search(p, end, std::begin(kCanary), std::end(kCanary));
      if (it == end) break;
      ++found;
      p = it + 1;
    }
  };
  auto& bus = fb_.board().bus();
  scan(bus.HostPointer(sim::kOsRamBase, sim::kOsRamSize), sim::kOsRamSize);
  scan(bus.HostPointer(sim::kHighRamBase, sim::kHighRamSize), sim::kHighRamSize);
  auto& flash = fb_.board().flash().contents();
  scan(flash.data(), flash.size());
  return found;
}

void Campaign::Count(const std::string& cls, const Observation& o, bool refused) {
  Tally& t = tallies_[cls];
  ++t.attacks;
  if (refused) ++t.refused;
  t.smram_reads += o.smram_reads;
  t.smram_writes += o.smram_writes;
  t.max_record_byte_reads = std::max(t.max_record_byte_reads, o.max_record_byte_reads);
  t.reads_outside_volume += o.reads_outside_allowed;
}

void Campaign::PrintFigures() const {
  Tally total;
  std::printf("\n%-44s %8s %8s %7s %7s %6s %8s\n", "hostile requests (SMI 0x90)", "attacks", "refused", "SMRAM-R",
              "SMRAM-W", "rd/B", "out-vol");
  for (auto& [name, t] : tallies_) {
    std::printf("%-44s %8u %8u %7u %7u %6u %8u\n", name.c_str(), t.attacks, t.refused, t.smram_reads, t.smram_writes,
                t.max_record_byte_reads, t.reads_outside_volume);
    total.attacks += t.attacks;
    total.refused += t.refused;
    total.smram_reads += t.smram_reads;
    total.smram_writes += t.smram_writes;
    total.max_record_byte_reads = std::max(total.max_record_byte_reads, t.max_record_byte_reads);
    total.reads_outside_volume += t.reads_outside_volume;
  }
  std::printf("%-44s %8u %8u %7u %7u %6u %8u\n\n", "total", total.attacks, total.refused, total.smram_reads,
              total.smram_writes, total.max_record_byte_reads, total.reads_outside_volume);
}

}  // namespace hostile
