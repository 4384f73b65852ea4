// The board's PlatformFlashProtocol stand-in: NOR behaviour, the call log, injected faults.
#include <gtest/gtest.h>

#include "tests/flash_service/support/FlashTestSupport.h"

namespace {
using fstest::FlashBoard;
using Op = sim::PlatformFlashStandIn::Op;

struct StandInFixture {
  FlashBoard fb;
  const PLATFORM_FLASH_PROTOCOL* p = nullptr;
  StandInFixture() {
    VOID* iface = nullptr;
    EXPECT_EQ(fb.board().firmware().smm_protocols().Locate(PLATFORM_FLASH_PROTOCOL_GUID, &iface), EFI_SUCCESS);
    p = static_cast<const PLATFORM_FLASH_PROTOCOL*>(iface);
  }
  EFI_STATUS Run(const std::function<EFI_STATUS()>& f) {
    EFI_STATUS s = EFI_LOAD_ERROR;
    fb.InSmm([&] { s = f(); });
    return s;
  }
};

TEST(PlatformFlashStandIn, ProgrammingOnlyClearsBitsAndAWriteThatDoesNotReadBackFails) {
  StandInFixture t;
  const uint64_t a = 0xFF800000;
  uint64_t f0 = t.fb.OsBuffer(std::vector<uint8_t>(0x200, 0xF0));
  uint64_t x30 = t.fb.OsBuffer(std::vector<uint8_t>(0x200, 0x30));
  uint64_t x3c = t.fb.OsBuffer(std::vector<uint8_t>(0x200, 0x3C));
  EXPECT_EQ(t.Run([&] { return t.p->Write(a, 0x100, f0); }), EFI_SUCCESS);
  EXPECT_EQ(t.Run([&] { return t.p->Write(a, 0x100, x30); }), EFI_SUCCESS) << "0xF0 -> 0x30 only clears bits";
  // Page one holds 0x30, page two is erased: 0x3C cannot be programmed over page one, and
  // the write stops at the page that does not verify.
  EXPECT_EQ(t.Run([&] { return t.p->Write(a, 0x200, x3c); }), EFI_DEVICE_ERROR);
  EXPECT_EQ(t.fb.FlashAt(a, 0x100), std::vector<uint8_t>(0x100, 0x30));
  EXPECT_EQ(t.fb.FlashAt(a + 0x100, 0x100), std::vector<uint8_t>(0x100, 0xFF));
  EXPECT_EQ(t.Run([&] { return t.p->Erase(a, 0x1000); }), EFI_SUCCESS);
  EXPECT_EQ(t.Run([&] { return t.p->Write(a, 0x200, x3c); }), EFI_SUCCESS);
  EXPECT_EQ(t.fb.FlashAt(a, 0x200), std::vector<uint8_t>(0x200, 0x3C));
}

TEST(PlatformFlashStandIn, EraseWorksOnWholeSectorsAndTakesTime) {
  StandInFixture t;
  uint64_t before = t.fb.board().bus().clock().Now();
  EXPECT_EQ(t.Run([&] { return t.p->Erase(0xFF000000, 0x2000); }), EFI_SUCCESS);
  EXPECT_GE(t.fb.board().bus().clock().Now() - before, 2 * sim::PlatformFlashStandIn::kSectorEraseNs);
  EXPECT_EQ(t.Run([&] { return t.p->Erase(0xFF000800, 0x1000); }), EFI_INVALID_PARAMETER);
  EXPECT_EQ(t.Run([&] { return t.p->Erase(0xFF000000, 0x800); }), EFI_INVALID_PARAMETER);
}

TEST(PlatformFlashStandIn, RefusesRangesOutsideTheDecodedFlash) {
  StandInFixture t;
  uint64_t buf = t.fb.OsBuffer(std::vector<uint8_t>(0x20, 0));
  EXPECT_EQ(t.Run([&] { return t.p->Read(0xFEFFFFF0, 0x20, buf); }), EFI_INVALID_PARAMETER);
  EXPECT_EQ(t.Run([&] { return t.p->Read(0xFFFFFFF0, 0x20, buf); }), EFI_INVALID_PARAMETER);
  EXPECT_EQ(t.Run([&] { return t.p->Read(0xFFFFFFE0, 0x20, buf); }), EFI_SUCCESS);
  EXPECT_EQ(t.Run([&] { return t.p->Write(0xFFFFFFFFFFFFFFF0ULL, 0x20, buf); }), EFI_INVALID_PARAMETER);
}

TEST(PlatformFlashStandIn, LogsEveryCallAndFailsOnRequest) {
  StandInFixture t;
  auto& s = t.fb.platform_flash();
  uint64_t buf = t.fb.OsBuffer(std::vector<uint8_t>(0x10, 0));
  s.FailNext(Op::kRead, EFI_DEVICE_ERROR, 2);
  EXPECT_EQ(t.Run([&] { return t.p->Read(0xFF000000, 0x10, buf); }), EFI_DEVICE_ERROR);
  EXPECT_EQ(t.Run([&] { return t.p->Read(0xFF000000, 0x10, buf); }), EFI_DEVICE_ERROR);
  EXPECT_EQ(t.Run([&] { return t.p->Read(0xFF000000, 0x10, buf); }), EFI_SUCCESS);
  s.FailNext(Op::kWrite, EFI_WRITE_PROTECTED, 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(t.Run([&] { return t.p->Write(0xFF000000, 0x10, buf); }), EFI_WRITE_PROTECTED);
  EXPECT_EQ(t.fb.FlashAt(0xFF000000, 0x10), std::vector<uint8_t>(0x10, 0xFF)) << "a failed write changes nothing";
  ASSERT_EQ(s.calls().size(), 6u);
  EXPECT_EQ(s.CountOf(Op::kRead), 3u);
  EXPECT_EQ(s.calls()[5].op, Op::kWrite);
  EXPECT_EQ(s.calls()[5].args[2], buf);
  EXPECT_EQ(s.calls()[5].status, EFI_WRITE_PROTECTED);
}

}  // namespace
