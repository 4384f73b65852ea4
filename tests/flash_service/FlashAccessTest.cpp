// Reads, erases and writes through software SMI 0x90, and the platform preparation before
// flash outside the BIOS region changes.
#include <gtest/gtest.h>

#include "tests/flash_service/support/FlashTestSupport.h"

namespace {
using fstest::FlashBoard;
using fstest::Request;
using fstest::Sig;
using Op = sim::PlatformFlashStandIn::Op;

constexpr uint32_t kEtr3Cf9gr = 1u << 20;
constexpr uint8_t kCmosFlag = 0x02;

FlashServiceRequest Access(uint32_t function, uint32_t address, uint32_t size, uint64_t buffer = 0) {
  auto r = Request(Sig("$GB1"), function);
  r.Address = address;
  r.Size = size;
  r.Buffer = uint32_t(buffer);
  return r;
}

TEST(FlashAccess, AddressesBelowTheFlashWindowAreUnsupportedWithoutAPlatformCall) {
  FlashBoard fb;
  uint64_t buffer = fb.OsBuffer(std::vector<uint8_t>(16, 0));
  for (uint32_t f : {4u, 5u, 6u}) EXPECT_EQ(fb.Call(Access(f, 0xFDFFFFFF, 16, buffer)).Status, EFI_UNSUPPORTED);
  EXPECT_TRUE(fb.platform_flash().calls().empty());
  // 0xFE000000 is in the window: the platform is asked, and its answer is passed on (this
  // 16 MiB part does not decode there).
  auto r = fb.Call(Access(4, 0xFE000000, 16, buffer));
  ASSERT_EQ(fb.platform_flash().calls().size(), 1u);
  EXPECT_EQ(fb.platform_flash().calls()[0].status, r.Status);
  EXPECT_EQ(r.Status, EFI_INVALID_PARAMETER);
}

TEST(FlashAccess, ReadEraseAndWriteReachTheFlashWithTheRequestsFields) {
  FlashBoard fb;
  const uint32_t area = 0xFF400000;
  uint64_t buffer = fb.OsBuffer(std::vector<uint8_t>(0x1000, 0));
  std::vector<uint8_t> data(0x1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 3);
  uint64_t source = fb.OsBuffer(data);

  EXPECT_EQ(fb.Call(Access(6, area, 0x1000, source)).Status, EFI_SUCCESS);
  EXPECT_EQ(fb.FlashAt(area, 0x1000), data);
  EXPECT_EQ(fb.Call(Access(4, area, 0x1000, buffer)).Status, EFI_SUCCESS);
  EXPECT_EQ(fb.Peek(buffer, 0x1000), data);

  auto& calls = fb.platform_flash().calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].op, Op::kWrite);
  EXPECT_EQ(calls[0].args[0], area);
  EXPECT_EQ(calls[0].args[1], 0x1000u);
  EXPECT_EQ(calls[0].args[2], source);
  EXPECT_EQ(calls[1].op, Op::kRead);
  EXPECT_EQ(calls[1].args[2], buffer);

  EXPECT_EQ(fb.Call(Access(5, area, 0x1000)).Status, EFI_SUCCESS);
  EXPECT_EQ(fb.FlashAt(area, 0x1000), std::vector<uint8_t>(0x1000, 0xFF));
}

TEST(FlashAccess, PlatformErrorsArePassedOnUnchanged) {
  FlashBoard fb;
  const uint32_t area = 0xFF400000;
  uint64_t ones = fb.OsBuffer(std::vector<uint8_t>(0x100, 0xFF));
  uint64_t zeros = fb.OsBuffer(std::vector<uint8_t>(0x100, 0x00));
  ASSERT_EQ(fb.Call(Access(6, area, 0x100, zeros)).Status, EFI_SUCCESS);
  // Programming cannot bring a 0 back to 1: the write does not read back.
  EXPECT_EQ(fb.Call(Access(6, area, 0x100, ones)).Status, EFI_DEVICE_ERROR);
  fb.platform_flash().FailNext(Op::kErase, EFI_WRITE_PROTECTED);
  EXPECT_EQ(fb.Call(Access(5, area, 0x1000)).Status, EFI_WRITE_PROTECTED);
  fb.platform_flash().FailNext(Op::kRead, EFI_TIMEOUT);
  EXPECT_EQ(fb.Call(Access(4, area, 0x100, ones)).Status, EFI_TIMEOUT);
  EXPECT_EQ(fb.FlashAt(area, 0x100), std::vector<uint8_t>(0x100, 0x00));
}

TEST(FlashAccess, ChangingFlashOutsideTheBiosRegionArmsGlobalResetAndCmosFirst) {
  FlashBoard fb;
  auto& board = fb.board();
  uint64_t prepared_at = 0;
  int id = board.bus().AddObserver([&](const sim::Bus::Access& a) {
    if (a.kind == "MW" && a.address == sim::kPwrmBase + 0x1048 && (a.value & kEtr3Cf9gr)) prepared_at = a.time_ns;
  });
  EXPECT_EQ(fb.Call(Access(5, 0xFF100000, 0x1000)).Status, EFI_SUCCESS);
  board.bus().RemoveObserver(id);
  EXPECT_TRUE(board.pwrm().etr3() & kEtr3Cf9gr);
  EXPECT_TRUE(board.cmos().byte(0x48) & kCmosFlag);
  EXPECT_EQ(board.flash_update_prepare().prepare_calls, 1u);
  ASSERT_EQ(fb.platform_flash().calls().size(), 1u);
  EXPECT_NE(prepared_at, 0u);
  EXPECT_LT(prepared_at, fb.platform_flash().calls()[0].time_ns) << "the erase came before the preparation";
}

