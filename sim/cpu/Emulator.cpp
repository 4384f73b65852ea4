#include "sim/cpu/Emulator.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "sim/core/Bus.h"
#include "sim/core/Cpu.h"
#include "sim/core/HexText.h"
#include "sim/cpu/PeImage.h"

namespace sim {

namespace {
constexpr uint8_t kRet = 0xC3;
constexpr uint8_t kInt3 = 0xCC;
constexpr uint8_t kHlt = 0xF4;
constexpr uint64_t kStubSlot = 16;

std::string ExceptionName(uint32_t vector) {
  switch (vector) {
    case 0: return "#DE (divide error)";
    case 1: return "#DB (debug)";
    case 3: return "#BP (breakpoint)";
    case 4: return "#OF (overflow)";
    case 5: return "#BR (bound range)";
    case 6: return "#UD (invalid opcode)";
    case 7: return "#NM (no math coprocessor)";
    case 8: return "#DF (double fault)";
    case 12: return "#SS (stack fault)";
    case 13: return "#GP (general protection)";
    case 14: return "#PF (page fault)";
    case 16: return "#MF (x87 error)";
    case 17: return "#AC (alignment check)";
    case 19: return "#XM (SIMD exception)";
    default: return "interrupt " + std::to_string(vector);
  }
}
}  // namespace

// What an armed instruction address does instead of (or before) the instruction there.
struct Emulator::Site {
  enum class Kind { kRdmsr, kWrmsr, kPause, kWbinvd, kClflush, kMmioRead, kMmioWrite } kind;
  uint32_t size = 0;    // bytes of the instruction; for the register routines, access width
  int address_reg = 0;  // CLFLUSH: base register
  int32_t displacement = 0;
  // The routine is one access through RCX and a RET: its own instruction then moves the
  // value through the emulator's access cell.
  bool through_cell = false;
};

struct Emulator::Unicorn {
  uc_engine* uc = nullptr;
  // One watchdog thread for the emulator's life: it stops a call that runs too long.
  std::thread watchdog;
  std::mutex mutex;
  std::condition_variable wake;
  bool quit = false;
  bool armed = false;
  bool fired = false;
  std::chrono::steady_clock::time_point deadline;
  // Bus accesses so far: a call that keeps reaching the bus is waiting on the board (and
  // the drivers bound their waits by counts), not running away.
  std::atomic<uint64_t> progress{0};
  uint64_t progress_seen = 0;
  std::chrono::milliseconds budget{10000};
};

// Static trampolines from Unicorn's C callbacks to the emulator.
struct EmulatorHooks {
  static void Code(uc_engine*, uint64_t address, uint32_t size, void* ud) {
    static_cast<Emulator*>(ud)->OnSite(address, size);
  }
  static void Stub(uc_engine*, uint64_t address, uint32_t, void* ud) { static_cast<Emulator*>(ud)->OnStub(address); }
  static uint32_t In(uc_engine*, uint32_t port, int size, void* ud) { return static_cast<Emulator*>(ud)->OnIn(port, size); }
  static void Out(uc_engine*, uint32_t port, int size, uint32_t value, void* ud) {
    static_cast<Emulator*>(ud)->OnOut(port, size, value);
  }
  static int Cpuid(uc_engine*, void* ud) {
    static_cast<Emulator*>(ud)->OnCpuid();
    return 1;  // the real CPUID is skipped
  }
  static bool Invalid(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* ud) {
    auto* e = static_cast<Emulator*>(ud);
    const char* what = type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT ? "fetch from"
                       : type == UC_MEM_WRITE_UNMAPPED || type == UC_MEM_WRITE_PROT ? "write to"
                                                                                      : "read from";
    const bool denied = type == UC_MEM_READ_PROT || type == UC_MEM_WRITE_PROT || type == UC_MEM_FETCH_PROT;
    const Bus::Range* hidden = denied ? e->bus_.SmmUnmapped(address, static_cast<unsigned>(size)) : nullptr;
    if (hidden != nullptr) {
      // Memory the SMM page table leaves unmapped after ready-to-lock: the page fault a
      // host image takes at the same access.
      const char* access = type == UC_MEM_WRITE_PROT ? "write" : type == UC_MEM_FETCH_PROT ? "fetch" : "read";
      e->OnFault(std::string("#PF: SMM ") + access + " at " + Hex(address) + ", in " + hidden->what +
                     " memory that SMM may not touch",
                 e->Reg(UC_X86_REG_RIP));
      return false;
    }
    e->OnFault(std::string("invalid ") + what + " " + Hex(address) + " (" + std::to_string(size) + " bytes, nothing there)",
               e->Reg(UC_X86_REG_RIP));
    return false;
  }
  static void Interrupt(uc_engine* uc, uint32_t vector, void* ud) {
    auto* e = static_cast<Emulator*>(ud);
    e->OnFault(ExceptionName(vector), e->Reg(UC_X86_REG_RIP));
    uc_emu_stop(uc);
  }
  static bool InvalidInstruction(uc_engine*, void* ud) {
    auto* e = static_cast<Emulator*>(ud);
    e->OnFault("#UD (invalid opcode)", e->Reg(UC_X86_REG_RIP));
    return false;
  }
};

Emulator::Emulator(Bus& bus, Cpu& cpu, uint64_t stub_base, unsigned budget_ms)
    : bus_(bus), cpu_(cpu), uc_(std::make_unique<Unicorn>()), stub_base_(stub_base) {
  if (uc_open(UC_ARCH_X86, UC_MODE_64, &uc_->uc) != UC_ERR_OK) throw std::runtime_error("cannot start the x86-64 emulator");
  uc_->budget = std::chrono::milliseconds(budget_ms);
  uc_hook h;
  uc_hook_add(uc_->uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(&EmulatorHooks::In), this, 1, 0, UC_X86_INS_IN);
  uc_hook_add(uc_->uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(&EmulatorHooks::Out), this, 1, 0, UC_X86_INS_OUT);
  uc_hook_add(uc_->uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(&EmulatorHooks::Cpuid), this, 1, 0, UC_X86_INS_CPUID);
  uc_hook_add(uc_->uc, &h, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&EmulatorHooks::Invalid), this, 1, 0);
  uc_hook_add(uc_->uc, &h, UC_HOOK_INTR, reinterpret_cast<void*>(&EmulatorHooks::Interrupt), this, 1, 0);
  uc_hook_add(uc_->uc, &h, UC_HOOK_INSN_INVALID, reinterpret_cast<void*>(&EmulatorHooks::InvalidInstruction), this, 1, 0);
  // The stub page: a RET at the start of every slot, INT3 elsewhere, and the return trap.
  uint8_t* page = bus_.HostPointer(stub_base_, 0x2000);
  if (page == nullptr) throw std::runtime_error("the emulator's stub pages are not in RAM");
  cell_address_ = stub_base_ + 0x1000;
  cell_ = page + 0x1000;
  std::memset(page, kInt3, 0x1000);
  trap_ = stub_base_ + 0x1000 - kStubSlot;
  page[trap_ - stub_base_] = kHlt;
  uc_hook_add(uc_->uc, &h, UC_HOOK_CODE, reinterpret_cast<void*>(&EmulatorHooks::Stub), this, stub_base_, trap_ - 1);

