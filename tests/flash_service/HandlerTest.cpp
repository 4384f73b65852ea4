// Software SMI 0x90: where the request comes from, and the signature and function tables.
#include <gtest/gtest.h>

#include "tests/flash_service/support/FlashTestSupport.h"

namespace {
using fstest::FlashBoard;
using fstest::Request;
using fstest::Sig;

FlashServiceRequest Patterned(uint32_t signature, uint32_t function) {
  FlashServiceRequest r{};
  auto* b = reinterpret_cast<uint8_t*>(&r);
  for (size_t i = 0; i < sizeof r; ++i) b[i] = uint8_t(0xC0 + i);
  r.Signature = signature;
  r.Function = function;
  return r;
}

// Every byte except Status is as it was.
void ExpectOnlyStatusChanged(const FlashServiceRequest& before, const FlashServiceRequest& after) {
  FlashServiceRequest a = after;
  a.Status = before.Status;
  EXPECT_EQ(std::memcmp(&before, &a, sizeof a), 0);
}

TEST(FlashSmiHandler, TakesTheRequestFromEbxAndEcxOfTheProcessorThatRaisedTheSmi) {
  FlashBoard fb;
  uint64_t mine = fb.NewRequest(Request(Sig("$SDB"), 3));
  uint64_t decoy = fb.NewRequest(Request(Sig("$SDB"), 3));
  for (unsigned cpu = 0; cpu < 4; ++cpu) {
    fb.board().SetCpuRegister(cpu, EFI_SMM_SAVE_STATE_REGISTER_RBX, decoy);
    fb.board().SetCpuRegister(cpu, EFI_SMM_SAVE_STATE_REGISTER_RCX, 0);
  }
  // Only EBX counts: the upper half of RBX is whatever the tool left there.
  fb.board().SetCpuRegister(2, EFI_SMM_SAVE_STATE_REGISTER_RBX, 0xDEADBEEF00000000ULL | mine);
  auto r = fb.board().RaiseSoftwareSmi(2, 0x90);
  ASSERT_TRUE(r.handled);
  EXPECT_EQ(r.handler_status, EFI_SUCCESS);
  EXPECT_EQ(fb.ReadRequest(mine).Status, EFI_SUCCESS);
  EXPECT_EQ(fb.ReadRequest(decoy).Status, 0u) << "another processor's registers were used";
}

TEST(FlashSmiHandler, EcxCarriesTheHighHalfOfTheRequestAddress) {
  FlashBoard fb;
  const uint64_t high = 0x100100000ULL;  // RAM above 4 GiB
  const uint64_t low_alias = 0x00100000;  // what a 32-bit truncation would address
  FlashServiceRequest req = Request(Sig("$SDB"), 3);
  fb.WriteRequest(high, req);
  fb.WriteRequest(low_alias, req);
  auto r = fb.Raise(high);
  ASSERT_TRUE(r.handled);
  EXPECT_EQ(fb.ReadRequest(high).Status, EFI_SUCCESS);
  EXPECT_EQ(fb.ReadRequest(high).Size, 16u);
  EXPECT_EQ(fb.ReadRequest(low_alias).Status, 0u);
}

TEST(FlashSmiHandler, AnUnknownSignatureGetsUnsupportedAndNothingElseChanges) {
  FlashBoard fb;
  for (uint32_t signature : {0u, Sig("$gb1"), Sig("$GB2"), Sig("$BDR") + 1, 0xFFFFFFFFu}) {
    auto before = Patterned(signature, 4);
    auto after = fb.Call(before);
    EXPECT_EQ(after.Status, EFI_UNSUPPORTED) << std::hex << signature;
    ExpectOnlyStatusChanged(before, after);
  }
  EXPECT_TRUE(fb.platform_flash().calls().empty());
}

TEST(FlashSmiHandler, FunctionsOutsideASignaturesTableGetUnsupportedAndTouchNothing) {
  FlashBoard fb;
  struct Case {
    uint32_t signature;
    std::vector<uint32_t> functions;
  };
  std::vector<Case> cases = {{Sig("$GB1"), {0, 1, 2, 3, 9, 11, 12, 0x104, 0xFFFFFFFF}}};
  for (auto& a : fstest::kAreaSignatures) {
    std::vector<uint32_t> f = {4, 5, 6, 7, 8, 9, 10, 11, 0x101, 0xFFFFFFFF};
    if (a.value != Sig("$BDR")) f.push_back(0);  // only "$BDR" reports the part name
    cases.push_back({a.value, f});
  }
  unsigned checked = 0;
  for (auto& c : cases)
    for (uint32_t function : c.functions) {
      auto before = Patterned(c.signature, function);
      auto after = fb.Call(before);
      EXPECT_EQ(after.Status, EFI_UNSUPPORTED) << std::hex << c.signature << " function " << function;
      ExpectOnlyStatusChanged(before, after);
      ++checked;
    }
  EXPECT_GT(checked, 70u);
  EXPECT_TRUE(fb.platform_flash().calls().empty());
  EXPECT_EQ(fb.board().flash_update_prepare().prepare_calls, 0u);
}

TEST(FlashSmiHandler, FlashAccessWritesOnlyStatus) {
  FlashBoard fb;
  uint64_t buffer = fb.OsBuffer(std::vector<uint8_t>(64, 0));
  for (uint32_t function : {4u, 5u, 6u, 7u, 8u, 10u}) {
    auto before = Patterned(Sig("$GB1"), function);
    before.Address = 0xFFF00000;
    before.Size = function == 5 ? 0 : 64;
    before.Buffer = uint32_t(buffer);
    before.VolumeBase = 0;
    auto after = fb.Call(before);
    ExpectOnlyStatusChanged(before, after);
  }
}

}  // namespace
