#include "sim/core/Cpu.h"

#include <csetjmp>
#include <cstdio>

namespace sim {

Cpu::Cpu(Bus& bus) : bus_(bus) {
  ops_ = HostBusOps{this, &MemRead, &MemWrite, &IoRead, &IoWrite, &MsrRead, &MsrWrite, &Pause, &Cpuid, &FlushLine, &Wbinvd};
}

Cpu::RunResult Cpu::Run(const std::function<void()>& code) {
  std::jmp_buf env;
  void* outer = jump_;
  jump_ = &env;
  ++depth_;
  RunResult result;
  if (setjmp(env) == 0) {
    code();
  } else {
    result.outcome = abandon_outcome_;
    result.fault = abandon_fault_;
  }
  --depth_;
  jump_ = outer;
  return result;
}

// Nothing that owns memory may be alive in the frames between here and Run: longjmp
// skips their destructors. The reason travels in members.
void Cpu::Abandon(Outcome outcome) {
  abandon_outcome_ = outcome;
  std::longjmp(*static_cast<std::jmp_buf*>(jump_), 1);
}

void Cpu::EndRun(Outcome outcome, const std::string& fault) {
  abandon_fault_ = fault;
  if (depth_ > 0) Abandon(outcome);
  if (outcome == Outcome::kFault) throw MachineFault{fault};
}

// A reset takes the processor away at the next instruction after the write to 0xCF9:
// any further access (a pause of the driver's endless loop included) ends the run. So does
// the loss of power, at the first access at or after the instant the rail went off.
void Cpu::CheckStop() {
  if (depth_ == 0) return;
  if (bus_.PowerGone()) {
    abandon_fault_.clear();
    Abandon(Outcome::kPowerLost);
  }
  if (reset_pending_) {
    abandon_fault_.clear();
    Abandon(Outcome::kReset);
  }
}

uint64_t Cpu::MemRead(void* c, uint64_t a, unsigned b) {
  auto* cpu = static_cast<Cpu*>(c);
  if (__builtin_expect(cpu->StopDue(), false)) cpu->CheckStop();
  if (const Bus::Range* r = cpu->bus_.SmmUnmapped(a, b)) cpu->PageFault("read", a, *r);
  return cpu->bus_.MemRead(a, b);
}
void Cpu::MemWrite(void* c, uint64_t a, unsigned b, uint64_t v) {
  auto* cpu = static_cast<Cpu*>(c);
  if (__builtin_expect(cpu->StopDue(), false)) cpu->CheckStop();
  if (const Bus::Range* r = cpu->bus_.SmmUnmapped(a, b)) cpu->PageFault("write", a, *r);
  cpu->bus_.MemWrite(a, b, v);
}
void Cpu::PageFault(const char* access, uint64_t address, const Bus::Range& range) {
  char b[160];
  std::snprintf(b, sizeof b, "#PF: SMM %s at 0x%llX, in %s memory that SMM may not touch", access,
                static_cast<unsigned long long>(address), range.what.c_str());
  abandon_fault_ = b;
  Fault();
}
uint32_t Cpu::IoRead(void* c, uint16_t p, unsigned b) {
  auto* cpu = static_cast<Cpu*>(c);
  cpu->CheckStop();
  return cpu->bus_.IoRead(p, b);
}
void Cpu::IoWrite(void* c, uint16_t p, unsigned b, uint32_t v) {
  auto* cpu = static_cast<Cpu*>(c);
  cpu->CheckStop();
  cpu->bus_.IoWrite(p, b, v);
}
uint64_t Cpu::MsrRead(void* c, uint32_t i) {
  auto* cpu = static_cast<Cpu*>(c);
  cpu->CheckStop();
  bool faulted = false;
  uint64_t v = 0;
  try {
    v = cpu->bus_.MsrRead(i);
  } catch (const MachineFault& f) {
    cpu->abandon_fault_ = f.what;
    faulted = true;
  }
  if (faulted) cpu->Fault();
  return v;
}
void Cpu::MsrWrite(void* c, uint32_t i, uint64_t v) {
  auto* cpu = static_cast<Cpu*>(c);
  cpu->CheckStop();
  bool faulted = false;
  try {
    cpu->bus_.MsrWrite(i, v);
  } catch (const MachineFault& f) {
    cpu->abandon_fault_ = f.what;
    faulted = true;
  }
  if (faulted) cpu->Fault();
}
void Cpu::Fault() {
  if (depth_ == 0) throw MachineFault{abandon_fault_};
  Abandon(Outcome::kFault);
}
void Cpu::Pause(void* c) {
  auto* cpu = static_cast<Cpu*>(c);
  cpu->CheckStop();
  ++cpu->pause_count_;
  cpu->bus_.clock().Advance(AccessCost::kPause);
}
void Cpu::Cpuid(void* c, uint32_t leaf, uint32_t out[4]) {
  auto* cpu = static_cast<Cpu*>(c);
  cpu->bus_.EndPollRun();
  out[0] = out[1] = out[2] = out[3] = 0;
  if (leaf == 1) {
    out[0] = 0x000906EA;  // Coffee Lake family 6 model 0x9E
    out[1] = 8u << 8;     // CLFLUSH line size 8 * 8 = 64 bytes
    out[3] = cpu->clflush_ ? (1u << 19) : 0;
  }
}
void Cpu::FlushLine(void* c, uint64_t a) {
  auto* cpu = static_cast<Cpu*>(c);
  cpu->bus_.clock().Advance(AccessCost::kRam);
  if (cpu->on_flush_line) cpu->on_flush_line(a);
}
void Cpu::Wbinvd(void* c) {
  auto* cpu = static_cast<Cpu*>(c);
  cpu->bus_.clock().Advance(AccessCost::kMmioRead);
  if (cpu->on_wbinvd) cpu->on_wbinvd();
}

}  // namespace sim