  uc_->watchdog = std::thread([u = uc_.get()] {
    std::unique_lock lock(u->mutex);
    while (!u->quit) {
      uint64_t progress = u->progress.load(std::memory_order_relaxed);
      if (progress != u->progress_seen) {
        u->progress_seen = progress;
        u->deadline = std::chrono::steady_clock::now() + u->budget;
      } else if (u->armed && std::chrono::steady_clock::now() >= u->deadline) {
        u->fired = true;
        u->armed = false;
        uc_emu_stop(u->uc);
      }
      u->wake.wait_for(lock, std::chrono::milliseconds(20));
    }
  });
}

Emulator::~Emulator() {
  {
    std::lock_guard lock(uc_->mutex);
    uc_->quit = true;
  }
  uc_->wake.notify_all();
  uc_->watchdog.join();
  uc_close(uc_->uc);
}

uint64_t Emulator::Reg(int reg) {
  uint64_t v = 0;
  uc_reg_read(uc_->uc, reg, &v);
  return v;
}
void Emulator::SetReg(int reg, uint64_t value) { uc_reg_write(uc_->uc, reg, &value); }

void Emulator::MapRam(uint64_t base, uint64_t size, void* host) {
  if (uc_mem_map_ptr(uc_->uc, base, size, UC_PROT_ALL, host) != UC_ERR_OK)
    throw std::runtime_error("cannot map RAM at " + Hex(base) + " into the emulator");
  mapped_.push_back({base, size});
}

