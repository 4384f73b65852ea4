// An x86-64 processor for the board's firmware images (PE32+ .efi files), on Unicorn.
//
// RAM is the board's own memory, shared with the simulator at the same addresses, so a
// pointer means the same thing to an image and to the simulated firmware. Port I/O, CPUID,
// RDMSR/WRMSR, PAUSE, CLFLUSH and WBINVD go to the same bus, MSR file and cache model as
// the host images' accesses do. Memory-mapped registers are reached through the image's
// own register-access routines (MmioRead8 ... MmioWrite64, found through the linker map):
// each call is carried out by the bus at the routine's entry, so every access the host
// build traces is traced here too, with its width intact (Unicorn 2.0.1 splits 64-bit
// device accesses in two) and without a memory hook (any one slows every load and store).
//
// Calls into an image use the Microsoft x64 convention; calls out of an image land on stub
// slots whose handlers run in the simulator. A fault inside an image (an access to nothing,
// #GP, #UD, a loop that stops reaching the bus for longer than the budget) stops that call
// and is reported with the image, RIP, function and instruction bytes; the simulator goes on.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/core/Bus.h"
#include "sim/cpu/LinkMap.h"

namespace sim {

class Bus;
class Cpu;

class Emulator {
 public:
  // Why the current call ended early.
  enum class Stop { kNone, kFault, kReset, kPowerLost };

  struct Image {
    std::string name;
    uint64_t base = 0;
    uint64_t size = 0;
    uint64_t entry = 0;
    std::vector<std::pair<uint64_t, uint64_t>> code;  // executable ranges [begin, end)
    LinkMap map;
    bool InCode(uint64_t a) const {
      for (auto& [b, e] : code)
        if (a >= b && a < e) return true;
      return false;
    }
  };

  // A call out of an image into the simulator: arguments 1-10 and the result.
  struct StubCall {
    uint64_t args[10];
    uint64_t result = 0;
  };
  using StubHandler = std::function<void(StubCall&)>;

  // `stub_base` is two pages of identity-mapped RAM: stub slots and the return trap, then
  // the cell through which the register-access routines move their values. An outermost
  // call that stops reaching the bus for `budget_ms` of host time is stopped as a runaway.
  Emulator(Bus& bus, Cpu& cpu, uint64_t stub_base, unsigned budget_ms = 10000);
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Makes identity-mapped board RAM visible to the processor.
  void MapRam(uint64_t base, uint64_t size, void* host);
  // Closes (in SMM) or opens the memory an SMM page table leaves unmapped after ready-to-lock.
  void CloseSmmUnmapped(bool closed);
  bool IsMapped(uint64_t address, uint64_t size) const;

  // Places a PE32+ image at `base` (already-mapped RAM, 4 KiB aligned) and arms its
  // instruction sites. `link_map` may be empty: then the image's memory-mapped register
  // accesses are not routed (a device access faults as an access to nothing).
  const Image& Load(const std::string& name, const std::vector<uint8_t>& file, uint64_t base,
                    const std::string& link_map);
  const Image* ImageAt(uint64_t address) const;

  // A stub slot: code in the image that calls its address runs `handler`.
  uint64_t AddStub(StubHandler handler);

  // Runs `function` with up to 10 arguments on the stack ending at `stack_top` (or, when
  // already inside that stack, below the caller's frame). Returns RAX; check stop().
  uint64_t Call(uint64_t function, const std::vector<uint64_t>& args, uint64_t stack_base, uint64_t stack_top);
  unsigned depth() const { return depth_; }

  Stop stop() const { return stop_; }
  const std::string& stop_report() const { return stop_report_; }
  // Ends the current call (from a stub handler, e.g. a service that faulted).
  void RequestStop(Stop why, const std::string& report);
  // Clears the stop once the outermost caller has taken it.
  void ClearStop();

  // A description of where the processor is (image, offset, function, instruction bytes).
  std::string Where(uint64_t rip);

 private:
  struct Site;
  struct Unicorn;
  static constexpr unsigned kMaxDepth = 60;  // Unicorn 2.0.1 breaks at 64 nested runs

  void ArmSites(const Image& image, const std::vector<uint8_t>& bytes);
  void AddSite(uint64_t address, Site site);
  void HookSites(uint64_t begin, uint64_t end);
  void OnSite(uint64_t address, uint32_t size);
  void OnStub(uint64_t address);
  uint32_t OnIn(uint32_t port, int size);
  void OnOut(uint32_t port, int size, uint32_t value);
  void OnCpuid();
  void OnFault(const std::string& what, uint64_t rip);
  bool Stopping();
  bool BoardStops();
  void Return(uint64_t value);  // returns from the routine whose entry the processor is at
  uint64_t Reg(int reg);
  void SetReg(int reg, uint64_t value);

  Bus& bus_;
  Cpu& cpu_;
  std::unique_ptr<Unicorn> uc_;
  uint64_t stub_base_;
  uint64_t trap_;
  uint64_t cell_address_ = 0;
  uint8_t* cell_ = nullptr;
  std::vector<StubHandler> stubs_;
  std::vector<std::unique_ptr<Image>> images_;
  std::map<uint64_t, Site*> sites_;
  std::vector<std::unique_ptr<Site>> site_storage_;
  std::vector<std::pair<uint64_t, uint64_t>> mapped_;
  std::vector<Bus::Range> closed_ranges_;  // closed to the processor now (empty: all open)
  unsigned depth_ = 0;
  Stop stop_ = Stop::kNone;
  std::string stop_report_;

  friend struct EmulatorHooks;
};

}  // namespace sim
