// The firmware of the simulated board: a small PI SMM core (protocol database with
// notifications, SMRAM pool, software-SMI / power-button / Sx dispatchers, per-processor
// save state behind EFI_SMM_CPU_PROTOCOL) and the UEFI boot and runtime services the
// drivers use, plus the image dispatcher.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/core/Bus.h"
#include "sim/core/Cpu.h"
#include "sim/firmware/PoolAllocator.h"
#include "sim/firmware/ProtocolDatabase.h"
#include "sim/firmware/VariableStore.h"
#include "uefi/BoardProtocols.h"
#include "uefi/PiSmm.h"

namespace sim {

// Per-processor save state: the general-purpose registers and RIP/RFLAGS.
struct SaveState {
  std::array<uint64_t, 64> regs{};  // indexed by EFI_SMM_SAVE_STATE_REGISTER (GPR range)
};

struct Registration {
  std::string owner;  // image that registered
  std::string what;   // e.g. "software SMI 0x90", "power button (entry)", "protocol A715AB9C-..."
};

class Firmware {
 public:
  Firmware(Bus& bus, Cpu& cpu, unsigned cpu_count);
  ~Firmware();
  Firmware(const Firmware&) = delete;
  Firmware& operator=(const Firmware&) = delete;

  Bus& bus() { return bus_; }
  Cpu& cpu() { return cpu_; }

  EFI_SYSTEM_TABLE* system_table() { return &st_; }
  EFI_SMM_SYSTEM_TABLE2* smst() { return &smst_; }
  ProtocolDatabase& dxe_protocols() { return dxe_db_; }
  ProtocolDatabase& smm_protocols() { return smm_db_; }
  PoolAllocator& smram_pool() { return smram_pool_; }
  PoolAllocator& boot_pool() { return boot_pool_; }
  VariableStore& variables() { return variables_; }
  std::vector<EFI_SMRAM_DESCRIPTOR>& smram_map() { return smram_map_; }

  // Installs the architectural protocols (SMM Base2, Access2 in DXE; software-SMI,
  // power-button, Sx dispatch and CPU protocols in SMM) and marks variable services up.
  void InstallCoreProtocols();
  // Runs `code` as code of the named image, inside or outside SMM, on the simulated
  // processor (a reset or fault ends it cleanly).
  Cpu::RunResult RunAs(const std::string& owner, bool in_smm, const std::function<void()>& code);

  // Save state.
  SaveState& save_state(unsigned cpu) { return save_states_.at(cpu); }
  unsigned cpu_count() const { return static_cast<unsigned>(save_states_.size()); }

  // SMI sources.
  struct SmiOutcome {
    bool handled = false;     // a handler was registered and ran
    EFI_STATUS handler_status = EFI_SUCCESS;
    Cpu::Outcome outcome = Cpu::Outcome::kReturned;
    std::string fault;
  };
  SmiOutcome SoftwareSmi(unsigned cpu, uint8_t command, uint8_t data);
  // The chipset's SMI (SMI# from the PMC): the dispatcher reads SMI_STS and, for a PM1
  // source, PM1_STS & PM1_EN; runs the children of each source it finds; clears the source
  // (W1C); completes a trapped sleep entry; and sets EOS on its way out.
  SmiOutcome ChipsetSmi();
  // The children of one source (what ChipsetSmi runs once it has decoded the source).
  SmiOutcome PowerButton(EFI_POWER_BUTTON_PHASE phase);
  SmiOutcome SleepEntry(EFI_SLEEP_TYPE type, EFI_SLEEP_PHASE phase);
  // Sets the PMC enables the registered children need (GBL_SMI_EN always, PWRBTN_EN with a
  // power-button child, SLP_SMI_EN with an Sx child), as after start-up or a resume.
  void ArmChipsetSmis();

  const std::vector<Registration>& registrations() const { return registrations_; }
  std::vector<Registration> RegistrationsOf(const std::string& owner) const;
  std::vector<std::string> ProtocolsInstalledBy(const std::string& owner) const;

  // Board-side state the services record.
  uint64_t stall_us = 0;
  bool virtual_mode = false;

  // Fault injection for the boot services.
  void FailNextBootPoolAllocations(unsigned n) { boot_pool_.FailNextAllocations(n); }

  // Stands for the currently active board: services without an interface pointer
  // (SmmAllocatePool, LocateProtocol, ...) find their firmware through it.
  static Firmware* Active();

  // Software SMI handler lookup (tests).
  bool HasSwHandler(uint8_t value) const;

 private:
  friend struct FirmwareServices;
  struct SwChild {
    UINTN value;
    EFI_SMM_HANDLER_ENTRY_POINT2 handler;
    EFI_SMM_SW_REGISTER_CONTEXT context;
    std::string owner;
    std::unique_ptr<int> handle;
  };
  struct PowerButtonChild {
    EFI_SMM_HANDLER_ENTRY_POINT2 handler;
    EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT context;
    std::string owner;
    std::unique_ptr<int> handle;
  };
  struct SxChild {
    EFI_SMM_HANDLER_ENTRY_POINT2 handler;
    EFI_SMM_SX_REGISTER_CONTEXT context;
    std::string owner;
    std::unique_ptr<int> handle;
  };

  Bus& bus_;
  Cpu& cpu_;
  EFI_SYSTEM_TABLE st_{};
  EFI_BOOT_SERVICES bs_{};
  EFI_RUNTIME_SERVICES rs_{};
  EFI_SMM_SYSTEM_TABLE2 smst_{};
  EFI_SMM_BASE2_PROTOCOL base2_{};
  EFI_SMM_ACCESS2_PROTOCOL access2_{};
  EFI_SMM_SW_DISPATCH2_PROTOCOL sw_dispatch_{};
  EFI_SMM_CPU_PROTOCOL smm_cpu_{};
  EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL power_button_{};
  EFI_SMM_SX_DISPATCH2_PROTOCOL sx_dispatch_{};
  ProtocolDatabase dxe_db_;
  ProtocolDatabase smm_db_;
  PoolAllocator smram_pool_;
  PoolAllocator boot_pool_;
  VariableStore variables_;
  std::vector<EFI_SMRAM_DESCRIPTOR> smram_map_;
  std::vector<SaveState> save_states_;
  std::vector<UINTN> save_state_sizes_;
  std::vector<void*> save_state_ptrs_;
  std::vector<SwChild> sw_children_;
  std::vector<PowerButtonChild> pb_children_;
  std::vector<SxChild> sx_children_;
  std::vector<Registration> registrations_;
  std::string current_owner_ = "board";
  bool in_smm_ = false;
  Firmware* previous_active_ = nullptr;
};

}  // namespace sim
