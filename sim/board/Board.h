// A simulated board: buses and devices, the firmware with its loaded driver images, and
// the persistent state of a board folder (board.toml, flash.bin, variables.json).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <toml++/toml.h>

#include "sim/core/Bus.h"
#include "sim/board/PowerCut.h"
#include "sim/core/Cpu.h"
#include "sim/devices/AcpiPmc.h"
#include "sim/devices/ApmPort.h"
#include "sim/devices/Cmos.h"
#include "sim/devices/PchDevices.h"
#include "sim/devices/PmTimer.h"
#include "sim/devices/PowerManagement.h"
#include "sim/devices/ResetControl.h"
#include "sim/devices/SpiFlash.h"
#include "sim/firmware/BiosGuardService.h"
#include "sim/firmware/BoardProtocolStandIns.h"
#include "sim/firmware/Firmware.h"
#include "sim/firmware/ImageLoader.h"
#include "sim/firmware/PlatformFlashStandIn.h"
#include "sim/board/PlatformMemory.h"

namespace sim {

class ServiceBridge;

struct ImageReport {
  std::string name;
  std::string kind;  // "SMM driver", "DXE driver", "board flash driver"
  bool loaded = false;
  std::string not_loaded_reason;
  EFI_STATUS status = EFI_SUCCESS;
  std::string outcome;  // "returned", "reset", or the fault
  std::vector<std::string> registered;
};

struct BootReport {
  std::vector<ImageReport> images;
  bool bios_guard_active = false;
  bool capsule_variable_present = false;
  // The firmware offered the memory-space and UEFI memory maps; without them the SMM
  // drivers judge caller memory by the SMRAM map alone.
  bool memory_map_offered = true;
  uint64_t boot_ns = 0;
  std::vector<std::string> unfreed_boot_pool;  // "image: N bytes at 0x..."
  std::vector<std::string> warnings;           // integration faults the boot revealed
  unsigned boot_count = 0;
};

struct SmiResult {
  bool handled = false;
  EFI_STATUS handler_status = EFI_SUCCESS;
  bool reset = false;
  std::string reset_kind;
  std::string fault;
  bool power_lost = false;  // the board's power went before the handler finished
  uint64_t device_ns = 0;   // simulated time the SMI took
  bool smi = true;          // the chipset raised an SMI (a platform event may raise none)
};

// The variable other firmware reads to learn that BIOS Guard capsules are in use (the board's
// boot report says whether this boot left it in the store).
inline constexpr EFI_GUID kCapsuleVariableVendor = {
    0x368B3153, 0x563D, 0x4610, {0x8D, 0x94, 0x47, 0xA9, 0xFA, 0x8C, 0x4C, 0x16}};
inline constexpr char16_t kCapsuleVariableName[] = u"BiosGuardCapsuleVariable";

// The standard SMM and DXE driver images, in dispatch order. `after_sw_dispatch`: the
// image's dependency expression names the software-SMI dispatch protocol, so a dispatcher
// starts it only once the chipset's SMI dispatchers are installed.
struct DriverImageInfo {
  const char* name;
  bool smm;
  bool after_sw_dispatch;
};
inline constexpr DriverImageInfo kDriverImages[] = {{"SpiFlashSmm", true, true},
                                                    {"BoardSmiServiceSmm", true, true},
                                                    {"SleepGpioSmm", true, false},
                                                    {"BiosGuardVarDxe", false, false}};

class Board {
 public:
  // Opens the board folder (board.toml, flash.bin, variables.json).
  static std::unique_ptr<Board> Open(const std::filesystem::path& dir);
  // A board that lives only in memory (tests).
  static std::unique_ptr<Board> CreateInMemory(toml::table description, std::vector<uint8_t> flash);
  ~Board();

  Bus& bus() { return *bus_; }
  Cpu& cpu() { return *cpu_; }
  Firmware& firmware() { return *firmware_; }
  SpiFlash& flash() { return *flash_; }
  PchDevices& pch() { return *pch_; }
  Cmos& cmos() { return cmos_; }
  PowerManagement& pwrm() { return pwrm_; }
  AcpiPmc& acpi_pm() { return acpi_pm_; }
  const toml::table& description() const { return description_; }
  const std::filesystem::path& dir() const { return dir_; }
  FlashUpdatePrepareStandIn& flash_update_prepare() { return prepare_; }
  // The PlatformFlashProtocol stand-in of this boot; NULL unless the description selects it
  // ([firmware] platform_flash = "stand-in").
  PlatformFlashStandIn* platform_flash_stand_in() { return platform_flash_stand_in_.get(); }
  BiosGuardService& bios_guard() { return bios_guard_; }

