// The BIOS Guard flash device on a booted board: processor with BIOS Guard in force, the
// board's BIOS Guard service in SMM (present, absent, failing), and the real SPI part
// behind it. The device code under test is this process's own copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "flash/device/FlashDeviceLayer.h"
#include "flash/device/FlashIdentification.h"
#include "flash/device/BiosGuardFlashDevice.h"
#include "frame/Frame.h"
#include "platform/host/HostBusOps.h"
#include "platform_flash/PlatformFlash.h"
#include "sim/board/Board.h"
#include "tests/flash_device/support/FlashTestImage.h"

namespace {

constexpr uint64_t kWindowBottom = 0xFF000000;  // 16 MiB part
constexpr uint64_t kBiosWindow = 0xFF200000;

struct Options {
  std::string bios_guard = "on";        // on | off | capable-off
  std::string protocol = "present";     // present | absent | late
  std::string failures = "none";        // none | first | every
};

class BiosGuardBoard {
 public:
  explicit BiosGuardBoard(const Options& o = {}) {
    auto d = sim::Board::DefaultDescription();
    d.insert_or_assign("cpu", toml::table{{"bios_guard", o.bios_guard}});
    d.insert_or_assign("bios_guard", toml::table{{"protocol", o.protocol}, {"execute_failures", o.failures}});
    flashtest::ImageLayout layout;
    layout.fill = 0x5A;
    board = sim::Board::CreateInMemory(d, flashtest::BuildImage(layout));
    board->Boot();
    FwHostBindPlatform(board->cpu().ops());
    gFrame = FrameState{};
    gSpiFlashDeviceLayer = SpiFlashDeviceLayer{};
    gBiosGuardDevice = BiosGuardDeviceState{};
    gFrame.BootServices = board->firmware().system_table()->BootServices;
    // What the boot's drivers did is not what these tests look at.
    board->bios_guard().log.clear();
    board->bios_guard().executes = 0;
  }

