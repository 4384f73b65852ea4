// BoardSmiServiceSmm on the simulated board: software SMI 0xE0 raised by the operating
// system on some processor, answered in that processor's saved AX and BX.
#include "board_smi/BoardSmiServiceSmm.h"
#include "frame/Frame.h"
#include "tests/pch/BoardFixture.h"

namespace {
using pchtest::Join;
using pchtest::WholeBoard;

struct Registers {
  uint64_t rax, rbx;
};

Registers Call(sim::Board& board, uint64_t rax, uint64_t rbx, unsigned cpu = 1) {
  board.SetCpuRegister(cpu, EFI_SMM_SAVE_STATE_REGISTER_RAX, rax);
  board.SetCpuRegister(cpu, EFI_SMM_SAVE_STATE_REGISTER_RBX, rbx);
  auto result = board.RaiseSoftwareSmi(cpu, 0xE0);
  EXPECT_TRUE(result.handled);
  EXPECT_EQ(result.handler_status, EFI_SUCCESS);
  EXPECT_FALSE(result.reset);
  return {board.CpuRegister(cpu, EFI_SMM_SAVE_STATE_REGISTER_RAX),
          board.CpuRegister(cpu, EFI_SMM_SAVE_STATE_REGISTER_RBX)};
}

TEST(BoardSmiHandler, RegisterProtocolKeepsBits63To16) {
  WholeBoard w("[me]\nhfsts1 = 0x00050010\n");
  const uint64_t hi = 0x123456789ABC0000ull;
  const uint64_t hj = 0xFEDCBA9876540000ull;
  struct Case {
    uint16_t ax, bx, ax_out, bx_out;
  } cases[] = {
      {0x0012, 0x55AA, 0x0012, 0xAA55},  // presence
      {0x00FF, 0x1234, 0x01FF, 0x1234},  // wrong signature
      {0x0234, 0x7777, 0x0034, 0x0001},  // manufacturing mode
      {0x03AB, 0x7777, 0x00AB, 0x0004},  // operation mode: override by host message
      {0x7F00, 0x5555, 0x0000, 0x5555},  // no such function
      {0xFF01, 0x0000, 0x0001, 0x0000},
  };
  for (const Case& c : cases) {
    Registers r = Call(*w.board, hi | c.ax, hj | c.bx);
    EXPECT_EQ(r.rax, hi | c.ax_out) << std::hex << c.ax;
    EXPECT_EQ(r.rbx, hj | c.bx_out) << std::hex << c.ax;
  }
}

TEST(BoardSmiHandler, AnswersInTheCallingProcessorsRegisters) {
  WholeBoard w;
  w.board->SetCpuRegister(0, EFI_SMM_SAVE_STATE_REGISTER_RBX, 0x1111);
  Registers r = Call(*w.board, 0x0000, 0x55AA, 3);
  EXPECT_EQ(r.rbx, 0xAA55u);
  EXPECT_EQ(w.board->CpuRegister(0, EFI_SMM_SAVE_STATE_REGISTER_RBX), 0x1111u);
}

TEST(BoardSmiHandler, MeQueries) {
  {
    WholeBoard w("[me]\nhfsts1 = 0x90000245\n");
    EXPECT_EQ(Call(*w.board, 0x0200, 0xFFFF).rbx, 0u);
    EXPECT_EQ(Call(*w.board, 0x0300, 0xFFFF).rbx, 0u);
    EXPECT_EQ(w.board->pch().heci()->command() & 0x6, 0x6);  // function 3 enables HECI
  }
  {
    WholeBoard w("[me]\nhfsts1 = 0x00020000\n");
    EXPECT_EQ(Call(*w.board, 0x0300, 0xFFFF).rbx, 2u);
  }
  {
    // Without a HECI function HFSTS1 reads all ones: manufacturing mode, and the
    // operation mode is not read at all but reported as "other".
    WholeBoard w("[me]\npresent = false\n");
    EXPECT_EQ(Call(*w.board, 0x0200, 0xFFFF).rbx, 1u);
    w.Clear();
    EXPECT_EQ(Call(*w.board, 0x0300, 0xFFFF).rbx, 6u);
    EXPECT_EQ(pchtest::CountOf(w.accesses, "MR", 0xE00B0040, 0xE00B0043), 0u);
  }
  {
    WholeBoard w("[me]\nbar0 = 0\n");
    EXPECT_EQ(Call(*w.board, 0x0300, 0xABCD).rbx, 6u);
  }
}

// EFI_SMM_CPU_PROTOCOL of the core, counted.
struct CountingCpu {
  static inline EFI_SMM_CPU_PROTOCOL* real = nullptr;
  static inline int calls = 0;
  static EFI_STATUS EFIAPI Read(const EFI_SMM_CPU_PROTOCOL*, UINTN w, EFI_SMM_SAVE_STATE_REGISTER r, UINTN c, VOID* b) {
    ++calls;
    return real->ReadSaveState(real, w, r, c, b);
  }
  static EFI_STATUS EFIAPI Write(const EFI_SMM_CPU_PROTOCOL*, UINTN w, EFI_SMM_SAVE_STATE_REGISTER r, UINTN c,
                                 const VOID* b) {
    ++calls;
    return real->WriteSaveState(real, w, r, c, b);
  }
};

TEST(BoardSmiHandler, RefusesMissingBufferAndUnknownProcessorWithoutTouchingSaveState) {
  WholeBoard w;
  void* iface = nullptr;
  ASSERT_EQ(w.board->firmware().smm_protocols().Locate(EFI_SMM_CPU_PROTOCOL_GUID, &iface), EFI_SUCCESS);
  CountingCpu::real = static_cast<EFI_SMM_CPU_PROTOCOL*>(iface);
  CountingCpu::calls = 0;
  EFI_SMM_CPU_PROTOCOL counting{&CountingCpu::Read, &CountingCpu::Write};
  gBoardSmiService = BoardSmiServiceState{};
  gBoardSmiService.SmmCpu = &counting;
  EFI_SMM_SW_CONTEXT context{~static_cast<UINTN>(0), 0xE0, 0};
  UINTN size = sizeof context;
  EFI_STATUS s1 = 0, s2 = 0, s3 = 0, s4 = 0;
  w.board->firmware().RunAs("board-smi-test", true, [&] {
    s1 = BoardSmiHandler(nullptr, nullptr, &context, &size);
    s2 = BoardSmiHandler(nullptr, nullptr, nullptr, &size);
    s3 = BoardSmiHandler(nullptr, nullptr, &context, nullptr);
    context.SwSmiCpuIndex = 2;
    w.board->SetCpuRegister(2, EFI_SMM_SAVE_STATE_REGISTER_RBX, 0x55AA);
    s4 = BoardSmiHandler(nullptr, nullptr, &context, &size);
  });
  EXPECT_EQ(s1, EFI_UNSUPPORTED);
  EXPECT_EQ(s2, EFI_UNSUPPORTED);
  EXPECT_EQ(s3, EFI_UNSUPPORTED);
  EXPECT_EQ(s4, EFI_SUCCESS);
  EXPECT_EQ(CountingCpu::calls, 4);  // only the last call: two reads, two writes
  EXPECT_EQ(w.board->CpuRegister(2, EFI_SMM_SAVE_STATE_REGISTER_RBX), 0xAA55u);
}

// Function 0x01 resets the board. GPP_D23 (PCH-H GPP_D, port 0x6D): DW0 0x8F0, DW1 0x8F4,
// HOSTSW_OWN 0xC4, GPI_GPE_EN 0x164, GPI_NMI_EN 0x1E4, GPI_SMI_EN 0x1A4, bit 23.
sim::SmiResult Reset(WholeBoard& w, uint16_t bx) {
  w.board->SetCpuRegister(0, EFI_SMM_SAVE_STATE_REGISTER_RAX, 0x0100);
  w.board->SetCpuRegister(0, EFI_SMM_SAVE_STATE_REGISTER_RBX, bx);
  w.Clear();
  return w.board->RaiseSoftwareSmi(0, 0xE0);
}

const char* kResetPad =
    "[gpio]\nGPP_D23 = { dw0 = 0x44000301, dw1 = 0x00003000, gpe_en = true, nmi_en = true, smi_en = true }\n";

TEST(BoardSmiResetFunction, NonZeroBlPreparesThePadLowInTheRsmrstDomainThenResets) {
  WholeBoard w(kResetPad);
  auto result = Reset(w, 0x0080);
  EXPECT_TRUE(result.reset);
  EXPECT_EQ(Join(w.Writes()),
            "W FD6D08F0=04000201\n"
            "W FD6D08F4=00000000\n"
            "W FD6D00C4=00800000\n"
            "W FD6D0164=00000000\n"
            "W FD6D01E4=00000000\n"
            "W FD6D01A4=00000000\n"
            "W FD6D08F0=04000202\n"  // GPIORXSTATE reads back 1 and is read-only
            "IO CF9=0E\n");
  // RSMRST# pads keep their configuration through the reset: still driving low.
  EXPECT_EQ(w.Pad("GPP_D23").dw0, 0x04000200u);
  EXPECT_EQ(w.board->last_boot().boot_count, 2u);
}

TEST(BoardSmiResetFunction, ZeroBlMovesThePadToPltrstAndLeavesItsOutput) {
  WholeBoard w(kResetPad);
  auto result = Reset(w, 0x0000);
  EXPECT_TRUE(result.reset);
  EXPECT_EQ(Join(w.Writes()),
            "W FD6D08F0=84000201\n"
            "W FD6D08F4=00000000\n"
            "W FD6D00C4=00800000\n"
            "W FD6D0164=00000000\n"
            "W FD6D01E4=00000000\n"
            "W FD6D01A4=00000000\n"
            "IO CF9=0E\n");
  // A PLTRST# pad returns to its power-on configuration with the reset.
  EXPECT_EQ(w.Pad("GPP_D23").dw0, 0x44000301u);
}

TEST(BoardSmiResetFunction, TxLockedPadIsBracketedForTheOutputWrite) {
  WholeBoard w("[gpio]\nGPP_D23 = { dw0 = 0x44000301, lock_tx = true }\n");
  EXPECT_TRUE(Reset(w, 0x00FF).reset);
  auto writes = w.Writes();
  ASSERT_GE(writes.size(), 4u);
  EXPECT_EQ(Join({writes.end() - 4, writes.end()}),
            "MSG 6D:008C op=13 data=00000000\n"
            "W FD6D08F0=04000202\n"
            "MSG 6D:008C op=13 data=00800000\n"
            "IO CF9=0E\n");
  EXPECT_EQ(w.Pad("GPP_D23").dw0 & 1, 0u);
}

TEST(BoardSmiResetFunction, NoPadToPrepareStillResets) {
  {
    WholeBoard w("[pch]\nvariant = \"lp\"\n");
    auto result = Reset(w, 0x0080);
    EXPECT_TRUE(result.reset);
    EXPECT_EQ(w.GpioAccesses(), 0u);
    EXPECT_EQ(Join(w.Writes()), "IO CF9=0E\n");
  }
  {
    WholeBoard w("[gpio]\nGPP_D23 = { owner = 2 }\n");
    auto result = Reset(w, 0x0080);
    EXPECT_TRUE(result.reset);
    EXPECT_EQ(Join(w.Writes()), "IO CF9=0E\n");
  }
}

// A board that boots without the built images, so that this program's copy of the driver
// is the only one to register.
struct ImagelessBoard : WholeBoard {
  explicit ImagelessBoard(const std::string& extra = "") : WholeBoard(extra, false) {
    setenv("FWSIM_IMAGE_DIR", "/nonexistent", 1);
    board->Boot();
    unsetenv("FWSIM_IMAGE_DIR");
  }
};

TEST(BoardSmiServiceSmmBody, RegistersSoftwareSmiE0OnlyWithEveryServiceItNeeds) {
  auto start = [](sim::Board& board) {
    gFrame = FrameState{};
    EFI_STATUS status = EFI_LOAD_ERROR;
    int handle = 0;
    board.firmware().RunAs("board-smi-test", true,
                           [&] { status = _ModuleEntryPoint(&handle, board.firmware().system_table()); });
    std::string what;
    for (auto& r : board.firmware().RegistrationsOf("board-smi-test")) what += r.what + "\n";
    return std::make_pair(status, what);
  };
  {
    ImagelessBoard w;
    auto [status, what] = start(*w.board);
    EXPECT_EQ(status, EFI_SUCCESS);
    EXPECT_EQ(what, "software SMI 0xE0\n");
  }
  {
    ImagelessBoard w;
    w.board->firmware().smm_protocols().Remove(EFI_SMM_CPU_PROTOCOL_GUID);
    auto [status, what] = start(*w.board);
    EXPECT_EQ(status, EFI_NOT_FOUND);
    EXPECT_EQ(what, "");
  }
  {
    ImagelessBoard w("[firmware]\nframe_support = false\n");
    auto [status, what] = start(*w.board);
    EXPECT_TRUE(EFI_ERROR(status));
    EXPECT_EQ(what, "");
  }
}

}  // namespace
