// The simulated PCH blocks themselves: what a wrong driver would run into.
#include "tests/pch/PchTestBoard.h"

namespace {
using pchtest::Board;
using pchtest::kP2sbCfg;

TEST(PchDevices, DescriptionSelectsIdsAndPads) {
  {
    Board b("[pch]\nvariant = \"lp\"\n[gpio]\nGPP_D9 = { owner = 1, lock_tx = true, dw0 = 0x44000200 }\n");
    EXPECT_EQ(b.bus.MemRead(0xE00F8002, 2), 0x9D84u);
    EXPECT_EQ(b.pch->FindPad("GPP_D9")->pad_id, 0x04030009u);
    EXPECT_EQ(b.Pad("GPP_D9").owner, 1);
    EXPECT_TRUE(Board::Bit(b.Group("GPP_D9").lock_tx, 9));
    EXPECT_EQ(b.bus.MemRead(0xFD6D0690, 4), 0x44000200u);  // PCH-LP GPP_D: DW0 0x600
  }
  {
    Board b("[pch]\nvariant = \"unknown\"\n[gpio]\n\"0x03030013\" = { dw0 = 0x44000200 }\n");
    EXPECT_EQ(b.bus.MemRead(0xE00F8002, 2), 0xA2C9u);
    EXPECT_EQ(b.pch->FindPad("0x03030013")->name, "GPP_D19");
    EXPECT_EQ(b.bus.MemRead(0xFD6D08B0, 4), 0x44000200u);
  }
  Board h;
  EXPECT_EQ(h.pch->FindPad("GPD7")->pad_id, 0x030B0007u);
  EXPECT_FALSE(h.pch->FindPad("GPP_D24").has_value());
  EXPECT_FALSE(h.pch->FindPad("GPP_Q1").has_value());
  EXPECT_FALSE(h.pch->FindPad("0x04030009").has_value());
  EXPECT_THROW(Board("[pch]\nvariant = \"x\"\n"), std::invalid_argument);
  EXPECT_THROW(Board("[gpio]\nGPP_D30 = { owner = 1 }\n"), std::invalid_argument);
  EXPECT_THROW(Board("[gpio]\nGPP_D3 = { colour = 1 }\n"), std::invalid_argument);
}

TEST(GpioCommunity, WindowKeepsReadOnlyAndLockedFields) {
  Board b("[gpio]\nGPP_D9 = { owner = 2, lock = true, lock_tx = true, dw0 = 0x44000200 }\n");
  auto& g = b.Group("GPP_D9");
  // PAD_OWN and both lock registers ignore window writes.
  b.bus.MemWrite(0xFD6D0030, 4, 0);
  b.bus.MemWrite(0xFD6D0088, 4, 0);
  b.bus.MemWrite(0xFD6D008C, 4, 0);
  EXPECT_EQ(b.bus.MemRead(0xFD6D0030, 4), 0x00000020u);
  EXPECT_EQ(b.bus.MemRead(0xFD6D0088, 4), 0x00000200u);
  EXPECT_EQ(b.bus.MemRead(0xFD6D008C, 4), 0x00000200u);
  // Locked: neither the configuration nor the output nor the enables change.
  b.bus.MemWrite(0xFD6D0810, 4, 0x00000001);
  b.bus.MemWrite(0xFD6D0814, 4, 0x00003C00);
  b.bus.MemWrite(0xFD6D0164, 4, 0x00000200);
  EXPECT_EQ(b.Pad("GPP_D9").dw0, 0x44000200u);
  EXPECT_EQ(b.Pad("GPP_D9").dw1, 0u);
  EXPECT_EQ(g.gpe_en[0], 0u);
  // Only the TX lock lifted: the output changes, the rest does not.
  g.lock_tx[0] = 0;
  b.bus.MemWrite(0xFD6D0810, 4, 0x00000001);
  EXPECT_EQ(b.Pad("GPP_D9").dw0, 0x44000201u);
  // Status bits clear by writing 1; bits of pads the group lacks read 0.
  g.gpe_sts[0] = 0x00FFFFFF;
  b.bus.MemWrite(0xFD6D0144, 4, 0xFF000003);
  EXPECT_EQ(b.bus.MemRead(0xFD6D0144, 4), 0x00FFFFFCu);
  b.bus.MemWrite(0xFD6D00C4, 4, 0xFFFFFFFF);
  EXPECT_EQ(b.bus.MemRead(0xFD6D00C4, 4), 0x00FFFFFFu);
  // A port without an endpoint.
  EXPECT_EQ(b.bus.MemRead(0xFD200000, 4), 0xFFFFFFFFu);
}

TEST(P2sb, BusyLastsTheMessageTimeAndUnknownPortsRefuse) {
  Board b;
  b.bus.MemWrite(kP2sbCfg + 0xD0, 4, 0x42000010);  // no endpoint on port 0x42
  b.bus.MemWrite(kP2sbCfg + 0xDA, 2, 0xF000);
  b.bus.MemWrite(kP2sbCfg + 0xD8, 2, 0x0701);
  const uint64_t start = b.bus.clock().Now();
  unsigned reads = 0;
  while (b.bus.MemRead(kP2sbCfg + 0xD8, 2) & 1) ++reads;
  EXPECT_GE(b.bus.clock().Now() - start, sim::P2sb::kMessageTimeNs);
  EXPECT_GT(reads, 3u);
  EXPECT_EQ((b.bus.MemRead(kP2sbCfg + 0xD8, 2) >> 1) & 3, 1u);
  // Opcode 0x13 to an ordinary register is refused by the community.
  b.bus.MemWrite(kP2sbCfg + 0xD0, 4, 0x6D000810);
  b.bus.MemWrite(kP2sbCfg + 0xD8, 2, 0x1301);
  while (b.bus.MemRead(kP2sbCfg + 0xD8, 2) & 1) {
  }
  EXPECT_EQ((b.bus.MemRead(kP2sbCfg + 0xD8, 2) >> 1) & 3, 1u);
  EXPECT_EQ(b.pch->p2sb().messages().size(), 2u);
}

TEST(PchDevices, PlatformResetRestoresPadsOutsideTheRsmrstDomain) {
  Board b(
      "[gpio]\nGPP_D9 = { dw0 = 0x04000200 }\n"  // RSMRST#
      "GPP_D19 = { dw0 = 0x84000200 }\n");        // PLTRST#
  b.Pad("GPP_D9").dw0 |= 1;
  b.Pad("GPP_D19").dw0 |= 1;
  b.pch->OnPlatformReset();
  EXPECT_EQ(b.Pad("GPP_D9").dw0, 0x04000201u);
  EXPECT_EQ(b.Pad("GPP_D19").dw0, 0x84000200u);
}

}  // namespace