TEST(FlashAccess, TheBiosRegionStartsAt0xFF200000) {
  struct Case {
    uint32_t function;
    uint32_t address;
    bool prepares;
  };
  for (Case c : {Case{5, 0xFF1FF000, true}, Case{6, 0xFF1FFFFF, true}, Case{6, 0xFF200000, false},
                 Case{5, 0xFF800000, false}, Case{4, 0xFF100000, false}, Case{6, 0xFE000000, true}}) {
    FlashBoard fb;
    uint64_t buffer = fb.OsBuffer({0xFF});
    fb.board().cmos().set_byte(0x48, 0x40);
    fb.Call(Access(c.function, c.address, c.function == 5 ? 0x1000 : 1, buffer));
    EXPECT_EQ(bool(fb.board().pwrm().etr3() & kEtr3Cf9gr), c.prepares) << std::hex << c.address;
    EXPECT_EQ(fb.board().cmos().byte(0x48), c.prepares ? 0x42 : 0x40) << "other CMOS bits are kept";
    EXPECT_EQ(fb.board().flash_update_prepare().prepare_calls, c.prepares ? 1u : 0u);
    EXPECT_EQ(fb.platform_flash().calls().size(), 1u) << "the access itself still happens";
  }
}

TEST(FlashAccess, PrepareRunsOncePerBootButTheResetAndCmosBitsOnEveryRequest) {
  FlashBoard fb;
  auto& board = fb.board();
  for (int i = 0; i < 3; ++i) {
    board.bus().MemWrite(sim::kPwrmBase + 0x1048, 4, 0);
    board.cmos().set_byte(0x48, 0);
    fb.Call(Access(5, 0xFF100000, 0x1000));
    EXPECT_TRUE(board.pwrm().etr3() & kEtr3Cf9gr);
    EXPECT_EQ(board.cmos().byte(0x48), kCmosFlag);
  }
  EXPECT_EQ(board.flash_update_prepare().prepare_calls, 1u);
  // A later function 10 finds the preparation done.
  EXPECT_EQ(fb.Call(Request(Sig("$GB1"), 10)).Status, EFI_UNSUPPORTED);
  EXPECT_EQ(board.flash_update_prepare().prepare_calls, 1u);
  // The next boot prepares again.
  board.Reboot();
  fb.Call(Access(5, 0xFF100000, 0x1000));
  EXPECT_EQ(board.flash_update_prepare().prepare_calls, 1u);
}

TEST(FlashAccess, AFailedPrepareIsTriedAgainAndItsStatusIsNotTheRequestsStatus) {
  fstest::BoardOptions o;
  o.prepare_status = "device-error";
  FlashBoard fb(o);
  EXPECT_EQ(fb.Call(Access(5, 0xFF100000, 0x1000)).Status, EFI_SUCCESS);
  EXPECT_EQ(fb.Call(Access(5, 0xFF100000, 0x1000)).Status, EFI_SUCCESS);
  EXPECT_EQ(fb.board().flash_update_prepare().prepare_calls, 2u);
  EXPECT_EQ(fb.Call(Request(Sig("$GB1"), 10)).Status, EFI_DEVICE_ERROR);
  EXPECT_EQ(fb.Call(Request(Sig("$GB1"), 10)).Status, EFI_DEVICE_ERROR);
  EXPECT_EQ(fb.board().flash_update_prepare().prepare_calls, 4u);
}

TEST(FlashAccess, FunctionTenPreparesOnce) {
  FlashBoard fb;
  EXPECT_EQ(fb.Call(Request(Sig("$GB1"), 10)).Status, EFI_SUCCESS);
  EXPECT_EQ(fb.Call(Request(Sig("$GB1"), 10)).Status, EFI_UNSUPPORTED);
  EXPECT_EQ(fb.board().flash_update_prepare().prepare_calls, 1u);
  // Function 10 arms nothing itself.
  EXPECT_FALSE(fb.board().pwrm().etr3() & kEtr3Cf9gr);
  EXPECT_EQ(fb.board().cmos().byte(0x48), 0);
}

TEST(FlashAccess, WithoutFlashUpdatePrepareTheBitsAreStillSet) {
  fstest::BoardOptions o;
  o.prepare = "absent";
  FlashBoard fb(o);
  EXPECT_EQ(fb.Call(Request(Sig("$GB1"), 10)).Status, EFI_UNSUPPORTED);
  EXPECT_EQ(fb.Call(Access(5, 0xFF100000, 0x1000)).Status, EFI_SUCCESS);
  EXPECT_TRUE(fb.board().pwrm().etr3() & kEtr3Cf9gr);
  EXPECT_EQ(fb.board().cmos().byte(0x48), kCmosFlag);
  EXPECT_EQ(fb.board().flash_update_prepare().prepare_calls, 0u);
}

TEST(FlashAccess, FunctionsSevenAndEightCallPlatformOperationsFourAndFiveWithoutArguments) {
  FlashBoard fb;
  fb.platform_flash().SetOperationStatus(Op::kOperation4, EFI_NOT_READY);
  fb.platform_flash().SetOperationStatus(Op::kOperation5, EFI_SUCCESS);
  auto req = Request(Sig("$GB1"), 7);
  req.Address = 0xFF000000;
  req.Size = 0x100;
  req.Buffer = 0x1000;
  EXPECT_EQ(fb.Call(req).Status, EFI_NOT_READY);
  req.Function = 8;
  EXPECT_EQ(fb.Call(req).Status, EFI_SUCCESS);
  auto& calls = fb.platform_flash().calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].op, Op::kOperation4);
  EXPECT_EQ(calls[1].op, Op::kOperation5);
  for (auto& c : calls)
    for (uint64_t a : c.args) EXPECT_EQ(a, 0u);
}

}  // namespace
