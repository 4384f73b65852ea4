// The SMM driver frame on the simulated SMM core, with a small test body.
#include <gtest/gtest.h>

#include "frame/Frame.h"
#include "platform/host/HostBusOps.h"
#include "sim/board/Board.h"
#include "sim/board/MemoryMap.h"

const FrameDriverProfile gFrameDriverProfile = {FRAME_TEST_STRICT ? TRUE : FALSE, nullptr,
                                                FRAME_TEST_STRICT ? TRUE : FALSE};

namespace {
int gBodyCalls = 0;
EFI_STATUS gBodyStatus = EFI_SUCCESS;
}  // namespace

EFI_STATUS FrameDriverBody(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  ++gBodyCalls;
  return gBodyStatus;
}

namespace {

class Frame : public ::testing::Test {
 protected:
  void SetUp() override {
    gFrame = FrameState{};
    gBodyCalls = 0;
    gBodyStatus = EFI_SUCCESS;
    board_ = sim::Board::CreateInMemory(sim::Board::DefaultDescription(), std::vector<uint8_t>(4096, 0xFF));
    board_->Boot();
    FwHostBindPlatform(board_->cpu().ops());
    smram_in_use_ = board_->firmware().smram_pool().bytes_in_use();
  }
  EFI_STATUS Start(bool in_smm) {
    EFI_STATUS status = EFI_LOAD_ERROR;
    int handle = 0;
    board_->firmware().RunAs("frame-test", in_smm,
                             [&] { status = _ModuleEntryPoint(&handle, board_->firmware().system_table()); });
    return status;
  }
  uint64_t SmramInUse() { return board_->firmware().smram_pool().bytes_in_use() - smram_in_use_; }
  std::unique_ptr<sim::Board> board_;
  uint64_t smram_in_use_ = 0;
};

TEST_F(Frame, OutsideSmmTheDriverSucceedsAndDoesNothing) {
  EXPECT_EQ(Start(false), EFI_SUCCESS);
  EXPECT_EQ(gBodyCalls, 0);
  EXPECT_EQ(gFrame.SmramRangeCount, 0u) << "no SMM system table outside SMM: the map stays empty";
  EXPECT_TRUE(board_->firmware().RegistrationsOf("frame-test").empty());
  EXPECT_EQ(gFrame.InSmmFlag, FALSE);
}

TEST_F(Frame, InsideSmmTheBodyRunsWithTheSmramMapCopiedIntoSmram) {
  EXPECT_EQ(Start(true), EFI_SUCCESS);
  EXPECT_EQ(gBodyCalls, 1);
  ASSERT_EQ(gFrame.SmramRangeCount, 2u);
  EXPECT_TRUE(board_->bus().InSmram(reinterpret_cast<uint64_t>(gFrame.SmramRangeTable)));
  EXPECT_EQ(gFrame.SmramRangeTable[0].CpuStart, sim::kTsegBase);
  EXPECT_EQ(gFrame.Smst, board_->firmware().smst());
  EXPECT_EQ(gFrame.InSmmFlag, FRAME_TEST_STRICT ? TRUE : FALSE);
  // The memory maps are kept in SMRAM beside the SMRAM map.
  ASSERT_TRUE(MemorySpaceMapAvailable());
  EXPECT_TRUE(board_->bus().InSmram(reinterpret_cast<uint64_t>(gFrame.MemoryRanges)));
  EXPECT_GE(SmramInUse(), 64u + gFrame.MemoryRangeCount * sizeof(MemoryRange));
  EXPECT_TRUE(board_->firmware().boot_pool().live().empty()) << "both maps' boot-services buffers went back";
}

// A body that fails may have registered a handler before the failing step: the maps its
// checks use stay. A failure before the body frees them.
TEST_F(Frame, BodyFailureIsReturnedAndTheMapsStayForWhatItRegistered) {
  gBodyStatus = EFI_DEVICE_ERROR;
  EXPECT_EQ(Start(true), EFI_DEVICE_ERROR);
  EXPECT_EQ(gFrame.SmramRangeCount, 2u);
  EXPECT_TRUE(AddressInSmram(sim::kTsegBase));
  EXPECT_TRUE(MemorySpaceMapAvailable());
  EXPECT_FALSE(RangeIsCallerMemory(sim::kTsegBase, 1));
}

// Caller memory is RAM of the types SMM keeps mapped; a firmware volume may also lie in the
// flash decode; a BAR must lie in a device window.
TEST_F(Frame, MemoryMapsJudgeCallerMemoryVolumesAndBars) {
  ASSERT_EQ(Start(true), EFI_SUCCESS);
  const uint64_t flash_bottom = 0x100000000ULL - board_->flash().contents().size();
  struct Case {
    uint64_t address, length;
    bool caller, flash, mmio;
  } cases[] = {
      {sim::kOsToolArenaBase, 88, true, false, false},                     // reserved: the tool arena
      {sim::kTsegBase - 88, 88, true, false, false},                       // ACPI NVS right below TSEG
      {sim::kTsegBase - 87, 88, false, false, false},                      // one byte into SMRAM
      {sim::kHighRamBase, 0x1000, true, false, false},                     // runtime data above 4 GiB
      {0xB3, 88, false, false, false},                                     // boot-services data
      {sim::kBootPoolBase, 88, false, false, false},                       // boot-services data
      {sim::kOsConventionalBase, 88, false, false, false},                 // conventional
      {sim::kBootPoolBase - 8, 16, false, false, false},                   // reserved into boot services
      {0xA0000, 16, false, false, false},                                  // the legacy hole
      {0xFE010000, 0x1000, false, false, true},                            // SPI BAR
      {0xFE010000, 0x1001, false, false, false},                           // past its window
      {flash_bottom, 4096, false, true, false},                            // the flash decode
      {0xFFFFF000, 0x1000, false, true, false},
      {flash_bottom - 1, 2, false, false, false},
      {0x200000000ULL, 1, false, false, false},                            // nothing there
      {~0ULL - 4, 88, false, false, false},                                // wraps
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RangeIsCallerMemory(c.address, c.length), c.caller) << std::hex << c.address << "+" << c.length;
    EXPECT_EQ(RangeIsFlashWindow(c.address, c.length), c.flash) << std::hex << c.address << "+" << c.length;
    EXPECT_EQ(RangeIsPlatformMmio(c.address, c.length), c.mmio) << std::hex << c.address << "+" << c.length;
  }
  EXPECT_TRUE(RangeIsCallerMemory(sim::kOsToolArenaBase, 0)) << "a length of 0 is judged as one byte";
  EXPECT_FALSE(RangeIsCallerMemory(0xB3, 0));
}

