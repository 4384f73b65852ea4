// SpiFlashDevice's erase and program operations on simulated parts: step and chunk choice,
// read-back with retries, cache write-back, and the parts' own protection.
#include <gtest/gtest.h>

#include "flash/device/FlashDeviceLayer.h"
#include "flash/device/FlashDeviceOperations.h"
#include "tests/flash_device/support/FlashRig.h"

namespace {

using flashtest::BuildImage;
using flashtest::DefaultLayout;
using flashtest::FlashRig;
using flashtest::RigOptions;

// A part whose whole array holds data (nothing erased), identified and ready.
std::unique_ptr<FlashRig> Written(const char* name, RigOptions options = {}) {
  const auto& datasheet = sim::FindFlashPart(name);
  auto layout = DefaultLayout(datasheet.size);
  auto image = BuildImage(layout);
  auto data = flashtest::Pattern(datasheet.size - 0x1000, 1);
  for (auto& b : data) b &= 0x7F;  // never 0xFF
  std::copy(data.begin(), data.end(), image.begin() + 0x1000);
  auto rig = std::make_unique<FlashRig>(datasheet, image, options);
  rig->Identify();
  EXPECT_NE(gSpiFlashDeviceLayer.SelectedFlashDevice, nullptr);
  rig->part->ResetStats();
  return rig;
}

bool Erased(const FlashRig& rig, uint32_t from, uint32_t bytes) {
  for (uint32_t i = 0; i < bytes; ++i)
    if (rig.part->contents()[from + i] != 0xFF) return false;
  return true;
}

EFI_STATUS Erase(FlashRig& rig, UINT64 address, UINT32 length) {
  EFI_STATUS s = EFI_LOAD_ERROR;
  rig.Run([&] { s = gSpiFlashDeviceLayer.SelectedFlashDevice->EraseRange(address, length); });
  return s;
}

TEST(EraseRange, Uses64KiBCyclesOnAlignedRangesAnd4KiBCyclesElsewhere) {
  auto rig = Written("W25Q128JV");
  EXPECT_EQ(Erase(*rig, 0xFF020000, 0x20000), EFI_SUCCESS);
  EXPECT_EQ(rig->part->stats().erase_commands, 2u);
  EXPECT_EQ(rig->part->stats().erased_bytes, 0x20000u);
  EXPECT_TRUE(Erased(*rig, 0x20000, 0x20000));
  EXPECT_NE(rig->part->contents()[0x40000], 0xFF);
  rig->part->ResetStats();
  EXPECT_EQ(Erase(*rig, 0xFF041000, 0x10000), EFI_SUCCESS);
  EXPECT_EQ(rig->part->stats().erase_commands, 16u);
  EXPECT_TRUE(Erased(*rig, 0x41000, 0x10000));
  EXPECT_NE(rig->part->contents()[0x40FFF], 0xFF);
  EXPECT_NE(rig->part->contents()[0x51000], 0xFF);
}

TEST(EraseRange, AlreadyErasedStepsCostOnlyTheirReadBack) {
  auto rig = Written("W25Q16JV");
  ASSERT_EQ(Erase(*rig, 0x10000, 0x10000), EFI_SUCCESS);
  rig->part->ResetStats();
  EXPECT_EQ(Erase(*rig, 0x10000, 0x10000), EFI_SUCCESS);
  EXPECT_EQ(rig->part->stats().erase_commands, 0u);
  EXPECT_EQ(rig->part->stats().read_bytes, 0x10000u);
}

TEST(EraseRange, RefusesLengthsThatAreNoMultipleOfTheEraseUnit) {
  auto rig = Written("W25Q16JV");
  EXPECT_EQ(Erase(*rig, 0x10000, 0x1800), EFI_INVALID_PARAMETER);
  EXPECT_EQ(rig->part->stats().erase_commands, 0u);
  // A part erased in 64 KiB units cannot erase 4 KiB.
  auto spansion = Written("S25FL032P");
  ASSERT_EQ(gSpiFlashDeviceLayer.SelectedFlashDevice->EraseUnit, 65536u);
  BOOLEAN ok = TRUE;
  spansion->Run([&] { ok = gSpiFlashDeviceLayer.SelectedFlashDevice->Erase4K(0x10000); });
  EXPECT_FALSE(ok);
  EXPECT_EQ(spansion->part->stats().erase_commands, 0u);
}

TEST(EraseRange, RefusesRangesThatDoNotStartOnAnEraseUnit) {
  // Erasing the 64 KiB block around 0x11000 would clear 4 KiB before the range.
  auto rig = Written("S25FL032P");
  EXPECT_EQ(Erase(*rig, 0x11000, 0x10000), EFI_INVALID_PARAMETER);
  EXPECT_EQ(rig->part->stats().erase_commands, 0u);
  EXPECT_FALSE(Erased(*rig, 0x10000, 0x1000));
}

TEST(EraseRange, RefusesWindowRangesRunningPast4GiB) {
  // 0xFFFFF000 + 0x2000 would wrap to linear address 0, the descriptor.
  auto rig = Written("W25Q16JV");
  std::vector<uint8_t> descriptor(rig->part->contents().begin(), rig->part->contents().begin() + 0x1000);
  EXPECT_EQ(Erase(*rig, 0xFFFFF000, 0x2000), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(std::equal(descriptor.begin(), descriptor.end(), rig->part->contents().begin()));
  EXPECT_EQ(Erase(*rig, 0x7FFFF000, 0x2000), EFI_INVALID_PARAMETER);
  EXPECT_EQ(rig->part->stats().erase_commands, 0u);
}

TEST(EraseRange, RetriesThreeTimesThenReportsADeviceError) {
  auto rig = Written("W25Q16JV");
  rig->part->faults().erase_failures = 2;
  EXPECT_EQ(Erase(*rig, 0x20000, 0x1000), EFI_SUCCESS);
  EXPECT_EQ(rig->part->stats().erase_commands, 3u);
  rig->part->ResetStats();
  // A worn block: the steps before it stay erased.
  rig->part->faults().failing_erase_blocks = {0x32000};
  EXPECT_EQ(Erase(*rig, 0x30000, 0x3000), EFI_DEVICE_ERROR);
  EXPECT_EQ(rig->part->stats().erase_commands, 2u + 3u);
  EXPECT_TRUE(Erased(*rig, 0x30000, 0x2000));
  // Bits that no erase can set fail the read-back the same way.
  rig->part->faults().failing_erase_blocks.clear();
  rig->part->faults().stuck_at_zero = {{0x40010, 0x01}};
  EXPECT_EQ(Erase(*rig, 0x40000, 0x1000), EFI_DEVICE_ERROR);
}

TEST(EraseRange, A256KiBSectorPartErasesWithOne64KiBCommandPerSector) {
  auto rig = Written("M25P128");
  ASSERT_EQ(gSpiFlashDeviceLayer.SelectedFlashDevice->EraseUnit, 262144u);
  EXPECT_EQ(Erase(*rig, 0x240000, 0x40000), EFI_SUCCESS);
  EXPECT_EQ(rig->part->stats().erase_commands, 1u) << "the later steps read back erased";
  EXPECT_EQ(rig->part->stats().erased_bytes, 0x40000u);
  EXPECT_EQ(Erase(*rig, 0x250000, 0x40000), EFI_INVALID_PARAMETER) << "not on a 256 KiB boundary";
}

TEST(EraseRange, Sst26FourKiBErasesLeaveTheSurroundingBlockAlone) {
  auto rig = Written("SST26VF064B");
  EXPECT_EQ(Erase(*rig, 0x412000, 0x1000), EFI_SUCCESS);
  EXPECT_TRUE(Erased(*rig, 0x412000, 0x1000));
  EXPECT_NE(rig->part->contents()[0x411FFF], 0xFF);
  EXPECT_NE(rig->part->contents()[0x413000], 0xFF);
  EXPECT_EQ(rig->part->stats().erased_bytes, 0x1000u);
}

BOOLEAN Program(FlashRig& rig, UINT64 address, std::vector<uint8_t>& data, UINT32* remaining) {
  BOOLEAN ok = FALSE;
  rig.Run([&] { ok = gSpiFlashDeviceLayer.SelectedFlashDevice->ProgramChunk(address, data.data(), remaining); });
  return ok;
}

TEST(ProgramChunk, ChunksStopAtPageEndsOddAddressesAnd64Bytes) {
  auto rig = Written("W25Q16JV");
  ASSERT_EQ(Erase(*rig, 0x100000, 0x1000), EFI_SUCCESS);
  auto data = flashtest::Pattern(100, 3);
  struct Case {
    UINT64 address;
    UINT32 remaining;
    UINT32 programmed;
  };
  for (Case c : {Case{0x1000F0, 100, 16}, Case{0x100201, 100, 1}, Case{0x100300, 100, 64}, Case{0x100400, 10, 10}}) {
    UINT32 remaining = c.remaining;
    rig->part->ResetStats();
    EXPECT_TRUE(Program(*rig, c.address, data, &remaining));
    EXPECT_EQ(remaining, c.remaining - c.programmed);
    EXPECT_EQ(rig->part->stats().programmed_bytes, c.programmed) << std::hex << c.address;
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + c.programmed, rig->part->contents().begin() + c.address));
  }
}

