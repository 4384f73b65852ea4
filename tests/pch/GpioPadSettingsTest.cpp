// Pad settings records: reset-domain mapping, encoding and application to a pad.
#include "pch/GpioPadSettings.h"
#include "tests/pch/PchTestBoard.h"

namespace {
using pchtest::Board;
using pchtest::Join;

TEST(GpioMapResetDomain, EveryByteOfTheTableAndRefusals) {
  const std::pair<UINT8, UINT32> accepted[] = {{0x00, 0}, {0x01, 0}, {0x09, 0}, {0x0F, 0},
                                               {0x03, 1}, {0x0B, 1}, {0x05, 2}, {0x0D, 2}};
  for (auto [byte, value] : accepted) {
    UINT32 v = 0xFF;
    EXPECT_EQ(GpioMapResetDomain(byte, &v), EFI_SUCCESS) << int(byte);
    EXPECT_EQ(v, value) << int(byte);
  }
  for (UINT8 byte : {0x02, 0x07, 0x0E, 0x11, 0x40, 0xFF}) {
    UINT32 v = 0x1234;
    EXPECT_EQ(GpioMapResetDomain(byte, &v), EFI_INVALID_PARAMETER) << int(byte);
    EXPECT_EQ(v, 0x1234u);
  }
}

struct Encoded {
  EFI_STATUS status;
  UINT32 values[2];
  UINT32 masks[2];
};
Encoded Encode(UINT32 w0, UINT32 w1) {
  Encoded e{0, {0, 0}, {0, 0}};
  GpioPadSettings s{w0, w1};
  e.status = GpioEncodePadSettings(&s, e.values, e.masks);
  return e;
}

TEST(GpioEncodePadSettings, ResetPadRecordsAndSingleFields) {
  Encoded e = Encode(0x090082E1, 0x00000001);
  EXPECT_EQ(e.status, EFI_SUCCESS);
  EXPECT_EQ(e.masks[0], 0xC01E1F00u);
  EXPECT_EQ(e.values[0], 0x00000200u);
  EXPECT_EQ(e.masks[1], 0x00003C00u);
  EXPECT_EQ(e.values[1], 0u);
  e = Encode(0x0D0082E1, 0x00000001);
  EXPECT_EQ(e.values[0], 0x80000200u);

  struct Case {
    UINT32 w0, w1, mask0, value0, mask1, value1;
  } cases[] = {
      {0x00000007, 0, 0x00001C00, 0x00000C00, 0, 0},  // native function 3
      {0x00600000, 0, 0x06000000, 0x06000000, 0, 0},  // RXEVCFG 3
      {0x00100000, 0, 0x06000000, 0, 0, 0},           // trigger field with RXEVCFG 0
      {0x000F8000, 0, 0x001E0000, 0x001E0000, 0, 0},  // every route
      {0x00000C00, 0, 0x00800000, 0x00800000, 0, 0},  // RXINV
      {0x00006000, 0, 0x00000001, 0x00000001, 0, 0},  // output high
      {0x00002000, 0, 0x00000001, 0, 0, 0},           // output low
      {0, 0x00006000, 0x10000000, 0x10000000, 0, 0},  // RXRAW1
      {0, 0x0000001F, 0, 0, 0x00003C00, 0x00003C00},  // TERM 15
      {0x03000000, 0, 0xC0000000, 0x40000000, 0, 0},  // host deep reset
      {0x00000010, 0, 0, 0, 0, 0},                    // ignored bit
  };
  for (const Case& c : cases) {
    e = Encode(c.w0, c.w1);
    EXPECT_EQ(e.masks[0], c.mask0) << std::hex << c.w0 << "/" << c.w1;
    EXPECT_EQ(e.values[0], c.value0) << std::hex << c.w0 << "/" << c.w1;
    EXPECT_EQ(e.masks[1], c.mask1) << std::hex << c.w0 << "/" << c.w1;
    EXPECT_EQ(e.values[1], c.value1) << std::hex << c.w0 << "/" << c.w1;
  }
  e = Encode(0x07008000, 0x1);
  EXPECT_EQ(e.status, EFI_INVALID_PARAMETER);
  EXPECT_EQ(e.masks[0] | e.masks[1] | e.values[0] | e.values[1], 0u);
}

TEST(GpioApplyPadSettings, ResetPadRecordWritesInOrderAndConfiguresThePad) {
  Board b;
  auto& g = b.Group("GPP_D23");
  b.Pad("GPP_D23").dw0 = 0x44060D01;  // native function, SMI/SCI routing, output high
  b.Pad("GPP_D23").dw1 = 0x00003000;
  g.gpe_en[0] = g.nmi_en[0] = g.smi_en[0] = 0x00800000;
  const GpioPadSettings rsmrst{0x090082E1, 0x00000001};
  EXPECT_EQ(GpioApplyPadSettings(0x03030017, &rsmrst), EFI_SUCCESS);
  EXPECT_EQ(Join(b.Writes()),
            "W FD6D08F0=04000201\n"
            "W FD6D08F4=00000000\n"
            "W FD6D00C4=00800000\n"
            "W FD6D0164=00000000\n"
            "W FD6D01E4=00000000\n"
            "W FD6D01A4=00000000\n");
  EXPECT_TRUE(Board::Bit(g.hostsw_own, 23));
  EXPECT_EQ(g.gpe_en[0] | g.nmi_en[0] | g.smi_en[0], 0u);
}

TEST(GpioApplyPadSettings, ZeroRecordRewritesEveryRegisterUnchanged) {
  Board b;
  auto& g = b.Group("GPP_D5");
  b.Pad("GPP_D5").dw0 = 0x84000201;
  g.hostsw_own[0] = 0x20;
  g.smi_en[0] = 0x20;
  const GpioPadSettings zero{0, 0};
  EXPECT_EQ(GpioApplyPadSettings(0x03030005, &zero), EFI_SUCCESS);
  // GPIORXSTATE reads 1 (the pad drives high) and is read-only: written back, no effect.
  EXPECT_EQ(Join(b.Writes()),
            "W FD6D07D0=84000203\n"
            "W FD6D07D4=00000000\n"
            "W FD6D00C4=00000020\n"
            "W FD6D0164=00000000\n"
            "W FD6D01E4=00000000\n"
            "W FD6D01A4=00000020\n");
  EXPECT_EQ(b.Pad("GPP_D5").dw0, 0x84000201u);
}

TEST(GpioApplyPadSettings, SmiRoutingOnAGroupWithoutSmiRegisters) {
  Board b;
  auto& g = b.Group("GPP_A4");
  g.gpe_en[0] = 0x10;
  const GpioPadSettings smi{0x00028000, 0};
  EXPECT_EQ(GpioApplyPadSettings(0x03000004, &smi), EFI_UNSUPPORTED);
  EXPECT_EQ(b.Pad("GPP_A4").dw0 & 0x001E0000, 0x00040000u);  // GPIROUTSMI only
  EXPECT_TRUE(Board::Bit(g.hostsw_own, 4));
  EXPECT_EQ(g.gpe_en[0], 0u);
}

TEST(GpioApplyPadSettings, NmiRoutingOnAGroupWithoutNmiRegistersStopsBeforeSmi) {
  Board b;
  auto& g = b.Group("GPP_G1");  // PCH-H GPP_G: SMI registers, no NMI registers
  g.smi_en[0] = 0x2;
  const GpioPadSettings nmi{0x00018000, 0};
  EXPECT_EQ(GpioApplyPadSettings(0x03060001, &nmi), EFI_UNSUPPORTED);
  EXPECT_EQ(g.smi_en[0], 0x2u);  // step for SMI_EN never reached
  EXPECT_EQ(b.Pad("GPP_G1").dw0 & 0x001E0000, 0x00020000u);
}

TEST(GpioApplyPadSettings, SciRoutingNeedsTheConfirmationBits) {
  Board b;
  const GpioPadSettings refused{0x00048000, 0};
  EXPECT_EQ(GpioApplyPadSettings(0x03030002, &refused), EFI_INVALID_PARAMETER);
  EXPECT_EQ(b.CountAccesses("MW", 0, ~0ull), 0u);
  const GpioPadSettings sci{0x00048000, 0x00000600};
  EXPECT_EQ(GpioApplyPadSettings(0x03030002, &sci), EFI_SUCCESS);
  EXPECT_TRUE(Board::Bit(b.Group("GPP_D2").gpe_en, 2));
  EXPECT_EQ(b.Pad("GPP_D2").dw0 & 0x001E0000, 0x00080000u);
}

// A record the PCH cannot take is refused whole; one refused part-way reports the refusal
// and stops: what came before stays written, nothing after it is touched.
TEST(GpioApplyPadSettings, RefusalsAreReportedAndStopTheRecord) {
  {
    Board b;
    b.Pad("GPP_D6").dw0 = 0x44000100;
    const GpioPadSettings bad{0x07000241, 0};
    EXPECT_EQ(GpioApplyPadSettings(0x03030006, &bad), EFI_INVALID_PARAMETER);
    EXPECT_EQ(b.CountAccesses("MW", 0, ~0ull), 0u);
    EXPECT_FALSE(Board::Bit(b.Group("GPP_D6").hostsw_own, 6));
  }
  {
    // GPP_D5 is TX-locked: the sideband answers the unlock of GPIOTXSTATE and refuses the
    // relock, so the record ends after DW0 with the pad driven but unlocked.
    Board b("[faults]\np2sb_error_response = 1\np2sb_error_after = 1\n");
    auto& g = b.Group("GPP_D5");
    g.lock_tx[0] = 0x20;
    b.Pad("GPP_D5").dw0 = 0x44000100;
    const GpioPadSettings drive{0x00004040, 0};  // output high, HOSTSW_OWN set
    EXPECT_EQ(GpioApplyPadSettings(0x03030005, &drive), EFI_DEVICE_ERROR);
    EXPECT_EQ(b.Pad("GPP_D5").dw0, 0x44000101u);
    EXPECT_EQ(g.lock_tx[0], 0x0u);
    EXPECT_FALSE(Board::Bit(g.hostsw_own, 5)) << "HOSTSW_OWN comes after the refused step";
  }
}

TEST(GpioApplyPadSettings, LockedPadIsConfiguredThroughTheBracketing) {
  Board b;
  auto& g = b.Group("GPP_D23");
  g.lock[0] = 0x00800000;
  g.gpe_en[0] = 0x00800000;
  b.Pad("GPP_D23").dw0 = 0x44000100;
  const GpioPadSettings rsmrst{0x090082E1, 0x00000001};
  EXPECT_EQ(GpioApplyPadSettings(0x03030017, &rsmrst), EFI_SUCCESS);
  EXPECT_EQ(b.Pad("GPP_D23").dw0, 0x04000200u);
  EXPECT_EQ(g.gpe_en[0], 0u);
  EXPECT_EQ(g.lock[0], 0x00800000u);
}

TEST(GpioApplyPadSettings, InvalidOrForeignPadIsRefusedWithoutWrites) {
  Board b;
  b.Pad("GPP_D23").owner = 3;
  const GpioPadSettings rsmrst{0x090082E1, 0x00000001};
  EXPECT_EQ(GpioApplyPadSettings(0x03030017, &rsmrst), EFI_UNSUPPORTED);
  EXPECT_EQ(GpioApplyPadSettings(0x04030017, &rsmrst), EFI_UNSUPPORTED);
  EXPECT_EQ(b.CountAccesses("MW", 0, ~0ull), 0u);
}

}  // namespace
