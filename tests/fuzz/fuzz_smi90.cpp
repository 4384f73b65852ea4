// Software SMI 0x90 as a hostile operating system raises it: a request record anywhere (OS
// RAM, SMRAM, device windows), any fields, a caller buffer with any contents, and a firmware
// volume with its layout file taken from the input, placed in the flash or in OS RAM.
// The board is booted once with SpiFlashSmm; every SMI is watched on the bus, and these end
// the run as findings:
//  - any access to SMRAM through the bus (the drivers reach their own SMRAM by pointer),
//  - a device-window access inside a range the caller named (record, buffer, volume) that the
//    flash service does not make on its own (learned from ordinary requests at start-up),
//  - BIOS_SPI_BC, the SPI controller's BAR0 or command register changed by the SMI,
//  - a write into the OS RAM page the operating system moved BAR0 to before the SMI.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <tuple>

#include "sim/board/MemoryMap.h"
#include "tests/flash_service/support/FlashTestSupport.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

struct Window {
  const char* name;
  uint64_t base;
  uint64_t size;
};
// The device windows of the board that a caller's address can land on.
constexpr Window kDeviceWindows[] = {
    {"PCI Express configuration space", 0xE0000000, 0x10000000},
    {"sideband (GPIO) window", sim::kSidebandBase, sim::kSidebandSize},
    {"PMC PWRMBASE", sim::kPwrmBase, sim::kPwrmSize},
    {"SPI controller BAR0", sim::kSpiBarDefault, sim::kSpiBarSize},
    {"I/O APIC", 0xFEC00000, 0x1000},
    {"HECI BAR", sim::kHeciBarDefault, 0x1000},
    {"local APIC", 0xFEE00000, 0x1000},
};
const Window* DeviceWindow(uint64_t a) {
  for (const Window& w : kDeviceWindows)
    if (a >= w.base && a - w.base < w.size) return &w;
  return nullptr;
}

// SPI controller 0:31:5 in configuration space: command register, BAR0, BIOS_SPI_BC.
constexpr uint64_t kSpiConfig = 0xE0000000 + (31u << 15) + (5u << 12);
constexpr uint64_t kBar0 = kSpiConfig + 0x10;
constexpr uint64_t kProtectionRegisters[] = {kSpiConfig + 0x04, kBar0, kSpiConfig + 0xDC};

constexpr uint64_t kArenaBuffer = 0x20000;  // caller buffer in OS RAM
constexpr uint32_t kSmallSize = 0x1000;     // sizes a run usually asks for (each byte is a bus access)
constexpr uint64_t kTargets[] = {
    sim::kTsegBase,     sim::kTsegBase + sim::kTsegSize - 8, sim::kTsegBase - 0x40, sim::kSmramPoolBase,
    kSpiConfig + 0xD4,  kSpiConfig + 0x08, kSpiConfig,       sim::kSpiBarDefault,   sim::kSpiBarDefault + 0x10,
    sim::kPwrmBase,     sim::kPwrmBase + 0x1048, sim::kSidebandBase + 0x6A0000, sim::kHeciBarDefault,
    0xFEE00000,         0xFEC00000,        0xFF000000,       0xFFF00000,            0xFFFFFFC0,
    0,                  0xFFFFFFFF,        0x000FFFF0,       sim::kOsRamBase + sim::kOsRamSize - 0x20,
};
constexpr const char* kSignatures[] = {"$GB1", "$BDR", "$SDB", "DECG", "$STL", "$TPM", "$FMR", "$MTR"};
uint32_t SignatureOf(const char* text) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(text[i]);
  return v;
}

struct Harness {
  fstest::FlashBoard fb;
  std::vector<std::pair<uint64_t, uint64_t>> smram;
  std::vector<uint8_t> flash_baseline;
  // (address, kind, bits) of the device accesses the service makes on its own.
  std::set<std::tuple<uint64_t, std::string, unsigned>> own_accesses;
  uint64_t arena_buffer = 0;
  uint64_t arena_volume = 0;
  uint64_t arena_record = 0;
  uint64_t arena_bar_page = 0;  // OS RAM the operating system may point BAR0 at

