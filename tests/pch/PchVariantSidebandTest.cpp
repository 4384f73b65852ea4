// PCH variant detection and the P2SB sideband message interface on the simulated PCH.
#include "pch/Sideband.h"
#include "tests/pch/PchTestBoard.h"

namespace {
using pchtest::Board;
using pchtest::kLpcCfg;
using pchtest::kP2sbCfg;

std::string WithLpcId(uint16_t id) {
  char b[64];
  std::snprintf(b, sizeof b, "[pch]\nlpc_device_id = %u\n", id);
  return b;
}

TEST(PchDetectVariant, RecognisesEveryFamilyAndSku) {
  const std::pair<uint16_t, PchVariant> cases[] = {
      {0xA305, 1}, {0x0685, 1}, {0xA300, 1}, {0xA31F, 1}, {0x9D84, 2}, {0x0284, 2}, {0x029F, 2},
      {0x02A0, 0xFF}, {0xA320, 0xFF}, {0xA2C9, 0xFF}, {0xFFFF, 0xFF},
  };
  for (auto [id, variant] : cases) {
    Board b(WithLpcId(id));
    EXPECT_EQ(PchDetectVariant(), variant) << std::hex << id;
  }
}

TEST(PchDetectVariant, CachesARecognisedVariantButReadsAnUnknownOneEveryTime) {
  {
    Board b(WithLpcId(0x9D84));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(PchDetectVariant(), PchVariantLp);
    EXPECT_EQ(b.CountAccesses("MR", kLpcCfg + 2, kLpcCfg + 2), 1u);
  }
  {
    Board b(WithLpcId(0x02A0));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(PchDetectVariant(), PchVariantUnknown);
    EXPECT_EQ(b.CountAccesses("MR", kLpcCfg + 2, kLpcCfg + 2), 3u);
  }
}

TEST(SidebandRegisterAddress, PortAndSixteenBitOffset) {
  EXPECT_EQ(SidebandRegisterAddress(0x6D, 0x08F0), 0xFD6D08F0u);
  EXPECT_EQ(SidebandRegisterAddress(0x6A, 0), 0xFD6A0000u);
  // An offset formed past 0xFFFF wraps within the port instead of carrying into it.
  EXPECT_EQ(SidebandRegisterAddress(0x6D, static_cast<UINT16>(0xFFF8 + 0x10)), 0xFD6D0008u);
}

TEST(SidebandMessageWrite, WritesTheRegistersInOrderAndTheMessageLands) {
  Board b;
  UINT32 data = 0x00000008;
  UINT8 response = 0xEE;
  EXPECT_EQ(SidebandMessageWrite(0x6D, 0x88, &data, &response, 0x13), EFI_SUCCESS);
  EXPECT_EQ(response, 0);
  std::vector<std::pair<uint64_t, uint64_t>> writes;
  for (auto& a : b.accesses)
    if (a.kind == "MW") writes.push_back({a.address - kP2sbCfg, a.value});
  const std::vector<std::pair<uint64_t, uint64_t>> expected = {
      {0xD0, 0x6D000088}, {0xDC, 0}, {0xD8, 0x1300}, {0xDA, 0xF000}, {0xD4, 0x00000008}, {0xD8, 0x1301}};
  EXPECT_EQ(writes, expected);
  EXPECT_TRUE(Board::Bit(b.Group("GPP_D3").lock, 3));
  ASSERT_EQ(b.pch->p2sb().messages().size(), 1u);
  EXPECT_EQ(b.pch->p2sb().messages()[0].offset, 0x88u);
}

TEST(SidebandMessageWrite, SplitsAWideOffsetAndClearsThePostedBit) {
  Board b;
  b.bus.MemWrite(kP2sbCfg + 0xD8, 2, 0x0080);  // a previous user left the posted bit set
  b.Clear();
  UINT32 data = 0;
  UINT8 response = 0xEE;
  // Port 0x6D has nothing at 0x12345: the message is delivered and refused.
  EXPECT_EQ(SidebandMessageWrite(0x6D, 0x12345, &data, &response, 0x13), EFI_DEVICE_ERROR);
  EXPECT_EQ(response, 1);
  ASSERT_EQ(b.pch->p2sb().messages().size(), 1u);
  EXPECT_EQ(b.pch->p2sb().messages()[0].offset, 0x12345u);
  EXPECT_FALSE(b.pch->p2sb().messages()[0].posted);
  EXPECT_EQ(b.bus.MemRead(kP2sbCfg + 0xD0, 4), 0x6D002345u);
  EXPECT_EQ(b.bus.MemRead(kP2sbCfg + 0xDC, 4), 1u);
}

TEST(SidebandMessageWrite, RefusesOpcodesItDoesNotSendBeforeAnyAccess) {
  Board b;
  for (UINT32 op : {0x02u, 0x03u, 0x08u, 0x0Cu, 0x12u, 0x14u, 0xFFu, 0x113u}) {
    UINT32 data = 0;
    UINT8 response = 0xEE;
    EXPECT_EQ(SidebandMessageWrite(0x6D, 0x88, &data, &response, op), EFI_INVALID_PARAMETER) << op;
    EXPECT_EQ(response, 0xEE);
  }
  EXPECT_TRUE(b.accesses.empty());
  for (UINT32 op : {0x00u, 0x01u, 0x04u, 0x05u, 0x06u, 0x07u, 0x13u}) EXPECT_TRUE(SidebandOpcodeAccepted(op)) << op;
}

TEST(SidebandMessageWrite, HiddenBridgeIsADeviceErrorBeforeAnyWrite) {
  Board b("[faults]\np2sb_hidden = true\n");
  UINT32 data = 1;
  UINT8 response = 0xEE;
  EXPECT_EQ(SidebandMessageWrite(0x6D, 0x88, &data, &response, 0x13), EFI_DEVICE_ERROR);
  EXPECT_EQ(response, 0xEE);
  EXPECT_EQ(b.CountAccesses("MW", 0, ~0ull), 0u);
  EXPECT_EQ(b.bus.MemRead(kP2sbCfg, 2), 0xFFFFu);
}

TEST(SidebandMessageWrite, ErrorResponseIsHandedBack) {
  Board b("[faults]\np2sb_error_response = 2\n");
  UINT32 data = 1;
  UINT8 response = 0xEE;
  EXPECT_EQ(SidebandMessageWrite(0x6D, 0x88, &data, &response, 0x13), EFI_DEVICE_ERROR);
  EXPECT_EQ(response, 2);
  EXPECT_FALSE(Board::Bit(b.Group("GPP_D0").lock, 0));  // the endpoint never saw it
}

TEST(SidebandMessageWrite, WaitsForTheBusyBitOfTheMessageBeforeIt) {
  Board b;
  // Another message is already on the fabric: the new one starts only after it finished.
  b.bus.MemWrite(kP2sbCfg + 0xD0, 4, 0x6D000088);
  b.bus.MemWrite(kP2sbCfg + 0xD4, 4, 0x1);
  b.bus.MemWrite(kP2sbCfg + 0xDA, 2, 0xF000);
  b.bus.MemWrite(kP2sbCfg + 0xD8, 2, 0x1301);
  UINT32 data = 0x3;
  UINT8 response = 0xEE;
  EXPECT_EQ(SidebandMessageWrite(0x6D, 0x88, &data, &response, 0x13), EFI_SUCCESS);
  ASSERT_EQ(b.pch->p2sb().messages().size(), 2u);
  EXPECT_EQ(b.Group("GPP_D0").lock[0], 0x3u);
}

// The datasheet widths: VID, DID, SBI_STAT and SBI_RID are 16-bit registers; SBI_ADDR,
// SBI_DATA and SBI_EXTADDR 32-bit ones. A wider access would also write the neighbour.
TEST(PchConfigurationAccess, ReachesEachLpcAndP2sbRegisterWithItsOwnWidth) {
  Board b;
  ASSERT_EQ(PchDetectVariant(), PchVariantH);
  UINT32 data = 0x8;
  UINT8 response = 0xEE;
  ASSERT_EQ(SidebandMessageWrite(0x6D, 0x88, &data, &response, 0x13), EFI_SUCCESS);
  using Widths = std::map<uint64_t, std::set<unsigned>>;
  EXPECT_EQ(pchtest::ConfigWidthsOf(b.accesses, kLpcCfg), (Widths{{0x02, {16}}}));
  EXPECT_EQ(pchtest::ConfigWidthsOf(b.accesses, kP2sbCfg),
            (Widths{{0x00, {16}}, {0xD0, {32}}, {0xD4, {32}}, {0xD8, {16}}, {0xDA, {16}}, {0xDC, {32}}}));
}

// The give-up path with a lowered bound: the waits count reads, not time.
constexpr UINT32 kTestPollLimit = 0x10000;

TEST(SidebandMessageWriteTimeout, BusyAtEntryTimesOutAfterTheBoundAndLeavesTheResponse) {
  static_assert(PchLibraryState{}.SidebandBusyPollLimit == 0x0FFFFFFF);
  Board b("[faults]\np2sb_stuck_busy = \"entry\"\n");
  gPchLibrary.SidebandBusyPollLimit = kTestPollLimit;
  b.bus.RemoveObserver(b.observer);
  uint64_t reads = 0;
  int counter = b.bus.AddObserver([&](const sim::Bus::Access& a) {
    if (a.kind == "MR" && a.address == kP2sbCfg + 0xD8) ++reads;
  });
  UINT32 data = 1;
  UINT8 response = 0xEE;
  EXPECT_EQ(SidebandMessageWrite(0x6D, 0x88, &data, &response, 0x13), EFI_TIMEOUT);
  EXPECT_EQ(response, 0xEE);
  EXPECT_EQ(reads, kTestPollLimit);
  b.bus.RemoveObserver(counter);
}

TEST(SidebandMessageWriteTimeout, BusyAfterTheStartTimesOutWithNoResponse) {
  Board b("[faults]\np2sb_stuck_busy = \"message\"\n");
  gPchLibrary.SidebandBusyPollLimit = kTestPollLimit;
  b.bus.RemoveObserver(b.observer);
  UINT32 data = 1;
  UINT8 response = 0xEE;
  EXPECT_EQ(SidebandMessageWrite(0x6D, 0x88, &data, &response, 0x13), EFI_TIMEOUT);
  EXPECT_EQ(response, 4);
}

}  // namespace
