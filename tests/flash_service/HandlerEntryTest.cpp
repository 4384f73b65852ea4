// The 0x90 handler entered the way the SMM core never enters it on this board: without a
// context, for no processor, or for a processor whose save state cannot be read.
#include <gtest/gtest.h>

#include "flash/service/FlashServiceState.h"
#include "flash/service/FlashSmiHandler.h"
#include "frame/Frame.h"
#include "tests/flash_service/support/FlashTestSupport.h"

namespace {
using fstest::FlashBoard;

struct EntryFixture {
  FlashBoard fb;
  uint64_t request = 0;
  unsigned accesses = 0;

  EntryFixture() {
    gFlashService = FlashServiceState{};
    gFrame = FrameState{};
    auto& map = fb.board().firmware().smram_map();
    gFrame.SmramRangeTable = map.data();
    gFrame.SmramRangeCount = map.size();
    VOID* cpu = nullptr;
    EXPECT_EQ(fb.board().firmware().smm_protocols().Locate(EFI_SMM_CPU_PROTOCOL_GUID, &cpu), EFI_SUCCESS);
    gFlashService.SmmCpu = static_cast<EFI_SMM_CPU_PROTOCOL*>(cpu);
    gFlashService.PlatformFlash = const_cast<PLATFORM_FLASH_PROTOCOL*>(&fb.platform_flash().protocol());
    // Address 0 is where a request lands when the save state is taken as zero.
    request = fb.NewRequest(fstest::Request(fstest::Sig("$SDB"), 3));
    for (unsigned c = 0; c < 4; ++c) {
      fb.board().SetCpuRegister(c, EFI_SMM_SAVE_STATE_REGISTER_RBX, request);
      fb.board().SetCpuRegister(c, EFI_SMM_SAVE_STATE_REGISTER_RCX, 0);
    }
    fb.board().bus().AddObserver([this](const sim::Bus::Access& a) {
      if (a.kind == "MR" || a.kind == "MW") ++accesses;
    });
  }
  ~EntryFixture() { gFrame = FrameState{}; }

  EFI_STATUS Enter(VOID* comm, UINTN* size) {
    EFI_STATUS s = EFI_LOAD_ERROR;
    fb.InSmm([&] { s = FlashServiceSmiHandler(nullptr, nullptr, comm, size); });
    return s;
  }
};

TEST(FlashSmiHandlerEntry, WithoutAContextOrAProcessorTheHandlerTouchesNothing) {
  EntryFixture f;
  EFI_SMM_SW_CONTEXT context{0, 0x90, 0};
  UINTN size = sizeof context;
  EXPECT_EQ(f.Enter(nullptr, &size), EFI_UNSUPPORTED);
  EXPECT_EQ(f.Enter(&context, nullptr), EFI_UNSUPPORTED);
  context.SwSmiCpuIndex = ~UINTN{0};
  EXPECT_EQ(f.Enter(&context, &size), EFI_UNSUPPORTED);
  EXPECT_EQ(f.accesses, 0u);
  EXPECT_EQ(f.fb.ReadRequest(f.request).Status, 0u);
}

TEST(FlashSmiHandlerEntry, ASaveStateThatCannotBeReadNamesNoRequest) {
  EntryFixture f;
  EFI_SMM_SW_CONTEXT context{7, 0x90, 0};  // the board has four processors
  UINTN size = sizeof context;
  EXPECT_EQ(f.Enter(&context, &size), EFI_SUCCESS);
  EXPECT_EQ(f.accesses, 0u) << "nothing is read or written at physical address 0";

  context.SwSmiCpuIndex = 3;
  EXPECT_EQ(f.Enter(&context, &size), EFI_SUCCESS);
  EXPECT_GT(f.accesses, 0u);
  EXPECT_EQ(f.fb.ReadRequest(f.request).Status, EFI_SUCCESS);
}

}  // namespace
