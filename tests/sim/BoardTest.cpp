// Whole-board behaviour: reset through 0xCF9, processor faults, the access trace.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/Platform.h"
#include "sim/board/Board.h"
#include "sim/board/MemoryMap.h"

namespace {

std::unique_ptr<sim::Board> NewBoard(const char* bios_guard = "off") {
  auto d = sim::Board::DefaultDescription();
  d.insert_or_assign("cpu", toml::table{{"bios_guard", bios_guard}});
  auto board = sim::Board::CreateInMemory(d, std::vector<uint8_t>(1u << 20, 0x5A));
  board->Boot();
  FwHostBindPlatform(board->cpu().ops());
  return board;
}

sim::Board* gBoard = nullptr;
EFI_STATUS EFIAPI ResettingHandler(EFI_HANDLE, const VOID*, VOID*, UINTN*) {
  IoWrite8(sim::kResetControlPort, 0x0E);
  for (;;) CpuPause();
}

TEST(Board, AResetFromAnSmiHandlerRebootsTheBoardAndKeepsTheFlash) {
  auto board = NewBoard();
  gBoard = board.get();
  VOID* iface = nullptr;
  EFI_GUID g = EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID;
  ASSERT_EQ(board->firmware().smst()->SmmLocateProtocol(&g, nullptr, &iface), EFI_SUCCESS);
  auto* sw = static_cast<EFI_SMM_SW_DISPATCH2_PROTOCOL*>(iface);
  EFI_SMM_SW_REGISTER_CONTEXT ctx{0x33};
  EFI_HANDLE h = nullptr;
  ASSERT_EQ(sw->Register(sw, ResettingHandler, &ctx, &h), EFI_SUCCESS);
  unsigned boots = board->last_boot().boot_count;
  auto r = board->RaiseSoftwareSmi(0, 0x33);
  EXPECT_TRUE(r.handled);
  EXPECT_TRUE(r.reset);
  EXPECT_EQ(r.reset_kind, "hard reset with power cycle");
  EXPECT_EQ(board->last_boot().boot_count, boots + 1);
  EXPECT_FALSE(board->firmware().HasSwHandler(0x33)) << "handlers of the old boot are gone";
  EXPECT_EQ(board->flash().contents()[0], 0x5A);
}

TEST(Board, GlobalResetBitTurnsCf9IntoAGlobalReset) {
  auto board = NewBoard();
  board->bus().MemWrite(sim::kPwrmBase + 0x1048, 4, 1u << 20);
  board->cpu().Run([] {
    IoWrite8(sim::kResetControlPort, 0x0E);
    for (;;) CpuPause();
  });
  EXPECT_TRUE(board->cpu().reset_pending());
}

TEST(Board, AbsentMsrFaultsLikeHardwareAndEndsTheRunCleanly) {
  auto board = NewBoard("off");
  UINT64 v = 0;
  auto r = board->cpu().Run([&] { v = AsmReadMsr64(0x110); });
  EXPECT_EQ(r.outcome, sim::Cpu::Outcome::kFault);
  EXPECT_NE(r.fault.find("0x110"), std::string::npos);
  r = board->cpu().Run([&] { v = AsmReadMsr64(0xCE); });
  EXPECT_EQ(r.outcome, sim::Cpu::Outcome::kReturned);
}

TEST(Board, TraceRecordsEveryAccessInOneLineEach) {
  auto board = NewBoard();
  char* text = nullptr;
  size_t size = 0;
  std::FILE* f = open_memstream(&text, &size);
  board->bus().SetTrace(f);
  board->cpu().Run([] {
    MmioWrite32(sim::kOsRamBase + 0x10, 0xCAFEF00D);
    (void)MmioRead16(sim::kOsRamBase + 0x10);
    IoWrite8(0x70, 0x48);
    (void)AsmReadMsr64(0xCE);
  });
  board->bus().SetTrace(nullptr);
  std::fclose(f);
  std::string t(text, size);
  std::free(text);
  EXPECT_NE(t.find(" MW 100010 32 CAFEF00D\n"), std::string::npos) << t;
  EXPECT_NE(t.find(" MR 100010 16 F00D\n"), std::string::npos) << t;
  EXPECT_NE(t.find(" IW 70 8 48\n"), std::string::npos) << t;
  EXPECT_NE(t.find(" MSRR CE 64 0\n"), std::string::npos) << t;
}

TEST(Board, UnassignedPciFunctionsReadAllOnes) {
  auto board = NewBoard();
  EXPECT_EQ(board->bus().MemRead(0xE0000000 + (5u << 20), 4), 0xFFFFFFFFu);
}

}  // namespace
