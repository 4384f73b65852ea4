// The board's buses: physical address space (RAM, SMRAM, MMIO, PCI Express ECAM), I/O
// space and the MSR file, with the access trace and the simulated clock.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/core/Clock.h"
#include "sim/core/Device.h"
#include "sim/core/PowerRail.h"

namespace sim {

constexpr uint64_t kPciExpressBase = 0xE0000000;
constexpr uint64_t kPciExpressSize = 0x10000000;  // 256 buses

constexpr uint64_t PciOffset(unsigned bus, unsigned device, unsigned function) {
  return (uint64_t(bus) << 20) | (uint64_t(device) << 15) | (uint64_t(function) << 12);
}

enum class RamKind { kRam, kSmram };

// Raised (as a C++ exception inside host code only) when the processor would take a
// fault, e.g. RDMSR of an MSR the board does not implement (#GP).
struct MachineFault {
  std::string what;
};

class Bus {
 public:
  Bus();
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  Clock& clock() { return clock_; }
  PowerRail& power() { return power_; }
  // True once the clock has reached the instant the board's power went.
  bool PowerGone() const { return clock_.Now() >= power_.off_at(); }

  // RAM is mapped into this process at its physical address, so pointers handed out by
  // the simulated pools are also physical addresses. Must lie below 4 GiB.
  uint8_t* MapRam(uint64_t base, uint64_t size, RamKind kind);
  void MapMmio(uint64_t base, uint64_t size, MmioDevice* device);
  // A decode that every other mapping takes precedence over (the flash window, which the
  // PCH decodes only where no device claims the address).
  void MapMmioBehind(uint64_t base, uint64_t size, MmioDevice* device);
  void UnmapMmio(MmioDevice* device);
  void MapIo(uint16_t first, uint16_t last, IoDevice* device);
  void AttachPci(unsigned bus, unsigned device, unsigned function, PciFunction* fn);

  // True while the processor runs in SMM: SMRAM decodes only then (TSEG is closed to
  // everything else and reads as all ones).
  void SetInSmm(bool in_smm) { in_smm_ = in_smm; }
  bool InSmm() const { return in_smm_; }
  bool InSmram(uint64_t address) const;
  // Memory an SMM page table leaves unmapped (after ready-to-lock): an access from SMM
  // there is a page fault, as on firmware whose SMM restricts memory access.
  struct Range {
    uint64_t base;
    uint64_t size;
    std::string what;
  };
  void SetSmmUnmapped(std::vector<Range> ranges) { smm_unmapped_ = std::move(ranges); }
  const std::vector<Range>& smm_unmapped() const { return smm_unmapped_; }
  // The unmapped range [address, address + bytes) touches while in SMM, or nullptr.
  const Range* SmmUnmapped(uint64_t address, unsigned bytes) const {
    if (!in_smm_ || smm_unmapped_.empty()) return nullptr;
    for (auto& r : smm_unmapped_)
      if (address < r.base + r.size && r.base < address + bytes) return &r;
    return nullptr;
  }
  struct RamRegion {
    uint64_t base;
    uint64_t size;
    RamKind kind;
    uint8_t* host;
  };
  const std::vector<RamRegion>& ram_regions() const { return ram_; }

  // Accesses made by code running on the simulated processor (drivers and the OS-side
  // tools alike). Each costs simulated time and is traced.
  uint64_t MemRead(uint64_t address, unsigned bytes) {
    // Polling loops reach the same register block again and again: that block is
    // remembered and, with no trace or observer, reached directly.
    if (const MmioMapping* m = last_mmio_; m != nullptr && address - m->base < m->size && !Observed()) {
      clock_.Advance(AccessCost::kMmioRead);
      uint64_t value = m->device->MmioRead(address - m->base, bytes);
      value = bytes >= 8 ? value : value & ((1ULL << (bytes * 8)) - 1);
      // The same register read again at once, answering the same: a poll loop.
      if (address == poll_.address && bytes == poll_.bytes && value == poll_.value &&
          clock_.Now() == poll_.time_ns + AccessCost::kMmioRead)
        value = SkipPollReads(*m, address, bytes, value);
      poll_ = {address, bytes, value, clock_.Now()};
      return value;
    }
    return MemReadSlow(address, bytes);
  }
  void MemWrite(uint64_t address, unsigned bytes, uint64_t value) {
    if (const MmioMapping* m = last_mmio_; m != nullptr && address - m->base < m->size && !Observed()) {
      clock_.Advance(AccessCost::kMmioWrite);
      m->device->MmioWrite(address - m->base, bytes, bytes >= 8 ? value : value & ((1ULL << (bytes * 8)) - 1));
      return;
    }
    MemWriteSlow(address, bytes, value);
  }
  uint32_t IoRead(uint16_t port, unsigned bytes);
  void IoWrite(uint16_t port, unsigned bytes, uint32_t value);
  uint64_t MsrRead(uint32_t index);  // throws MachineFault for an absent MSR
  void MsrWrite(uint32_t index, uint64_t value);

