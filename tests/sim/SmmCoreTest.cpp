// The PI SMM core of the simulated board behaves as PI SMM drivers expect of it.
#include <gtest/gtest.h>

#include "sim/board/Board.h"
#include "sim/board/MemoryMap.h"

namespace {

std::unique_ptr<sim::Board> NewBoard() {
  auto board = sim::Board::CreateInMemory(sim::Board::DefaultDescription(), std::vector<uint8_t>(1u << 20, 0xFF));
  board->Boot();
  return board;
}

// A board whose dispatcher finds no driver images: only the test's own registrations.
std::unique_ptr<sim::Board> NewBoardWithoutImages() {
  auto board = sim::Board::CreateInMemory(sim::Board::DefaultDescription(), std::vector<uint8_t>(1u << 20, 0xFF));
  setenv("FWSIM_IMAGE_DIR", "/nonexistent", 1);
  board->Boot();
  unsetenv("FWSIM_IMAGE_DIR");
  return board;
}

struct Observed {
  int calls = 0;
  EFI_SMM_SW_CONTEXT context{};
  UINTN size = 0;
  void* interface = nullptr;
};
Observed gObserved;

EFI_STATUS EFIAPI RecordingHandler(EFI_HANDLE, const VOID*, VOID* comm, UINTN* size) {
  ++gObserved.calls;
  gObserved.context = *static_cast<EFI_SMM_SW_CONTEXT*>(comm);
  gObserved.size = *size;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI RecordingNotify(const EFI_GUID*, VOID* interface, EFI_HANDLE) {
  ++gObserved.calls;
  gObserved.interface = interface;
  return EFI_SUCCESS;
}

constexpr EFI_GUID kTestGuid = {0x11111111, 0x2222, 0x3333, {4, 5, 6, 7, 8, 9, 10, 11}};

TEST(SmmCore, NotifyRunsWhenTheProtocolIsInstalledLaterButNotForEarlierInstances) {
  auto board = NewBoard();
  auto* smst = board->firmware().smst();
  gObserved = {};
  int early = 1, late = 2;
  EFI_HANDLE h = nullptr;
  EFI_GUID g = kTestGuid;
  ASSERT_EQ(smst->SmmInstallProtocolInterface(&h, &g, EFI_NATIVE_INTERFACE, &early), EFI_SUCCESS);
  VOID* reg = nullptr;
  ASSERT_EQ(smst->SmmRegisterProtocolNotify(&g, RecordingNotify, &reg), EFI_SUCCESS);
  EXPECT_EQ(gObserved.calls, 0);
  VOID* reg2 = nullptr;
  EXPECT_EQ(smst->SmmRegisterProtocolNotify(&g, RecordingNotify, &reg2), EFI_SUCCESS);
  EXPECT_EQ(reg, reg2) << "registering the same function twice gives the existing registration";
  EFI_HANDLE h2 = nullptr;
  ASSERT_EQ(smst->SmmInstallProtocolInterface(&h2, &g, EFI_NATIVE_INTERFACE, &late), EFI_SUCCESS);
  EXPECT_NE(h, h2) << "a NULL handle variable gets a new handle";
  EXPECT_EQ(gObserved.calls, 1);
  EXPECT_EQ(gObserved.interface, &late);
  // The same protocol twice on one handle is refused.
  EXPECT_EQ(smst->SmmInstallProtocolInterface(&h2, &g, EFI_NATIVE_INTERFACE, &late), EFI_INVALID_PARAMETER);
}

TEST(SmmCore, PoolComesFromTheReportedSmramRangesAndTakesOnlyRuntimeTypes) {
  auto board = NewBoard();
  auto* smst = board->firmware().smst();
  // The SMM images that booted keep their frame's copy of the SMRAM map.
  const uint64_t held_by_images = board->firmware().smram_pool().bytes_in_use();
  VOID* p = nullptr;
  EXPECT_EQ(smst->SmmAllocatePool(EfiBootServicesData, 64, &p), EFI_INVALID_PARAMETER);
  ASSERT_EQ(smst->SmmAllocatePool(EfiRuntimeServicesData, 100, &p), EFI_SUCCESS);
  uint64_t a = reinterpret_cast<uint64_t>(p);
  bool inside = false;
  for (auto& d : board->firmware().smram_map())
    inside = inside || (a >= d.CpuStart && a + 100 <= d.CpuStart + d.PhysicalSize);
  EXPECT_TRUE(inside);
  EXPECT_TRUE(board->bus().InSmram(a));
  VOID* q = nullptr;
  ASSERT_EQ(smst->SmmAllocatePool(EfiRuntimeServicesCode, 16, &q), EFI_SUCCESS);
  EXPECT_GE(reinterpret_cast<uint64_t>(q), a + 100) << "buffers do not overlap";
  EXPECT_EQ(smst->SmmFreePool(p), EFI_SUCCESS);
  EXPECT_EQ(smst->SmmFreePool(p), EFI_INVALID_PARAMETER) << "double free is refused";
  EXPECT_EQ(smst->SmmFreePool(q), EFI_SUCCESS);
  EXPECT_EQ(board->firmware().smram_pool().bytes_in_use(), held_by_images);
}

TEST(SmmCore, SmramReadsAsOnesOutsideSmm) {
  auto board = NewBoard();
  board->bus().PokeBytes(sim::kSmramPoolBase, "\x12\x34", 2);
  board->bus().SetInSmm(false);
  EXPECT_EQ(board->bus().MemRead(sim::kSmramPoolBase, 2), 0xFFFFu);
  board->bus().SetInSmm(true);
  EXPECT_EQ(board->bus().MemRead(sim::kSmramPoolBase, 2), 0x3412u);
  board->bus().SetInSmm(false);
}

TEST(SmmCore, GetCapabilitiesReportsTheSizeWhenTheBufferIsTooSmall) {
  auto board = NewBoard();
  VOID* iface = nullptr;
  EFI_GUID g = EFI_SMM_ACCESS2_PROTOCOL_GUID;
  ASSERT_EQ(board->firmware().system_table()->BootServices->LocateProtocol(&g, nullptr, &iface), EFI_SUCCESS);
  auto* access = static_cast<EFI_SMM_ACCESS2_PROTOCOL*>(iface);
  UINTN size = 0;
  EXPECT_EQ(access->GetCapabilities(access, &size, nullptr), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 2 * sizeof(EFI_SMRAM_DESCRIPTOR));
  std::vector<EFI_SMRAM_DESCRIPTOR> map(2);
  ASSERT_EQ(access->GetCapabilities(access, &size, map.data()), EFI_SUCCESS);
  EXPECT_EQ(map[0].CpuStart, sim::kTsegBase);
  EXPECT_EQ(map[1].CpuStart + map[1].PhysicalSize, sim::kTsegBase + sim::kTsegSize);
}

TEST(SmmCore, Base2AnswersDifferentlyInsideAndOutsideSmm) {
  auto board = NewBoard();
  VOID* iface = nullptr;
  EFI_GUID g = EFI_SMM_BASE2_PROTOCOL_GUID;
  ASSERT_EQ(board->firmware().system_table()->BootServices->LocateProtocol(&g, nullptr, &iface), EFI_SUCCESS);
  auto* base2 = static_cast<EFI_SMM_BASE2_PROTOCOL*>(iface);
  for (bool smm : {false, true}) {
    BOOLEAN in = 2;
    EFI_SMM_SYSTEM_TABLE2* smst = nullptr;
    EFI_STATUS st = EFI_SUCCESS;
    board->firmware().RunAs("test", smm, [&] {
      base2->InSmm(base2, &in);
      st = base2->GetSmstLocation(base2, &smst);
    });
    EXPECT_EQ(in, smm ? TRUE : FALSE);
    EXPECT_EQ(st, smm ? EFI_SUCCESS : EFI_UNSUPPORTED);
    EXPECT_EQ(smst, smm ? board->firmware().smst() : nullptr);
  }
}

TEST(SmmCore, SoftwareSmiDispatchNamesTheProcessorThatWroteThePort) {
  auto board = NewBoard();
  gObserved = {};
  VOID* iface = nullptr;
  EFI_GUID g = EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID;
  ASSERT_EQ(board->firmware().smst()->SmmLocateProtocol(&g, nullptr, &iface), EFI_SUCCESS);
  auto* sw = static_cast<EFI_SMM_SW_DISPATCH2_PROTOCOL*>(iface);
  EFI_SMM_SW_REGISTER_CONTEXT ctx{0x42};
  EFI_HANDLE h = nullptr;
  ASSERT_EQ(sw->Register(sw, RecordingHandler, &ctx, &h), EFI_SUCCESS);
  EXPECT_EQ(sw->Register(sw, RecordingHandler, &ctx, &h), EFI_INVALID_PARAMETER) << "one child per value";
  auto r = board->RaiseSoftwareSmi(2, 0x42, 0x7);
  EXPECT_TRUE(r.handled);
  EXPECT_EQ(gObserved.calls, 1);
  EXPECT_EQ(gObserved.context.SwSmiCpuIndex, 2u);
  EXPECT_EQ(gObserved.context.CommandPort, 0x42);
  EXPECT_EQ(gObserved.context.DataPort, 0x7);
  EXPECT_EQ(gObserved.size, sizeof(EFI_SMM_SW_CONTEXT));
  EXPECT_FALSE(board->RaiseSoftwareSmi(0, 0x43).handled);
  EXPECT_EQ(gObserved.calls, 1);
  EXPECT_THROW(board->RaiseSoftwareSmi(9, 0x42), std::out_of_range);
}

TEST(SmmCore, SaveStateReadsAndWritesEachWidthPerProcessor) {
  auto board = NewBoard();
  VOID* iface = nullptr;
  EFI_GUID g = EFI_SMM_CPU_PROTOCOL_GUID;
  ASSERT_EQ(board->firmware().smst()->SmmLocateProtocol(&g, nullptr, &iface), EFI_SUCCESS);
  auto* cpu = static_cast<EFI_SMM_CPU_PROTOCOL*>(iface);
  board->SetCpuRegister(1, EFI_SMM_SAVE_STATE_REGISTER_RBX, 0x1122334455667788ULL);
  board->SetCpuRegister(0, EFI_SMM_SAVE_STATE_REGISTER_RBX, 0xAAAAAAAAAAAAAAAAULL);
  for (UINTN width : {1u, 2u, 4u, 8u}) {
    uint64_t v = 0;
    ASSERT_EQ(cpu->ReadSaveState(cpu, width, EFI_SMM_SAVE_STATE_REGISTER_RBX, 1, &v), EFI_SUCCESS);
    uint64_t mask = width == 8 ? ~0ULL : (1ULL << (8 * width)) - 1;
    EXPECT_EQ(v, 0x1122334455667788ULL & mask) << "width " << width;
  }
  uint16_t w = 0xBEEF;
  ASSERT_EQ(cpu->WriteSaveState(cpu, 2, EFI_SMM_SAVE_STATE_REGISTER_RBX, 1, &w), EFI_SUCCESS);
  EXPECT_EQ(board->CpuRegister(1, EFI_SMM_SAVE_STATE_REGISTER_RBX), 0x112233445566BEEFULL);
  EXPECT_EQ(board->CpuRegister(0, EFI_SMM_SAVE_STATE_REGISTER_RBX), 0xAAAAAAAAAAAAAAAAULL);
  uint64_t v = 0;
  EXPECT_EQ(cpu->ReadSaveState(cpu, 3, EFI_SMM_SAVE_STATE_REGISTER_RBX, 1, &v), EFI_INVALID_PARAMETER);
  EXPECT_EQ(cpu->ReadSaveState(cpu, 16, EFI_SMM_SAVE_STATE_REGISTER_RBX, 1, &v), EFI_INVALID_PARAMETER);
  EXPECT_EQ(cpu->ReadSaveState(cpu, 4, EFI_SMM_SAVE_STATE_REGISTER_RBX, 4, &v), EFI_INVALID_PARAMETER);
  EXPECT_EQ(cpu->ReadSaveState(cpu, 4, EFI_SMM_SAVE_STATE_REGISTER_GDTBASE, 1, &v), EFI_NOT_FOUND);
  EXPECT_EQ(cpu->ReadSaveState(cpu, 4, EFI_SMM_SAVE_STATE_REGISTER_RBX, 1, nullptr), EFI_INVALID_PARAMETER);
}

}  // namespace

namespace {

std::vector<std::string> gEvents;
EFI_STATUS EFIAPI PowerButtonHandler(EFI_HANDLE, const VOID* context, VOID* comm, UINTN* size) {
  auto* c = static_cast<const EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT*>(context);
  gEvents.push_back("pb phase " + std::to_string(c->Phase) + (comm == nullptr && size == nullptr ? "" : " with buffer"));
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI SleepHandler(EFI_HANDLE, const VOID* context, VOID* comm, UINTN*) {
  auto* c = static_cast<const EFI_SMM_SX_REGISTER_CONTEXT*>(context);
  gEvents.push_back("S" + std::to_string(c->Type) + " phase " + std::to_string(c->Phase) + (comm ? " with buffer" : ""));
  return EFI_SUCCESS;
}

TEST(SmmCore, PowerButtonAndSleepDispatchCallTheMatchingRegistrationsWithTheirContexts) {
  auto board = NewBoardWithoutImages();
  gEvents.clear();
  VOID* iface = nullptr;
  EFI_GUID pbg = EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID, sxg = EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID;
  ASSERT_EQ(board->firmware().smst()->SmmLocateProtocol(&pbg, nullptr, &iface), EFI_SUCCESS);
  auto* pb = static_cast<EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL*>(iface);
  ASSERT_EQ(board->firmware().smst()->SmmLocateProtocol(&sxg, nullptr, &iface), EFI_SUCCESS);
  auto* sx = static_cast<EFI_SMM_SX_DISPATCH2_PROTOCOL*>(iface);
  EFI_HANDLE h = nullptr;
  EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT entry{EfiPowerButtonEntry};
  ASSERT_EQ(pb->Register(pb, PowerButtonHandler, &entry, &h), EFI_SUCCESS);
  EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT bad{EfiPowerButtonMax};
  EXPECT_EQ(pb->Register(pb, PowerButtonHandler, &bad, &h), EFI_INVALID_PARAMETER);
  for (EFI_SLEEP_TYPE t : {SxS3, SxS5}) {
    EFI_SMM_SX_REGISTER_CONTEXT c{t, SxEntry};
    ASSERT_EQ(sx->Register(sx, SleepHandler, &c, &h), EFI_SUCCESS);
  }
  EFI_SMM_SX_REGISTER_CONTEXT exit_phase{SxS4, SxExit};
  EXPECT_EQ(sx->Register(sx, SleepHandler, &exit_phase, &h), EFI_UNSUPPORTED) << "this board signals entry only";
  EXPECT_TRUE(board->PressPowerButton().handled);
  EXPECT_FALSE(board->EnterSleep(SxS4).handled);
  EXPECT_TRUE(board->EnterSleep(SxS5).handled);
  EXPECT_EQ(gEvents, (std::vector<std::string>{"pb phase 0", "S5 phase 0"}));
  // The handle unregisters exactly its own child.
  EXPECT_EQ(sx->UnRegister(sx, h), EFI_SUCCESS);
  EXPECT_FALSE(board->EnterSleep(SxS5).handled);
  EXPECT_TRUE(board->EnterSleep(SxS3).handled);
}

}  // namespace
