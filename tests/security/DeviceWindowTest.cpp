// An operating system that moves the SPI controller's BAR before an SMI, or hands SMM a
// request record, a data buffer or a firmware volume that lies over a device's registers
// or in memory it owns itself. The flash drivers took the controller's base and the
// platform's memory maps at start-up: whatever is tried, SMRAM and the device windows are
// not touched on the caller's behalf, nothing is reported done that was not, the protection
// registers keep their values and the flash keeps its contents.
#include <gtest/gtest.h>

#include <cinttypes>

#include "flash/service/FlashServiceProtocol.h"
#include "platform/Platform.h"
#include "platform/host/HostBusOps.h"
#include "sim/board/MemoryMap.h"
#include "tests/security/HostileCampaign.h"

namespace {
using fstest::Sig;
using hostile::Campaign;
using hostile::Hex;
using hostile::Observation;
using hostile::Range;

constexpr uint64_t kSpiBar0 = 0xE00FD010;
constexpr uint64_t kSpiCommand = 0xE00FD004;
constexpr uint64_t kSpiBarHome = 0xFE010000;
constexpr uint64_t kRecordBytes = sizeof(FlashServiceRequest);

fstest::BoardOptions WithDriver() {
  fstest::BoardOptions o;
  o.platform_flash = "driver";
  return o;
}

// Every (signature, function) the handler serves.
std::vector<std::pair<uint32_t, uint32_t>> ServedRequests() {
  std::vector<std::pair<uint32_t, uint32_t>> r = {{Sig("$BDR"), 0}};
  for (uint32_t f : {4u, 5u, 6u, 7u, 8u, 10u}) r.push_back({Sig("$GB1"), f});
  for (auto& a : fstest::kAreaSignatures)
    for (uint32_t f : {1u, 2u, 3u}) r.push_back({a.value, f});
  return r;
}

FlashServiceRequest AccessRequest(uint32_t signature, uint32_t function, uint32_t buffer) {
  FlashServiceRequest req = fstest::Request(signature, function);
  req.Address = 0xFFF10000;
  req.Size = function == 5 ? 0x1000 : 0x40;
  req.Buffer = buffer;
  return req;
}

struct Placement {
  const char* what;
  uint32_t bar0;         // written to BAR0 (the controller masks the low 12 bits)
  bool decoding = true;  // PCICMD.MSE
};

// BAR0 where the OS may move it. The unaligned value decodes where it was (BAR0 ignores its
// low 12 bits), so that attempt is served.
const Placement kPlacements[] = {
    {"BAR0 moved to OS RAM", uint32_t(sim::kOsConventionalBase)},
    {"BAR0 moved to SMRAM's first byte", uint32_t(sim::kTsegBase)},
    {"BAR0 moved to SMRAM's last page", uint32_t(sim::kTsegBase + sim::kTsegSize - 0x1000)},
    {"BAR0 set to 0", 0},
    {"BAR0 set to all ones", 0xFFFFFFFF},
    {"BAR0 written unaligned (decodes in place)", uint32_t(kSpiBarHome + 0x800)},
    {"BAR0 in place, memory decoding off", uint32_t(kSpiBarHome), false},
};

struct MovedBoard : Campaign {
  MovedBoard() : Campaign(WithDriver()) {
    auto& board = fb().board();
    VOID* iface = nullptr;
    board.firmware().smm_protocols().Locate(FLASH_SERVICE_PROTOCOL_GUID, &iface);
    service = static_cast<FLASH_SERVICE_PROTOCOL*>(board.CallableInterface(iface, sizeof(FLASH_SERVICE_PROTOCOL)));
    iface = nullptr;
    board.firmware().smm_protocols().Locate(PLATFORM_FLASH_PROTOCOL_GUID, &iface);
    platform = static_cast<PLATFORM_FLASH_PROTOCOL*>(board.CallableInterface(iface, sizeof(PLATFORM_FLASH_PROTOCOL)));
    // The area's GUID lies in OS memory, where a caller's data would.
    area = fb().OsBuffer(std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(&fstest::kTpmGuid),
                                              reinterpret_cast<const uint8_t*>(&fstest::kTpmGuid) + sizeof(EFI_GUID)));
    buffer = fb().OsBuffer(std::vector<uint8_t>(0x1000, 0x3C));
  }
  void Move(const Placement& p) {
    fb().board().bus().MemWrite(kSpiBar0, 4, p.bar0);
    fb().board().bus().MemWrite(kSpiCommand, 2, p.decoding ? 0x0006 : 0x0004);
    // The OS fills the page it moved the controller to, as CHIPSEC's rogue BAR test does.
    if (p.bar0 == sim::kOsConventionalBase)
      fb().board().bus().PokeBytes(sim::kOsConventionalBase, std::vector<uint8_t>(0x1000, 0xFF).data(), 0x1000);
  }
  void Restore() {
    fb().board().bus().MemWrite(kSpiBar0, 4, kSpiBarHome);
    fb().board().bus().MemWrite(kSpiCommand, 2, 0x0006);
  }
  bool InPlace(const Placement& p) const { return p.decoding && (p.bar0 & 0xFFFFF000u) == kSpiBarHome; }

