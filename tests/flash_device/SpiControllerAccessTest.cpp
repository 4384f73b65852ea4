// The device layer's controller access on the simulated controller: regions, address
// translation, read chunking, the descriptor, status protection, the global unlock and
// BIOS-region write protection.
#include <gtest/gtest.h>

#include <cstring>

#include "flash/device/FlashDeviceLayer.h"
#include "flash/device/FlashIdentification.h"
#include "frame/Frame.h"
#include "tests/flash_device/support/FlashRig.h"

namespace {

using flashtest::BuildImage;
using flashtest::DefaultLayout;
using flashtest::FlashRig;
using flashtest::RigOptions;

constexpr uint64_t kConfig = 0xE0000000 + (31u << 15) + (5u << 12);

TEST(SpiRegionBounds, DecodesRegionRegistersAndRejectsUnusedOrUnknownRegions) {
  auto layout = DefaultLayout(16u << 20);
  layout.regions = {{0, 0, 0xFFF}, {1, 0x200000, 0xFFFFFF}, {4, 0, 0xFFFFFF}};
  FlashRig rig(sim::FindFlashPart("W25Q128JV"), BuildImage(layout));
  rig.Run([&] {
    UINT64 base = 1, limit = 1;
    EXPECT_EQ(SpiRegionBounds(kSpiRegionBios, &base, &limit), EFI_SUCCESS);
    EXPECT_EQ(base, 0x200000u);
    EXPECT_EQ(limit, 0xFFFFFFu);
    EXPECT_EQ(SpiRegionBounds(kSpiRegionPlatformData, &base, &limit), EFI_SUCCESS);  // 0x0FFF0000
    EXPECT_EQ(base, 0u);
    EXPECT_EQ(limit, 0xFFFFFFu);
    EXPECT_EQ(SpiRegionBounds(kSpiRegionDescriptor, &base, &limit), EFI_SUCCESS);
    EXPECT_EQ(limit, 0xFFFu);
    base = limit = 7;
    EXPECT_EQ(SpiRegionBounds(kSpiRegionMe, &base, &limit), EFI_UNSUPPORTED);  // 0x00007FFF
    EXPECT_EQ(base, 7u);
    EXPECT_EQ(SpiRegionBounds(5, &base, &limit), EFI_INVALID_PARAMETER);
    EXPECT_EQ(SpiRegionBounds(kSpiRegionBios, nullptr, nullptr), EFI_SUCCESS);
  });
}

TEST(SpiTranslateAddress, MapsTheWindowTopToTheBiosRegionsLastByte) {
  FlashRig rig("W25Q128JV");
  rig.Run([&] {
    UINT32 linear = 0xDEAD;
    EXPECT_EQ(SpiTranslateAddress(0xFF000000, &linear), EFI_SUCCESS);
    EXPECT_EQ(linear, 0u);
    EXPECT_EQ(SpiTranslateAddress(0xFFFFFFFF, &linear), EFI_SUCCESS);
    EXPECT_EQ(linear, 0xFFFFFFu);
    linear = 0xDEAD;
    EXPECT_EQ(SpiTranslateAddress(0xFEFFFFFF, &linear), EFI_INVALID_PARAMETER);
    EXPECT_EQ(linear, 0xDEADu);
    EXPECT_EQ(SpiTranslateAddress(0x00001000, &linear), EFI_SUCCESS);
    EXPECT_EQ(linear, 0x1000u);
    EXPECT_EQ(SpiTranslateAddress(0x7FFFFFFF, &linear), EFI_SUCCESS) << "linear addresses are not bounded";
    EXPECT_EQ(linear, 0x7FFFFFFFu);
  });
  EXPECT_EQ(gSpiFlashDeviceLayer.RegionCache.BiosBase, 0x200000u);
  EXPECT_EQ(gSpiFlashDeviceLayer.RegionCache.HighestLimit, 0xFFFFFFu);
}

TEST(SpiTranslateAddress, HighestLimitBoundsTheWindowBelowTheBiosRegion) {
  // BIOS region 0x200000-0x7FFFFF; platform data above it raises the highest limit.
  auto layout = DefaultLayout(16u << 20);
  layout.regions = {{0, 0, 0xFFF}, {1, 0x200000, 0x7FFFFF}, {4, 0x800000, 0x9FFFFF}};
  FlashRig rig(sim::FindFlashPart("W25Q128JV"), BuildImage(layout));
  rig.Run([&] {
    UINT32 linear = 0;
    EXPECT_EQ(SpiTranslateAddress(0xFF800000, &linear), EFI_SUCCESS);
    EXPECT_EQ(linear, 0u);
    EXPECT_EQ(SpiTranslateAddress(0xFF7FFFFF, &linear), EFI_INVALID_PARAMETER);
  });
}

TEST(SpiTranslateAddress, WithoutDescriptorUsesTheFlashSizeAndTheCacheIsNeverRefreshed) {
  FlashRig rig(sim::FindFlashPart("W25Q16JV"), std::vector<uint8_t>(2u << 20, 0xFF));
  gSpiFlashDeviceLayer.FlashSize = 2u << 20;
  rig.Run([&] {
    UINT32 linear = 0;
    EXPECT_EQ(SpiTranslateAddress(0xFFE00000, &linear), EFI_SUCCESS);
    EXPECT_EQ(linear, 0u);
    EXPECT_EQ(SpiTranslateAddress(0xFFDFFFFF, &linear), EFI_INVALID_PARAMETER);
    gSpiFlashDeviceLayer.FlashSize = 4u << 20;  // a later size does not move the window
    EXPECT_EQ(SpiTranslateAddress(0xFFDFFFFF, &linear), EFI_INVALID_PARAMETER);
  });
}

TEST(SpiTranslateAddress, VirtualModeShiftsTheWindowToItsNewAddress) {
  FlashRig rig("W25Q128JV");
  gSpiFlashDeviceLayer.VirtualModeFlag = TRUE;
  gSpiFlashDeviceLayer.FlashWindowBase = 0x80200000;
  rig.Run([&] {
    UINT32 linear = 0;
    EXPECT_EQ(SpiTranslateAddress(0x80200000, &linear), EFI_SUCCESS);
    EXPECT_EQ(linear, 0x200000u);
  });
}

TEST(ReadChunk, NeverCrossesA256ByteBoundaryNorMovesMoreThan64Bytes) {
  auto layout = DefaultLayout(16u << 20);
  auto image = BuildImage(layout);
  auto pattern = flashtest::Pattern(0x1000, 7);
  std::copy(pattern.begin(), pattern.end(), image.begin() + 0x201000);
  FlashRig rig(sim::FindFlashPart("W25Q128JV"), image);
  rig.Run([&] {
    UINT8 buffer[64] = {};
    struct Case {
      UINT64 address;
      UINT32 remaining;
      UINT32 expect;
    };
    for (Case c : {Case{0x2010F0, 100, 16}, Case{0x201100, 100, 64}, Case{0x201100, 5, 5}, Case{0xFF2010F0, 100, 16}}) {
      UINT32 remaining = c.remaining;
      EFI_STATUS n = ReadChunk(c.address, buffer, &remaining);
      EXPECT_EQ(n, c.expect) << std::hex << c.address;
      EXPECT_EQ(remaining, c.remaining - c.expect);
      UINT32 offset = UINT32(c.address & 0xFFFFFF) - 0x201000;
      EXPECT_EQ(0, std::memcmp(buffer, pattern.data() + offset, c.expect));
    }
    UINT32 remaining = 10;
    EXPECT_EQ(ReadChunk(0xFEFFFFF0, buffer, &remaining), EFI_INVALID_PARAMETER);
    EXPECT_EQ(remaining, 10u);
  });
  EXPECT_EQ(rig.part->stats().read_commands, 4u) << "the refused address issued no cycle";
}

// A read the controller refuses (the BIOS master has no read access to the ME region)
// comes back as the controller's error: the caller's buffer keeps what it had rather than
// FDATA's leftovers of the read before, and Remaining is unchanged.
TEST(ReadChunk, RefusedReadReturnsTheControllersErrorAndNoStaleBytes) {
  auto layout = DefaultLayout(16u << 20);
  layout.bios_read = 0x0FFF & ~(1u << 2);
  FlashRig rig(sim::FindFlashPart("W25Q128JV"), BuildImage(layout));
  rig.Run([&] {
    UINT8 buffer[64];
    UINT32 remaining = 16;
    EXPECT_EQ(ReadChunk(0x200000, buffer, &remaining), 16);
    std::memset(buffer, 0xA5, sizeof buffer);
    remaining = 16;
    EXPECT_EQ(ReadChunk(0x1000, buffer, &remaining), EFI_DEVICE_ERROR);
    EXPECT_EQ(remaining, 16u);
    for (UINT8 b : buffer) EXPECT_EQ(b, 0xA5);
  });
}

TEST(SpiReadDescriptor, ReadsInsideTheDescriptorRegionOnly) {
  auto layout = DefaultLayout(16u << 20);
  layout.vscc_table = {{0x1840EF, 0x2005}};
  FlashRig rig(sim::FindFlashPart("W25Q128JV"), BuildImage(layout));
  rig.Run([&] {
    UINT8 buffer[8] = {};
    EXPECT_EQ(SpiReadDescriptor(0xEFC, 4, buffer), EFI_SUCCESS);
    EXPECT_EQ(buffer[0], 0xE0);  // VTBA
    EXPECT_EQ(buffer[1], 0x02);  // VTL: one entry
    EXPECT_EQ(SpiReadDescriptor(0, 0x1001, buffer), EFI_INVALID_PARAMETER) << "past the descriptor's limit";
  });

  // A descriptor without a BIOS region cannot be read through this layer.
  auto no_bios = DefaultLayout(16u << 20);
  no_bios.regions = {{0, 0, 0xFFF}, {2, 0x1000, 0xFFFFFF}};
  FlashRig rig2(sim::FindFlashPart("W25Q128JV"), BuildImage(no_bios));
  rig2.Run([&] {
    UINT8 buffer[4] = {};
    EXPECT_EQ(SpiReadDescriptor(0xEFC, 4, buffer), EFI_INVALID_PARAMETER);
  });
}

TEST(SpiReadDescriptor, NeedsAValidDescriptor) {
  FlashRig rig(sim::FindFlashPart("W25Q16JV"), std::vector<uint8_t>(2u << 20, 0xFF));
  rig.Run([&] {
    UINT8 buffer[4] = {};
    EXPECT_EQ(SpiReadDescriptor(0xEFC, 4, buffer), EFI_INVALID_PARAMETER);
  });
}

struct ProtectionCase {
  const char* part;
  uint8_t status;
  bool wrsdis;
  uint8_t expect;
};

class ClearStatusProtectionTest : public ::testing::TestWithParam<ProtectionCase> {};

// Identification ends by clearing the status protection of the part under the BIOS window.
TEST_P(ClearStatusProtectionTest, ClearsBlockProtectBitsByTheManufacturersMask) {
  const ProtectionCase& c = GetParam();
  RigOptions o;
  o.status = c.status;
  o.controller.wrsdis = c.wrsdis;
  FlashRig rig(c.part, o);
  rig.Identify();
  EXPECT_EQ(rig.part->status() & 0xFC, c.expect);
}

INSTANTIATE_TEST_SUITE_P(
    Vendors, ClearStatusProtectionTest,
    ::testing::Values(ProtectionCase{"W25Q128JV", 0x1C, false, 0x00},   // BP0-2 cleared
                      ProtectionCase{"W25Q128JV", 0x10, false, 0x00},   // BP2 alone is protection
                      ProtectionCase{"W25Q128JV", 0x20, false, 0x20},   // TB alone: nothing to clear
                      ProtectionCase{"AT25SL128A", 0x10, false, 0x10},  // Atmel mask 0x0C leaves bit 4
                      ProtectionCase{"AT25SL128A", 0x1C, false, 0x00},
                      // 8 MiB: 0xFF200000 lies below the window, so nothing is cleared.
                      ProtectionCase{"AT25SF641", 0x1C, false, 0x1C},
                      ProtectionCase{"W25Q128JV", 0x1C, true, 0x1C}));  // WRSDIS: no status write

TEST(GlobalBlockUnlock, UnlocksSst26AndRestoresMenuEntry7WithItsTypeBits) {
  FlashRig rig("SST26VF064B");
  uint32_t menu = rig.Reg32(0xAC), types = rig.Reg32(0xA4);
  ASSERT_TRUE(rig.part->IsProtected(0x400000));
  rig.Identify();
  EXPECT_FALSE(rig.part->IsProtected(0x400000));
  EXPECT_EQ(rig.Reg32(0xAC), menu);
  EXPECT_EQ(rig.Reg32(0xA4), types);
  EXPECT_GE(rig.controller->sw_cycles(), 2u);
}

TEST(GlobalBlockUnlock, DoesNothingWhenTheOpcodeMenuIsLocked) {
  RigOptions o;
  o.controller.opcode_menu_locked = true;
  FlashRig rig("SST26VF064B", o);
  rig.Identify();
  EXPECT_TRUE(rig.part->IsProtected(0x400000));
  EXPECT_EQ(rig.controller->sw_cycles(), 0u);
}

class BiosRegionWriteTest : public ::testing::Test {
 protected:
  uint8_t Bc(FlashRig& rig) { return uint8_t(rig.bus.MemRead(kConfig + 0xDC, 1)); }
};

TEST_F(BiosRegionWriteTest, EnableSetsWpdClearsSyncSmiAndReportsInSmm) {
  RigOptions o;
  o.controller.bios_control = 0x28;  // EISS, WPD clear
  FlashRig rig("W25Q16JV", o);
  gFrame.InSmmFlag = TRUE;
  rig.Run([] { EnableBiosRegionWriteList[0](); });
  EXPECT_EQ(Bc(rig) & 0x01, 0x01);
  EXPECT_EQ(*rig.bus.PeekMsr(0x1FE) & 1, 1u) << "InSMM.STS reported through MSR 0x1FE";
  EXPECT_EQ(EnableBiosRegionWriteList[1], nullptr);
  rig.Run([] { DisableBiosRegionWriteList[0](); });
  EXPECT_EQ(Bc(rig) & 0x01, 0x00);
  EXPECT_EQ(*rig.bus.PeekMsr(0x1FE) & 1, 0u);
  EXPECT_EQ(DisableBiosRegionWriteList[1], nullptr);
}

TEST_F(BiosRegionWriteTest, OutsideSmmOrWithoutEissOnlyWpdChanges) {
  RigOptions o;
  o.controller.bios_control = 0x08;
  FlashRig rig("W25Q16JV", o);
  gFrame.InSmmFlag = TRUE;
  rig.Run([] { EnableBiosRegionWrite(); });
  EXPECT_EQ(Bc(rig), 0x09);
  EXPECT_EQ(*rig.bus.PeekMsr(0x1FE), 0u);
}

TEST_F(BiosRegionWriteTest, WithBiosGuardInForceAndTheLockSetNothingChanges) {
  RigOptions o;
  o.controller.bios_control = 0x2A;  // LE, EISS
  FlashRig rig("W25Q16JV", o);
  rig.bus.DefineMsr(0xCE, 1ULL << 35);
  rig.bus.DefineMsr(0x110, 0x2);
  gFrame.InSmmFlag = TRUE;
  rig.Run([] { EnableBiosRegionWrite(); });
  EXPECT_EQ(Bc(rig), 0x2A);
  EXPECT_EQ(rig.controller->bios_write_smis(), 0u);
  // BIOS Guard capable but not enabled: MSR 0x110 bit 1 clear, the write goes ahead.
  rig.bus.DefineMsr(0x110, 0x0);
  rig.Run([] { EnableBiosRegionWrite(); });
  EXPECT_EQ(Bc(rig) & 1, 1);
}

TEST_F(BiosRegionWriteTest, Msr0x110IsReadOnlyWhenThePlatformInfoBitIsSet) {
  RigOptions o;
  o.controller.bios_control = 0x2A;
  FlashRig rig("W25Q16JV", o);  // MSR 0x110 absent: reading it would fault
  gFrame.InSmmFlag = TRUE;
  auto r = rig.cpu.Run([] { EnableBiosRegionWrite(); });
  EXPECT_EQ(r.outcome, sim::Cpu::Outcome::kReturned) << r.fault;
}

}  // namespace
