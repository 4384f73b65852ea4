// ME firmware status through HECI (0:22:0).
#include "pch/MeStatus.h"
#include "tests/pch/PchTestBoard.h"

namespace {
using pchtest::Board;
using pchtest::kHeciCfg;

TEST(MeHeciEnable, AbsentFunctionGivesZeroAndWritesNothing) {
  Board b("[me]\npresent = false\n");
  EXPECT_EQ(MeHeciEnable(), 0u);
  EXPECT_EQ(b.CountAccesses("MW", 0, ~0ull), 0u);
  // HFSTS1 then reads as all ones: manufacturing mode and "other" operation mode.
  EXPECT_EQ(MeIsManufacturingMode(), 1u);
  UINT32 mode = 0;
  EXPECT_EQ(MeGetOperationMode(&mode), EFI_SUCCESS);
  EXPECT_EQ(mode, 6u);
}

TEST(MeHeciEnable, SixtyFourBitBarEnablesDecodeAndMastering) {
  Board b("[me]\nbar0 = 0xFED1A004\nbar1 = 0\n");
  EXPECT_EQ(MeHeciEnable(), 0xFED1A000u);
  EXPECT_EQ(b.pch->heci()->command() & 0x06, 0x06);
  // BAR1 is read when the BAR is taken and again when the call compares it.
  EXPECT_EQ(b.CountAccesses("MR", kHeciCfg + 0x14, kHeciCfg + 0x14), 2u);
}

// DID 16 bits; the command register's low byte alone, so that the status half (whose
// error bits clear on a write of 1) is never written; BARs and HFSTS1 32 bits.
TEST(MeHeciEnable, ReachesEachRegisterWithItsOwnWidth) {
  Board b("[me]\nbar0 = 0xFED1A004\nbar1 = 0\n");
  ASSERT_EQ(MeHeciEnable(), 0xFED1A000u);
  UINT32 mode = 0;
  MeGetOperationMode(&mode);
  MeIsManufacturingMode();
  using Widths = std::map<uint64_t, std::set<unsigned>>;
  EXPECT_EQ(pchtest::ConfigWidthsOf(b.accesses, kHeciCfg),
            (Widths{{0x02, {16}}, {0x04, {8}}, {0x10, {32}}, {0x14, {32}}, {0x40, {32}}}));
}

TEST(MeHeciEnable, UnassignedBarLeavesTheCommandByte) {
  {
    Board b("[me]\nbar0 = 0\n");
    EXPECT_EQ(MeHeciEnable(), 0u);
    EXPECT_EQ(b.CountAccesses("MR", kHeciCfg + 0x14, kHeciCfg + 0x14), 0u);  // 32-bit BAR: no BAR1
    EXPECT_EQ(b.CountAccesses("MW", 0, ~0ull), 0u);
  }
  {
    // A 64-bit BAR above 4 GiB: enabled, but only the (zero) low half is reported.
    Board b("[me]\nbar0 = 0x4\nbar1 = 0x2\n");
    EXPECT_EQ(MeHeciEnable(), 0u);
    EXPECT_EQ(b.pch->heci()->command() & 0x06, 0x06);
    EXPECT_EQ(b.pch->heci()->bar_base(), 0x200000000ull);
  }
}

// The BAR start-up found is the only one decoding is switched on for: moved afterwards
// (into SMRAM, another 4 KiB page, above 4 GiB), it is left alone and reported as 0.
TEST(MeHeciEnable, BarMovedAfterStartUpIsNotEnabled) {
  for (auto [low, high] : {std::pair<uint32_t, uint32_t>{0x7F000004, 0}, {0xFED1B004, 0}, {0xFED1A004, 1}}) {
    Board b("[me]\nbar0 = 0xFED1A004\n");
    MePinHeciBar();
    b.bus.MemWrite(kHeciCfg + 0x10, 4, low);
    b.bus.MemWrite(kHeciCfg + 0x14, 4, high);
    const uint8_t before = b.pch->heci()->command();
    b.accesses.clear();
    EXPECT_EQ(MeHeciEnable(), 0u) << std::hex << low << " " << high;
    EXPECT_EQ(b.pch->heci()->command(), before);
    EXPECT_EQ(b.CountAccesses("MW", 0, ~0ull), 0u);
    // Put back, it is enabled again.
    b.bus.MemWrite(kHeciCfg + 0x10, 4, 0xFED1A004);
    b.bus.MemWrite(kHeciCfg + 0x14, 4, 0);
    EXPECT_EQ(MeHeciEnable(), 0xFED1A000u);
  }
}

TEST(MeStatus, ManufacturingAndOperationModeFromHfsts1) {
  const std::pair<uint32_t, uint32_t> folds[] = {{0, 0}, {1, 6}, {2, 2}, {3, 3}, {4, 4}, {5, 4}, {6, 6}, {7, 6},
                                                 {8, 6}, {9, 6}, {10, 6}, {11, 6}, {12, 6}, {13, 6}, {14, 6}, {15, 6}};
  Board b;
  for (auto [field, expected] : folds) {
    b.pch->heci()->SetHfsts1(0x90000245 | (field << 16));
    UINT32 mode = 0xFF;
    MeGetOperationMode(&mode);
    EXPECT_EQ(mode, expected) << field;
  }
  b.pch->heci()->SetHfsts1(0x00050010);
  UINT32 mode = 0;
  MeGetOperationMode(&mode);
  EXPECT_EQ(mode, 4u);
  EXPECT_EQ(MeIsManufacturingMode(), 1u);
  b.pch->heci()->SetHfsts1(0x00010000);
  MeGetOperationMode(&mode);
  EXPECT_EQ(mode, 6u);
  EXPECT_EQ(MeIsManufacturingMode(), 0u);
}

}  // namespace