  BootReport Boot();
  BootReport Reboot();
  // A digest of SMRAM outside the memory the drivers themselves own there (the SMM stack
  // and the loaded images' module state, which .efi images keep in SMRAM): an attack that
  // makes SMM write SMRAM for the caller changes it; a request served normally does not.
  uint64_t SmramDigest();
  // An interface a driver installed, callable from the host: itself for host images; for
  // .efi images a native copy whose functions run the image's code on the emulator.
  void* CallableInterface(void* interface, size_t bytes);
  const BootReport& last_boot() const { return last_boot_; }
  // Writes flash.bin and variables.json of the board folder, each replaced atomically.
  // After a power cut the flash is saved as the part holds it.
  void Save();

  // Arms a power cut, counted from now (the board description's [power] cut is armed when
  // the first boot finishes). Once it strikes, SMIs end with power_lost, the processor
  // runs nothing more, and the flash part holds what it held at that instant.
  void ArmPowerCut(const PowerCut& cut);
  bool power_lost() const { return power_lost_; }

  // ---- the operating system's side
  uint64_t OsAlloc(uint64_t size, uint64_t align = 16);
  void OsFreeAll() { os_next_ = 0; }
  void SetCpuRegister(unsigned cpu, EFI_SMM_SAVE_STATE_REGISTER reg, uint64_t value);
  uint64_t CpuRegister(unsigned cpu, EFI_SMM_SAVE_STATE_REGISTER reg);
  // The OS on processor `cpu` writes `value` to APM_CNT (0xB2).
  SmiResult RaiseSoftwareSmi(unsigned cpu, uint8_t value, uint8_t data = 0);
  // The longest SMI since the last reset of the figure (from the SMI's trigger to its return).
  uint64_t longest_smi_ns() const { return longest_smi_ns_; }
  void ResetLongestSmi() { longest_smi_ns_ = 0; }
  // The power button is pressed: the PMC sets PWRBTN_STS and raises an SMI when PWRBTN_EN
  // and GBL_SMI_EN are set and SCI_EN is clear.
  SmiResult PressPowerButton();
  // The OS enters a sleep state: it writes SLP_TYP and SLP_EN to PM1_CNT, which the PMC
  // traps into an SMI while SLP_SMI_EN is set. A board asleep is woken by the next event.
  SmiResult EnterSleep(EFI_SLEEP_TYPE type);

  // Installs FlashUpdatePrepareProtocol / BiosGuardProtocol now (boards where they arrive late).
  void InstallFlashUpdatePrepare();
  void InstallBiosGuardProtocol();

  static toml::table DefaultDescription();

 private:
  Board(toml::table description, std::vector<uint8_t> flash, std::filesystem::path dir);
  void BuildHardware(std::vector<uint8_t> flash);
  void ApplyCpuDescription();
  SmiResult FinishSmi(const Firmware::SmiOutcome& outcome, uint64_t start_ns);
  // Serves the SMIs the PMC raised since `chipset_smi_pending_` was last cleared.
  SmiResult ServeChipsetSmis(uint64_t start_ns);
  void WakeIfAsleep();
  void StartPlatformFlash(BootReport& report);
  std::vector<PlatformRange> DeviceWindows();
  void DropEmulation();
  void LoadAndStart(const std::string& name, const std::string& kind, bool smm, BootReport& report);
  // Starts the driver images in dispatch order; `before` and `after` run around each one.
  void StartDriverImages(BootReport& report, const std::function<void(const char* name, bool smm)>& before,
                         const std::function<void(const char* name)>& after);
  static bool SmiDispatchersFirst(const toml::table& description);

  toml::table description_;
  std::filesystem::path dir_;
  std::unique_ptr<Bus> bus_;
  std::unique_ptr<Cpu> cpu_;
  Cmos cmos_;
  std::unique_ptr<PmTimer> pm_timer_;
  PowerManagement pwrm_;
  AcpiPmc acpi_pm_;
  bool chipset_smi_pending_ = false;
  ResetControl reset_control_;
  ApmPort apm_;
  std::unique_ptr<SpiFlash> flash_;
  std::unique_ptr<PchDevices> pch_;
  std::unique_ptr<Firmware> firmware_;
  FrameSupportStandIn frame_support_;
  FlashUpdatePrepareStandIn prepare_;
  std::unique_ptr<PlatformFlashStandIn> platform_flash_stand_in_;
  BiosGuardService bios_guard_;
  std::vector<std::unique_ptr<LoadedImage>> images_;
  // Boards that boot the .efi images: the x86-64 emulator joined to this boot's firmware.
  DriverImageChoice image_choice_;
  std::unique_ptr<ServiceBridge> emulation_;
  std::vector<std::shared_ptr<void>> extensions_;
  std::optional<std::pair<uint8_t, uint8_t>> pending_smi_;
  std::string reset_kind_;
  BootReport last_boot_;
  unsigned boot_count_ = 0;
  bool power_lost_ = false;
  void NotePowerLoss();
  uint64_t os_next_ = 0;
  uint64_t longest_smi_ns_ = 0;
  VariableStore carried_variables_;
};

}  // namespace sim