  Harness() {
    for (auto& d : fb.board().firmware().smram_map()) smram.push_back({d.CpuStart, d.CpuStart + d.PhysicalSize});
    flash_baseline = fb.board().flash().contents();
    // The BAR page lies below the caller's buffer: a large read into the buffer (the caller's
    // own business) fills the OS RAM above it, never the page.
    arena_record = fb.board().OsAlloc(0x1000, 0x1000);
    arena_bar_page = fb.board().OsAlloc(0x1000, 0x1000);
    arena_buffer = fb.board().OsAlloc(kArenaBuffer, 0x1000);
    arena_volume = fb.board().OsAlloc(0x10000, 0x1000);
    // Ordinary requests of every function with buffers in OS RAM teach the service's own
    // register accesses (identification, the CF9 global-reset preparation).
    auto& bus = fb.board().bus();
    int id = bus.AddObserver([this](const sim::Bus::Access& a) {
      if ((a.kind == "MR" || a.kind == "MW") && DeviceWindow(a.address)) own_accesses.insert({a.address, a.kind, a.bits});
    });
    for (const char* sig : kSignatures)
      for (uint32_t function = 0; function < 16; ++function) {
        FlashServiceRequest r = fstest::Request(SignatureOf(sig), function);
        r.Address = 0xFE001000;
        r.Size = 0x100;
        r.Buffer = static_cast<uint32_t>(arena_buffer);
        fb.WriteRequest(arena_record, r);
        fb.Raise(arena_record);
      }
    bus.RemoveObserver(id);
    fb.board().flash().mutable_contents() = flash_baseline;
    fb.platform_flash().ClearCalls();
  }

  bool InSmram(uint64_t a, uint64_t n) const {
    return std::any_of(smram.begin(), smram.end(), [&](auto& r) { return a < r.second && r.first < a + n; });
  }
  bool InOsRam(uint64_t a, uint64_t n) {
    return !InSmram(a, n) && fb.board().bus().HostPointer(a, n) != nullptr;
  }
  std::vector<uint32_t> ProtectionRegisters() {
    std::vector<uint32_t> v;
    for (uint64_t a : kProtectionRegisters) v.push_back(static_cast<uint32_t>(fb.board().bus().MemRead(a, 4)));
    return v;
  }
};

Harness& TheHarness() {
  static Harness* h = new Harness();
  return *h;
}