// In SMM after ready-to-lock the memory the bus lists as unmapped for SMM is closed to the
// emulated processor (reads, writes and fetches fault); outside SMM it is open again.
void Emulator::CloseSmmUnmapped(bool closed) {
  static const std::vector<Bus::Range> kOpen;
  const std::vector<Bus::Range>& want = closed ? bus_.smm_unmapped() : kOpen;
  auto same_range = [](const Bus::Range& a, const Bus::Range& b) { return a.base == b.base && a.size == b.size; };
  if (std::equal(want.begin(), want.end(), closed_ranges_.begin(), closed_ranges_.end(), same_range)) return;
  auto apply = [&](uint32_t perms) {
    for (const Bus::Range& r : closed_ranges_)
      for (auto& [base, size] : mapped_) {
        const uint64_t from = std::max(base, r.base), to = std::min(base + size, r.base + r.size);
        if (from < to) uc_mem_protect(uc_->uc, from, to - from, perms);
      }
  };
  apply(UC_PROT_ALL);
  closed_ranges_ = want;
  apply(UC_PROT_NONE);
}

bool Emulator::IsMapped(uint64_t address, uint64_t size) const {
  for (auto& [b, s] : mapped_)
    if (address >= b && address - b < s && size <= s - (address - b)) return true;
  return false;
}

const Emulator::Image* Emulator::ImageAt(uint64_t address) const {
  for (auto& i : images_)
    if (address >= i->base && address - i->base < i->size) return i.get();
  return nullptr;
}

const Emulator::Image& Emulator::Load(const std::string& name, const std::vector<uint8_t>& file, uint64_t base,
                                      const std::string& link_map) {
  PeImage pe = ParsePe(file);
  std::vector<uint8_t> placed = PlaceImage(pe, file, base);
  if (!IsMapped(base, placed.size())) throw std::runtime_error(name + ": no RAM at " + Hex(base) + " for the image");
  uint8_t* host = bus_.HostPointer(base, placed.size());
  if (host == nullptr) throw std::runtime_error(name + ": the image's place is not RAM");
  std::memcpy(host, placed.data(), placed.size());
  auto image = std::make_unique<Image>();
  image->name = name;
  image->base = base;
  image->size = placed.size();
  image->entry = base + pe.entry_point;
  image->map = LinkMap::Parse(link_map);
  for (const PeSection& s : pe.sections)
    if (s.characteristics & kSectionExecute)
      image->code.push_back({base + s.virtual_address, base + s.virtual_address + std::max(s.virtual_size, s.raw_size)});
  if (!image->InCode(image->entry)) throw std::runtime_error(name + ": the entry point is not in code");
  ArmSites(*image, placed);
  images_.push_back(std::move(image));
  return *images_.back();
}

void Emulator::AddSite(uint64_t address, Site site) {
  site_storage_.push_back(std::make_unique<Site>(site));
  sites_[address] = site_storage_.back().get();
}

