// VSCC values written after identification: from the descriptor's table, or from the
// family profile with the manufacturer bits that an acceptable SFDP header adds.
#include <gtest/gtest.h>

#include "flash/device/ComponentCapabilities.h"
#include "flash/device/FlashDeviceLayer.h"
#include "tests/flash_device/support/FlashRig.h"

namespace {

using flashtest::BuildImage;
using flashtest::DefaultLayout;
using flashtest::FlashRig;

constexpr uint32_t kSentinel = 0x00ABCD00;

struct Written {
  uint32_t vscc0;
  uint32_t vscc1;
};

Written IdentifyAndReadVscc(const sim::FlashPartDatasheet& datasheet, const flashtest::ImageLayout& layout) {
  FlashRig rig(datasheet, BuildImage(layout));
  rig.SetReg32(0xC4, kSentinel);
  rig.SetReg32(0xC8, kSentinel);
  rig.Identify();
  EXPECT_NE(gSpiFlashDeviceLayer.SelectedFlashDevice, nullptr);
  return {rig.Reg32(0xC4), rig.Reg32(0xC8)};
}

TEST(CapabilitiesFromDescriptor, TableEntryForThePartGoesToBothRegisters) {
  const auto& datasheet = sim::FindFlashPart("W25Q128JV");
  auto layout = DefaultLayout(datasheet.size);
  layout.vscc_table = {{0x1740EF, 0x11111111}, {0x1840EF, 0x0000D805}, {0x1840C8, 0x22222222}};
  Written w = IdentifyAndReadVscc(datasheet, layout);
  EXPECT_EQ(w.vscc0, 0x0000D805u);
  EXPECT_EQ(w.vscc1, 0x0000D805u);
}

TEST(CapabilitiesFromDescriptor, TableAt0x60AsFlumap1Of0x206) {
  const auto& datasheet = sim::FindFlashPart("W25Q128JV");
  auto layout = DefaultLayout(datasheet.size);
  layout.flumap1 = 0x00000206;
  auto image = BuildImage(layout);
  const uint8_t entry[8] = {0xEF, 0x40, 0x18, 0x00, 0x05, 0x20, 0x00, 0x00};
  std::copy(std::begin(entry), std::end(entry), image.begin() + 0x60);
  FlashRig rig(datasheet, image);
  rig.Identify();
  EXPECT_EQ(rig.Reg32(0xC4), 0x2005u);
  EXPECT_EQ(rig.Reg32(0xC8), 0x2005u);
}

TEST(CapabilitiesFromDescriptor, NoTableMapWritesNothingAndSkipsTheProfile) {
  const auto& datasheet = sim::FindFlashPart("W25Q128JV");
  for (uint32_t map : {0xFFFFFFFFu, 0u}) {
    auto layout = DefaultLayout(datasheet.size);
    layout.flumap1 = map;
    Written w = IdentifyAndReadVscc(datasheet, layout);
    EXPECT_EQ(w.vscc0, kSentinel) << std::hex << map;
    EXPECT_EQ(w.vscc1, kSentinel);
  }
}

TEST(CapabilitiesFromDescriptor, EmptyOrNonMatchingTableFallsBackToTheProfile) {
  const auto& datasheet = sim::FindFlashPart("W25Q128JV");
  auto layout = DefaultLayout(datasheet.size);
  layout.flumap1 = 0x00000006;  // VTL 0
  EXPECT_EQ(IdentifyAndReadVscc(datasheet, layout).vscc0, 0x2025u);
  layout.flumap1.reset();
  layout.vscc_table = {{0x1840C8, 0x22222222}};
  EXPECT_EQ(IdentifyAndReadVscc(datasheet, layout).vscc1, 0x2025u);
}

// VTL counts 32-bit words: an odd count leaves half an entry (an identifier without its
// VSCC value) at the end. It is no entry: the part falls back to its profile rather than
// getting a value read from past the table.
TEST(CapabilitiesFromDescriptor, TrailingHalfEntryIsNoEntry) {
  const auto& datasheet = sim::FindFlashPart("W25Q128JV");
  auto layout = DefaultLayout(datasheet.size);
  layout.vscc_table = {{0x1840C8, 0x22222222}, {0x1840EF, 0x0000D805}};
  layout.flumap1 = 0x00000300 | (flashtest::kVsccTableOffset >> 4);  // VTL 3: the first entry and the id of the second
  Written w = IdentifyAndReadVscc(datasheet, layout);
  EXPECT_EQ(w.vscc0, 0x2025u);
  EXPECT_EQ(w.vscc1, 0x2025u);
}

TEST(CapabilitiesFromProfile, WinbondWithAcceptedSfdp) {
  // ProfileCommon after 4096 / 0x20: erase opcode, 4 KiB, 64-byte granularity, QER for 0xEF.
  const auto& datasheet = sim::FindFlashPart("W25Q128JV");
  EXPECT_EQ(IdentifyAndReadVscc(datasheet, DefaultLayout(datasheet.size)).vscc0, 0x2025u);
}

TEST(CapabilitiesFromProfile, SignatureOneByteLateTakesHeaderFieldsOneByteOn) {
  // The EON part answers SFDP one byte late; with a Winbond identifier the accepted header
  // shows as the manufacturer bits.
  auto datasheet = flashtest::WithJedecId("EN25QH128A", 0x1840EF);
  ASSERT_EQ(datasheet.sfdp_leading_bytes, 1u);
  EXPECT_EQ(IdentifyAndReadVscc(datasheet, DefaultLayout(datasheet.size)).vscc0, 0x2025u);
}

TEST(CapabilitiesFromProfile, AtmelBitsWithAndWithoutAnAcceptedHeader) {
  // 0x1F, type 0x86: 0x10 and 0x60 on top of 0x2005 and WEWS from the 0x39 enable opcode.
  auto dq = flashtest::WithJedecId("AT25SF641", 0x01861F);
  EXPECT_EQ(IdentifyAndReadVscc(dq, DefaultLayout(dq.size)).vscc0, 0x2075u);
  // The AT25DF641A has no SFDP: the manufacturer bits stay out.
  const auto& df = sim::FindFlashPart("AT25DF641A");
  EXPECT_EQ(IdentifyAndReadVscc(df, DefaultLayout(df.size)).vscc0, 0x2015u);
}

TEST(CapabilitiesFromProfile, ByteProgramPartsAskForEwsr) {
  // ProfileByteProgram: opcode 0x20, 4 KiB, byte granularity, EWSR; 0xBF adds 0x80.
  const auto& sst = sim::FindFlashPart("SST25VF016B");
  EXPECT_EQ(IdentifyAndReadVscc(sst, DefaultLayout(sst.size)).vscc0, 0x2009u) << "no SFDP: no 0x80";
}

struct HeaderDefect {
  const char* what;
  size_t offset;
  uint8_t value;
};

class RejectedSfdpHeader : public ::testing::TestWithParam<HeaderDefect> {};

TEST_P(RejectedSfdpHeader, LeavesTheManufacturerBitsOut) {
  auto datasheet = sim::FindFlashPart("W25Q128JV");
  datasheet.sfdp[GetParam().offset] = GetParam().value;
  EXPECT_EQ(IdentifyAndReadVscc(datasheet, DefaultLayout(datasheet.size)).vscc0, 0x2005u) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Defects, RejectedSfdpHeader,
    ::testing::Values(HeaderDefect{"SFDP major revision 2", 5, 2}, HeaderDefect{"table major revision 2", 10, 2},
                      HeaderDefect{"table pointer past 240", 12, 0xF8},
                      // Bits 29 and 30 of the first table word clear (byte P + 4 of the space).
                      HeaderDefect{"no quad-read bits", 0x83, 0x9F},
                      HeaderDefect{"no signature", 0, 0x00}));

TEST(CapabilitiesFromProfile, LockedRegistersKeepTheirValue) {
  flashtest::RigOptions o;
  o.controller.vscc = 0xD815;
  o.controller.vscc_locked = true;
  FlashRig rig("W25Q128JV", o);
  rig.Identify();
  EXPECT_EQ(rig.Reg32(0xC4) & 0xFFFF, 0xD815u);
}

}  // namespace