TEST(ProgramChunk, BytePartsProgramOneByteAtATime) {
  auto rig = Written("SST25VF016B");
  ASSERT_EQ(gSpiFlashDeviceLayer.SpiFlashDevice.ProgramUnit, 1u);
  // Powered up protected: identification left BP set, the controller's status-write
  // preamble (VSCC WSR) unprotects before each erase and program.
  ASSERT_EQ(Erase(*rig, 0x100000, 0x1000), EFI_SUCCESS);
  auto data = flashtest::Pattern(8, 4);
  UINT32 remaining = 8;
  EXPECT_TRUE(Program(*rig, 0x100000, data, &remaining));
  EXPECT_EQ(remaining, 7u);
  EXPECT_EQ(rig->part->contents()[0x100000], data[0]);
  EXPECT_EQ(rig->part->contents()[0x100001], 0xFF);
}

TEST(ProgramChunk, AllOnesDataNeedsNoCycle) {
  auto rig = Written("W25Q16JV");
  std::vector<uint8_t> ones(64, 0xFF);
  UINT32 remaining = 200;
  EXPECT_TRUE(Program(*rig, 0x100000, ones, &remaining));
  EXPECT_EQ(remaining, 136u);
  EXPECT_EQ(rig->part->stats().program_commands, 0u);
  EXPECT_EQ(rig->part->stats().read_commands, 0u);
}

