// Pad-level access: owner, configuration dword writes with the lock bracketing, drive high.
#include "pch/GpioPad.h"
#include "tests/pch/PchTestBoard.h"

namespace {
using pchtest::Board;
using pchtest::Join;

TEST(GpioReadPadOwner, ReadsTheNibbleOfThePad) {
  Board b;
  b.Pad("GPP_D23").owner = 2;
  b.Pad("GPP_D22").owner = 1;
  UINT32 owner = 9;
  EXPECT_EQ(GpioReadPadOwner(0x03030017, &owner), EFI_SUCCESS);
  EXPECT_EQ(owner, 2u);
  // GPP_D23: bits 29:28 of PAD_OWN at port 0x6D offset 0x34.
  EXPECT_EQ(b.CountAccesses("MR", 0xFD6D0034, 0xFD6D0034), 1u);
  EXPECT_EQ(b.bus.MemRead(0xFD6D0034, 4), 0x21000000u);
  owner = 9;
  EXPECT_EQ(GpioReadPadOwner(0x03030018, &owner), EFI_INVALID_PARAMETER);
  EXPECT_EQ(owner, 9u);
}

TEST(GpioDrivePadHigh, TxLockedPadIsUnlockedWrittenAndRelockedAndNothingElse) {
  Board b;
  auto& d = b.Group("GPP_D9");
  d.lock_tx[0] = 0x00000A00;  // GPP_D9 and GPP_D11 TX-locked
  d.lock[0] = 0x00000200;     // the configuration lock does not matter for the output
  b.Pad("GPP_D9").dw0 = 0x44000200;
  EXPECT_EQ(GpioDrivePadHigh(0x03030009), EFI_SUCCESS);
  EXPECT_EQ(Join(b.Writes()),
            "MSG 6D:008C op=13 data=00000800\n"
            "W FD6D0810=44000201\n"
            "MSG 6D:008C op=13 data=00000A00\n");
  EXPECT_EQ(b.Pad("GPP_D9").dw0 & 0xFFFFFFFD, 0x44000201u);
  EXPECT_EQ(d.lock_tx[0], 0x00000A00u);
  EXPECT_EQ(d.lock[0], 0x00000200u);
}

TEST(GpioDrivePadHigh, UnlockedPadGetsNoMessageAndKeepsTheRestOfDw0) {
  Board b;
  b.Pad("GPP_D19").dw0 = 0x84000A00;
  b.Pad("GPP_D19").dw1 = 0x00003000;
  EXPECT_EQ(GpioDrivePadHigh(0x03030013), EFI_SUCCESS);
  EXPECT_EQ(Join(b.Writes()), "W FD6D08B0=84000A01\n");
  EXPECT_EQ(b.Pad("GPP_D19").dw1, 0x00003000u);
  EXPECT_EQ(b.pch->p2sb().messages().size(), 0u);
  // Again: already high, stays high.
  EXPECT_EQ(GpioDrivePadHigh(0x03030013), EFI_SUCCESS);
  EXPECT_EQ(b.Pad("GPP_D19").dw0 & 1, 1u);
}

TEST(GpioDrivePadHigh, InvalidPadOrForeignOwnerWritesNothing) {
  {
    Board b("[pch]\nvariant = \"lp\"\n");
    EXPECT_EQ(GpioDrivePadHigh(0x03030009), EFI_INVALID_PARAMETER);
    EXPECT_EQ(b.GpioAccesses(), 0u);
  }
  {
    Board b;
    b.Pad("GPP_D9").owner = 1;
    EXPECT_EQ(GpioDrivePadHigh(0x03030009), EFI_UNSUPPORTED);
    EXPECT_EQ(b.CountAccesses("MW", 0, ~0ull), 0u);
  }
}

// A refused unlock is reported and nothing is written: the locked pad keeps its output, and
// the caller learns the pad was not driven. A refused relock is reported after the write.
TEST(GpioDrivePadHigh, RefusedUnlockOrRelockIsReported) {
  {
    Board b("[faults]\np2sb_error_response = 3\n");
    b.Group("GPP_D9").lock_tx[0] = 0x00000200;
    b.Pad("GPP_D9").dw0 = 0x44000200;
    EXPECT_EQ(GpioDrivePadHigh(0x03030009), EFI_DEVICE_ERROR);
    EXPECT_EQ(Join(b.Writes()), "MSG 6D:008C op=13 data=00000000\n");
    EXPECT_EQ(b.Pad("GPP_D9").dw0, 0x44000200u);
    EXPECT_EQ(b.Group("GPP_D9").lock_tx[0], 0x00000200u);
  }
  {
    Board b("[faults]\np2sb_error_response = 3\np2sb_error_after = 1\n");
    b.Group("GPP_D9").lock_tx[0] = 0x00000200;
    b.Pad("GPP_D9").dw0 = 0x44000200;
    EXPECT_EQ(GpioDrivePadHigh(0x03030009), EFI_DEVICE_ERROR);
    EXPECT_EQ(b.Pad("GPP_D9").dw0, 0x44000201u);             // driven
    EXPECT_EQ(b.Group("GPP_D9").lock_tx[0], 0x00000000u);    // but left unlocked
  }
}

TEST(GpioWritePadConfigWord, RefusedTxUnlockPutsBackTheConfigLockAlreadyLifted) {
  Board b("[faults]\np2sb_error_response = 3\np2sb_error_after = 1\n");
  auto& g = b.Group("GPP_B3");
  g.lock[0] = 0x8;
  g.lock_tx[0] = 0x8;
  b.Pad("GPP_B3").dw0 = 0x44000100;
  EXPECT_EQ(GpioWritePadConfigWord(0x03010003, 0, ~0x00000301u, 0x00000201), EFI_DEVICE_ERROR);
  EXPECT_EQ(Join(b.Writes()),
            "MSG 6E:0088 op=13 data=00000000\n"
            "MSG 6E:008C op=13 data=00000000\n"
            "MSG 6E:0088 op=13 data=00000008\n");
  EXPECT_EQ(b.Pad("GPP_B3").dw0, 0x44000100u);
  EXPECT_EQ(g.lock[0], 0x0u) << "the relock message was refused as well";
}

TEST(GpioWritePadConfigWord, BracketsEachLockThatGuardsAChangedField) {
  Board b;
  auto& g = b.Group("GPP_B3");  // PCH-H GPP_B: port 0x6E, locks 0x88/0x8C, DW0 0x790
  g.lock[0] = 0x8;
  g.lock_tx[0] = 0x8;
  b.Pad("GPP_B3").dw0 = 0x44000100;
  GpioWritePadConfigWord(0x03010003, 0, ~0x00000301u, 0x00000201);
  EXPECT_EQ(Join(b.Writes()),
            "MSG 6E:0088 op=13 data=00000000\n"
            "MSG 6E:008C op=13 data=00000000\n"
            "W FD6E07C0=44000201\n"
            "MSG 6E:0088 op=13 data=00000008\n"
            "MSG 6E:008C op=13 data=00000008\n");
  EXPECT_EQ(b.Pad("GPP_B3").dw0 & ~2u, 0x44000201u);

  // Bit 0 counts as the output state whichever dword is written: only the TX lock.
  b.Clear();
  GpioWritePadConfigWord(0x03010003, 1, 0xFFFFFFFE, 0);
  EXPECT_EQ(Join(b.Writes()),
            "MSG 6E:008C op=13 data=00000000\n"
            "W FD6E07C4=00000000\n"
            "MSG 6E:008C op=13 data=00000008\n");
}

TEST(GpioWritePadConfigWord, PadOrDwordOutsideThePadTouchesNothing) {
  Board b;
  EXPECT_EQ(GpioWritePadConfigWord(0x03030018, 0, 0, 0xFFFFFFFF), EFI_INVALID_PARAMETER);  // GPP_D has 24 pads
  EXPECT_EQ(GpioWritePadConfigWord(0x03400000, 0, 0, 0xFFFFFFFF), EFI_INVALID_PARAMETER);  // no such group
  EXPECT_EQ(GpioWritePadConfigWord(0x03030017, 4, 0, 0xFFFFFFFF), EFI_INVALID_PARAMETER);  // GPP_G0's DW0
  EXPECT_EQ(b.GpioAccesses(), 0u);
}

}  // namespace
