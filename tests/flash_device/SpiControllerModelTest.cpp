// The simulated PCH SPI controller as register-level software sees it.
#include <gtest/gtest.h>

#include "tests/flash_device/support/FlashRig.h"

namespace {

using flashtest::FlashRig;

constexpr uint64_t kConfig = 0xE0000000 + (31u << 15) + (5u << 12);
constexpr uint32_t kHsfsts = 0x04, kHsfctl = 0x06, kFaddr = 0x08, kFdata0 = 0x10;
constexpr uint8_t kFdone = 0x01, kFcerr = 0x02, kAel = 0x04, kScip = 0x20;

// Starts a hardware cycle and waits until SCIP drops, as any driver would.
uint8_t RunCycle(FlashRig& rig, uint32_t address, uint16_t command) {
  rig.SetReg32(kFaddr, address);
  rig.SetReg16(kHsfctl, command);
  uint8_t s = 0;
  for (int i = 0; i < 100'000'000 && ((s = rig.Reg8(kHsfsts)) & kScip); ++i) {
  }
  return s;
}

TEST(SpiControllerModel, Bar0MovesTheRegisterBlock) {
  FlashRig rig("W25Q128JV");
  EXPECT_EQ(rig.bus.MemRead(kConfig + 0x10, 4), 0xFE010000u);
  EXPECT_EQ(rig.bus.MemRead(kConfig, 4), 0xA3248086u);
  EXPECT_EQ(rig.bus.MemRead(0xFE010004, 2) & 0x4000, 0x4000u) << "FDV with a valid descriptor";
  rig.bus.MemWrite(kConfig + 0x10, 4, 0xFED40000);
  EXPECT_EQ(rig.bus.MemRead(0xFED40004, 2) & 0x4000, 0x4000u);
  EXPECT_EQ(rig.bus.MemRead(0xFE010004, 2), 0xFFFFu) << "nothing decodes at the old base";
  // Memory decode off: the registers vanish.
  rig.bus.MemWrite(kConfig + 0x04, 2, 0);
  EXPECT_EQ(rig.bus.MemRead(0xFED40004, 2), 0xFFFFu);
}

TEST(SpiControllerModel, ScipStaysSetForTheCyclesDurationAndStatusBitsAreWriteOneToClear) {
  FlashRig rig("W25Q128JV");
  uint64_t start = rig.now();
  // 64-byte fast read at 48 MHz: 8 + 24 + 8 + 512 clocks = 11.5 us.
  rig.SetReg32(kFaddr, 0x1000);
  rig.SetReg16(kHsfctl, 0x3F01);
  EXPECT_EQ(rig.Reg8(kHsfsts) & (kScip | kFdone), kScip);
  uint8_t s = RunCycle(rig, 0x1000, 0);  // FGO clear: nothing new starts
  (void)s;
  uint64_t took = rig.now() - start;
  EXPECT_GE(took, 11'500u);
  EXPECT_LT(took, 11'500u + 500);
  EXPECT_EQ(rig.Reg8(kHsfsts) & (kScip | kFdone), kFdone);
  rig.SetReg8(kHsfsts, kFcerr | kAel);  // FDONE untouched by writing 0 to it
  EXPECT_EQ(rig.Reg8(kHsfsts) & kFdone, kFdone);
  rig.SetReg8(kHsfsts, kFdone);
  EXPECT_EQ(rig.Reg8(kHsfsts) & kFdone, 0);
}

TEST(SpiControllerModel, ProgramAndEraseCyclesLastThePartsBusyTime) {
  FlashRig rig("W25Q128JV");
  rig.controller->Reset();
  rig.SetReg32(0xC4, 0x2005);  // 4 KiB erase opcode 0x20
  uint64_t t0 = rig.now();
  ASSERT_EQ(RunCycle(rig, 0x300000, 0x0007) & (kFdone | kFcerr), kFdone);
  uint64_t erase = rig.now() - t0;
  EXPECT_GE(erase, 45'000'000u);
  EXPECT_LT(erase, 45'100'000u);
  for (int i = 0; i < 64; ++i) rig.SetReg8(kFdata0 + i, uint8_t(i));
  rig.SetReg8(kHsfsts, kFdone);
  t0 = rig.now();
  ASSERT_EQ(RunCycle(rig, 0x300000, 0x3F05) & (kFdone | kFcerr), kFdone);
  uint64_t program = rig.now() - t0;
  // WREN + program command at 48 MHz, then 30 us + 63 * 2.5 us in the part.
  EXPECT_GE(program, 187'500u + 11'500u);
  EXPECT_LT(program, 187'500u + 13'000u);
  EXPECT_EQ(rig.part->contents()[0x300000 + 63], 63);
  EXPECT_EQ(rig.part->contents()[0x300040], 0xFF);
}

TEST(SpiControllerModel, StartingACycleWhileOneRunsIsAnErrorAndTheRunningCycleGoesOn) {
  FlashRig rig("W25Q128JV");
  rig.SetReg32(0xC4, 0x2005);
  rig.SetReg32(kFaddr, 0x300000);
  rig.SetReg16(kHsfctl, 0x0007);
  rig.SetReg8(kFdata0, 0x12);  // lost: FDATA belongs to the running cycle
  rig.SetReg16(kHsfctl, 0x0011);
  EXPECT_EQ(rig.Reg8(kHsfsts) & (kScip | kFcerr), kScip | kFcerr);
  uint8_t s = RunCycle(rig, 0x300000, 0);
  EXPECT_EQ(s & kFdone, kFdone);
  EXPECT_EQ(rig.part->stats().erase_commands, 1u);
  EXPECT_NE(rig.Reg8(kFdata0), 0x12);
}

TEST(SpiControllerModel, RegionsAndDescriptorViewComeFromTheDescriptorAtReset) {
  FlashRig rig("W25Q128JV");
  EXPECT_EQ(rig.Reg32(0x54), 0x00000000u);  // FREG0 descriptor 0-0xFFF
  EXPECT_EQ(rig.Reg32(0x58), 0x0FFF0200u);  // FREG1 BIOS 0x200000-0xFFFFFF
  EXPECT_EQ(rig.Reg32(0x5C), 0x01FF0001u);  // FREG2 ME
  EXPECT_EQ(rig.Reg32(0x60), 0x00007FFFu);  // FREG3 unused
  EXPECT_EQ(rig.Reg32(0x00), 0x0FFF0200u);  // BFPREG mirrors FREG1
  rig.SetReg32(0xB4, 0);
  EXPECT_EQ(rig.Reg32(0xB8), 0x0FF0A55Au);
  rig.SetReg32(0xB4, (2u << 12) | (1u << 2));  // region section, FLREG1
  EXPECT_EQ(rig.Reg32(0xB8), 0x0FFF0200u);

  // Without a descriptor the regions read 0 and FDOD has no signature.
  FlashRig bare(sim::FindFlashPart("W25Q128JV"), std::vector<uint8_t>(16u << 20, 0xFF));
  bare.SetReg32(0xB4, 0);
  EXPECT_NE(bare.Reg32(0xB8), 0x0FF0A55Au);
  EXPECT_EQ(bare.Reg32(0x58), 0u);
  EXPECT_EQ(bare.Reg8(kHsfsts + 1) & 0x40, 0) << "FDV clear";
}

TEST(SpiControllerModel, WritesIntoARegionTheDescriptorDeniesFailWithFcerr) {
  auto layout = flashtest::DefaultLayout(16u << 20);
  layout.bios_write = 0x0002;  // BIOS master may write only its own region
  FlashRig rig(sim::FindFlashPart("W25Q128JV"), flashtest::BuildImage(layout));
  rig.SetReg32(0xC4, 0x2005);
  uint8_t s = RunCycle(rig, 0x1000, 0x0007);  // ME region
  EXPECT_EQ(s & (kFdone | kFcerr | kAel), kFcerr | kAel);
  EXPECT_EQ(rig.part->stats().erase_commands, 0u) << "the cycle never reached the part";
  rig.SetReg8(kHsfsts, 0x07);
  s = RunCycle(rig, 0x300000, 0x0007);  // BIOS region
  EXPECT_EQ(s & (kFdone | kFcerr), kFdone);
}

TEST(SpiControllerModel, BiosWriteProtectionAndSyncSmiStatus) {
  flashtest::RigOptions o;
  o.controller.bios_control = 0x2A;  // LE, EISS, WPD clear
  FlashRig rig("W25Q128JV", o);
  rig.SetReg32(0xC4, 0x2005);
  EXPECT_EQ(RunCycle(rig, 0x300000, 0x0007) & kFcerr, kFcerr) << "WPD clear";
  rig.SetReg8(kHsfsts, 0x07);
  // Turning WPD on with LE set raises a synchronous SMI: SYNC_SS, cleared by writing 1.
  rig.bus.MemWrite(kConfig + 0xDC, 1, 0x2B);
  EXPECT_EQ(rig.bus.MemRead(kConfig + 0xDD, 1) & 1, 1u);
  EXPECT_EQ(rig.controller->bios_write_smis(), 1u);
  rig.bus.MemWrite(kConfig + 0xDD, 1, 0x01);
  EXPECT_EQ(rig.bus.MemRead(kConfig + 0xDD, 1) & 1, 0u);
  // EISS: still refused until the processor reports InSMM.STS.
  EXPECT_EQ(RunCycle(rig, 0x300000, 0x0007) & kFcerr, kFcerr);
  rig.SetReg8(kHsfsts, 0x07);
  rig.bus.MsrWrite(0x1FE, 1);
  EXPECT_EQ(RunCycle(rig, 0x300000, 0x0007) & (kFdone | kFcerr), kFdone);
  // LE and EISS cannot be taken back.
  rig.bus.MemWrite(kConfig + 0xDC, 1, 0x00);
  EXPECT_EQ(rig.bus.MemRead(kConfig + 0xDC, 1), 0x22u);
}

TEST(SpiControllerModel, WrsdisRefusesStatusWritesAndLocksWithFlockdn) {
  flashtest::RigOptions o;
  o.status = 0x1C;
  FlashRig rig("W25Q128JV", o);
  rig.SetReg16(kHsfsts, 0x0800);  // WRSDIS
  rig.SetReg8(kFdata0, 0);
  EXPECT_EQ(RunCycle(rig, 0, 0x000F) & kFcerr, kFcerr);
  EXPECT_EQ(rig.part->status() & 0x1C, 0x1C);
  rig.SetReg16(kHsfsts, 0x8800);  // FLOCKDN
  rig.SetReg16(kHsfsts, 0x0000);
  EXPECT_EQ(rig.Reg32(kHsfsts) & 0x8800, 0x8800u) << "WRSDIS stays while locked down";
}

TEST(SpiControllerModel, SoftwareSequencingUsesTheOpcodeMenuWhichCanBeLocked) {
  FlashRig rig("W25Q128JV");
  // Menu entry 5 holds 0x9F (read identifier, type 0). 3 data bytes.
  rig.bus.MemWrite(rig.controller->bar() + 0xA0, 4, 0x00425200);  // DS | DBC 2 | COP 5 | SCGO
  for (int i = 0; i < 1000 && (rig.Reg8(0xA0) & 1); ++i) {
  }
  EXPECT_EQ(rig.Reg8(0xA0) & 0x04, 0x04) << "FDONE";
  EXPECT_EQ(rig.Reg32(kFdata0) & 0xFFFFFF, 0x1840EFu);

  flashtest::RigOptions locked;
  locked.controller.opcode_menu_locked = true;
  FlashRig rig2("W25Q128JV", locked);
  rig2.SetReg8(0xAF, 0x98);
  EXPECT_EQ(rig2.Reg8(0xAF), 0x0B) << "the menu keeps its opcode";
}

TEST(SpiControllerModel, VsccIsRecordedAndTheComponentLockHoldsIt) {
  FlashRig rig("W25Q128JV");
  rig.SetReg32(0xC4, 0x2005);
  rig.SetReg32(0xC8, 0x2005);
  EXPECT_EQ(rig.Reg32(0xC4), 0x2005u);
  flashtest::RigOptions o;
  o.controller.vscc = 0x2015;
  o.controller.vscc_locked = true;
  FlashRig locked("W25Q128JV", o);
  locked.SetReg32(0xC4, 0xD805);
  locked.SetReg32(0xC8, 0xD805);
  EXPECT_EQ(locked.Reg32(0xC4) & 0xFFFF, 0x2015u);
  EXPECT_EQ(locked.Reg32(0xC8), 0x2015u);
}

TEST(SpiControllerModel, PtdataServesTheSfdpTheControllerFetchedAndD4HoldsNoSignature) {
  FlashRig rig("W25Q128JV");
  rig.SetReg32(0xCC, 0);
  EXPECT_EQ(rig.Reg32(0xD0), 0x50444653u);
  rig.SetReg32(0xCC, 0x2004);  // BFPT dword 2: density
  EXPECT_EQ(rig.Reg32(0xD0), 0x07FFFFFFu);
  EXPECT_EQ(rig.Reg32(0xD4), 0u);
}

TEST(SpiControllerModel, WindowReadsFollowTheFlashAndACacheStaysStaleUntilFlushed) {
  flashtest::RigOptions o;
  o.cache = sim::WindowCacheMode::kBiosRegion;
  FlashRig rig("W25Q128JV", o);
  ASSERT_EQ(rig.window->base(), 0xFF000000u);
  rig.part->mutable_contents()[0x300000] = 0x11;
  EXPECT_EQ(rig.bus.MemRead(0xFF300000, 1), 0x11u);  // line now cached
  rig.SetReg32(0xC4, 0x2005);
  RunCycle(rig, 0x300000, 0x0007);
  EXPECT_EQ(rig.part->contents()[0x300000], 0xFF);
  EXPECT_EQ(rig.bus.MemRead(0xFF300000, 1), 0x11u) << "stale until written back";
  rig.cpu.ops()->flush_line(rig.cpu.ops()->context, 0xFF300000);
  EXPECT_EQ(rig.bus.MemRead(0xFF300000, 1), 0xFFu);
  // Outside the BIOS region the window is not cached.
  rig.part->mutable_contents()[0x1000] = 0x22;
  EXPECT_EQ(rig.bus.MemRead(0xFF001000, 1), 0x22u);
}

TEST(SpiControllerModel, WindowTopIsTheBiosRegionsLastByte) {
  auto layout = flashtest::DefaultLayout(16u << 20);
  layout.regions = {{0, 0, 0xFFF}, {1, 0x200000, 0x7FFFFF}, {4, 0x800000, 0xFFFFFF}};
  auto image = flashtest::BuildImage(layout);
  image[0x7FFFFF] = 0x77;
  FlashRig rig(sim::FindFlashPart("W25Q128JV"), image);
  EXPECT_EQ(rig.window->base(), 0xFF800000u);
  EXPECT_EQ(rig.bus.MemRead(0xFFFFFFFF, 1), 0x77u);
  EXPECT_EQ(rig.bus.MemRead(0xFF7FFFFF, 1), 0xFFu) << "below the window nothing decodes";
}

}  // namespace
