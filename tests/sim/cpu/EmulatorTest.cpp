// The x86-64 emulator on a bare bus: instructions reach the board's devices and MSRs,
// register routines named by the linker map go through the bus with their width, calls
// into and out of an image keep their arguments, and faults end only the call.
#include <gtest/gtest.h>

#include <memory>

#include "sim/core/Bus.h"
#include "sim/core/Cpu.h"
#include "sim/cpu/Emulator.h"
#include "tests/sim/cpu/TestPe.h"

namespace {

constexpr uint64_t kRam = 0x70000000;
constexpr uint64_t kRamSize = 0x100000;
constexpr uint64_t kImageBase = kRam + 0x10000;
constexpr uint64_t kData = kRam + 0x40000;
constexpr uint64_t kStackBase = kRam + 0x80000;
constexpr uint64_t kStackTop = kRam + 0xF0000;

struct Code {
  std::vector<uint8_t> bytes;
  Code& operator()(std::initializer_list<uint8_t> b) {
    bytes.insert(bytes.end(), b);
    return *this;
  }
  Code& Imm64(uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Code& At(size_t offset) {  // the next bytes start at .text + offset
    bytes.resize(offset, 0xCC);
    return *this;
  }
  Code& CallRel(size_t target) {  // call to .text + target
    int32_t rel = static_cast<int32_t>(target - (bytes.size() + 5));
    bytes.push_back(0xE8);
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(rel >> (8 * i)));
    return *this;
  }
};

class Machine {
 public:
  Machine() {
    uint8_t* host = bus.MapRam(kRam, kRamSize, sim::RamKind::kRam);
    emu = std::make_unique<sim::Emulator>(bus, cpu, kRam, 300);
    emu->MapRam(kRam, kRamSize, host);
    bus.AddObserver([this](const sim::Bus::Access& a) { accesses.push_back(a); });
  }
  void Load(const Code& code, const std::string& map = {}) {
    simtest::TestPe pe;
    pe.code = code.bytes;
    pe.data.assign(8, 0);
    pe.relocations = {0x2000};
    emu->Load("TestImage", pe.Build(), kImageBase, map);
  }
  uint64_t Run(size_t offset, std::vector<uint64_t> args = {}) {
    return emu->Call(kImageBase + 0x1000 + offset, args, kStackBase, kStackTop);
  }
  bool Saw(const std::string& kind, uint64_t address, unsigned bits, uint64_t value) const {
    for (auto& a : accesses)
      if (a.kind == kind && a.address == address && a.bits == bits && a.value == value) return true;
    return false;
  }

