// Group-level GPIO registers and the pad lock operations on the simulated communities.
#include "pch/GpioGroup.h"
#include "pch/GpioPad.h"
#include "tests/pch/PchTestBoard.h"

namespace {
using pchtest::Board;
using pchtest::Join;

const char* kLp = "[pch]\nvariant = \"lp\"\n";
const char* kUnknown = "[pch]\nvariant = \"unknown\"\n";

TEST(GpioGroupTable, VariantSelectsTheTable) {
  UINT32 count = 0;
  {
    Board b;
    EXPECT_EQ(GpioSelectGroupTable(&count), kGpioGroupTablePchH);
    EXPECT_EQ(count, 17u);
  }
  {
    Board b(kLp);
    EXPECT_EQ(GpioSelectGroupTable(&count), kGpioGroupTablePchLp);
    EXPECT_EQ(count, 15u);
  }
  {
    Board b(kUnknown);
    EXPECT_EQ(GpioSelectGroupTable(&count), kGpioGroupTablePchH);
    EXPECT_EQ(count, 17u);
  }
}

TEST(GpioCheckGroupIndex, GroupIdAndRegisterIndexPerVariant) {
  {
    Board b;
    EXPECT_TRUE(GpioCheckGroupIndex(0x0303, 0));
    EXPECT_FALSE(GpioCheckGroupIndex(0x0303, 1));
    EXPECT_FALSE(GpioCheckGroupIndex(0x0311, 0));
    EXPECT_FALSE(GpioCheckGroupIndex(0x0403, 0));
    EXPECT_FALSE(GpioCheckGroupIndex(0x02FF, 0));
    EXPECT_TRUE(GpioCheckGroupIndex(0x0310, 0));   // JTAG, the last row
    EXPECT_TRUE(GpioCheckGroupIndex(0x030C, 1));   // VGPIO: 40 pads, two registers
    EXPECT_FALSE(GpioCheckGroupIndex(0x030C, 2));
  }
  {
    Board b(kLp);
    EXPECT_TRUE(GpioCheckGroupIndex(0x0409, 1));
    EXPECT_FALSE(GpioCheckGroupIndex(0x0409, 2));
    EXPECT_TRUE(GpioCheckGroupIndex(0x040E, 0));
    EXPECT_FALSE(GpioCheckGroupIndex(0x040F, 0));
    EXPECT_FALSE(GpioCheckGroupIndex(0x0303, 0));
  }
  {
    Board b(kUnknown);
    EXPECT_TRUE(GpioCheckGroupIndex(0x0303, 0));
    EXPECT_FALSE(GpioCheckGroupIndex(0x0403, 0));
  }
}

TEST(GpioPadIdIsValid, ChipsetGroupAndPadPerVariant) {
  {
    Board b;
    EXPECT_TRUE(GpioPadIdIsValid(0x03030017));
    EXPECT_FALSE(GpioPadIdIsValid(0x03030018));
    EXPECT_FALSE(GpioPadIdIsValid(0x03110000));
    EXPECT_FALSE(GpioPadIdIsValid(0x04030017));
    EXPECT_TRUE(GpioPadIdIsValid(0x030C0027));   // VGPIO39
  }
  {
    Board b(kLp);
    EXPECT_FALSE(GpioPadIdIsValid(0x03030009));
    EXPECT_TRUE(GpioPadIdIsValid(0x04030009));
    EXPECT_FALSE(GpioPadIdIsValid(0x040E0006));  // HVMOS has 6 pads
  }
  {
    Board b(kUnknown);
    EXPECT_TRUE(GpioPadIdIsValid(0x03030009));
    EXPECT_FALSE(GpioPadIdIsValid(0x04030009));
  }
}

TEST(GpioReadGroupRegister, ReadsTheRegisterOfTheIndexAndZeroForAbsentOnes) {
  Board b;
  b.Group("GPP_B0").hostsw_own[0] = 0x02000001;
  b.Group("GPP_D0").lock[0] = 0x00800000;
  UINT32 v = 0xDEAD;
  GpioReadGroupRegister(GpioRegHostSwOwn, 0x0301, 0, &v);
  EXPECT_EQ(v, 0x02000001u);
  GpioReadGroupRegister(GpioRegPadCfgLock, 0x0303, 0, &v);
  EXPECT_EQ(v, 0x00800000u);
  b.Clear();
  GpioReadGroupRegister(GpioRegGpiSmiEn, 0x0300, 0, &v);  // GPP_A has no SMI registers
  EXPECT_EQ(v, 0u);
  v = 0xDEAD;
  GpioReadGroupRegister(8, 0x0303, 0, &v);
  EXPECT_EQ(v, 0u);
  v = 0xDEAD;
  GpioReadGroupRegister(GpioRegHostSwOwn, 0x0340, 0, &v);  // a row beyond the table
  EXPECT_EQ(v, 0u);
  EXPECT_EQ(b.GpioAccesses(), 0u);
}

TEST(GpioWriteGroupRegister, UnlocksAndRelocksEveryLockedBitOnlyWhenAChangedBitIsLocked) {
  Board b;
  auto& d = b.Group("GPP_D0");
  d.lock[0] = 0x00800001;
  d.gpe_en[0] = 0x00800001;
  // GPP_D (port 0x6D): GPI_GPE_EN 0x164, PADCFGLOCK 0x88.
  EXPECT_EQ(GpioWriteGroupRegister(GpioRegGpiGpeEn, 0x0303, 0, ~0x00800000u, 0), EFI_SUCCESS);
  EXPECT_EQ(Join(b.Writes()),
            "MSG 6D:0088 op=13 data=00000000\n"
            "W FD6D0164=00000001\n"
            "MSG 6D:0088 op=13 data=00800001\n");
  EXPECT_EQ(d.gpe_en[0], 0x00000001u);
  EXPECT_EQ(d.lock[0], 0x00800001u);

  b.Clear();
  EXPECT_EQ(GpioWriteGroupRegister(GpioRegGpiGpeEn, 0x0303, 0, ~0x00000002u, 0), EFI_SUCCESS);
  EXPECT_EQ(Join(b.Writes()), "W FD6D0164=00000001\n");

  // HOSTSW_OWN is not guarded by PADCFGLOCK: no bracketing even with the bit locked.
  b.Clear();
  EXPECT_EQ(GpioWriteGroupRegister(GpioRegHostSwOwn, 0x0303, 0, 0xFFFFFFFF, 0x00800000), EFI_SUCCESS);
  EXPECT_EQ(Join(b.Writes()), "W FD6D00C4=00800000\n");
}

TEST(GpioWriteGroupRegister, FailedUnlockWritesNothing) {
  Board b("[faults]\np2sb_error_response = 1\n");
  auto& d = b.Group("GPP_D0");
  d.lock[0] = 0x00000004;
  EXPECT_EQ(GpioWriteGroupRegister(GpioRegGpiSmiEn, 0x0303, 0, 0xFFFFFFFF, 0x4), EFI_DEVICE_ERROR);
  EXPECT_EQ(b.CountAccesses("MW", 0xFD000000, 0xFDFFFFFF), 0u);
  EXPECT_EQ(d.smi_en[0], 0u);
}

TEST(GpioWriteGroupRegister, LockedEnableStaysWithoutTheBracketing) {
  // What the bracketing is for: the community keeps a locked pad's enable bit.
  Board b;
  auto& d = b.Group("GPP_D0");
  d.lock[0] = 0x00000004;
  b.bus.MemWrite(0xFD6D01A4, 4, 0x4);  // GPI_SMI_EN of GPP_D through the window
  EXPECT_EQ(d.smi_en[0], 0u);
  EXPECT_EQ(GpioWriteGroupRegister(GpioRegGpiSmiEn, 0x0303, 0, 0xFFFFFFFF, 0x4), EFI_SUCCESS);
  EXPECT_EQ(d.smi_en[0], 0x4u);
}

TEST(GpioWriteGroupRegister, AbsentRegisterOrLockKindIsASuccessfulNoOp) {
  Board b;
  EXPECT_EQ(GpioWriteGroupRegister(GpioRegGpiSmiEn, 0x0300, 0, 0, 1), EFI_SUCCESS);  // GPP_A
  EXPECT_EQ(GpioWriteGroupRegister(GpioRegGpiNmiEn, 0x0306, 0, 0, 1), EFI_SUCCESS);  // GPP_G
  EXPECT_EQ(GpioWriteGroupRegister(GpioRegPadCfgLock, 0x0303, 0, 0, 1), EFI_SUCCESS);
  EXPECT_EQ(b.GpioAccesses(), 0u);
}

TEST(GpioUpdateLockRegister, MessageCarriesTheMergedValueToThePairedOffset) {
  Board b;
  auto& v = b.Group("VGPIO0");  // PCH-H VGPIO: port 0x6D, PADCFGLOCKTX 0xA4, 40 pads
  v.lock_tx[1] = 0x000000F0;
  EXPECT_EQ(GpioUpdateLockRegister(GpioRegPadCfgLockTx, 0x030C, 1, 0xFFFFFF0F, 0x3), EFI_SUCCESS);
  EXPECT_EQ(Join(b.Writes()), "MSG 6D:00AC op=13 data=00000003\n");
  EXPECT_EQ(v.lock_tx[1], 0x3u);
  EXPECT_EQ(GpioUpdateLockRegister(GpioRegGpiGpeEn, 0x030C, 0, 0, 0), EFI_UNSUPPORTED);
}

TEST(GpioPadLockOperations, RefuseGroupsAndIndicesTheVariantLacks) {
  Board b;
  UINT32 v = 0x1234;
  EXPECT_EQ(GpioReadPadLock(0x0303, 1, &v), EFI_INVALID_PARAMETER);
  EXPECT_EQ(GpioReadPadLockTx(0x0403, 0, &v), EFI_INVALID_PARAMETER);
  EXPECT_EQ(v, 0x1234u);
  EXPECT_EQ(GpioClearPadLock(0x0311, 0, 1), EFI_INVALID_PARAMETER);
  EXPECT_EQ(GpioSetPadLock(0x0303, 1, 1), EFI_INVALID_PARAMETER);
  EXPECT_EQ(GpioClearPadLockTx(0x0400, 0, 1), EFI_INVALID_PARAMETER);
  EXPECT_EQ(GpioSetPadLockTx(0x0420, 0, 1), EFI_INVALID_PARAMETER);
  EXPECT_EQ(b.GpioAccesses(), 0u);

  b.Group("GPP_C0").lock_tx[0] = 0x00000110;
  EXPECT_EQ(GpioSetPadLockTx(0x0302, 0, 0x1), EFI_SUCCESS);
  EXPECT_EQ(GpioClearPadLockTx(0x0302, 0, 0x100), EFI_SUCCESS);
  EXPECT_EQ(GpioReadPadLockTx(0x0302, 0, &v), EFI_SUCCESS);
  EXPECT_EQ(v, 0x00000011u);
}

}  // namespace
