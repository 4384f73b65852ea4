#include "sim/core/Bus.h"

#include <sys/mman.h>

#include <cinttypes>
#include <cstring>
#include <stdexcept>

namespace sim {

Bus::Bus() = default;

Bus::~Bus() {
  for (auto& r : ram_) munmap(r.host, r.size);
}

uint8_t* Bus::MapRam(uint64_t base, uint64_t size, RamKind kind) {
  if (size == 0 || base + size < base) throw std::invalid_argument("bad RAM range");
  // Below 2 GiB, RAM sits in this process at its physical address, so pointers from the
  // simulated pools are physical addresses too. Higher RAM is reached through the bus only.
  // The first 64 KiB cannot be mapped by a process (mmap_min_addr).
  const bool identity = base >= 0x10000 && base + size <= 0x80000000ULL;
  void* want = identity ? reinterpret_cast<void*>(base) : nullptr;
  int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | (identity ? MAP_FIXED_NOREPLACE : 0);
  void* p = mmap(want, size, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (p == MAP_FAILED || (identity && reinterpret_cast<uint64_t>(p) != base)) {
    if (p != MAP_FAILED) munmap(p, size);
    throw std::runtime_error("cannot map simulated RAM at its physical address (is another board alive?)");
  }
  ram_.push_back({base, size, kind, static_cast<uint8_t*>(p)});
  return static_cast<uint8_t*>(p);
}

void Bus::MapMmio(uint64_t base, uint64_t size, MmioDevice* device) {
  last_mmio_ = nullptr;
  mmio_.insert(mmio_.begin(), {base, size, device});  // later mappings take precedence
  MarkOverlaps();
}

void Bus::MapMmioBehind(uint64_t base, uint64_t size, MmioDevice* device) {
  last_mmio_ = nullptr;
  mmio_.push_back({base, size, device});
  MarkOverlaps();
}

void Bus::UnmapMmio(MmioDevice* device) {
  last_mmio_ = nullptr;
  std::erase_if(mmio_, [&](const MmioMapping& m) { return m.device == device; });
  MarkOverlaps();
}

// Only a mapping that shares no address with another may be remembered for the next access.
void Bus::MarkOverlaps() {
  for (auto& m : mmio_) {
    m.overlapped = false;
    for (auto& o : mmio_)
      if (&o != &m && o.base < m.base + m.size && m.base < o.base + o.size) m.overlapped = true;
  }
}

void Bus::MapIo(uint16_t first, uint16_t last, IoDevice* device) { io_.push_back({first, last, device}); }

void Bus::AttachPci(unsigned bus, unsigned device, unsigned function, PciFunction* fn) {
  pci_[(bus << 16) | (device << 8) | function] = fn;
}

bool Bus::InSmram(uint64_t address) const {
  for (auto& r : ram_)
    if (r.kind == RamKind::kSmram && address >= r.base && address - r.base < r.size) return true;
  return false;
}

const Bus::RamRegion* Bus::FindRam(uint64_t address, size_t n) const {
  for (auto& r : ram_)
    if (address >= r.base && address - r.base < r.size && n <= r.size - (address - r.base)) return &r;
  return nullptr;
}

const Bus::MmioMapping* Bus::FindMmio(uint64_t address) const {
  for (auto& m : mmio_)
    if (address >= m.base && address - m.base < m.size) return &m;
  return nullptr;
}

PciFunction* Bus::FindPci(uint64_t address, uint16_t* reg) const {
  if (address < kPciExpressBase || address >= kPciExpressBase + kPciExpressSize) return nullptr;
  uint64_t off = address - kPciExpressBase;
  uint32_t key = static_cast<uint32_t>(((off >> 20) & 0xFF) << 16 | ((off >> 15) & 0x1F) << 8 | ((off >> 12) & 7));
  *reg = static_cast<uint16_t>(off & 0xFFF);
  auto it = pci_.find(key);
  return it == pci_.end() ? nullptr : it->second;
}

static uint64_t OnesOfWidth(unsigned bytes) { return bytes >= 8 ? ~0ULL : ((1ULL << (bytes * 8)) - 1); }

uint64_t Bus::SkipPollReads(const MmioMapping& m, uint64_t address, unsigned bytes, uint64_t value) {
  const uint64_t offset = address - m.base;
  const uint64_t until = m.device->ReadStableUntil(offset, bytes);
  if (until <= clock_.Now()) return value;
  const uint64_t reads = (until - clock_.Now() + AccessCost::kMmioRead - 1) / AccessCost::kMmioRead;
  clock_.Advance(reads * AccessCost::kMmioRead);
  skipped_poll_reads_ += reads - 1;  // the last of them is the read made now
  value = m.device->MmioRead(offset, bytes);
  return bytes >= 8 ? value : value & OnesOfWidth(bytes);
}

uint64_t Bus::MemReadSlow(uint64_t address, unsigned bytes) {
  uint64_t value = OnesOfWidth(bytes);
  if (const RamRegion* r = FindRam(address, bytes)) {
    clock_.Advance(AccessCost::kRam);
    if (r->kind != RamKind::kSmram || in_smm_) {
      value = 0;
      std::memcpy(&value, r->host + (address - r->base), bytes);
    }
  } else if (const MmioMapping* m = FindMmio(address)) {
    if (!m->overlapped) last_mmio_ = m;
    clock_.Advance(AccessCost::kMmioRead);
    value = m->device->MmioRead(address - m->base, bytes) & OnesOfWidth(bytes);
  } else {
    clock_.Advance(AccessCost::kMmioRead);
    uint16_t reg = 0;
    if (PciFunction* f = FindPci(address, &reg)) value = f->ConfigRead(reg, bytes) & OnesOfWidth(bytes);
  }
  Notify("MR", address, bytes * 8, value);
  return value;
}

void Bus::MemWriteSlow(uint64_t address, unsigned bytes, uint64_t value) {
  value &= OnesOfWidth(bytes);
  Notify("MW", address, bytes * 8, value);
  if (const RamRegion* r = FindRam(address, bytes)) {
    clock_.Advance(AccessCost::kRam);
    if (r->kind != RamKind::kSmram || in_smm_) std::memcpy(r->host + (address - r->base), &value, bytes);
  } else if (const MmioMapping* m = FindMmio(address)) {
    if (!m->overlapped) last_mmio_ = m;
    clock_.Advance(AccessCost::kMmioWrite);
    m->device->MmioWrite(address - m->base, bytes, value);
  } else {
    clock_.Advance(AccessCost::kMmioWrite);
    uint16_t reg = 0;
    if (PciFunction* f = FindPci(address, &reg)) f->ConfigWrite(reg, bytes, static_cast<uint32_t>(value));
  }
}

uint32_t Bus::IoRead(uint16_t port, unsigned bytes) {
  clock_.Advance(AccessCost::kIo);
  uint32_t value = static_cast<uint32_t>(OnesOfWidth(bytes));
  for (auto& m : io_)
    if (port >= m.first && port <= m.last) {
      value = m.device->IoRead(port, bytes) & static_cast<uint32_t>(OnesOfWidth(bytes));
      break;
    }
  Notify("IR", port, bytes * 8, value);
  return value;
}

void Bus::IoWrite(uint16_t port, unsigned bytes, uint32_t value) {
  clock_.Advance(AccessCost::kIo);
  value &= static_cast<uint32_t>(OnesOfWidth(bytes));
  Notify("IW", port, bytes * 8, value);
  for (auto& m : io_)
    if (port >= m.first && port <= m.last) {
      m.device->IoWrite(port, bytes, value);
      break;
    }
}

uint64_t Bus::MsrRead(uint32_t index) {
  clock_.Advance(AccessCost::kMsr);
  auto it = msrs_.find(index);
  if (it == msrs_.end()) {
    Notify("MSRR", index, 64, ~0ULL);
    char buf[96];
    std::snprintf(buf, sizeof buf, "#GP: RDMSR of MSR 0x%X, which this processor does not implement", index);
    throw MachineFault{buf};
  }
  Notify("MSRR", index, 64, it->second);
  return it->second;
}

void Bus::MsrWrite(uint32_t index, uint64_t value) {
  clock_.Advance(AccessCost::kMsr);
  Notify("MSRW", index, 64, value);
  auto it = msrs_.find(index);
  if (it == msrs_.end()) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "#GP: WRMSR of MSR 0x%X, which this processor does not implement", index);
    throw MachineFault{buf};
  }
  it->second = value;
}

