#include "tests/security/HostileCampaign.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "sim/board/MemoryMap.h"
#include "sim/board/PlatformMemory.h"

namespace hostile {

namespace {
// BAR0 and PCICMD of the SPI controller (0:31:5): the flash drivers read both at every SMI
// and protocol call to make sure the controller is where start-up found it. Those reads
// are the drivers' own, not made for the caller.
bool ControllerCheck(const sim::Bus::Access& a) {
  return a.kind == "MR" && (a.address == 0xE00FD010 || a.address == 0xE00FD004);
}
}  // namespace

std::string ChangedRegister(const Protection& before, const Protection& after) {
  for (size_t i = 0; i < before.registers.size() && i < after.registers.size(); ++i)
    if (before.registers[i] != after.registers[i]) {
      char b[128];
      std::snprintf(b, sizeof b, "%s 0x%08X -> 0x%08X", before.registers[i].first.c_str(), before.registers[i].second,
                    after.registers[i].second);
      return b;
    }
  return before.registers.size() == after.registers.size() ? "" : "register set changed";
}

Protection Campaign::ReadProtection() {
  Protection p;
  sim::SpiController& spi = fb_.board().flash().controller();
  // Straight from the device models: reading them costs no bus access an observer could see.
  p.registers.push_back({"BIOS_SPI_BC", spi.ConfigRead(0xDC, 4)});
  p.registers.push_back({"SPI BAR0", spi.ConfigRead(0x10, 4)});
  p.registers.push_back({"SPI PCICMD.MSE", spi.ConfigRead(0x04, 2) & 0x2});
  p.registers.push_back({"HSFSTS_CTL.FLOCKDN/WRSDIS", uint32_t(spi.MmioRead(0x04, 2)) & 0x8800});
  for (unsigned i = 0; i < 5; ++i)
    p.registers.push_back({"PR" + std::to_string(i), uint32_t(spi.MmioRead(0x84 + 4 * i, 4))});
  for (uint8_t port : {0x6A, 0x6B, 0x6C, 0x6D, 0x6E}) {
    sim::GpioCommunity* c = fb_.board().pch().community(port);
    if (c == nullptr) continue;
    for (unsigned g = 0; g < c->groups().size(); ++g) {
      const sim::GpioCommunity::GroupState* st = &c->state(g);
      char name[64];
      for (size_t w = 0; w < st->lock.size(); ++w) {
        std::snprintf(name, sizeof name, "PADCFGLOCK port 0x%02X group %u dword %zu", port, g, w);
        p.registers.push_back({name, st->lock[w]});
        std::snprintf(name, sizeof name, "PADCFGLOCKTX port 0x%02X group %u dword %zu", port, g, w);
        p.registers.push_back({name, st->lock_tx[w]});
      }
    }
  }
  return p;
}

Campaign::Campaign(const fstest::BoardOptions& options) : fb_(options) {
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

bool Campaign::CallerMemory(uint64_t a, uint64_t n) const {
  const uint64_t span = n == 0 ? 1 : n;
  if (a + span < a || InSmram(a, span)) return false;
  for (const sim::PlatformRange& r : sim::BoardRam())
    if (r.gcd == EfiGcdMemoryTypeSystemMemory && !sim::UnmappedInSmmAfterLock(r.uefi) && a >= r.base &&
        a + span <= r.base + r.size)
      return true;
  return false;
}

bool Campaign::VolumeMemory(uint64_t a, uint64_t n) const {
  const uint64_t span = n == 0 ? 1 : n;
  const uint64_t flash_base = 0x100000000ULL - const_cast<fstest::FlashBoard&>(fb_).board().flash().contents().size();
  return CallerMemory(a, n) || (a >= flash_base && a < 0x100000000ULL && span <= 0x100000000ULL - a);
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

Observation Campaign::Watch(const std::function<void()>& code, const std::vector<Range>& watched) {
  std::string fault;
  Observation o = Observe([&] { fault = fb_.board().firmware().RunAs("HostileDriver", true, code).fault; }, watched);
  o.fault = fault;
  return o;
}

Observation Campaign::Observe(const std::function<void()>& event, const std::vector<Range>& watched) {
  Observation o;
  auto& bus = fb_.board().bus();
  const Protection before = ReadProtection();
  int id = bus.AddObserver([&](const sim::Bus::Access& a) {
    if (a.kind != "MR" && a.kind != "MW") return;
    const unsigned n = a.bits / 8;
    ++o.accesses;
    if (InSmram(a.address, n)) (a.kind == "MR" ? o.smram_reads : o.smram_writes)++;
    if (ControllerCheck(a)) return;
    for (auto& w : watched)
      if (w.Overlaps(a.address, n)) ++o.watched_accesses;
  });
  event();
  bus.RemoveObserver(id);
  o.handled = true;
  o.changed_register = ChangedRegister(before, ReadProtection());
  return o;
}

Observation Campaign::Attack(uint64_t record, std::optional<std::vector<Range>> allowed,
                             std::function<void(uint64_t, unsigned)> after_read, const std::vector<Range>& watched) {
  Observation o;
  std::vector<unsigned> record_reads(sizeof(FlashServiceRequest), 0);
  auto& bus = fb_.board().bus();
  auto* stand_in = fb_.board().platform_flash_stand_in();
  size_t calls_before = stand_in ? stand_in->calls().size() : 0;
  const Protection before = ReadProtection();
  int id = bus.AddObserver([&](const sim::Bus::Access& a) {
    const bool read = a.kind == "MR";
    if (!read && a.kind != "MW") return;
    const unsigned n = a.bits / 8;
    ++o.accesses;
    if (InSmram(a.address, n)) (read ? o.smram_reads : o.smram_writes)++;
    if (ControllerCheck(a)) return;
    for (auto& w : watched)
      if (w.Overlaps(a.address, n)) ++o.watched_accesses;
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
  o.fault = r.fault;
  o.platform_calls = stand_in ? stand_in->calls().size() - calls_before : 0;
  if (bus.HostPointer(record + 8, 8) != nullptr && !InSmram(record + 8, 8))
    bus.PeekBytes(record + 8, &o.status, 8);
  o.changed_register = ChangedRegister(before, ReadProtection());
  return o;
}

uint64_t Campaign::SmramHash() const { return const_cast<fstest::FlashBoard&>(fb_).board().SmramDigest(); }

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

void Campaign::Count(const std::string& cls, const Observation& o, bool refused, bool false_success) {
  Tally& t = tallies_[cls];
  ++t.attacks;
  if (refused) ++t.refused;
  t.device_accesses += o.watched_accesses;
  if (false_success) ++t.false_successes;
  if (!o.changed_register.empty() && t.violations++ == 0) t.first_violation = o.changed_register;
  if (!o.fault.empty() && t.violations++ == 0) t.first_violation = "SMM fault: " + o.fault;
  t.smram_reads += o.smram_reads;
  t.smram_writes += o.smram_writes;
  t.max_record_byte_reads = std::max(t.max_record_byte_reads, o.max_record_byte_reads);
  t.reads_outside_volume += o.reads_outside_allowed;
}

void Campaign::ExpectCleanFigures() const {
  for (const auto& [name, t] : tallies_) {
    EXPECT_EQ(t.smram_reads + t.smram_writes, 0u) << name;
    EXPECT_EQ(t.device_accesses, 0u) << name;
    EXPECT_EQ(t.false_successes, 0u) << name;
    EXPECT_EQ(t.violations, 0u) << name << ": " << t.first_violation;
  }
}

void Campaign::PrintFigures() const {
  Tally total;
  const char* const row = "%-52s %8u %8u %6u %7u %6u %6u %4u %7u %6u\n";
  std::printf("\n%-52s %8s %8s %6s %7s %6s %6s %4s %7s %6s\n", "hostile requests", "attempts", "refused", "SMRAM",
              "device", "false", "inv", "rd/B", "out-vol", "(R/W)");
  std::printf("%-52s %8s %8s %6s %7s %6s %6s %4s %7s %6s\n", "", "", "", "acc.", "acc.", "succ.", "viol.", "", "", "");
  for (auto& [name, t] : tallies_) {
    std::printf(row, name.c_str(), t.attacks, t.refused, t.smram_reads + t.smram_writes, t.device_accesses,
                t.false_successes, t.violations, t.max_record_byte_reads, t.reads_outside_volume, t.smram_writes);
    if (t.violations) std::printf("    first violation: %s\n", t.first_violation.c_str());
    total.attacks += t.attacks;
    total.refused += t.refused;
    total.smram_reads += t.smram_reads;
    total.smram_writes += t.smram_writes;
    total.device_accesses += t.device_accesses;
    total.false_successes += t.false_successes;
    total.violations += t.violations;
    total.max_record_byte_reads = std::max(total.max_record_byte_reads, t.max_record_byte_reads);
    total.reads_outside_volume += t.reads_outside_volume;
  }
  std::printf(row, "total", total.attacks, total.refused, total.smram_reads + total.smram_writes, total.device_accesses,
              total.false_successes, total.violations, total.max_record_byte_reads, total.reads_outside_volume,
              total.smram_writes);
  std::printf("\n");
}

}  // namespace hostile