TEST_F(Frame, WithoutTheMapsOnlySmramIsRefused) {
  auto d = sim::Board::DefaultDescription();
  d["firmware"].as_table()->insert_or_assign("memory_map", false);
  board_.reset();
  board_ = sim::Board::CreateInMemory(d, std::vector<uint8_t>(4096, 0xFF));
  board_->Boot();
  FwHostBindPlatform(board_->cpu().ops());
  ASSERT_EQ(Start(true), EFI_SUCCESS);
  EXPECT_FALSE(MemorySpaceMapAvailable());
  EXPECT_TRUE(RangeIsCallerMemory(sim::kBootPoolBase, 88));
  EXPECT_FALSE(RangeIsCallerMemory(sim::kTsegBase, 88));
  EXPECT_TRUE(RangeIsPlatformMmio(0x200000000ULL, 0x1000));
  EXPECT_FALSE(RangeIsPlatformMmio(sim::kTsegBase, 0x1000));
}

TEST_F(Frame, MissingSmmBase2EndsStartUpWithItsStatusAndWithoutACrash) {
  board_->firmware().dxe_protocols().Remove(EFI_SMM_BASE2_PROTOCOL_GUID);
  EXPECT_EQ(Start(true), EFI_NOT_FOUND);
  EXPECT_EQ(gBodyCalls, 0);
  EXPECT_EQ(SmramInUse(), 0u);
}

TEST_F(Frame, MissingFrameSupportStopsOnlyTheStrictDrivers) {
  board_->firmware().smm_protocols().Remove(SMM_FRAME_SUPPORT_PROTOCOL_GUID);
  EFI_STATUS s = Start(true);
  if (FRAME_TEST_STRICT) {
    EXPECT_EQ(s, EFI_NOT_FOUND);
    EXPECT_EQ(gBodyCalls, 0);
    EXPECT_EQ(SmramInUse(), 0u);
  } else {
    EXPECT_EQ(s, EFI_SUCCESS);
    EXPECT_EQ(gBodyCalls, 1);
  }
}

TEST_F(Frame, AddressInSmramUsesCpuStartAndAnExclusiveUpperBound) {
  ASSERT_EQ(Start(true), EFI_SUCCESS);
  const auto& d = gFrame.SmramRangeTable[1];
  EXPECT_TRUE(AddressInSmram(d.CpuStart));
  EXPECT_TRUE(AddressInSmram(d.CpuStart + d.PhysicalSize - 1));
  EXPECT_FALSE(AddressInSmram(d.CpuStart + d.PhysicalSize));
  EXPECT_FALSE(AddressInSmram(sim::kTsegBase - 1));
  // A range whose PhysicalStart differs from CpuStart is tested against CpuStart.
  gFrame.SmramRangeTable[0].PhysicalStart = 0x1000;
  EXPECT_FALSE(AddressInSmram(0x1000));
  EXPECT_TRUE(AddressInSmram(sim::kTsegBase));
}

TEST_F(Frame, RangeOverlapsSmramCatchesEveryByteAndWraps) {
  ASSERT_EQ(Start(true), EFI_SUCCESS);
  const uint64_t base = sim::kTsegBase, end = sim::kTsegBase + sim::kTsegSize;
  EXPECT_FALSE(RangeOverlapsSmram(base - 88, 88));
  EXPECT_TRUE(RangeOverlapsSmram(base - 87, 88));
  EXPECT_TRUE(RangeOverlapsSmram(end - 1, 1));
  EXPECT_FALSE(RangeOverlapsSmram(end, 88));
  EXPECT_TRUE(RangeOverlapsSmram(base - 10, sim::kTsegSize + 20)) << "straddles the whole of SMRAM";
  EXPECT_TRUE(RangeOverlapsSmram(~0ULL - 4, 88)) << "wraps the address space";
  EXPECT_FALSE(RangeOverlapsSmram(base, 0));
}

TEST_F(Frame, EmptyMapAnswersFalseAndFreePoolGoesToBootServices) {
  ASSERT_EQ(Start(false), EFI_SUCCESS);
  EXPECT_FALSE(AddressInSmram(sim::kTsegBase));
  VOID* p = nullptr;
  ASSERT_EQ(board_->firmware().system_table()->BootServices->AllocatePool(EfiBootServicesData, 8, &p), EFI_SUCCESS);
  uint64_t before = board_->firmware().boot_pool().bytes_in_use();
  FreePool(p);
  EXPECT_LT(board_->firmware().boot_pool().bytes_in_use(), before);
}

TEST_F(Frame, PciExpressAddressWorksBeforeTheConstructorsRan) {
  EXPECT_EQ(PciExpressConfigAddress(0xFD010), 0xE00FD010u);
  EXPECT_EQ(PciExpressConfigAddress(PciConfigOffset(0, 22, 0, 0x40)), 0xE00B0040u);
}

}  // namespace