  FLASH_SERVICE_PROTOCOL* service = nullptr;
  PLATFORM_FLASH_PROTOCOL* platform = nullptr;
  uint64_t buffer = 0;
  uint64_t area = 0;
};

// Each attempt: the OS moves BAR0, then raises one SMI or another driver calls one slot.
void MovedControllerCampaign(MovedBoard& h) {
  const uint64_t record = h.fb().board().OsAlloc(kRecordBytes, 8);
  for (const Placement& p : kPlacements) {
    const std::vector<uint8_t> flash = h.fb().board().flash().contents();
    const std::string cls = p.what;
    const bool in_place = h.InPlace(p);
    std::vector<Range> watched;
    if (!in_place && p.bar0 != 0) watched.push_back({p.bar0 & 0xFFFFF000ull, (p.bar0 & 0xFFFFF000ull) + 0x1000});
    auto count = [&](const Observation& o, EFI_STATUS status, const std::string& what) {
      const bool refused = status == EFI_ACCESS_DENIED;
      EXPECT_EQ(refused, !in_place) << cls << ": " << what << " answered " << Hex(status);
      h.Count(cls, o, refused, !in_place && status == EFI_SUCCESS);
    };
    for (auto [signature, function] : ServedRequests()) {
      h.fb().WriteRequest(record, AccessRequest(signature, function, uint32_t(h.buffer)));
      h.Move(p);
      Observation o = h.Attack(record, std::nullopt, {}, watched);
      h.Restore();
      count(o, o.status, "SMI 0x90 " + Hex(signature) + " function " + std::to_string(function));
    }
    // Every FlashServiceProtocol slot and every PlatformFlashProtocol slot, as another SMM
    // driver calls them.
    const uint64_t r = record;
    const auto* area = reinterpret_cast<const EFI_GUID*>(h.area);
    const uint32_t b = uint32_t(h.buffer);
    const std::vector<std::pair<std::string, std::function<EFI_STATUS()>>> slots = {
        {"GetPartName", [&] { return EFI_STATUS(h.service->GetPartName(r)); }},
        {"LocateLayoutFile", [&] { return h.service->LocateLayoutFile(r); }},
        {"LocateLayoutEntry", [&] { return h.service->LocateLayoutEntry(area, r); }},
        {"LocateAreaFile", [&] { return h.service->LocateAreaFile(area, r); }},
        {"ReadFlash", [&] { return h.service->ReadFlash(r); }},
        {"EraseFlash", [&] { return h.service->EraseFlash(r); }},
        {"WriteFlash", [&] { return h.service->WriteFlash(r); }},
        {"ForwardOperation4", [&] { return h.service->ForwardOperation4(0, 0, 0, 0); }},
        {"ForwardOperation5", [&] { return h.service->ForwardOperation5(0, 0, 0, 0); }},
        {"PlatformFlash Read", [&] { return h.platform->Read(0xFFF10000, 0x40, b); }},
        {"PlatformFlash Erase", [&] { return h.platform->Erase(0xFFF10000, 0x1000); }},
        {"PlatformFlash Write", [&] { return h.platform->Write(0xFFF10000, 0x40, b); }},
    };
    for (auto& slot : slots) {
      const std::string& name = slot.first;
      const auto& call = slot.second;
      h.fb().WriteRequest(record, AccessRequest(Sig("$TPM"), 3, b));
      h.Move(p);
      EFI_STATUS status = EFI_LOAD_ERROR;
      Observation o = h.Watch([&] { status = call(); }, watched);
      h.Restore();
      // The forwarded operations 4 and 5 of the board's flash driver offer nothing.
      if (in_place && name.rfind("Forward", 0) == 0 && status == EFI_UNSUPPORTED) status = EFI_SUCCESS;
      count(o, status, name);
    }
    // What was served in place wrote the same 0x3C bytes each time; nothing else changed.
    if (!in_place) {
      EXPECT_EQ(h.fb().board().flash().contents(), flash) << cls;
    }
  }
}