  void InSmm(const std::function<void()>& code) {
    auto r = board->firmware().RunAs("BiosGuardTest", true, code);
    ASSERT_EQ(r.outcome, sim::Cpu::Outcome::kReturned) << r.fault;
  }
  void StartUp() {
    InSmm([] { BiosGuardStartUp(); });
  }
  uint8_t FlashByte(uint64_t window) { return board->flash().contents().at(window - kWindowBottom); }
  size_t Logged(const std::string& prefix) {
    const auto& log = board->bios_guard().log;
    return std::count_if(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  }

  std::unique_ptr<sim::Board> board;
};

TEST(BiosGuardStartUp, BiosRegionBaseFromBfpregAndLinearAddresses) {
  BiosGuardBoard b;
  b.StartUp();
  EXPECT_NE(gBiosGuardDevice.Smst, nullptr);
  EXPECT_EQ(gBiosGuardDevice.BiosRegionBase, 0x00200000u);  // BIOS region from 2 MiB
  EXPECT_EQ(gBiosGuardDevice.BiosRegionLimit, 0x00FFFFFFu);  // to the end of the 16 MiB part
  UINT64 linear = 0;
  EXPECT_TRUE(BiosGuardLinearAddress(0xFF201000, 1, &linear));
  EXPECT_EQ(linear, 0x00201000u);
  EXPECT_TRUE(BiosGuardLinearAddress(0xFFFFFFFF, 1, &linear));
  EXPECT_EQ(linear, 0x00FFFFFFu);
  // The window is the region's own: it ends at 4 GiB, and nothing below it or past its end
  // is addressed (the ME region below, a wrap past 4 GiB).
  EXPECT_FALSE(BiosGuardLinearAddress(0xFF1FFFFF, 1, &linear));
  EXPECT_FALSE(BiosGuardLinearAddress(0xFF1FF000, 0x2000, &linear));
  EXPECT_FALSE(BiosGuardLinearAddress(0xFFFFF000, 0x2000, &linear));
  EXPECT_FALSE(BiosGuardLinearAddress(0x00201000, 1, &linear));
  // A 32 MiB part with the BIOS region from 18 MiB: the window starts where the region's
  // size puts it, not at a fixed address.
  gBiosGuardDevice.BiosRegionBase = 0x01200000;
  gBiosGuardDevice.BiosRegionLimit = 0x01FFFFFF;
  EXPECT_TRUE(BiosGuardLinearAddress(0xFF201000, 1, &linear));
  EXPECT_EQ(linear, 0x01201000u);

  // The command reaches the BIOS Guard service with the linear address.
  gBiosGuardDevice.BiosRegionBase = 0x00200000;
  gBiosGuardDevice.BiosRegionLimit = 0x00FFFFFF;
  UINT8 data[4] = {1, 2, 3, 4};
  UINT32 count = 4;
  b.InSmm([&] {
    EXPECT_EQ(BiosGuardEraseRange(0xFF201000, 0x1000), EFI_SUCCESS);
    EXPECT_TRUE(BiosGuardProgramChunk(0xFF201000, data, &count));
  });
  EXPECT_EQ(count, 0u);
  ASSERT_EQ(b.board->bios_guard().log.size(), 4u);
  EXPECT_EQ(b.board->bios_guard().log[0], "erase 0x201000");
  EXPECT_EQ(b.board->bios_guard().log[2], "write 0x201000 4");
  EXPECT_EQ(b.FlashByte(0xFF201000), 1);
  EXPECT_EQ(b.FlashByte(0xFF201003), 4);
}

TEST(BiosGuardStartUp, ControllerBaseZeroLeavesRegionBaseZeroAndInactiveProcessorSetsNothing) {
  {
    BiosGuardBoard b;
    b.board->bus().MemWrite(0xE00FD010, 4, 0);
    b.StartUp();
    EXPECT_NE(gBiosGuardDevice.Smst, nullptr);
    EXPECT_EQ(gBiosGuardDevice.BiosRegionBase, 0u);
    // No region known: nothing is addressed, so nothing is erased or written.
    UINT64 linear = 0;
    EXPECT_FALSE(BiosGuardLinearAddress(kBiosWindow, 1, &linear));
    EFI_STATUS status = EFI_SUCCESS;
    b.InSmm([&] { status = BiosGuardEraseRange(kBiosWindow, 0x1000); });
    EXPECT_EQ(status, EFI_INVALID_PARAMETER);
    EXPECT_EQ(b.board->bios_guard().executes, 0u);
  }
  for (const char* mode : {"off", "capable-off"}) {
    BiosGuardBoard b({mode});
    b.StartUp();
    EXPECT_EQ(gBiosGuardDevice.Smst, nullptr) << mode;
    EXPECT_EQ(gBiosGuardDevice.BiosRegionBase, 0u) << mode;
  }
}

TEST(BiosGuardSelection, IdentifiesThePartBehindItOnlyOnTheFirstRequest) {
  BiosGuardBoard b;
  b.StartUp();
  unsigned cycles = 0;
  int id = b.board->bus().AddObserver([&](const sim::Bus::Access& a) {
    if (a.kind == "MW" && a.address == 0xFE010006 && a.bits == 16) ++cycles;  // HSFCTL: a controller cycle
  });
  b.InSmm([] { IdentifyFlashPart(kBiosWindow); });
  EXPECT_EQ(gSpiFlashDeviceLayer.SelectedFlashDevice, &gBiosGuardDevice.BiosGuardFlashDevice);
  EXPECT_EQ(gBiosGuardDevice.BiosGuardBackingDevice, &gSpiFlashDeviceLayer.SpiFlashDevice);
  EXPECT_NE(gSpiFlashDeviceLayer.PartNameBuffer[0], '\0');  // the part behind BIOS Guard was named
  EXPECT_EQ(gBiosGuardDevice.BiosGuardFlashDevice.PartName, nullptr);
  unsigned first = cycles;
  EXPECT_GT(first, 0u);
  b.InSmm([] { IdentifyFlashPart(kBiosWindow); });
  EXPECT_EQ(cycles, first);  // no JEDEC read, no configuration
  EXPECT_EQ(gSpiFlashDeviceLayer.SelectedFlashDevice, &gBiosGuardDevice.BiosGuardFlashDevice);
  b.board->bus().RemoveObserver(id);
}

TEST(BiosGuardSelection, ProcessorWithoutBiosGuardEnabledSelectsThePartDirectly) {
  BiosGuardBoard b({"capable-off"});
  b.InSmm([] { IdentifyFlashPart(kBiosWindow); });
  EXPECT_EQ(gSpiFlashDeviceLayer.SelectedFlashDevice, &gSpiFlashDeviceLayer.SpiFlashDevice);
  EXPECT_EQ(gBiosGuardDevice.BiosGuardBackingDevice, nullptr);
}

TEST(BiosGuardErase, OneEraseCommandPerCallWhateverTheSize) {
  BiosGuardBoard b;
  b.StartUp();
  EFI_STATUS status = EFI_LOAD_ERROR;
  b.InSmm([&] { status = BiosGuardEraseRange(0xFF210000, 0x10000); });
  EXPECT_EQ(status, EFI_SUCCESS);
  EXPECT_EQ(b.Logged("erase "), 1u);
  EXPECT_EQ(b.board->bios_guard().log.front(), "erase 0x210000");
  EXPECT_EQ(b.FlashByte(0xFF210FFF), 0xFF);
  EXPECT_EQ(b.FlashByte(0xFF211000), 0x5A);  // the next block was not part of the command

  // The board's flash driver hands the BIOS Guard device a range a unit at a time.
  b.board->bios_guard().log.clear();
  b.InSmm([&] {
    IdentifyFlashPart(kBiosWindow);
    status = PlatformFlashErase(0xFF220000, 0x3000);
  });
  EXPECT_EQ(status, EFI_SUCCESS);
  EXPECT_EQ(b.Logged("erase "), 3u);
  EXPECT_EQ(b.FlashByte(0xFF222FFF), 0xFF);
  EXPECT_EQ(b.FlashByte(0xFF223000), 0x5A);
}

TEST(BiosGuardRetry, AFailedExecuteIsRetriedOnce) {
  BiosGuardBoard b({"on", "present", "first"});
  b.StartUp();
  UINT8 data[8] = {9, 8, 7, 6, 5, 4, 3, 2};
  UINT32 count = 8;
  BOOLEAN ok = FALSE;
  b.InSmm([&] { ok = BiosGuardProgramChunk(0xFF230000, data, &count); });
  EXPECT_TRUE(ok);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(b.board->bios_guard().executes, 2u);
  EXPECT_EQ(b.Logged("write 0x230000 8"), 2u);
  EXPECT_EQ(b.FlashByte(0xFF230007), 2);
}

TEST(BiosGuardRetry, TwoFailuresLeaveTheCountAndReportTheError) {
  BiosGuardBoard b({"on", "present", "every"});
  b.StartUp();
  UINT8 data[8] = {};
  UINT32 count = 8;
  BOOLEAN ok = TRUE;
  b.InSmm([&] { ok = BiosGuardProgramChunk(0xFF230000, data, &count); });
  EXPECT_FALSE(ok);
  EXPECT_EQ(count, 8u);
  EXPECT_EQ(b.board->bios_guard().executes, 2u);
  EXPECT_EQ(b.FlashByte(0xFF230000), 0x5A);

  EFI_STATUS status = EFI_SUCCESS;
  BOOLEAN erased = TRUE;
  b.InSmm([&] {
    status = BiosGuardEraseRange(0xFF240000, 0x1000);
    erased = BiosGuardErase4K(0xFF240000);
  });
  EXPECT_EQ(status, EFI_DEVICE_ERROR);
  EXPECT_FALSE(erased);
  EXPECT_EQ(b.board->bios_guard().executes, 6u);
  EXPECT_EQ(b.FlashByte(0xFF240000), 0x5A);
}

TEST(BiosGuardFallBack, UnreachableServiceUsesTheBackingPartUntilTheProtocolArrives) {
  BiosGuardBoard b({"on", "absent"});
  b.StartUp();
  b.InSmm([] { IdentifyFlashPart(kBiosWindow); });
  ASSERT_NE(gBiosGuardDevice.BiosGuardBackingDevice, nullptr);
  EFI_STATUS status = EFI_LOAD_ERROR;
  UINT8 data[4] = {0x11, 0x22, 0x33, 0x44};
  UINT32 count = 4;
  BOOLEAN ok = FALSE;
  b.InSmm([&] {
    status = BiosGuardEraseRange(0xFF250000, 0x1000);
    ok = BiosGuardProgramChunk(0xFF250000, data, &count);
  });
  EXPECT_EQ(status, EFI_SUCCESS);
  EXPECT_TRUE(ok);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(b.FlashByte(0xFF250000), 0x11);
  EXPECT_EQ(b.FlashByte(0xFF250FFF), 0xFF);
  EXPECT_TRUE(b.board->bios_guard().log.empty());
  EXPECT_EQ(gBiosGuardDevice.Protocol, nullptr);

  // The locate is tried again at the next use.
  b.board->InstallBiosGuardProtocol();
  b.InSmm([&] { status = BiosGuardEraseRange(0xFF260000, 0x1000); });
  EXPECT_EQ(status, EFI_SUCCESS);
  EXPECT_NE(gBiosGuardDevice.Protocol, nullptr);
  EXPECT_EQ(b.Logged("erase 0x260000"), 1u);
}

TEST(BiosGuardFallBack, WithoutABackingPartEraseIsNotReadyAndProgramFails) {
  BiosGuardBoard b({"on", "absent"});
  b.StartUp();
  EFI_STATUS status = EFI_SUCCESS;
  UINT8 data[2] = {0, 0};
  UINT32 count = 2;
  BOOLEAN ok = TRUE;
  b.InSmm([&] {
    status = BiosGuardEraseRange(0xFF250000, 0x1000);
    ok = BiosGuardProgramChunk(0xFF250000, data, &count);
    BiosGuardClearBlockProtect(0xFF250000, 0);  // nothing to forward to
    BiosGuardClearWriteEnabled();
  });
  EXPECT_EQ(status, EFI_NOT_READY);
  EXPECT_FALSE(ok);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(b.FlashByte(0xFF250000), 0x5A);
}

TEST(BiosGuardRead, CopiesFromTheWindowAndWorksWhileUnreachable) {
  BiosGuardBoard b({"on", "absent"});
  b.StartUp();
  UINT8 buffer[128] = {};
  UINT32 count = 16;
  EFI_STATUS status = EFI_LOAD_ERROR;
  b.InSmm([&] { status = BiosGuardReadChunk(0xFF300000, buffer, &count); });
  EXPECT_EQ(status, 16u);
  EXPECT_EQ(count, 0u);
  for (size_t i = 0; i < 16; ++i) EXPECT_EQ(buffer[i], 0x5A);
  // One chunk at most, like every other device: a caller with a 64-byte buffer is safe.
  std::fill(std::begin(buffer), std::end(buffer), 0);
  count = 100;
  b.InSmm([&] { status = BiosGuardReadChunk(0xFF300000, buffer, &count); });
  EXPECT_EQ(status, 64u);
  EXPECT_EQ(count, 36u);
  EXPECT_EQ(buffer[63], 0x5A);
  EXPECT_EQ(buffer[64], 0);
  // Outside the BIOS region's window: nothing is read.
  count = 16;
  b.InSmm([&] { status = BiosGuardReadChunk(0xFF100000, buffer, &count); });
  EXPECT_EQ(status, EFI_INVALID_PARAMETER);
  EXPECT_EQ(count, 16u);
}

TEST(BiosGuardPlatformFlash, WritesOfAnySizeGoThroughTheServiceInStagedPieces) {
  BiosGuardBoard b;
  b.StartUp();
  std::vector<uint8_t> data = flashtest::Pattern(300, 7);
  uint64_t buffer = b.board->OsAlloc(data.size());
  b.board->bus().PokeBytes(buffer, data.data(), data.size());
  EFI_STATUS status = EFI_LOAD_ERROR;
  b.InSmm([&] {
    IdentifyFlashPart(kBiosWindow);
    status = PlatformFlashErase(0xFF270000, 0x1000);
    if (!EFI_ERROR(status)) status = PlatformFlashWrite(0xFF270000, data.size(), buffer);
  });
  EXPECT_EQ(status, EFI_SUCCESS);
  for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(b.FlashByte(0xFF270000 + i), data[i]) << i;
  EXPECT_GE(b.Logged("write "), 3u);
  EXPECT_EQ(b.board->bios_guard().writes_done, b.Logged("write "));
}

}  // namespace