// Unicorn walks every code hook for each hooked instruction, so sites close together
// share one hook; the other instructions of its range find no site and go on.
void Emulator::HookSites(uint64_t begin, uint64_t end) {
  constexpr uint64_t kNear = 64;
  for (auto it = sites_.lower_bound(begin); it != sites_.end() && it->first < end;) {
    uint64_t first = it->first, last = it->first;
    for (++it; it != sites_.end() && it->first < end && it->first - last <= kNear; ++it) last = it->first;
    uc_hook h;
    uc_hook_add(uc_->uc, &h, UC_HOOK_CODE, reinterpret_cast<void*>(&EmulatorHooks::Code), this, first, last);
  }
}

// Instructions Unicorn cannot hook (RDMSR, WRMSR, PAUSE, CLFLUSH, WBINVD) are found by
// their bytes and armed where they sit; a site fires only where an instruction starts,
// so bytes inside another instruction never do.
void Emulator::ArmSites(const Image& image, const std::vector<uint8_t>& b) {
  for (auto [begin, end] : image.code) {
    for (uint64_t a = begin; a + 1 < end; ++a) {
      size_t i = a - image.base;
      if (i + 1 >= b.size()) break;
      const bool rex = i > 0 && (b[i - 1] & 0xF0) == 0x40;
      auto arm = [&](Site s) {
        AddSite(a, s);
        if (rex) {
          ++s.size;
          AddSite(a - 1, s);
        }
      };
      if (b[i] == 0x0F && b[i + 1] == 0x32) arm({Site::Kind::kRdmsr, 2});
      else if (b[i] == 0x0F && b[i + 1] == 0x30) arm({Site::Kind::kWrmsr, 2});
      else if (b[i] == 0x0F && b[i + 1] == 0x09) arm({Site::Kind::kWbinvd, 2});
      else if (b[i] == 0xF3 && b[i + 1] == 0x90) AddSite(a, {Site::Kind::kPause, 2});
      else if (b[i] == 0x0F && b[i + 1] == 0xAE && i + 2 < b.size() && ((b[i + 2] >> 3) & 7) == 7 && (b[i + 2] >> 6) != 3) {
        // CLFLUSH m8: register-indirect forms (no SIB, no RIP-relative), as the cache
        // routine uses; REX.B picks r8-r15.
        static constexpr int kRegs[16] = {UC_X86_REG_RAX, UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_RBX,
                                          UC_X86_REG_RSP, UC_X86_REG_RBP, UC_X86_REG_RSI, UC_X86_REG_RDI,
                                          UC_X86_REG_R8,  UC_X86_REG_R9,  UC_X86_REG_R10, UC_X86_REG_R11,
                                          UC_X86_REG_R12, UC_X86_REG_R13, UC_X86_REG_R14, UC_X86_REG_R15};
        unsigned mod = b[i + 2] >> 6, rm = b[i + 2] & 7;
        if (rm == 4 || (mod == 0 && rm == 5)) continue;
        Site s{Site::Kind::kClflush, 3};
        int32_t disp = 0;
        if (mod == 1 && i + 3 < b.size()) disp = static_cast<int8_t>(b[i + 3]), s.size = 4;
        if (mod == 2 && i + 6 < b.size()) std::memcpy(&disp, &b[i + 3], 4), s.size = 7;
        s.displacement = disp;
        s.address_reg = kRegs[rm];
        AddSite(a, s);
        if (rex) {
          s.address_reg = kRegs[rm + ((b[i - 1] & 1) ? 8 : 0)];
          ++s.size;
          AddSite(a - 1, s);
        }
      }
    }
  }
  // The register-access routines: the bus carries out the access at their entry.
  static constexpr struct {
    const char* name;
    Site::Kind kind;
    uint32_t width;
  } kRoutines[] = {{"MmioRead8", Site::Kind::kMmioRead, 1},   {"MmioRead16", Site::Kind::kMmioRead, 2},
                   {"MmioRead32", Site::Kind::kMmioRead, 4},  {"MmioRead64", Site::Kind::kMmioRead, 8},
                   {"MmioWrite8", Site::Kind::kMmioWrite, 1}, {"MmioWrite16", Site::Kind::kMmioWrite, 2},
                   {"MmioWrite32", Site::Kind::kMmioWrite, 4}, {"MmioWrite64", Site::Kind::kMmioWrite, 8}};
  // The optimised routines are one instruction through RCX and a RET.
  static const std::vector<uint8_t> kThroughRcx[] = {
      {0x8A, 0x01, 0xC3}, {0x0F, 0xB6, 0x01, 0xC3}, {0x0F, 0xB7, 0x01, 0xC3}, {0x8B, 0x01, 0xC3}, {0x48, 0x8B, 0x01, 0xC3},
      {0x88, 0x11, 0xC3}, {0x66, 0x89, 0x11, 0xC3}, {0x89, 0x11, 0xC3},       {0x48, 0x89, 0x11, 0xC3}};
  for (auto& r : kRoutines) {
    auto rva = image.map.Find(r.name);
    if (!rva) continue;
    Site s{r.kind, r.width};
    for (const auto& pattern : kThroughRcx)
      if (*rva + pattern.size() <= b.size() && std::equal(pattern.begin(), pattern.end(), b.begin() + *rva))
        s.through_cell = true;
    AddSite(image.base + *rva, s);
  }
  HookSites(image.base, image.base + image.size);
}