  sim::Bus bus;
  sim::Cpu cpu{bus};
  std::unique_ptr<sim::Emulator> emu;
  std::vector<sim::Bus::Access> accesses;
};

TEST(Emulator, InstructionsReachTheBoardsMsrsPortsAndProcessorModel) {
  Machine m;
  m.bus.DefineMsr(0xCE, 0x0000000812345678ULL);
  Code c;
  c({0xB9, 0xCE, 0, 0, 0})        // mov ecx, 0xCE
      ({0x0F, 0x32})              // rdmsr
      ({0x48, 0xC1, 0xE2, 0x20})  // shl rdx, 32
      ({0x48, 0x09, 0xD0})        // or rax, rdx
      ({0x49, 0x89, 0xC0})        // mov r8, rax
      ({0xB8, 1, 0, 0, 0})        // mov eax, 1
      ({0x0F, 0xA2})              // cpuid
      ({0x41, 0x89, 0xD1})        // mov r9d, edx
      ({0xB8, 0x5A, 0, 0, 0})     // mov eax, 0x5A
      ({0xE6, 0x80})              // out 0x80, al
      ({0xF3, 0x90})              // pause
      ({0x4C, 0x89, 0xC0})        // mov rax, r8
      ({0xC3});
  c.At(0x80)({0xB9, 0x10, 0x01, 0, 0})({0x0F, 0x32})({0xC3});  // rdmsr 0x110: the board has none
  m.Load(c);

  uint64_t before = m.bus.clock().Now();
  EXPECT_EQ(m.Run(0), 0x0000000812345678ULL);
  EXPECT_EQ(m.emu->stop(), sim::Emulator::Stop::kNone) << m.emu->stop_report();
  EXPECT_TRUE(m.Saw("MSRR", 0xCE, 64, 0x0000000812345678ULL));
  EXPECT_TRUE(m.Saw("IW", 0x80, 8, 0x5A));
  EXPECT_EQ(m.cpu.pause_count(), 1u);
  EXPECT_GE(m.bus.clock().Now() - before, sim::AccessCost::kPause + sim::AccessCost::kIo);

  m.Run(0x80);
  EXPECT_EQ(m.emu->stop(), sim::Emulator::Stop::kFault);
  EXPECT_NE(m.emu->stop_report().find("TestImage+0x1085"), std::string::npos) << m.emu->stop_report();
  EXPECT_NE(m.emu->stop_report().find("0f 32"), std::string::npos) << m.emu->stop_report();
}

TEST(Emulator, RegisterRoutinesNamedByTheLinkMapGoThroughTheBusWithTheirWidth) {
  Code c;
  c({0x48, 0xB9}).Imm64(kData)       // mov rcx, kData
      ({0xBA, 0x44, 0x33, 0x22, 0x11})  // mov edx, 0x11223344
      .CallRel(0x50)                   // MmioWrite32
      ({0x48, 0xB9}).Imm64(kData + 4)  // mov rcx, kData + 4
      ({0x48, 0xBA}).Imm64(0x8877665544332211ULL)
      .CallRel(0x60)                // MmioWrite64
      ({0x48, 0xB9}).Imm64(kData)  // mov rcx, kData
      .CallRel(0x40)               // MmioRead32
      ({0xC3});
  c.At(0x40)({0x8B, 0x01, 0xC3});        // MmioRead32: mov eax, [rcx]
  c.At(0x50)({0x89, 0x11, 0xC3});        // MmioWrite32: mov [rcx], edx
  c.At(0x60)({0x48, 0x89, 0x11, 0xC3});  // MmioWrite64: mov [rcx], rdx
  std::string map = simtest::MapLine("?MmioRead32@@YAI_K@Z", 0x1040) + simtest::MapLine("?MmioWrite32@@YAX_KI@Z", 0x1050) +
                    simtest::MapLine("?MmioWrite64@@YAX_K0@Z", 0x1060);
  {
    Machine m;
    m.Load(c, map);
    EXPECT_EQ(m.Run(0), 0x11223344u) << m.emu->stop_report();
    EXPECT_TRUE(m.Saw("MW", kData, 32, 0x11223344));
    EXPECT_TRUE(m.Saw("MW", kData + 4, 64, 0x8877665544332211ULL)) << "one 64-bit access, not two halves";
    EXPECT_TRUE(m.Saw("MR", kData, 32, 0x11223344));
    uint64_t stored;
    m.bus.PeekBytes(kData + 4, &stored, 8);
    EXPECT_EQ(stored, 0x8877665544332211ULL) << "the bus wrote the RAM";
  }
  {
    Machine m;  // without the map the routines are plain code: RAM changes, the bus sees nothing
    m.Load(c);
    EXPECT_EQ(m.Run(0), 0x11223344u);
    EXPECT_TRUE(m.accesses.empty());
  }
}

TEST(Emulator, AFaultEndsOnlyTheCallAndNamesImageRipAndInstruction) {
  Machine m;
  Code c;
  c({0x0F, 0x0B});                                                  // ud2
  c.At(0x10)({0x48, 0x8B, 0x04, 0x25, 0x00, 0x10, 0x00, 0x00})({0xC3});  // mov rax, [0x1000]
  c.At(0x20)({0xEB, 0xFE});                                        // jmp $
  c.At(0x30)({0xB8, 7, 0, 0, 0})({0xC3});                          // mov eax, 7
  m.Load(c);
  struct Case {
    size_t offset;
    const char* expect;
  } cases[] = {{0x00, "#UD"}, {0x10, "invalid read from 0x1000"}, {0x20, "no bus access for 300 ms"}};
  for (const Case& k : cases) {
    m.Run(k.offset);
    ASSERT_EQ(m.emu->stop(), sim::Emulator::Stop::kFault) << k.expect;
    const std::string& report = m.emu->stop_report();
    EXPECT_NE(report.find(k.expect), std::string::npos) << report;
    EXPECT_NE(report.find("TestImage+0x10"), std::string::npos) << report;
    EXPECT_NE(report.find("instruction bytes"), std::string::npos) << report;
    m.emu->ClearStop();
    EXPECT_EQ(m.Run(0x30), 7u) << "the emulator goes on after " << k.expect;
    EXPECT_EQ(m.emu->stop(), sim::Emulator::Stop::kNone);
  }
}

TEST(Emulator, StubsSeeAllArgumentsAndCanCallBackIntoTheImage) {
  Machine m;
  std::vector<uint64_t> seen;
  uint64_t nested_target = kImageBase + 0x1000 + 0x80;
  uint64_t stub = m.emu->AddStub([&](sim::Emulator::StubCall& call) {
    seen.assign(call.args, call.args + 6);
    call.result = m.emu->Call(nested_target, {}, kStackBase, kStackTop);
    for (int i = 0; i < 6; ++i) call.result += call.args[i];
  });
  Code c;
  c({0x48, 0xB8}).Imm64(stub)                                    // mov rax, stub
      ({0x48, 0x83, 0xEC, 0x38})                                // sub rsp, 0x38
      ({0x48, 0xC7, 0x44, 0x24, 0x20, 5, 0, 0, 0})              // argument 5
      ({0x48, 0xC7, 0x44, 0x24, 0x28, 6, 0, 0, 0})              // argument 6
      ({0xB9, 1, 0, 0, 0})({0xBA, 2, 0, 0, 0})                  // rcx, rdx
      ({0x41, 0xB8, 3, 0, 0, 0})({0x41, 0xB9, 4, 0, 0, 0})      // r8, r9
      ({0x41, 0xBC, 0x99, 0, 0, 0})                             // mov r12d, 0x99 (callee-saved)
      ({0xFF, 0xD0})                                            // call rax
      ({0x4C, 0x01, 0xE0})                                      // add rax, r12
      ({0x48, 0x83, 0xC4, 0x38})({0xC3});
  c.At(0x80)({0x41, 0xBC, 0x11, 0, 0, 0})({0xB8, 7, 0, 0, 0})({0xC3});  // clobbers r12, returns 7
  c.At(0xC0)({0x0F, 0x0B});
  m.Load(c);

  EXPECT_EQ(m.Run(0), 1u + 2 + 3 + 4 + 5 + 6 + 7 + 0x99) << m.emu->stop_report();
  EXPECT_EQ(seen, (std::vector<uint64_t>{1, 2, 3, 4, 5, 6}));

  nested_target = kImageBase + 0x10C0;  // a fault two levels down ends the outer call too
  m.Run(0);
  EXPECT_EQ(m.emu->stop(), sim::Emulator::Stop::kFault);
  EXPECT_NE(m.emu->stop_report().find("TestImage+0x10C0"), std::string::npos) << m.emu->stop_report();
}

TEST(Emulator, APendingResetTakesTheProcessorBeforeItsNextAccess) {
  Machine m;
  uint64_t stub = m.emu->AddStub([&](sim::Emulator::StubCall&) { m.cpu.RequestReset(); });
  Code c;
  c({0x48, 0xB8}).Imm64(stub)({0x48, 0x83, 0xEC, 0x28})({0xFF, 0xD0})({0x48, 0x83, 0xC4, 0x28})  // call the stub
      ({0xB0, 0x01})({0xE6, 0x80})({0xC3});                                                    // out 0x80, al
  m.Load(c);
  m.Run(0);
  EXPECT_EQ(m.emu->stop(), sim::Emulator::Stop::kReset);
  EXPECT_FALSE(m.Saw("IW", 0x80, 8, 1)) << "the write after the reset never reaches the bus";
}

TEST(Emulator, APowerCutStopsTheProcessorAsAResetDoes) {
  Machine m;
  Code c;
  c({0xB0, 0x01})({0xE6, 0x80})({0xC3});  // out 0x80, al
  m.Load(c);
  m.bus.power().CutAt(m.bus.clock().Now());
  m.Run(0);
  EXPECT_EQ(m.emu->stop(), sim::Emulator::Stop::kPowerLost);
  EXPECT_FALSE(m.Saw("IW", 0x80, 8, 1)) << "nothing reaches the bus once the rail is off";
}

// After ready-to-lock the bus lists memory an SMM page table leaves unmapped: emulated
// code in SMM takes a page fault there, as a host image does; outside SMM it is memory.
TEST(Emulator, MemoryUnmappedForSmmFaultsInSmmOnly) {
  Machine m;
  Code c;
  c({0x48, 0xA1}).Imm64(kData)({0xC3});  // mov rax, [kData]
  m.Load(c);
  m.bus.PokeBytes(kData, "\x2A\0\0\0\0\0\0\0", 8);
  m.bus.SetSmmUnmapped({{kData, 0x1000, "BootServicesData"}});
  m.emu->CloseSmmUnmapped(false);
  EXPECT_EQ(m.Run(0), 0x2Au);
  m.bus.SetInSmm(true);
  m.emu->CloseSmmUnmapped(true);
  m.Run(0);
  ASSERT_EQ(m.emu->stop(), sim::Emulator::Stop::kFault);
  EXPECT_NE(m.emu->stop_report().find("#PF: SMM read at 0x70040000, in BootServicesData memory"), std::string::npos)
      << m.emu->stop_report();
  m.emu->ClearStop();
  m.bus.SetInSmm(false);
  m.emu->CloseSmmUnmapped(false);
  EXPECT_EQ(m.Run(0), 0x2Au) << m.emu->stop_report();
}

}  // namespace
