// An operating system that moves P2SB's sideband window (SBREG_BAR) or the PMC's PWRM
// registers (PWRMBASE) before an SMI, so that a device of its own could answer at the fixed
// addresses SMM code writes the GPIO pads and ETR3 at. The drivers look first: nothing is
// sent to the fixed address nor to where the OS moved the block, the flash request that
// needs ETR3 is refused, and the protection registers and the flash keep their values.
#include <gtest/gtest.h>

#include "board_smi/BoardSmiServiceSmm.h"
#include "sim/board/MemoryMap.h"
#include "sleep_gpio/SleepGpioSmm.h"
#include "tests/security/HostileCampaign.h"

namespace {
using fstest::Sig;
using hostile::Campaign;
using hostile::Hex;
using hostile::Observation;
using hostile::Range;

constexpr uint64_t kP2sbConfig = 0xE00F9000;  // 0:31:1
constexpr uint64_t kPmcConfig = 0xE00FA000;   // 0:31:2
constexpr uint64_t kEtr3 = sim::kPwrmBase + 0x1048;
constexpr uint32_t kEtr3Cf9gr = 1u << 20;
constexpr uint8_t kCmosFlashUpdate = 0x48;

// A base register's low and high halves as the OS writes them, and PCICMD.MSE.
struct Placement {
  const char* what;
  uint32_t low;
  uint32_t high = 0;
  bool decoding = true;
  bool in_place = false;
};

const Placement kSidebandPlacements[] = {
    {"SBREG_BAR in place (control)", 0xFD000004, 0, true, true},
    {"SBREG_BAR moved to OS RAM", uint32_t(sim::kOsConventionalBase) | 4},
    {"SBREG_BAR moved to SMRAM's first byte", uint32_t(sim::kTsegBase) | 4},
    {"SBREG_BAR set to 0", 0},
    {"SBREG_BAR set to all ones", 0xFFFFFFFF, 0xFFFFFFFF},
    {"SBREG_BAR moved above 4 GiB", 0xFD000004, 1},
    {"SBREG_BAR in place, memory decoding off", 0xFD000004, 0, false},
};

const Placement kPwrmPlacements[] = {
    {"PWRMBASE in place (control)", uint32_t(sim::kPwrmBase), 0, true, true},
    {"PWRMBASE moved to OS RAM", uint32_t(sim::kOsConventionalBase)},
    {"PWRMBASE moved to SMRAM's first byte", uint32_t(sim::kTsegBase)},
    {"PWRMBASE moved to SMRAM's last 64 KiB", uint32_t(sim::kTsegBase + sim::kTsegSize - 0x10000)},
    {"PWRMBASE set to 0", 0},
    {"PWRMBASE set to all ones", 0xFFFFFFFF},
    {"PWRMBASE in place, memory decoding off", uint32_t(sim::kPwrmBase), 0, false},
};

struct Windows : Campaign {
  sim::Bus& bus() { return fb().board().bus(); }
  void MoveSideband(const Placement& p) {
    bus().MemWrite(kP2sbConfig + 0x10, 4, p.low);
    bus().MemWrite(kP2sbConfig + 0x14, 4, p.high);
    bus().MemWrite(kP2sbConfig + 0x04, 2, p.decoding ? 0x0006 : 0x0004);
  }
  void RestoreSideband() { MoveSideband(kSidebandPlacements[0]); }
  void MovePwrm(const Placement& p) {
    bus().MemWrite(kPmcConfig + 0x10, 4, p.low);
    bus().MemWrite(kPmcConfig + 0x04, 2, p.decoding ? 0x0002 : 0x0000);
  }
  void RestorePwrm() { MovePwrm(kPwrmPlacements[0]); }