TEST(ProgramChunk, DataThatNeverReadsBackFailsAfterThreeCyclesAndKeepsRemaining) {
  auto rig = Written("W25Q16JV");
  ASSERT_EQ(Erase(*rig, 0x100000, 0x1000), EFI_SUCCESS);
  rig->part->faults().stuck_at_one = {{0x100005, 0x80}};
  std::vector<uint8_t> data(64, 0x00);
  UINT32 remaining = 64;
  rig->part->ResetStats();
  EXPECT_FALSE(Program(*rig, 0x100000, data, &remaining));
  EXPECT_EQ(remaining, 64u);
  EXPECT_EQ(rig->part->stats().program_commands, 3u);
  // A program that is lost once succeeds on the second cycle.
  rig->part->faults().stuck_at_one.clear();
  rig->part->faults().program_failures = 1;
  rig->part->ResetStats();
  EXPECT_TRUE(Program(*rig, 0x100040, data, &remaining));
  EXPECT_EQ(rig->part->stats().program_commands, 2u);
}

TEST(ProgramChunk, ProtectedPartsAcceptWritesOnlyAfterTheirUnlock) {
  // AT25DF: sectors protected at power-up; the VSCC asks for a write enable and a status
  // write of 0 before every write, which unprotects them.
  auto at = Written("AT25DF641A");
  ASSERT_TRUE(at->part->IsProtected(0x400000));
  ASSERT_EQ(Erase(*at, 0x400000, 0x1000), EFI_SUCCESS);
  auto data = flashtest::Pattern(64, 5);
  UINT32 remaining = 64;
  EXPECT_TRUE(Program(*at, 0x400000, data, &remaining));
  // SST26: the global unlock during identification opened every block.
  auto sst = Written("SST26VF064B");
  ASSERT_EQ(Erase(*sst, 0x7F0000, 0x1000), EFI_SUCCESS);
  remaining = 64;
  EXPECT_TRUE(Program(*sst, 0x7F0000, data, &remaining));
  // A Winbond part left protected by its non-volatile bits over the top quarter is
  // unprotected by identification (BP bits under the 0x1C mask).
  RigOptions o;
  o.status = 0x14;
  auto w = Written("W25Q128JV", o);
  EXPECT_EQ(Erase(*w, 0xFF0000, 0x1000), EFI_SUCCESS);
}

TEST(ProgramChunk, APartThatNeverFinishesFailsTheReadBack) {
  RigOptions o;
  o.controller.cycle_timeout_ns = 100'000'000;
  auto rig = Written("W25Q16JV", o);
  ASSERT_EQ(Erase(*rig, 0x100000, 0x1000), EFI_SUCCESS);
  rig->part->faults().hang_after_operations = 0;
  auto data = flashtest::Pattern(64, 6);
  UINT32 remaining = 64;
  uint64_t t0 = rig->now();
  EXPECT_FALSE(Program(*rig, 0x100000, data, &remaining));
  EXPECT_EQ(remaining, 64u);
  // The controller gives up on each program cycle; the ready wait ends on its poll limit.
  EXPECT_GE(rig->now() - t0, 3 * o.controller.cycle_timeout_ns);
}

