// Joins the emulated firmware images to the simulated firmware. Images see the system
// table, the SMM system table and the simulator's protocols as views in emulated RAM whose
// function slots are stubs into the simulator; the simulator (SMM core, dispatchers, notify
// lists, the boot loader) calls an image's entry point, handlers and notify functions
// through native entry points that run them on the emulator. Interfaces that one image
// installs and another locates are plain emulated memory: those calls never leave the
// emulator.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/cpu/Emulator.h"
#include "sim/cpu/InterfaceLayouts.h"

namespace sim {

class Bus;
class Cpu;
class Firmware;
class LoadedImage;

class ServiceBridge {
 public:
  // `ram_base`/`ram_size`: identity-mapped board RAM the bridge owns (stubs, views, the
  // DXE stack and DXE images). `smm_stack_*`: SMRAM the SMM handlers run on.
  ServiceBridge(Bus& bus, Cpu& cpu, Firmware& firmware, uint64_t ram_base, uint64_t ram_size, uint64_t smm_stack_base,
                uint64_t smm_stack_size, unsigned budget_ms = 10000);
  ~ServiceBridge();
  ServiceBridge(const ServiceBridge&) = delete;
  ServiceBridge& operator=(const ServiceBridge&) = delete;

  // Places `file` (SMM images in SMRAM from the SMM pool, DXE images in boot RAM) and
  // returns it with a native entry point. The linker map beside it (<name>.map) routes the
  // image's memory-mapped register accesses.
  std::unique_ptr<LoadedImage> Load(const std::string& name, bool smm, const std::filesystem::path& file);

  Emulator& emulator() { return *emu_; }

  // A native function that runs the image function at `address` (tests, dispatchers).
  void* NativeEntry(uint64_t address, CallbackKind kind, uint32_t context_size = 0);
  // A native copy of an image's interface of `bytes` bytes at `emulated`, whose function
  // slots run the image's functions: how another driver on the host calls a protocol an
  // emulated image installed. The copy lives as long as the bridge.
  void* NativeInterface(uint64_t emulated, size_t bytes);
  // The emulated view of a simulator object (tables, protocols); 0 when it has none.
  uint64_t ViewOf(const void* host) const;
  uint64_t MakeView(const void* host, const InterfaceLayout& layout);

  struct Thunk;
  uint64_t Invoke(const Thunk& thunk, uint64_t a0, uint64_t a1, uint64_t a2, uint64_t a3);

 private:
  struct View {
    uint64_t address;
    const InterfaceLayout* layout;
    std::map<uint32_t, std::pair<uint64_t, uint64_t>> copies;  // field offset -> (address, bytes)
  };
  uint64_t Allocate(uint64_t bytes, uint64_t align = 16);
  std::map<uint64_t, std::vector<uint64_t>> native_interfaces_;
  void Refresh(const void* host, View& view);
  void RefreshAll();
  uint64_t StubFor(uint64_t native, const ServiceRule* rule);
  void CallService(uint64_t native, const ServiceRule* rule, Emulator::StubCall& call);
  uint64_t ToEmulated(uint64_t value, const EFI_GUID* guid);
  bool IsHostCode(uint64_t address) const;
  std::pair<uint64_t, uint64_t> StackFor(bool smm) const;

  Bus& bus_;
  Cpu& cpu_;
  Firmware& firmware_;
  std::unique_ptr<Emulator> emu_;
  uint64_t ram_base_, ram_size_;
  uint64_t next_ = 0;       // bump allocation in the bridge's RAM (views, copies, DXE images)
  uint64_t scratch_ = 0;    // records copied in for one call, released when it returns
  uint64_t scratch_end_ = 0;
  uint64_t dxe_stack_base_ = 0, dxe_stack_top_ = 0;
  uint64_t smm_stack_base_, smm_stack_top_;
  std::map<const void*, View> views_;
  std::map<uint64_t, const void*> hosts_;  // view address -> simulator object
  std::map<std::pair<uint64_t, const ServiceRule*>, uint64_t> stubs_;
  std::map<std::pair<uint64_t, int>, size_t> thunks_;  // (image function, kind) -> thunk slot
  std::vector<std::pair<uint64_t, uint64_t>> host_code_;
};

}  // namespace sim