bool Emulator::Stopping() { return stop_ != Stop::kNone; }

void Emulator::RequestStop(Stop why, const std::string& report) {
  if (stop_ == Stop::kNone) {
    stop_ = why;
    stop_report_ = report;
  }
  uc_emu_stop(uc_->uc);
}

void Emulator::ClearStop() {
  stop_ = Stop::kNone;
  stop_report_.clear();
}

// A board reset or a power cut ends the run before the processor's next bus access.
bool Emulator::BoardStops() {
  if (bus_.PowerGone())
    RequestStop(Stop::kPowerLost, "");
  else if (cpu_.reset_pending())
    RequestStop(Stop::kReset, "");
  return Stopping();
}

void Emulator::OnFault(const std::string& what, uint64_t rip) { RequestStop(Stop::kFault, what + " " + Where(rip)); }

std::string Emulator::Where(uint64_t rip) {
  std::string out = "at RIP " + Hex(rip);
  if (const Image* i = ImageAt(rip)) {
    out += " (" + i->name + "+" + Hex(rip - i->base);
    if (auto f = i->map.Enclosing(static_cast<uint32_t>(rip - i->base))) out += ", " + f->first + "+" + Hex(f->second);
    out += ")";
  } else if (rip >= stub_base_ && rip < stub_base_ + 0x1000) {
    out += " (a firmware service stub)";
  } else {
    out += " (outside every image)";
  }
  uint8_t bytes[8];
  if (uc_mem_read(uc_->uc, rip, bytes, sizeof bytes) == UC_ERR_OK) {
    out += ", instruction bytes";
    for (uint8_t x : bytes) {
      char t[4];
      std::snprintf(t, sizeof t, " %02x", x);
      out += t;
    }
  }
  return out;
}

void Emulator::Return(uint64_t value) {
  SetReg(UC_X86_REG_RAX, value);
  uint64_t rsp = Reg(UC_X86_REG_RSP), ret = 0;
  uc_mem_read(uc_->uc, rsp, &ret, 8);
  SetReg(UC_X86_REG_RSP, rsp + 8);
  SetReg(UC_X86_REG_RIP, ret);  // leaves the block before the routine's first instruction
}