// Device windows the board maps, each with the registers an attacker would aim at.
std::vector<std::pair<std::string, uint64_t>> DeviceSpots() {
  return {
      {"SPI BIOS_SPI_BC (Status over it)", 0xE00FD0D4 - 8},
      {"SPI BAR0 in configuration space", 0xE00FD008},
      {"PCI Express configuration base", 0xE0000000},
      {"HECI configuration", 0xE00B0000},
      {"sideband GPIO community 0x6D", 0xFD6D0000},
      {"PMC PWRMBASE (ETR3)", 0xFE001048 - 0x10},
      {"SPI controller registers", kSpiBarHome},
      {"SPI FDATA", kSpiBarHome + 0x10},
      {"I/O APIC", sim::kIoApicBase},
      {"HECI registers", sim::kHeciBarDefault},
      {"local APIC", sim::kLocalApicBase},
  };
}

// Memory the operating system owns after boot: SMM has it unmapped.
std::vector<std::pair<std::string, uint64_t>> OsMemorySpots() {
  return {
      {"0xB3 (a leftover EBX)", 0xB3},
      {"low boot-services RAM", 0x8000},
      {"boot-services pool", sim::kBootPoolBase + 0x1000},
      {"OS conventional memory", sim::kOsConventionalBase + 0x2000},
  };
}

void RecordsOverDevicesAndOsMemory(Campaign& h) {
  const std::vector<uint8_t> flash = h.fb().board().flash().contents();
  for (bool os_memory : {false, true})
    for (auto& [what, at] : os_memory ? OsMemorySpots() : DeviceSpots()) {
      const std::vector<Range> watched = {{at, at + kRecordBytes}};
      for (auto [signature, function] : ServedRequests()) {
        // In RAM the attacker can write a well-formed request; over registers it is what it is.
        if (os_memory) h.fb().WriteRequest(at, AccessRequest(signature, function, uint32_t(at + 0x100)));
        Observation o = h.Attack(at, std::nullopt, {}, watched);
        const std::string where = "record over " + what + " " + Hex(at);
        EXPECT_TRUE(o.handled) << where;
        EXPECT_EQ(o.fault, "") << where;
        EXPECT_EQ(o.accesses, 0u) << where;
        EXPECT_EQ(o.platform_calls, 0u) << where;
        h.Count(os_memory ? "record in OS memory (0xB3, boot services, ...)" : "record over a device window", o,
                o.accesses == 0, false);
      }
    }
  EXPECT_EQ(h.fb().board().flash().contents(), flash);
}

