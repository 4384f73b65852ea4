// The simulated processor that runs driver code natively on the host. It owns the
// HostBusOps table handed to driver images and turns the events that end a run on real
// hardware (a board reset, a processor fault) into a clean return to the simulator.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/host/HostBusOps.h"
#include "sim/core/Bus.h"

namespace sim {

class Cpu {
 public:
  explicit Cpu(Bus& bus);
  Cpu(const Cpu&) = delete;
  Cpu& operator=(const Cpu&) = delete;

  const HostBusOps* ops() const { return &ops_; }
  Bus& bus() { return bus_; }

  enum class Outcome { kReturned, kReset, kFault, kPowerLost };
  struct RunResult {
    Outcome outcome = Outcome::kReturned;
    std::string fault;
  };
  // Calls `code` (which enters driver code). A board reset requested while it runs, a
  // processor fault, or the board's power going (the bus's power rail), abandons the
  // driver's frames and returns here. Driver frames hold
  // nothing that needs unwinding (freestanding code, no destructors).
  RunResult Run(const std::function<void()>& code);

  // Ends the current run from outside the driver's frames (the x86-64 emulator, once its
  // own frames are gone): a fault, or a reset the driver ran into. Outside any run a fault
  // is thrown as MachineFault and a reset stays pending.
  void EndRun(Outcome outcome, const std::string& fault);

  // Called by the reset-control device: the board resets at the next instruction.
  void RequestReset() { reset_pending_ = true; }
  bool reset_pending() const { return reset_pending_; }
  void ClearReset() { reset_pending_ = false; }

  // CPUID leaf 1 EDX bit 19 (CLFLUSH) as this processor reports it.
  void SetClflush(bool present) { clflush_ = present; }
  // Cache model hooks (the flash window's cache listens to these).
  std::function<void(uint64_t)> on_flush_line;
  std::function<void()> on_wbinvd;

  uint64_t pause_count() const { return pause_count_; }

 private:
  [[noreturn]] void Abandon(Outcome outcome);
  void Fault();
  void PageFault(const char* access, uint64_t address, const Bus::Range& range);
  void CheckStop();
  bool StopDue() const { return reset_pending_ || bus_.PowerGone(); }
  static uint64_t MemRead(void* c, uint64_t a, unsigned b);
  static void MemWrite(void* c, uint64_t a, unsigned b, uint64_t v);
  static uint32_t IoRead(void* c, uint16_t p, unsigned b);
  static void IoWrite(void* c, uint16_t p, unsigned b, uint32_t v);
  static uint64_t MsrRead(void* c, uint32_t i);
  static void MsrWrite(void* c, uint32_t i, uint64_t v);
  static void Pause(void* c);
  static void Cpuid(void* c, uint32_t leaf, uint32_t out[4]);
  static void FlushLine(void* c, uint64_t a);
  static void Wbinvd(void* c);

  Bus& bus_;
  HostBusOps ops_{};
  bool reset_pending_ = false;
  bool clflush_ = true;
  int depth_ = 0;
  void* jump_ = nullptr;  // jmp_buf of the innermost Run
  Outcome abandon_outcome_ = Outcome::kReturned;
  std::string abandon_fault_;
  uint64_t pause_count_ = 0;
};

}  // namespace sim
