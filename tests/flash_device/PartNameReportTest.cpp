// The part-name report writes into a request record in the requester's memory.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "flash/device/FlashDeviceLayer.h"
#include "flash/service/FlashServiceRequest.h"
#include "flash/service/PartNameReport.h"
#include "tests/flash_device/support/FlashRig.h"

namespace {

constexpr uint64_t kRequest = 0x00180000;

struct Report {
  UINT64 result;
  FlashServiceRequest request;
};

Report RunReport(const char* part, uint8_t prefill = 0xCC) {
  const auto& datasheet = sim::FindFlashPart(part);
  flashtest::FlashRig rig(datasheet, flashtest::BuildImage(flashtest::DefaultLayout(datasheet.size)));
  rig.bus.MapRam(0x00100000, 0x00100000, sim::RamKind::kRam);
  std::vector<uint8_t> fill(sizeof(FlashServiceRequest), prefill);
  rig.bus.PokeBytes(kRequest, fill.data(), fill.size());
  Report r{};
  rig.Run([&] { r.result = GetPartName(kRequest); });
  rig.bus.PeekBytes(kRequest, &r.request, sizeof r.request);
  return r;
}

TEST(PartNameReport, NamesAnIdentifiedPartWithItsSize) {
  Report r = RunReport("AT25SF641");
  EXPECT_EQ(r.result, 0x5AA5AA55u);
  EXPECT_EQ(r.request.Address, 0x00E00000u);
  EXPECT_EQ(r.request.Size, 0x1000u);
  EXPECT_EQ(r.request.Buffer, 0x00800000u);
  EXPECT_EQ(r.request.PartNameSignature, 0x53504624u);  // "$FPS"
  EXPECT_EQ(r.request.PartNameLength, 48u);
  char expected[48] = "ADESTO AT25SF641";
  EXPECT_EQ(0, std::memcmp(r.request.PartNameText, expected, 48)) << "16 name bytes, then 32 zero bytes";
  // The fields the report does not own stay as the requester left them.
  EXPECT_EQ(r.request.Signature, 0xCCCCCCCCu);
  EXPECT_EQ(r.request.Status, 0xCCCCCCCCCCCCCCCCull);
}

TEST(PartNameReport, WithoutAKnownPartOnlyAddressSizeAndBufferAreWritten) {
  Report r = RunReport("P25Q128H");
  EXPECT_EQ(r.result, 0x5AA5AA55u);
  EXPECT_EQ(r.request.Address, 0x00E00000u);
  EXPECT_EQ(r.request.Size, 0x1000u);
  EXPECT_EQ(r.request.Buffer, 0x00E00000u);
  EXPECT_EQ(r.request.PartNameSignature, 0xCCCCCCCCu);
  EXPECT_EQ(r.request.PartNameLength, 0xCCCCCCCCu);
  EXPECT_EQ(uint8_t(r.request.PartNameText[47]), 0xCC);
  EXPECT_EQ(gSpiFlashDeviceLayer.PartNameBuffer[0], 0);
}

TEST(PartNameReport, EveryReportIdentifiesAgainAndWritesTheSameValues) {
  const auto& datasheet = sim::FindFlashPart("W25Q128JV");
  flashtest::FlashRig rig(datasheet, flashtest::BuildImage(flashtest::DefaultLayout(datasheet.size)));
  rig.bus.MapRam(0x00100000, 0x00100000, sim::RamKind::kRam);
  FlashServiceRequest first{}, second{};
  rig.Run([&] { GetPartName(kRequest); });
  rig.bus.PeekBytes(kRequest, &first, sizeof first);
  uint64_t cycles = rig.controller->hw_cycles();
  rig.SetReg32(0xC4, 0);  // something changed the capabilities since
  rig.Run([&] { GetPartName(kRequest); });
  rig.bus.PeekBytes(kRequest, &second, sizeof second);
  EXPECT_EQ(0, std::memcmp(&first, &second, sizeof first));
  EXPECT_STREQ(second.PartNameText, "Winbond 25X/Q Series");
  EXPECT_EQ(second.Buffer, 16u << 20);
  EXPECT_GT(rig.controller->hw_cycles(), cycles);
  EXPECT_EQ(rig.Reg32(0xC4), 0x2025u) << "the part was configured again";
}

}  // namespace