  // The fixed address, and where the OS put the block, if it decodes anywhere.
  static std::vector<Range> Aimed(uint64_t fixed, uint64_t size, uint64_t moved) {
    std::vector<Range> r = {{fixed, fixed + size}};
    if (moved != 0 && moved != fixed) r.push_back({moved, moved + size});
    return r;
  }
  uint32_t& PadDw0(GpioPadId pad) {
    auto ref = fb().board().pch().FindPad(Hex(pad));
    EXPECT_TRUE(ref.has_value()) << Hex(pad);
    return ref->community->state(ref->group).pads[ref->pad].dw0;
  }
};

struct Event {
  const char* what;
  std::function<void(sim::Board&)> raise;
  bool resets = false;  // the platform reset restores pads of the PLTRST# domain by itself
};

std::vector<Event> SidebandEvents() {
  auto reset = [](uint16_t bx) {
    return [bx](sim::Board& b) {
      b.SetCpuRegister(0, EFI_SMM_SAVE_STATE_REGISTER_RAX, 0x0100);
      b.SetCpuRegister(0, EFI_SMM_SAVE_STATE_REGISTER_RBX, bx);
      EXPECT_TRUE(b.RaiseSoftwareSmi(0, 0xE0).reset) << "the reset is the caller's and always happens";
    };
  };
  return {
      {"power button", [](sim::Board& b) { b.PressPowerButton(); }},
      {"S4 entry", [](sim::Board& b) { b.EnterSleep(SxS4); }},
      {"S5 entry", [](sim::Board& b) { b.EnterSleep(SxS5); }},
      {"SMI 0xE0 reset, pad driven low", reset(0x0001), true},
      {"SMI 0xE0 reset, pad to PLTRST#", reset(0x0000), true},
  };
}

void SidebandCampaign(Windows& h) {
  for (const Placement& p : kSidebandPlacements) {
    const uint64_t moved = p.decoding ? (uint64_t(p.high) << 32 | (p.low & 0xFF000000u)) : 0;
    const std::vector<Range> aimed = Windows::Aimed(sim::kSidebandBase, sim::kSidebandSize, moved);
    for (const Event& e : SidebandEvents()) {
      const std::string cls = p.what;
      constexpr uint32_t kTxHigh = 1;  // PAD_CFG_DW0.GPIOTXSTATE
      h.PadDw0(kSleepGpioFirstPad) &= ~kTxHigh;
      const uint32_t first = h.PadDw0(kSleepGpioFirstPad);
      h.MoveSideband(p);
      Observation o = h.Observe([&] { e.raise(h.fb().board()); }, aimed);
      // A reset puts the board's firmware values back; otherwise the OS does.
      h.RestoreSideband();
      EXPECT_EQ(o.fault, "") << cls << ", " << e.what;
      if (p.in_place) {
        EXPECT_GT(o.watched_accesses, 0u) << cls << ", " << e.what << ": the pads are driven through the window";
        if (!e.resets) {
          EXPECT_EQ(h.PadDw0(kSleepGpioFirstPad), first | kTxHigh) << cls << ", " << e.what;
        }
      } else {
        EXPECT_EQ(o.watched_accesses, 0u) << cls << ", " << e.what;
        if (!e.resets) {
          EXPECT_EQ(h.PadDw0(kSleepGpioFirstPad), first) << cls << ", " << e.what;
        }
      }
      // Refused: nothing reached the window. There is no status that could be false. In place,
      // the window accesses are the drivers' own work, not made for an attacker.
      if (p.in_place) o.watched_accesses = 0;
      h.Count(cls, o, !p.in_place, false);
    }
  }
}

FlashServiceRequest NonBiosRequest(uint32_t function, uint32_t buffer) {
  FlashServiceRequest req = fstest::Request(Sig("$GB1"), function);
  req.Address = 0xFF100000;  // below the BIOS region: the ME region of the default board
  req.Size = function == 5 ? 0x1000 : 0x40;
  req.Buffer = buffer;
  return req;
}

void PwrmCampaign(Windows& h) {
  const uint64_t buffer = h.fb().OsBuffer(std::vector<uint8_t>(0x40, 0x00));
  const uint64_t record = h.fb().board().OsAlloc(sizeof(FlashServiceRequest), 8);
  for (const Placement& p : kPwrmPlacements) {
    const uint64_t moved = p.decoding ? (p.low & 0xFFFF0000u) : 0;
    const std::vector<Range> aimed = Windows::Aimed(sim::kPwrmBase, sim::kPwrmSize, moved);
    for (uint32_t function : {5u, 6u}) {
      const std::string cls = p.what;
      const std::vector<uint8_t> flash = h.fb().board().flash().contents();
      h.fb().board().cmos().set_byte(kCmosFlashUpdate, 0);
      h.bus().MemWrite(kEtr3, 4, 0);
      h.fb().WriteRequest(record, NonBiosRequest(function, uint32_t(buffer)));
      h.MovePwrm(p);
      Observation o = h.Attack(record, std::nullopt, {}, aimed);
      h.RestorePwrm();
      const std::string what = cls + ", function " + std::to_string(function);
      const bool refused = o.status == EFI_ACCESS_DENIED;
      EXPECT_EQ(refused, !p.in_place) << what << " answered " << Hex(o.status);
      if (!p.in_place) {
        EXPECT_EQ(o.watched_accesses, 0u) << what;
        EXPECT_EQ(o.platform_calls, 0u) << what;
        EXPECT_EQ(h.fb().board().flash().contents(), flash) << what;
        EXPECT_EQ(h.fb().board().cmos().byte(kCmosFlashUpdate), 0) << what << ": the update is not marked";
        EXPECT_EQ(h.fb().board().pwrm().etr3() & kEtr3Cf9gr, 0u) << what;
      } else {
        EXPECT_EQ(o.status, EFI_SUCCESS) << what;
        EXPECT_NE(h.fb().board().pwrm().etr3() & kEtr3Cf9gr, 0u) << what << ": the global reset is armed";
      }
      if (p.in_place) o.watched_accesses = 0;
      h.Count(cls, o, refused, !p.in_place && o.status == EFI_SUCCESS);
    }
  }
}

TEST(HostileDevices, MovedSidebandWindowAndPwrmAreNeverUsed) {
  Windows h;
  const uint64_t hash = h.SmramHash();
  const std::vector<uint8_t> flash = h.fb().board().flash().contents();
  SidebandCampaign(h);
  EXPECT_EQ(h.fb().board().flash().contents(), flash);
  PwrmCampaign(h);
  EXPECT_EQ(h.SmramHash(), hash);
  h.PrintFigures();
  h.ExpectCleanFigures();
}

// A write into the BIOS region needs no ETR3: it is served whatever PWRMBASE holds.
TEST(MovedPwrm, BiosRegionRequestsDoNotNeedIt) {
  Windows h;
  const std::vector<uint8_t> data(0x40, 0x5A);
  FlashServiceRequest req = NonBiosRequest(6, uint32_t(h.fb().OsBuffer(data)));
  req.Address = 0xFFF10000;
  h.MovePwrm(kPwrmPlacements[1]);
  EXPECT_EQ(h.fb().Call(req).Status, EFI_SUCCESS);
  EXPECT_EQ(h.fb().FlashAt(0xFFF10000, 0x40), data);
}

// A hidden PMC cannot be moved through its configuration space: ETR3 is written as before.
TEST(MovedPwrm, HiddenPmcIsTrusted) {
  fstest::BoardOptions o;
  o.describe = [](toml::table& d) { d["pch"].as_table()->insert_or_assign("pmc_hidden", true); };
  fstest::FlashBoard fb(o);
  EXPECT_EQ(fb.board().bus().MemRead(kPmcConfig, 2), 0xFFFFu);
  EXPECT_EQ(fb.Call(NonBiosRequest(5, 0)).Status, EFI_SUCCESS);
  EXPECT_NE(fb.board().pwrm().etr3() & kEtr3Cf9gr, 0u);
}

// The firmware hid P2SB: the check reveals it for its reads, hides it again, and the pads
// are driven as before; moved while hidden, they are not.
TEST(MovedSideband, HiddenP2sbIsRevealedForTheCheckAndHiddenAgain) {
  for (bool moved : {false, true}) {
    Windows h;
    auto& p2sb = h.fb().board().pch().p2sb();
    if (moved) h.MoveSideband(kSidebandPlacements[1]);
    p2sb.SetHidden(true);
    h.PadDw0(kSleepGpioFirstPad) &= ~1u;
    h.fb().board().EnterSleep(SxS5);
    EXPECT_TRUE(p2sb.hidden());
    EXPECT_EQ(h.PadDw0(kSleepGpioFirstPad) & 1u, moved ? 0u : 1u) << (moved ? "moved" : "in place");
    EXPECT_EQ(p2sb.window_base(), moved ? sim::kOsConventionalBase : sim::kSidebandBase);
  }
}

}  // namespace