uint32_t PickAddress(FuzzedDataProvider& in, uint64_t own) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return static_cast<uint32_t>(own);
    case 1: return static_cast<uint32_t>(in.PickValueInArray(kTargets) + in.ConsumeIntegralInRange<uint32_t>(0, 0x40));
    case 2: return static_cast<uint32_t>(own + in.ConsumeIntegralInRange<uint32_t>(0, 0x1000));
    default: return in.ConsumeIntegral<uint32_t>();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TheHarness();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Harness& h = TheHarness();
  sim::Board& board = h.fb.board();
  sim::Bus& bus = board.bus();
  FuzzedDataProvider in(data, size);

  FlashServiceRequest r{};
  r.Signature = in.ConsumeBool() ? SignatureOf(in.PickValueInArray(kSignatures)) : in.ConsumeIntegral<uint32_t>();
  r.Function = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 15) : in.ConsumeIntegral<uint32_t>();
  r.Address = in.ConsumeBool() ? 0xFE000000u + in.ConsumeIntegralInRange<uint32_t>(0, 0x1FFFFFF)
                               : in.ConsumeIntegral<uint32_t>();
  r.Size = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, kSmallSize) : in.ConsumeIntegral<uint32_t>();
  r.Buffer = PickAddress(in, h.arena_buffer);
  const int volume_choice = in.ConsumeIntegralInRange<int>(0, 3);
  r.VolumeBase = volume_choice == 0   ? 0
                 : volume_choice == 1 ? static_cast<uint32_t>(fstest::kStandardVolumeBase)
                 : volume_choice == 2 ? static_cast<uint32_t>(h.arena_volume)
                                      : PickAddress(in, h.arena_volume);
  const uint64_t record = in.ConsumeIntegralInRange<int>(0, 7) != 0 ? h.arena_record : PickAddress(in, h.arena_record);
  const unsigned cpu = in.ConsumeIntegralInRange<unsigned>(0, 3);
  const uint8_t fill = in.ConsumeIntegral<uint8_t>();
  const bool volume_in_flash = in.ConsumeBool();
  // Where the operating system moves the SPI controller's BAR0 before the SMI (usually nowhere).
  const uint32_t moved_bars[] = {static_cast<uint32_t>(h.arena_bar_page), static_cast<uint32_t>(sim::kTsegBase),
                                 static_cast<uint32_t>(sim::kTsegBase + sim::kTsegSize - 0x1000), 0, 0xFFFFF000,
                                 static_cast<uint32_t>(sim::kSpiBarDefault + 0x10)};
  const int bar_choice = in.ConsumeIntegralInRange<int>(-6, 5);
  const std::vector<uint8_t> volume = in.ConsumeRemainingBytes<uint8_t>();

  // The caller's memory and the volume.
  std::vector<uint8_t> buffer(kArenaBuffer, fill);
  bus.PokeBytes(h.arena_buffer, buffer.data(), buffer.size());
  std::vector<uint8_t> ram_volume(0x10000, 0xFF);
  bool flash_changed = false;
  if (!volume.empty()) {
    const size_t n = std::min<size_t>(volume.size(), 0x10000);
    if (volume_in_flash) {
      fstest::PutBytes(board.flash().mutable_contents(), fstest::kStandardVolumeBase,
                       std::vector<uint8_t>(volume.begin(), volume.begin() + n));
      flash_changed = true;
    } else {
      std::copy_n(volume.begin(), n, ram_volume.begin());
    }
  }
  bus.PokeBytes(h.arena_volume, ram_volume.data(), ram_volume.size());
  if (h.InOsRam(record, sizeof r)) bus.PokeBytes(record, &r, sizeof r);

  struct Named {
    uint64_t base, size;
  };
  const Named caller[] = {{record, sizeof r}, {r.Buffer, std::max<uint64_t>(r.Size, 1)}, {r.VolumeBase, 0x10000}};
  const uint32_t bar_at_boot = static_cast<uint32_t>(bus.MemRead(kBar0, 4));
  std::vector<uint8_t> bar_page(0x1000, 0xA5);
  bus.PokeBytes(h.arena_bar_page, bar_page.data(), bar_page.size());
  if (bar_choice >= 0) bus.MemWrite(kBar0, 4, moved_bars[bar_choice]);
  const auto protection = h.ProtectionRegisters();
  h.fb.platform_flash().ClearCalls();
  std::string finding;
  int id = bus.AddObserver([&](const sim::Bus::Access& a) {
    if (!finding.empty() || (a.kind != "MR" && a.kind != "MW")) return;
    const unsigned n = a.bits / 8;
    char where[64];
    std::snprintf(where, sizeof where, "%s at 0x%llX (%u bits)", a.kind.c_str(),
                  static_cast<unsigned long long>(a.address), a.bits);
    if (h.InSmram(a.address, n)) finding = std::string("SMRAM access for the caller: ") + where;
    const Window* w = DeviceWindow(a.address);
    if (w == nullptr || h.own_accesses.count({a.address, a.kind, a.bits})) return;
    for (const Named& c : caller)
      if (a.address >= c.base && a.address - c.base < c.size)
        finding = std::string("device access made for the caller in the ") + w->name + ": " + where;
  });
  const sim::SmiResult result = h.fb.Raise(record, cpu);
  bus.RemoveObserver(id);

  if (!result.fault.empty()) fuzz::Finding("the SMI faulted: " + result.fault);
  if (result.reset) fuzz::Finding("software SMI 0x90 reset the board");
  if (!finding.empty()) fuzz::Finding(finding);
  if (h.ProtectionRegisters() != protection) fuzz::Finding("the SMI changed BAR0, the command register or BIOS_SPI_BC");
  std::vector<uint8_t> page_after(bar_page.size());
  bus.PeekBytes(h.arena_bar_page, page_after.data(), page_after.size());
  if (bar_choice >= 0 && page_after != bar_page) fuzz::Finding("the SMI wrote into the OS RAM that the moved BAR0 points at");
  bus.MemWrite(kBar0, 4, bar_at_boot);

  // Only an erase or a write changes the flash (a 16 MiB copy is kept for those runs).
  const auto& calls = h.fb.platform_flash().calls();
  if (flash_changed || std::any_of(calls.begin(), calls.end(), [](const auto& c) {
        return c.op == sim::PlatformFlashStandIn::Op::kErase || c.op == sim::PlatformFlashStandIn::Op::kWrite;
      }))
    board.flash().mutable_contents() = h.flash_baseline;
  return 0;
}