TEST(CacheWriteBack, TheWindowShowsErasedAndProgrammedDataAfterwards) {
  for (bool clflush : {true, false}) {
    RigOptions o;
    o.cache = sim::WindowCacheMode::kBiosRegion;
    auto rig = Written("W25Q16JV", o);
    rig->cpu.SetClflush(clflush);
    const uint64_t window = 0xFFE00000 + 0x180000;
    uint8_t before = uint8_t(rig->bus.MemRead(window + 0x40, 1));  // fills the cache line
    ASSERT_NE(before, 0xFF);
    ASSERT_EQ(Erase(*rig, window, 0x1000), EFI_SUCCESS);
    EXPECT_EQ(rig->bus.MemRead(window + 0x40, 1), 0xFFu) << "clflush " << clflush;
    auto data = flashtest::Pattern(64, 7);
    UINT32 remaining = 64;
    ASSERT_TRUE(Program(*rig, window + 0x40, data, &remaining));
    EXPECT_EQ(rig->bus.MemRead(window + 0x40, 1), data[0]);
    EXPECT_EQ(rig->window->cache()->full_flushes() > 0, !clflush);
  }
}

TEST(CacheWriteBack, CoversTheWholeSectorOfLargeSectorParts) {
  RigOptions o;
  o.cache = sim::WindowCacheMode::kBiosRegion;
  auto rig = Written("M25P128", o);
  const uint64_t sector = 0xFF000000 + 0x240000;
  uint8_t before = uint8_t(rig->bus.MemRead(sector + 0x30000, 1));
  ASSERT_NE(before, 0xFF);
  ASSERT_EQ(Erase(*rig, sector, 0x40000), EFI_SUCCESS);
  EXPECT_EQ(rig->bus.MemRead(sector + 0x30000, 1), 0xFFu);
}

UINTN seen_disposition = 99;
VOID** seen_address = nullptr;
EFI_STATUS EFIAPI RecordConvertPointer(UINTN disposition, VOID** address) {
  seen_disposition = disposition;
  seen_address = address;
  return EFI_NOT_FOUND;
}

TEST(DeviceRecord, WriteEnabledFlagRefreshAndVirtualMode) {
  FlashRig rig("W25Q16JV");
  FlashDeviceRecord& d = gSpiFlashDeviceLayer.SpiFlashDevice;
  EXPECT_EQ(d.SetWriteEnabled(), 0);
  EXPECT_EQ(d.SetWriteEnabled(), 1);
  d.ClearWriteEnabled();
  EXPECT_EQ(gSpiFlashDeviceLayer.WriteEnabled, 0);

  // The base comes from BAR0 once; a BAR0 moved afterwards is never followed, and the
  // controller counts as out of place until it is back (or while decoding is off).
  rig.Run([&] { d.RefreshController(0); });
  EXPECT_EQ(gSpiFlashDeviceLayer.SpiBar, 0xFE010000u);
  BOOLEAN inPlace = FALSE;
  rig.Run([&] { inPlace = SpiControllerInPlace(); });
  EXPECT_TRUE(inPlace);
  rig.bus.MemWrite(0xE00FD010, 4, 0xFED50000);
  rig.Run([&] {
    d.RefreshController(0);
    inPlace = SpiControllerInPlace();
  });
  EXPECT_EQ(gSpiFlashDeviceLayer.SpiBar, 0xFE010000u);
  EXPECT_FALSE(inPlace);
  rig.bus.MemWrite(0xE00FD010, 4, 0xFE010000);
  rig.bus.MemWrite(0xE00FD004, 2, 0x0004);  // memory space enable off
  rig.Run([&] { inPlace = SpiControllerInPlace(); });
  EXPECT_FALSE(inPlace);
  rig.bus.MemWrite(0xE00FD004, 2, 0x0006);
  rig.Run([&] { inPlace = SpiControllerInPlace(); });
  EXPECT_TRUE(inPlace);

  EFI_RUNTIME_SERVICES rt{};
  rt.ConvertPointer = RecordConvertPointer;
  EXPECT_EQ(d.ConvertForVirtualMode(&rt), EFI_NOT_FOUND);
  EXPECT_TRUE(gSpiFlashDeviceLayer.VirtualModeFlag);
  EXPECT_EQ(seen_disposition, 0u);
  EXPECT_EQ(seen_address, reinterpret_cast<VOID**>(&gSpiFlashDeviceLayer.SpiBar));
}

TEST(DeviceRecord, EraseBeforeIdentificationIsNotReady) {
  FlashRig rig("W25Q16JV");
  EFI_STATUS s = EFI_SUCCESS;
  rig.Run([&] { s = EraseRange(0x1000, 0x1000); });
  EXPECT_EQ(s, EFI_NOT_READY);
  EXPECT_EQ(rig.part->stats().erase_commands, 0u);
}

}  // namespace