  // An access that takes no simulated time (CPUID) still ends a run of poll reads.
  void EndPollRun() { poll_ = {}; }
  // Reads of poll loops the bus did not make one by one (their time was still charged).
  uint64_t skipped_poll_reads() const { return skipped_poll_reads_; }

  // Untraced, timeless access for the simulator itself (loading images, tests' checks).
  void PeekBytes(uint64_t address, void* out, size_t n) const;
  void PokeBytes(uint64_t address, const void* in, size_t n);
  uint8_t* HostPointer(uint64_t address, size_t n);  // RAM only, else nullptr

  // MSR file: only the MSRs the board implements exist.
  void DefineMsr(uint32_t index, uint64_t value) { msrs_[index] = value; }
  void RemoveMsr(uint32_t index) { msrs_.erase(index); }
  std::optional<uint64_t> PeekMsr(uint32_t index) const;

  // Access trace: "<time_ns> <kind> <address hex> <width bits> <value hex>".
  void SetTrace(std::FILE* out) { trace_ = out; }
  void TraceLine(const char* kind, uint64_t address, unsigned bits, uint64_t value);
  void TraceText(const std::string& line);  // lines of other kinds (e.g. sideband messages)
  // In-memory observers (tests): called for every traced access.
  struct Access {
    uint64_t time_ns;
    std::string kind;
    uint64_t address;
    unsigned bits;
    uint64_t value;
  };
  using Observer = std::function<void(const Access&)>;
  int AddObserver(Observer observer);
  void RemoveObserver(int id);

 private:
  struct MmioMapping {
    uint64_t base;
    uint64_t size;
    MmioDevice* device;
    bool overlapped = false;  // another mapping shares addresses with this one
  };
  struct IoMapping {
    uint16_t first;
    uint16_t last;
    IoDevice* device;
  };
  bool Observed() const { return trace_ != nullptr || !observers_.empty(); }
  // A poll loop reads one register back to back and goes on while it answers the same.
  // While the device promises the answer until a later time, the reads in between change
  // nothing: the clock moves to the first read at or after that time, exactly where the
  // loop's reads one by one would have brought it.
  uint64_t SkipPollReads(const MmioMapping& m, uint64_t address, unsigned bytes, uint64_t value);
  uint64_t MemReadSlow(uint64_t address, unsigned bytes);
  void MemWriteSlow(uint64_t address, unsigned bytes, uint64_t value);
  void MarkOverlaps();
  const RamRegion* FindRam(uint64_t address, size_t n) const;
  const MmioMapping* FindMmio(uint64_t address) const;
  PciFunction* FindPci(uint64_t address, uint16_t* reg) const;
  void Notify(const char* kind, uint64_t address, unsigned bits, uint64_t value);

  Clock clock_;
  PowerRail power_;
  bool in_smm_ = false;
  std::vector<Range> smm_unmapped_;
  std::vector<RamRegion> ram_;
  std::vector<MmioMapping> mmio_;
  std::vector<IoMapping> io_;
  std::map<uint32_t, PciFunction*> pci_;  // key: bus << 16 | device << 8 | function
  std::map<uint32_t, uint64_t> msrs_;
  std::FILE* trace_ = nullptr;
  // The MMIO block the last access reached: polling loops hit the same one again and again.
  const MmioMapping* last_mmio_ = nullptr;
  // The last read of the fast path (poll-loop detection).
  struct LastRead {
    uint64_t address = ~0ULL;
    unsigned bytes = 0;
    uint64_t value = 0;
    uint64_t time_ns = 0;
  };
  LastRead poll_;
  uint64_t skipped_poll_reads_ = 0;
  std::map<int, Observer> observers_;
  int next_observer_ = 1;
};

}  // namespace sim