// The processor takes a pending board reset or a power cut before its next access, as on the host.
void Emulator::OnSite(uint64_t address, uint32_t size) {
  auto it = sites_.find(address);
  if (it == sites_.end() || Stopping()) return;
  const Site& s = *it->second;
  const bool routine = s.kind == Site::Kind::kMmioRead || s.kind == Site::Kind::kMmioWrite;
  if (!routine && size != s.size) return;  // not the instruction the bytes suggested
  if (BoardStops()) return;
  const HostBusOps* ops = cpu_.ops();
  uc_->progress.fetch_add(1, std::memory_order_relaxed);
  switch (s.kind) {
    case Site::Kind::kRdmsr:
    case Site::Kind::kWrmsr: {
      uint32_t index = static_cast<uint32_t>(Reg(UC_X86_REG_RCX));
      try {
        if (s.kind == Site::Kind::kRdmsr) {
          uint64_t v = bus_.MsrRead(index);
          SetReg(UC_X86_REG_RAX, v & 0xFFFFFFFF);
          SetReg(UC_X86_REG_RDX, v >> 32);
        } else {
          bus_.MsrWrite(index, (Reg(UC_X86_REG_RDX) << 32) | (Reg(UC_X86_REG_RAX) & 0xFFFFFFFF));
        }
      } catch (const MachineFault& f) {
        OnFault(f.what, address);
        return;
      }
      break;
    }
    // PAUSE, WBINVD and CLFLUSH then run as they are (harmless at CPL0); skipping them would
    // cost a new translation block each time.
    case Site::Kind::kPause: ops->pause(ops->context); return;
    case Site::Kind::kWbinvd: ops->wbinvd(ops->context); return;
    case Site::Kind::kClflush:
      ops->flush_line(ops->context, Reg(s.address_reg) + static_cast<int64_t>(s.displacement));
      return;
    case Site::Kind::kMmioRead: {
      uint64_t value = bus_.MemRead(Reg(UC_X86_REG_RCX), s.size);
      if (!s.through_cell) return Return(value);
      std::memcpy(cell_, &value, 8);
      SetReg(UC_X86_REG_RCX, cell_address_);
      return;
    }
    case Site::Kind::kMmioWrite:
      bus_.MemWrite(Reg(UC_X86_REG_RCX), s.size, Reg(UC_X86_REG_RDX));
      if (!s.through_cell) return Return(0);
      SetReg(UC_X86_REG_RCX, cell_address_);
      return;
  }
  SetReg(UC_X86_REG_RIP, address + size);  // RDMSR / WRMSR are done: skip them
}

uint64_t Emulator::AddStub(StubHandler handler) {
  uint64_t address = stub_base_ + stubs_.size() * kStubSlot;
  if (address >= trap_) throw std::runtime_error("the emulator's stub page is full");
  bus_.HostPointer(address, 1)[0] = kRet;
  stubs_.push_back(std::move(handler));
  return address;
}

void Emulator::OnStub(uint64_t address) {
  if (Stopping() || (address - stub_base_) % kStubSlot != 0) return;
  size_t slot = (address - stub_base_) / kStubSlot;
  if (slot >= stubs_.size()) return;
  StubCall call{};
  static constexpr int kArgRegs[4] = {UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_R8, UC_X86_REG_R9};
  for (int i = 0; i < 4; ++i) call.args[i] = Reg(kArgRegs[i]);
  // Arguments 5 and up sit above the return address and the callee's 32-byte home area.
  uint64_t rsp = Reg(UC_X86_REG_RSP);
  for (int i = 4; i < 10; ++i)
    if (uc_mem_read(uc_->uc, rsp + 0x28 + 8 * (i - 4), &call.args[i], 8) != UC_ERR_OK) call.args[i] = 0;
  try {
    stubs_[slot](call);
  } catch (const MachineFault& f) {
    RequestStop(Stop::kFault, f.what + " in a firmware service called " + Where(Reg(UC_X86_REG_RIP)));
  } catch (const std::exception& e) {
    RequestStop(Stop::kFault, std::string("firmware service failed: ") + e.what());
  }
  SetReg(UC_X86_REG_RAX, call.result);
  if (Stopping()) uc_emu_stop(uc_->uc);
}

uint32_t Emulator::OnIn(uint32_t port, int size) {
  if (Stopping()) return 0xFFFFFFFF;
  if (BoardStops()) return 0xFFFFFFFF;
  uc_->progress.fetch_add(1, std::memory_order_relaxed);
  return bus_.IoRead(static_cast<uint16_t>(port), static_cast<unsigned>(size));
}

