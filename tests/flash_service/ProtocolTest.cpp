// FlashServiceProtocol as another SMM driver uses it: records anywhere (also in SMRAM),
// results returned, Status never written.
#include <gtest/gtest.h>

#include "flash/service/FlashServiceProtocol.h"
#include "tests/flash_service/support/FlashTestSupport.h"

namespace {
using fstest::FlashBoard;
using fstest::Sig;
using Op = sim::PlatformFlashStandIn::Op;

constexpr uint64_t kUntouched = 0x0123456789ABCDEFULL;

struct ProtocolFixture {
  FlashBoard fb;
  FLASH_SERVICE_PROTOCOL* protocol = nullptr;
  FlashServiceRequest* record = nullptr;  // in the SMRAM pool, as an SMM caller would have it

  ProtocolFixture() {
    VOID* iface = nullptr;
    EXPECT_EQ(fb.board().firmware().smm_protocols().Locate(FLASH_SERVICE_PROTOCOL_GUID, &iface), EFI_SUCCESS);
    protocol = static_cast<FLASH_SERVICE_PROTOCOL*>(iface);
    VOID* p = nullptr;
    EXPECT_EQ(fb.board().firmware().smst()->SmmAllocatePool(EfiRuntimeServicesData, sizeof *record, &p), EFI_SUCCESS);
    record = static_cast<FlashServiceRequest*>(p);
    *record = FlashServiceRequest{};
    record->Status = kUntouched;
  }
  uint64_t Address() const { return reinterpret_cast<uint64_t>(record); }
};

TEST(FlashServiceProtocol, LocateSlotsAnswerInTheRecordAndNeverWriteStatus) {
  ProtocolFixture f;
  ASSERT_NE(f.protocol, nullptr);
  EFI_STATUS file = 0, area = 0, entry = 0;
  FlashServiceRequest after_file{}, after_area{}, after_entry{};
  f.fb.InSmm([&] {
    file = f.protocol->LocateLayoutFile(f.Address());
    after_file = *f.record;
    area = f.protocol->LocateAreaFile(&fstest::kTpmGuid, f.Address());
    after_area = *f.record;
    f.record->Signature = Sig("$FMR");
    entry = f.protocol->LocateLayoutEntry(&fstest::kFmrGuid, f.Address());
    after_entry = *f.record;
  });
  EXPECT_EQ(file, EFI_SUCCESS);
  EXPECT_EQ(area, EFI_SUCCESS);
  EXPECT_EQ(after_area.Size, 16u);
  EXPECT_EQ(f.fb.FlashAt(after_area.Address - 0x1C, 16), fstest::GuidBytes(fstest::kTpmGuid));
  EXPECT_EQ(entry, EFI_SUCCESS);
  EXPECT_EQ(after_entry.Size, 0u);
  EXPECT_GT(after_entry.Address, after_file.Address);
  EXPECT_LT(after_entry.Address, after_file.Address + after_file.Size);
  EXPECT_EQ(f.record->Status, kUntouched);
}

TEST(FlashServiceProtocol, AnAreaThatIsNotFoundLeavesTheRecordAlone) {
  ProtocolFixture f;
  f.record->Address = 0x1111;
  f.record->Size = 0x2222;
  EFI_STATUS s = 0;
  const EFI_GUID absent = {0xDEADBEEF, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  f.fb.InSmm([&] { s = f.protocol->LocateAreaFile(&absent, f.Address()); });
  EXPECT_EQ(s, EFI_UNSUPPORTED);
  EXPECT_EQ(f.record->Address, 0x1111u);
  EXPECT_EQ(f.record->Size, 0x2222u);
}

TEST(FlashServiceProtocol, FlashSlotsCallThePlatformAndDoNotPrepare) {
  ProtocolFixture f;
  uint64_t buffer = f.fb.OsBuffer(std::vector<uint8_t>(0x100, 0x3C));
  f.record->Address = 0xFF100000;  // outside the BIOS region
  f.record->Size = 0x100;
  f.record->Buffer = uint32_t(buffer);
  EFI_STATUS write = 0, below = 0;
  f.fb.InSmm([&] {
    write = f.protocol->WriteFlash(f.Address());
    f.record->Address = 0xFDFFFF00;
    below = f.protocol->ReadFlash(f.Address());
  });
  EXPECT_EQ(write, EFI_SUCCESS);
  EXPECT_EQ(below, EFI_UNSUPPORTED);
  EXPECT_EQ(f.fb.FlashAt(0xFF100000, 0x100), std::vector<uint8_t>(0x100, 0x3C));
  EXPECT_EQ(f.fb.platform_flash().calls().size(), 1u);
  EXPECT_EQ(f.fb.board().flash_update_prepare().prepare_calls, 0u);
  EXPECT_FALSE(f.fb.board().pwrm().etr3() & (1u << 20));
  EXPECT_EQ(f.record->Status, kUntouched);
}

TEST(FlashServiceProtocol, ForwardSlotsPassTheirFourArgumentsAndTheResult) {
  ProtocolFixture f;
  f.fb.platform_flash().SetOperationStatus(Op::kOperation5, EFI_TIMEOUT);
  EFI_STATUS s4 = 0, s5 = 0;
  f.fb.InSmm([&] {
    s4 = f.protocol->ForwardOperation4(1, 0xFFFFFFFFFFFFFFFFULL, 3, 0x8000000000000000ULL);
    s5 = f.protocol->ForwardOperation5(5, 6, 7, 8);
  });
  EXPECT_EQ(s4, EFI_SUCCESS);
  EXPECT_EQ(s5, EFI_TIMEOUT);
  auto& calls = f.fb.platform_flash().calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].op, Op::kOperation4);
  EXPECT_EQ(calls[0].args[1], 0xFFFFFFFFFFFFFFFFULL);
  EXPECT_EQ(calls[0].args[3], 0x8000000000000000ULL);
  EXPECT_EQ(calls[1].op, Op::kOperation5);
  EXPECT_EQ(calls[1].args[2], 7u);
}

}  // namespace