void BuffersAndVolumesOverDevicesAndOsMemory(Campaign& h) {
  const uint64_t record = h.fb().board().OsAlloc(kRecordBytes, 8);
  const std::vector<uint8_t> flash = h.fb().board().flash().contents();
  for (bool os_memory : {false, true})
    for (auto& [what, at] : os_memory ? OsMemorySpots() : DeviceSpots()) {
      for (uint32_t function : {4u, 6u}) {
        for (uint32_t size : {1u, 0x40u, 0x1000u}) {
          FlashServiceRequest req = AccessRequest(Sig("$GB1"), function, uint32_t(at));
          req.Size = size;
          h.fb().WriteRequest(record, req);
          Observation o = h.Attack(record, std::nullopt, {}, {{at, at + size}});
          const std::string where = "function " + std::to_string(function) + " buffer over " + what;
          EXPECT_EQ(o.status, EFI_ACCESS_DENIED) << where;
          EXPECT_EQ(o.platform_calls, 0u) << where;
          EXPECT_EQ(o.fault, "") << where;
          h.Count(os_memory ? "buffer in OS memory" : "buffer over a device window", o, o.status == EFI_ACCESS_DENIED,
                  o.status == EFI_SUCCESS);
        }
      }
      for (uint32_t function : {1u, 2u, 3u}) {
        FlashServiceRequest req = fstest::Request(Sig("$TPM"), function);
        req.VolumeBase = uint32_t(at);
        h.fb().WriteRequest(record, req);
        Observation o = h.Attack(record, std::nullopt, {}, {{at, at + 0x1000}});
        const std::string where = "function " + std::to_string(function) + " volume over " + what;
        EXPECT_EQ(o.status, EFI_ACCESS_DENIED) << where;
        h.Count(os_memory ? "volume in OS memory" : "volume over a device window", o, o.status == EFI_ACCESS_DENIED,
                o.status == EFI_SUCCESS);
      }
    }
  EXPECT_EQ(h.fb().board().flash().contents(), flash);
}

TEST(HostileDevices, MovedControllerAndDeviceWindowsAreRefused) {
  {
    MovedBoard h;
    ASSERT_NE(h.service, nullptr);
    ASSERT_NE(h.platform, nullptr) << "the board flash driver's protocol is in the SMM database";
    const uint64_t hash = h.SmramHash();
    MovedControllerCampaign(h);
    EXPECT_EQ(h.SmramHash(), hash);
    h.PrintFigures();
    h.ExpectCleanFigures();
  }
  Campaign h;
  const uint64_t hash = h.SmramHash();
  RecordsOverDevicesAndOsMemory(h);
  BuffersAndVolumesOverDevicesAndOsMemory(h);
  EXPECT_EQ(h.SmramHash(), hash);
  h.PrintFigures();
  h.ExpectCleanFigures();
}

// The controller moved and put back: refused while away, served again once back, and the
// write then lands in the flash.
TEST(MovedController, RefusedWhileAwayServedWhenBack) {
  fstest::FlashBoard fb(WithDriver());
  const std::vector<uint8_t> data(0x40, 0xA5);
  const uint64_t buffer = fb.OsBuffer(data);
  FlashServiceRequest req = AccessRequest(Sig("$GB1"), 6, uint32_t(buffer));
  fb.board().bus().MemWrite(kSpiBar0, 4, uint32_t(sim::kTsegBase + sim::kTsegSize - 0x1000));
  EXPECT_EQ(fb.Call(req).Status, EFI_ACCESS_DENIED);
  EXPECT_EQ(fb.FlashAt(0xFFF10000, 0x40), std::vector<uint8_t>(0x40, 0xFF));
  fb.board().bus().MemWrite(kSpiBar0, 4, kSpiBarHome);
  EXPECT_EQ(fb.Call(req).Status, EFI_SUCCESS);
  EXPECT_EQ(fb.FlashAt(0xFFF10000, 0x40), data);
}