std::optional<uint64_t> Bus::PeekMsr(uint32_t index) const {
  auto it = msrs_.find(index);
  if (it == msrs_.end()) return std::nullopt;
  return it->second;
}

void Bus::PeekBytes(uint64_t address, void* out, size_t n) const {
  auto* o = static_cast<uint8_t*>(out);
  for (size_t i = 0; i < n; ++i) {
    const RamRegion* r = FindRam(address + i, 1);
    o[i] = r ? r->host[address + i - r->base] : 0xFF;
  }
}

void Bus::PokeBytes(uint64_t address, const void* in, size_t n) {
  auto* s = static_cast<const uint8_t*>(in);
  for (size_t i = 0; i < n; ++i) {
    const RamRegion* r = FindRam(address + i, 1);
    if (!r) throw std::out_of_range("poke outside RAM");
    r->host[address + i - r->base] = s[i];
  }
}

uint8_t* Bus::HostPointer(uint64_t address, size_t n) {
  const RamRegion* r = FindRam(address, n);
  return r ? r->host + (address - r->base) : nullptr;
}

void Bus::TraceLine(const char* kind, uint64_t address, unsigned bits, uint64_t value) {
  if (trace_)
    std::fprintf(trace_, "%" PRIu64 " %s %" PRIX64 " %u %" PRIX64 "\n", clock_.Now(), kind, address, bits, value);
}

void Bus::TraceText(const std::string& line) {
  if (trace_) std::fprintf(trace_, "%" PRIu64 " %s\n", clock_.Now(), line.c_str());
}

int Bus::AddObserver(Observer observer) {
  observers_[next_observer_] = std::move(observer);
  return next_observer_++;
}

void Bus::RemoveObserver(int id) { observers_.erase(id); }

void Bus::Notify(const char* kind, uint64_t address, unsigned bits, uint64_t value) {
  if (trace_ == nullptr && observers_.empty()) return;
  TraceLine(kind, address, bits, value);
  if (observers_.empty()) return;
  Access a{clock_.Now(), kind, address, bits, value};
  for (auto& [id, o] : observers_) o(a);
}

}  // namespace sim
