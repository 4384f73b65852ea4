// SleepGpioSmm: the body's registrations with the SMM core's dispatchers, and its handlers
// (the built image, dispatched by the core) on the simulated PCH.
#include "frame/Frame.h"
#include "sleep_gpio/SleepGpioSmm.h"
#include "tests/pch/BoardFixture.h"

namespace {
using pchtest::Join;
using pchtest::WholeBoard;

// Runs this test program's own copy of the driver as an image named "sleep-test".
EFI_STATUS StartLinkedDriver(sim::Board& board) {
  gFrame = FrameState{};
  EFI_STATUS status = EFI_LOAD_ERROR;
  int handle = 0;
  board.firmware().RunAs("sleep-test", true,
                         [&] { status = _ModuleEntryPoint(&handle, board.firmware().system_table()); });
  return status;
}

std::vector<std::string> RegisteredBy(sim::Board& board, const std::string& owner) {
  std::vector<std::string> out;
  for (auto& r : board.firmware().RegistrationsOf(owner)) out.push_back(r.what);
  return out;
}

TEST(SleepGpioSmmBody, RegistersPowerButtonEntryAndS3S4S5Entry) {
  WholeBoard w;
  EXPECT_EQ(StartLinkedDriver(*w.board), EFI_SUCCESS);
  EXPECT_EQ(Join(RegisteredBy(*w.board, "sleep-test")),
            "power button (entry)\nsleep S3 (entry)\nsleep S4 (entry)\nsleep S5 (entry)\n");
}

TEST(SleepGpioSmmBody, EachDispatcherIsOptional) {
  {
    WholeBoard w;
    w.board->firmware().smm_protocols().Remove(EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID);
    EXPECT_EQ(StartLinkedDriver(*w.board), EFI_SUCCESS);
    EXPECT_EQ(Join(RegisteredBy(*w.board, "sleep-test")), "sleep S3 (entry)\nsleep S4 (entry)\nsleep S5 (entry)\n");
  }
  {
    WholeBoard w;
    w.board->firmware().smm_protocols().Remove(EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID);
    EXPECT_EQ(StartLinkedDriver(*w.board), EFI_SUCCESS);
    EXPECT_EQ(Join(RegisteredBy(*w.board, "sleep-test")), "power button (entry)\n");
  }
  {
    // Neither SmmFrameSupportProtocol nor the dispatchers are needed to start.
    WholeBoard w("[firmware]\nframe_support = false\n");
    w.board->firmware().smm_protocols().Remove(EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID);
    w.board->firmware().smm_protocols().Remove(EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID);
    EXPECT_EQ(StartLinkedDriver(*w.board), EFI_SUCCESS);
    EXPECT_TRUE(RegisteredBy(*w.board, "sleep-test").empty());
  }
}

TEST(SleepGpioSmm, ImageRegistersOnTheBoard) {
  WholeBoard w;
  EXPECT_EQ(Join(RegisteredBy(*w.board, "SleepGpioSmm")),
            "power button (entry)\nsleep S3 (entry)\nsleep S4 (entry)\nsleep S5 (entry)\n");
}

TEST(SleepGpioEventHandler, DrivesBothPadsWithTheTxLockBracketedOnlyWhereSet) {
  WholeBoard w(
      "[gpio]\n"
      "GPP_D9 = { lock_tx = true, lock = true, dw0 = 0x44000200 }\n"
      "GPP_D19 = { dw0 = 0x84000200 }\n");
  w.Clear();
  auto result = w.board->PressPowerButton();
  EXPECT_TRUE(result.handled);
  EXPECT_EQ(result.handler_status, EFI_SUCCESS);
  EXPECT_EQ(Join(w.Writes()),
            "MSG 6D:008C op=13 data=00000000\n"
            "W FD6D0810=44000201\n"
            "MSG 6D:008C op=13 data=00000200\n"
            "W FD6D08B0=84000201\n");
  EXPECT_EQ(w.Pad("GPP_D9").dw0, 0x44000201u);
  EXPECT_EQ(w.Pad("GPP_D19").dw0, 0x84000201u);
  EXPECT_EQ(w.Group("GPP_D9").lock_tx[0], 0x00000200u);
}

TEST(SleepGpioEventHandler, PchLpHasNeitherPadAndNoGpioRegisterIsTouched) {
  WholeBoard w("[pch]\nvariant = \"lp\"\n");
  w.Clear();
  auto result = w.board->EnterSleep(SxS5);
  EXPECT_TRUE(result.handled);
  EXPECT_EQ(result.handler_status, EFI_SUCCESS);
  EXPECT_EQ(w.GpioAccesses(), 0u);
  EXPECT_EQ(w.Pad("GPP_D9").dw0, sim::GpioCommunity::kDefaultDw0);  // LP GPP_D9 untouched
}

TEST(SleepGpioEventHandler, UnknownPchIsDrivenAsPchH) {
  WholeBoard w("[pch]\nvariant = \"unknown\"\n[gpio]\nGPP_D9 = { dw0 = 0x44000200 }\nGPP_D19 = { dw0 = 0x44000200 }\n");
  w.Clear();
  EXPECT_EQ(w.board->EnterSleep(SxS4).handler_status, EFI_SUCCESS);
  EXPECT_EQ(Join(w.Writes()), "W FD6D0810=44000201\nW FD6D08B0=44000201\n");
}

TEST(SleepGpioEventHandler, ForeignFirstPadDoesNotStopTheSecond) {
  WholeBoard w("[gpio]\nGPP_D9 = { owner = 1, dw0 = 0x44000200 }\nGPP_D19 = { dw0 = 0x44000200 }\n");
  w.Clear();
  EXPECT_EQ(w.board->PressPowerButton().handler_status, EFI_SUCCESS);
  EXPECT_EQ(Join(w.Writes()), "W FD6D08B0=44000201\n");
  EXPECT_EQ(w.Pad("GPP_D9").dw0, 0x44000200u);
}

// A pad whose TX lock cannot be lifted is not written (nor relocked); the other pad is
// still driven and the handler returns EFI_SUCCESS whatever the pads answered.
TEST(SleepGpioEventHandler, RefusedUnlockSkipsThatPadOnly) {
  WholeBoard w("[gpio]\nGPP_D9 = { lock_tx = true, dw0 = 0x44000200 }\n[faults]\np2sb_error_response = 1\n");
  w.Clear();
  EXPECT_EQ(w.board->PressPowerButton().handler_status, EFI_SUCCESS);
  EXPECT_EQ(Join(w.Writes()),
            "MSG 6D:008C op=13 data=00000000\n"
            "W FD6D08B0=44000101\n");
  EXPECT_EQ(w.Pad("GPP_D9").dw0, 0x44000200u);
}

TEST(SleepGpioS3Handler, ChangesNothing) {
  WholeBoard w("[gpio]\nGPP_D9 = { dw0 = 0x44000200 }\n");
  w.Clear();
  auto result = w.board->EnterSleep(SxS3);
  EXPECT_TRUE(result.handled);
  EXPECT_EQ(result.handler_status, EFI_SUCCESS);
  EXPECT_EQ(w.GpioAccesses(), 0u);
  EXPECT_EQ(w.Pad("GPP_D9").dw0, 0x44000200u);
}

}  // namespace