// A controller found in SMRAM at start-up is never used: every request is refused.
TEST(MovedController, BaseInSmramAtStartUpIsNeverUsed) {
  auto board = sim::Board::CreateInMemory(sim::Board::DefaultDescription(),
                                          fstest::FlashWithVolume(16u << 20, fstest::kStandardVolumeBase,
                                                                  fstest::StandardVolume()));
  board->bus().MemWrite(kSpiBar0, 4, uint32_t(sim::kTsegBase + 0x1000));
  board->Boot();
  FwHostBindPlatform(board->cpu().ops());
  const uint64_t record = board->OsAlloc(kRecordBytes, 8);
  FlashServiceRequest req = fstest::Request(Sig("$BDR"), 0);
  board->bus().PokeBytes(record, &req, sizeof req);
  unsigned smram = 0;
  int id = board->bus().AddObserver([&](const sim::Bus::Access& a) {
    if ((a.kind == "MR" || a.kind == "MW") && board->bus().InSmram(a.address)) ++smram;
  });
  board->SetCpuRegister(0, EFI_SMM_SAVE_STATE_REGISTER_RBX, record);
  board->SetCpuRegister(0, EFI_SMM_SAVE_STATE_REGISTER_RCX, 0);
  board->RaiseSoftwareSmi(0, 0x90);
  board->bus().RemoveObserver(id);
  board->bus().PeekBytes(record, &req, sizeof req);
  EXPECT_EQ(req.Status, EFI_ACCESS_DENIED);
  EXPECT_EQ(smram, 0u);
}

// Issue of real SMM firmware: memory the OS owns is unmapped in SMM, and touching it is a
// page fault that stops the machine. The simulator reports such an access; the flash
// service never makes one, whatever EBX holds.
TEST(CallerMemory, OsMemoryFaultsInSmmAndTheServiceNeverTouchesIt) {
  fstest::FlashBoard fb;
  auto r = fb.board().firmware().RunAs("Probe", true, [] { (void)MmioRead8(0xB3); });
  EXPECT_EQ(r.outcome, sim::Cpu::Outcome::kFault);
  EXPECT_NE(r.fault.find("0xB3"), std::string::npos) << r.fault;
  EXPECT_NE(r.fault.find("BootServicesData"), std::string::npos) << r.fault;

  for (uint64_t at : {uint64_t(0xB3), uint64_t(sim::kBootPoolBase), uint64_t(sim::kOsConventionalBase)}) {
    FlashServiceRequest req = fstest::Request(Sig("$BDR"), 0);
    fb.board().bus().PokeBytes(at, &req, sizeof req);
    auto s = fb.Raise(at);
    EXPECT_TRUE(s.handled);
    EXPECT_EQ(s.fault, "") << Hex(at);
    EXPECT_EQ(fb.ReadRequest(at).Status, 0u) << Hex(at);  // neither read nor written
  }
  // SMM is alive: the next, well-placed request is served.
  EXPECT_EQ(fb.Call(fstest::Request(Sig("$BDR"), 0)).Status, 0x5AA5AA55u);
}

// A firmware without the memory maps: the boot report says so, and the service falls back
// on the SMRAM test alone.
TEST(CallerMemory, WithoutTheMapsOnlyTheSmramTestApplies) {
  fstest::BoardOptions o;
  o.describe = [](toml::table& d) { d["firmware"].as_table()->insert_or_assign("memory_map", false); };
  fstest::FlashBoard fb(o);
  EXPECT_FALSE(fb.board().last_boot().memory_map_offered);
  EXPECT_EQ(fb.Call(fstest::Request(Sig("$BDR"), 0)).Status, 0x5AA5AA55u);
  FlashServiceRequest req = fstest::Request(Sig("$GB1"), 4);
  req.Address = 0xFFF00000;
  req.Size = 0x10;
  req.Buffer = uint32_t(sim::kTsegBase);
  EXPECT_EQ(fb.Call(req).Status, EFI_ACCESS_DENIED);
  // With the maps, a buffer over the SPI registers is refused; without them it is not
  // SMRAM, so only the SMRAM test stands between it and the flash service.
  req.Buffer = uint32_t(kSpiBarHome + 0x10);
  req.Function = 4;
  EXPECT_NE(fb.Call(req).Status, EFI_ACCESS_DENIED);
}

}  // namespace