void Emulator::OnOut(uint32_t port, int size, uint32_t value) {
  if (Stopping()) return;
  if (BoardStops()) return;
  uc_->progress.fetch_add(1, std::memory_order_relaxed);
  bus_.IoWrite(static_cast<uint16_t>(port), static_cast<unsigned>(size), value);
}

void Emulator::OnCpuid() {
  uint32_t out[4];
  const HostBusOps* ops = cpu_.ops();
  ops->cpuid(ops->context, static_cast<uint32_t>(Reg(UC_X86_REG_RAX)), out);
  SetReg(UC_X86_REG_RAX, out[0]);
  SetReg(UC_X86_REG_RBX, out[1]);
  SetReg(UC_X86_REG_RCX, out[2]);
  SetReg(UC_X86_REG_RDX, out[3]);
}

uint64_t Emulator::Call(uint64_t function, const std::vector<uint64_t>& args, uint64_t stack_base, uint64_t stack_top) {
  if (args.size() > 10) throw std::invalid_argument("more than 10 arguments");
  if (depth_ >= kMaxDepth) {
    RequestStop(Stop::kFault, "calls nested more than " + std::to_string(kMaxDepth) + " deep");
    return 0;
  }
  uc_engine* uc = uc_->uc;
  uc_context* saved = nullptr;
  uint64_t rsp = stack_top;
  if (depth_ > 0) {
    uc_context_alloc(uc, &saved);
    uc_context_save(uc, saved);
    // A nested call runs below the frame of the code that is waiting for it.
    uint64_t current = Reg(UC_X86_REG_RSP);
    if (current > stack_base && current <= stack_top) rsp = current - 0x100;
  }
  rsp &= ~uint64_t{0xF};
  size_t slots = std::max<size_t>(4, args.size());
  rsp -= (slots * 8 + 15) & ~size_t{15};
  rsp -= 8;  // return address: entry RSP is 8 modulo 16, as after a CALL
  uc_mem_write(uc, rsp, &trap_, 8);
  for (size_t i = 4; i < args.size(); ++i) uc_mem_write(uc, rsp + 0x28 + 8 * (i - 4), &args[i], 8);
  static constexpr int kArgRegs[4] = {UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_R8, UC_X86_REG_R9};
  for (size_t i = 0; i < 4; ++i) SetReg(kArgRegs[i], i < args.size() ? args[i] : 0);
  SetReg(UC_X86_REG_RSP, rsp);
  SetReg(UC_X86_REG_RFLAGS, 0x2);

  if (depth_ == 0) {
    std::lock_guard lock(uc_->mutex);
    uc_->armed = true;
    uc_->fired = false;
    uc_->deadline = std::chrono::steady_clock::now() + uc_->budget;
  }
  ++depth_;
  uc_err err = uc_emu_start(uc, function, trap_, 0, 0);
  --depth_;
  bool runaway = false;
  if (depth_ == 0) {
    std::lock_guard lock(uc_->mutex);
    uc_->armed = false;
    runaway = uc_->fired;
  }
  uint64_t rip = Reg(UC_X86_REG_RIP);
  uint64_t rax = Reg(UC_X86_REG_RAX);
  if (!Stopping()) {
    if (runaway)
      RequestStop(Stop::kFault, "no return and no bus access for " + std::to_string(uc_->budget.count()) +
                                    " ms (a loop that does not end?) " + Where(rip));
    else if (err != UC_ERR_OK)
      RequestStop(Stop::kFault, std::string(uc_strerror(err)) + " " + Where(rip));
    else if (rip != trap_)
      RequestStop(Stop::kFault, "stopped (HLT?) " + Where(rip));
  }
  if (saved) {
    uc_context_restore(uc, saved);
    uc_context_free(saved);
    if (Stopping()) uc_emu_stop(uc);  // the stop travels out through the waiting caller
  }
  return rax;
}

}  // namespace sim
