#include "sim/board/Board.h"

#include <algorithm>
#include <stdexcept>

#include "sim/board/AtomicFile.h"
#include "sim/board/BoardDescription.h"
#include "sim/board/MemoryMap.h"
#include "sim/board/PlatformMemory.h"
#include "sim/devices/FlashCatalogue.h"
#ifdef FW_EMULATION
#include "sim/cpu/ServiceBridge.h"
#endif

namespace sim {

namespace {
constexpr uint32_t kMsrPlatformInfoIndex = 0xCE;
constexpr uint64_t kPlatformInfoBiosGuard = 1ULL << 35;
constexpr uint32_t kMsrBiosGuardConfigIndex = 0x110;
constexpr uint32_t kMsrSpiWriteProtectIndex = 0x1FE;

std::string StatusText(EFI_STATUS s) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%016llX", static_cast<unsigned long long>(s));
  return b;
}

EFI_STATUS StatusFromName(const std::string& name) {
  if (name == "write-protected") return EFI_WRITE_PROTECTED;
  if (name == "out-of-resources") return EFI_OUT_OF_RESOURCES;
  if (name == "device-error") return EFI_DEVICE_ERROR;
  if (name == "not-ready") return EFI_NOT_READY;
  if (name == "success") return EFI_SUCCESS;
  throw std::runtime_error("unknown status name '" + name + "'");
}
}  // namespace

toml::table Board::DefaultDescription() {
  return toml::table{
      {"board", toml::table{{"name", "default"}, {"cpus", 4}}},
      {"cpu", toml::table{{"bios_guard", "off"}}},
      {"pch", toml::table{{"variant", "h"}}},
      {"flash", toml::table{{"part", "W25Q128JV"}, {"image", "flash.bin"}}},
      {"firmware", toml::table{{"platform_flash", "driver"}, {"flash_update_prepare", "present"}, {"frame_support", true}}},
  };
}

Board::Board(toml::table description, std::vector<uint8_t> flash, std::filesystem::path dir)
    : description_(std::move(description)), dir_(std::move(dir)) {
  CheckBoardDescription(description_, false);
  BuildHardware(std::move(flash));
}

Board::~Board() {
  images_.clear();
  DropEmulation();
  firmware_.reset();
  pch_.reset();
  platform_flash_stand_in_.reset();
  flash_.reset();
}

std::unique_ptr<Board> Board::Open(const std::filesystem::path& dir) {
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::symlink_status(dir / "board.toml", ec)))
    throw std::runtime_error("no board in " + dir.string() + " (run `fwsim init` first)");
  toml::table description = ReadBoardDescription(FileInBoardFolder(dir, "board.toml", "board.toml"));
  CheckBoardDescription(description, true);
  const std::string image = description["flash"]["image"].value_or(std::string("flash.bin"));
  const auto image_file = FileInBoardFolder(dir, image, "[flash] image");
  auto flash = ReadBinaryFile(image_file);
  const FlashPartDatasheet& part = FindFlashPart(description["flash"]["part"].value_or(std::string()));
  if (flash.size() != part.size)
    throw std::runtime_error(image_file.string() + " holds " + std::to_string(flash.size()) + " bytes, the " +
                             part.name + " " + std::to_string(part.size) +
                             ": a flash image must be exactly as large as the part");
  VariableStore variables;
  variables.Load(FileInBoardFolder(dir, "variables.json", "variables.json"));
  std::unique_ptr<Board> board(new Board(std::move(description), std::move(flash), dir));
  board->carried_variables_ = std::move(variables);
  return board;
}

std::unique_ptr<Board> Board::CreateInMemory(toml::table description, std::vector<uint8_t> flash) {
  return std::unique_ptr<Board>(new Board(std::move(description), std::move(flash), {}));
}

void Board::BuildHardware(std::vector<uint8_t> flash) {
  bus_ = std::make_unique<Bus>();
  cpu_ = std::make_unique<Cpu>(*bus_);
  bus_->MapRam(kLowRamBase, kLowRamSize, RamKind::kRam);
  bus_->MapRam(kOsRamBase, kOsRamSize, RamKind::kRam);
  bus_->MapRam(kOsConventionalBase, kOsConventionalSize, RamKind::kRam);
  bus_->MapRam(kBelowTsegBase, kBelowTsegSize, RamKind::kRam);
  bus_->MapRam(kTsegBase, kTsegSize, RamKind::kSmram);
  bus_->MapRam(kAboveTsegBase, kAboveTsegSize, RamKind::kRam);
  bus_->MapRam(kHighRamBase, kHighRamSize, RamKind::kRam);
  image_choice_ = DriverImages();
  if (image_choice_.kind == ImageKind::kEfi) bus_->MapRam(kEmulatorRamBase, kEmulatorRamSize, RamKind::kRam);
  bus_->MapIo(kCmosIndexPort, kCmosDataPort, &cmos_);
  bus_->MapIo(kApmCntPort, kApmStsPort, &apm_);
  bus_->MapIo(kResetControlPort, kResetControlPort, &reset_control_);
  // [pch] pm_timer: "running", "stuck" (counter stopped) or "absent" (nothing decodes the
  // port: the ACPI base of the board lies elsewhere, reads give all ones).
  std::string pm_timer = description_["pch"]["pm_timer"].value_or(std::string("running"));
  pm_timer_ = std::make_unique<PmTimer>(bus_->clock());
  if (pm_timer == "stuck") pm_timer_->Stop();
  if (pm_timer != "absent") bus_->MapIo(kAcpiPmTimerPort, kAcpiPmTimerPort + 3, pm_timer_.get());
  flash_ = std::make_unique<SpiFlash>(*bus_, *cpu_, description_, std::move(flash));
  pch_ = std::make_unique<PchDevices>(*bus_, *cpu_, description_, pwrm_);  // the PMC function places PWRM
  bus_->MapIo(AcpiPmc::kAbase + AcpiPmc::kPm1Sts, AcpiPmc::kAbase + AcpiPmc::kPm1Cnt + 3, &acpi_pm_);
  bus_->MapIo(AcpiPmc::kAbase + AcpiPmc::kSmiEn, AcpiPmc::kAbase + AcpiPmc::kSmiSts + 3, &acpi_pm_);
  acpi_pm_.on_smi = [this] { chipset_smi_pending_ = true; };
  acpi_pm_.on_sleep = [this](unsigned slp_typ) {
    bus_->TraceText("PMC: SLP_EN with SLP_TYP " + std::to_string(slp_typ) + ", the platform enters the sleep state");
  };

  apm_.on_smi = [this](uint8_t command, uint8_t data) { pending_smi_ = {command, data}; };
  reset_control_.on_reset = [this](const std::string& kind) {
    reset_kind_ = kind;
    if (pwrm_.etr3() & PowerManagement::kEtr3Cf9GlobalReset) reset_kind_ = "global reset";
    cpu_->RequestReset();
  };
  ApplyCpuDescription();
}

void Board::ApplyCpuDescription() {
  std::string bg = description_["cpu"]["bios_guard"].value_or(std::string("off"));
  if (bg == "on") {
    bus_->DefineMsr(kMsrPlatformInfoIndex, kPlatformInfoBiosGuard);
    bus_->DefineMsr(kMsrBiosGuardConfigIndex, 0x2);
  } else if (bg == "capable-off") {
    bus_->DefineMsr(kMsrPlatformInfoIndex, kPlatformInfoBiosGuard);
    bus_->DefineMsr(kMsrBiosGuardConfigIndex, 0x0);
  } else if (bg == "off") {
    // A processor without BIOS Guard does not implement MSR 0x110: reading it faults.
    bus_->DefineMsr(kMsrPlatformInfoIndex, 0);
    bus_->RemoveMsr(kMsrBiosGuardConfigIndex);
  } else {
    throw std::runtime_error("board.toml: [cpu] bios_guard must be on, off or capable-off");
  }
  bus_->DefineMsr(kMsrSpiWriteProtectIndex, 0);
}

void Board::LoadAndStart(const std::string& name, const std::string& kind, bool smm, BootReport& report) {
  ImageReport r;
  r.name = name;
  r.kind = kind;
  const bool efi = image_choice_.kind == ImageKind::kEfi;
  auto file = efi ? image_choice_.efi_dir / (name + ".efi") : ImageDirectory() / (name + ".so");
  if (!std::filesystem::exists(file)) {
    r.not_loaded_reason = "image not built (" + file.string() + ")";
    report.images.push_back(r);
    return;
  }
  std::unique_ptr<LoadedImage> image;
  if (!efi) {
    image = LoadedImage::Load(file, name, cpu_->ops());
  } else {
#ifdef FW_EMULATION
    try {
      image = emulation_->Load(name, smm, file);
    } catch (const std::runtime_error& e) {
      r.not_loaded_reason = e.what();
    }
#else
    r.not_loaded_reason = "this build has no x86-64 emulator (libunicorn-dev) for .efi images";
#endif
    if (!image) {
      report.images.push_back(r);
      return;
    }
  }
  EFI_STATUS status = EFI_LOAD_ERROR;
  auto entry = image->entry();
  EFI_HANDLE handle = image->handle();
  EFI_SYSTEM_TABLE* st = firmware_->system_table();
  auto run = firmware_->RunAs(name, smm, [&] { status = entry(handle, st); });
  r.loaded = true;
  r.status = status;
  if (run.outcome == Cpu::Outcome::kReturned)
    r.outcome = "returned " + StatusText(status);
  else if (run.outcome == Cpu::Outcome::kReset)
    r.outcome = "reset the board";
  else
    r.outcome = "fault: " + run.fault;
  for (auto& reg : firmware_->RegistrationsOf(name)) r.registered.push_back(reg.what);
  for (auto& p : firmware_->ProtocolsInstalledBy(name)) r.registered.push_back("installed " + p);
  images_.push_back(std::move(image));
  report.images.push_back(r);
}

// [firmware] smi_dispatchers = "first" (default) installs the chipset's SMI dispatchers with
// the SMM core; "last" starts them after the images whose dependency expression lets them
// run earlier, as a volume with the dispatchers at its end does.
bool Board::SmiDispatchersFirst(const toml::table& description) {
  return description["firmware"]["smi_dispatchers"].value_or(std::string("first")) == "first";
}

void Board::StartDriverImages(BootReport& report, const std::function<void(const char* name, bool smm)>& before,
                              const std::function<void(const char* name)>& after) {
  bool dispatchers_up = SmiDispatchersFirst(description_);
  auto start = [&](bool waiting_ones) {
    for (const auto& d : kDriverImages)
      if (dispatchers_up || d.after_sw_dispatch == waiting_ones) {
        before(d.name, d.smm);
        LoadAndStart(d.name, d.smm ? "SMM driver" : "DXE driver", d.smm, report);
        after(d.name);
      }
  };
  start(false);
  if (dispatchers_up) return;
  firmware_->InstallSmiDispatchers();
  start(true);
}

// PlatformFlashProtocol comes from the board's flash driver image ("driver"), from the
// stand-in with its call log and fault injection ("stand-in"), from a DXE flash driver that
// publishes the stand-in in the boot-services database ("dxe-stand-in"), or from nowhere
// ("none").
void Board::StartPlatformFlash(BootReport& report) {
  platform_flash_stand_in_.reset();
  std::string mode = description_["firmware"]["platform_flash"].value_or(std::string("driver"));
  if (mode == "driver") {
    LoadAndStart("PlatformFlashSmm", "board flash driver", true, report);
  } else if (mode == "stand-in" || mode == "dxe-stand-in") {
    platform_flash_stand_in_ = std::make_unique<PlatformFlashStandIn>(*bus_, *flash_);
    for (auto op : {PlatformFlashStandIn::Op::kRead, PlatformFlashStandIn::Op::kErase, PlatformFlashStandIn::Op::kWrite,
                    PlatformFlashStandIn::Op::kOperation4, PlatformFlashStandIn::Op::kOperation5}) {
      auto key = std::string("platform_flash_") + PlatformFlashStandIn::OpName(op);
      if (auto s = description_["faults"][key].value<std::string>())
        platform_flash_stand_in_->FailNext(op, StatusFromName(*s), 0);
    }
    platform_flash_stand_in_->Install(*firmware_, mode == "stand-in" ? PlatformFlashStandIn::Database::kSmm
                                                                     : PlatformFlashStandIn::Database::kBootServices);
  } else if (mode != "none") {
    throw std::runtime_error("board.toml: [firmware] platform_flash must be driver, stand-in, dxe-stand-in or none");
  }
}

BootReport Board::Boot() {
  BootReport report;
  report.boot_count = ++boot_count_;
  uint64_t start = bus_->clock().Now();
  images_.clear();
  DropEmulation();
  firmware_.reset();
  firmware_ = std::make_unique<Firmware>(*bus_, *cpu_, description_["board"]["cpus"].value_or(kBoardCpuCount));
#ifdef FW_EMULATION
  if (image_choice_.kind == ImageKind::kEfi)
    emulation_ = std::make_unique<ServiceBridge>(*bus_, *cpu_, *firmware_, kEmulatorRamBase, kEmulatorRamSize,
                                                 kSmmStackBase, kSmmStackSize);
#endif
  // Non-volatile variables come back from the store; volatile ones died with the reset.
  firmware_->variables() = carried_variables_;
  firmware_->variables().DropVolatile();
  firmware_->InstallCoreProtocols(SmiDispatchersFirst(description_));
  // The SMM page table is built afresh each boot; it restricts memory only after ready-to-lock.
  bus_->SetSmmUnmapped({});
  PlatformMemoryMaps maps = BuildPlatformMemoryMaps(DeviceWindows(), flash_->contents().size());
  report.memory_map_offered = description_["firmware"]["memory_map"].value_or(true);
  if (report.memory_map_offered) firmware_->SetMemoryMaps(maps.gcd, maps.uefi);
  if (description_["firmware"]["frame_support"].value_or(true)) frame_support_.Install(*firmware_);
  prepare_ = FlashUpdatePrepareStandIn{};
  prepare_.status = StatusFromName(description_["firmware"]["prepare_status"].value_or(std::string("success")));
  std::string prepare_mode = description_["firmware"]["flash_update_prepare"].value_or(std::string("present"));
  if (prepare_mode == "present") prepare_.Install(*firmware_);
  // BIOS Guard's SMM service exists on boards whose processor runs with BIOS Guard.
  bios_guard_ = BiosGuardService{};
  bios_guard_.failure =
      BiosGuardFailureFromName(description_["bios_guard"]["execute_failures"].value_or(std::string("none")));
  std::string bios_guard_mode = description_["bios_guard"]["protocol"].value_or(std::string("present"));
  bool bios_guard_on = description_["cpu"]["bios_guard"].value_or(std::string("off")) == "on";
  if (bios_guard_on && bios_guard_mode == "present") bios_guard_.Install(*firmware_, *bus_);
  // A late BIOS Guard service arrives right after the image the description names has
  // started (by default after the last one: the drivers find it at their first use).
  std::string bios_guard_after;
  if (bios_guard_on && bios_guard_mode == "late")
    bios_guard_after = description_["bios_guard"]["arrives_after"].value_or(std::string(std::end(kDriverImages)[-1].name));
  else if (bios_guard_mode != "present" && bios_guard_mode != "late" && bios_guard_mode != "absent")
    throw std::runtime_error("board.toml: [bios_guard] protocol must be present, late or absent");
  if (auto s = description_["faults"]["smm_install_protocol"].value<std::string>())
    firmware_->smm_install_protocol_fault = StatusFromName(*s);
  if (auto s = description_["faults"]["smm_register_protocol_notify"].value<std::string>())
    firmware_->smm_register_notify_fault = StatusFromName(*s);
  if (auto s = description_["faults"]["set_variable_status"].value<std::string>())
    firmware_->variables().FailNextSets(StatusFromName(*s), 1000);

  auto bios_guard_due = [&](const std::string& started) {
    if (!bios_guard_after.empty() && started == bios_guard_after) bios_guard_.Install(*firmware_, *bus_);
  };
  StartPlatformFlash(report);
  bios_guard_due("PlatformFlashSmm");
  // Pool failures are meant for the DXE drivers: the SMM drivers' start-up also takes boot
  // pool (the memory maps), and a failure there only leaves that driver without them.
  const auto pool_failures = description_["faults"]["boot_pool_failures"].value<int64_t>();
  StartDriverImages(
      report,
      [&](const char*, bool smm) {
        if (!smm && pool_failures) firmware_->FailNextBootPoolAllocations(static_cast<unsigned>(*pool_failures));
      },
      [&](const char* name) { bios_guard_due(name); });
  if (!bios_guard_after.empty() && !bios_guard_.installed)
    throw std::runtime_error("board.toml: [bios_guard] arrives_after names no image of this board: " + bios_guard_after);
  if (prepare_mode == "late") prepare_.Install(*firmware_);
  for (const auto& leak : firmware_->smram_interfaces_in_boot_services())
    report.warnings.push_back(leak + " installed in the boot-services database with its interface in SMRAM");
  for (const auto& image : report.images)
    if (image.name == "SleepGpioSmm" && image.loaded && image.status == EFI_SUCCESS && image.registered.empty())
      report.warnings.push_back(
          "SleepGpioSmm registered no handler: no power-button or Sx dispatcher was installed when it started "
          "(dispatch it after them)");

  // Ready to lock: from here on SMM reaches only SMRAM, reserved, runtime and ACPI NVS
  // memory and device windows.
  bus_->SetSmmUnmapped(maps.smm_unmapped);

  report.bios_guard_active = (bus_->PeekMsr(kMsrPlatformInfoIndex).value_or(0) & kPlatformInfoBiosGuard) &&
                             (bus_->PeekMsr(kMsrBiosGuardConfigIndex).value_or(0) & 0x2);
  report.capsule_variable_present =
      firmware_->variables().Get(kCapsuleVariableName, kCapsuleVariableVendor) != nullptr;
  for (auto& [address, size] : firmware_->boot_pool().live()) {
    char b[96];
    std::snprintf(b, sizeof b, "%s: %llu bytes at 0x%llX", firmware_->boot_pool().OwnerOf(address).c_str(),
                  static_cast<unsigned long long>(size), static_cast<unsigned long long>(address));
    report.unfreed_boot_pool.push_back(b);
  }
  carried_variables_ = firmware_->variables();
  report.boot_ns = bus_->clock().Now() - start;
  last_boot_ = report;
  if (boot_count_ == 1) ArmPowerCut(PowerCut::FromDescription(description_));
  return report;
}

void Board::ArmPowerCut(const PowerCut& cut) {
  if (!cut.armed()) return;
  const uint64_t now = bus_->clock().Now();
  if (cut.at_ns) bus_->power().CutAt(now + *cut.at_ns);
  flash_->part().ArmPowerCut(now, cut.on_part);
}

// The rail went off: the part settles what it was doing at that instant.
void Board::NotePowerLoss() {
  if (power_lost_) return;
  power_lost_ = true;
  flash_->part().LosePower();
}

uint64_t Board::SmramDigest() {
  struct Span {
    uint64_t base, end;
  };
  std::vector<Span> own{{kSmmStackBase, kSmmStackBase + kSmmStackSize}};
  for (auto& [address, size] : firmware_->smram_pool().live())
    if (firmware_->smram_pool().OwnerOf(address).ends_with(" image")) own.push_back({address, address + size});
  uint64_t h = 1469598103934665603ULL;  // FNV-1a
  for (const EFI_SMRAM_DESCRIPTOR& d : firmware_->smram_map()) {
    const uint64_t base = d.CpuStart, end = d.CpuStart + d.PhysicalSize;
    const uint8_t* p = bus_->HostPointer(base, end - base);
    for (uint64_t a = base; a < end; ++a) {
      auto skip = std::find_if(own.begin(), own.end(), [&](const Span& o) { return a >= o.base && a < o.end; });
      if (skip != own.end()) {
        a = std::min(end, skip->end) - 1;
        continue;
      }
      h = (h ^ p[a - base]) * 1099511628211ULL;
    }
  }
  return h;
}

void* Board::CallableInterface(void* interface, size_t bytes) {
#ifdef FW_EMULATION
  if (emulation_ && interface != nullptr) return emulation_->NativeInterface(reinterpret_cast<uint64_t>(interface), bytes);
#else
  (void)bytes;
#endif
  return interface;
}

void Board::DropEmulation() {
#ifdef FW_EMULATION
  emulation_.reset();
#endif
}

BootReport Board::Reboot() {
  carried_variables_ = firmware_ ? firmware_->variables() : carried_variables_;
  cpu_->ClearReset();
  pwrm_.OnReset();
  acpi_pm_.OnReset();
  pch_->OnPlatformReset();
  flash_->OnReset();
  return Boot();
}

void Board::Save() {
  if (dir_.empty()) return;
  if (bus_->PowerGone()) NotePowerLoss();
  if (firmware_) carried_variables_ = firmware_->variables();
  std::string image = description_["flash"]["image"].value_or(std::string("flash.bin"));
  WriteFileAtomically(dir_ / image, flash_->contents());
  carried_variables_.Save(dir_ / "variables.json");
}

std::vector<PlatformRange> Board::DeviceWindows() {
  std::vector<PlatformRange> w = {
      {kPciExpressBase, kPciExpressSize, EfiGcdMemoryTypeMemoryMappedIo, EfiMemoryMappedIO, "PCI Express configuration"},
      {kSidebandBase, kSidebandSize, EfiGcdMemoryTypeMemoryMappedIo, EfiMemoryMappedIO, "sideband (SBREG_BAR)"},
      {kPwrmBase, kPwrmSize, EfiGcdMemoryTypeMemoryMappedIo, EfiMemoryMappedIO, "PMC (PWRMBASE)"},
      {kIoApicBase, kIoApicSize, EfiGcdMemoryTypeMemoryMappedIo, EfiMemoryMappedIO, "I/O APIC"},
      {kLocalApicBase, kLocalApicSize, EfiGcdMemoryTypeMemoryMappedIo, EfiMemoryMappedIO, "local APIC"},
  };
  if (uint64_t spi = flash_->controller().bar(); spi != 0)
    w.push_back({spi, kSpiBarSize, EfiGcdMemoryTypeMemoryMappedIo, EfiMemoryMappedIO, "SPI controller (BAR0)"});
  if (Heci* heci = pch_->heci(); heci != nullptr && heci->bar_base() != 0 && heci->bar_base() < (1ULL << 48))
    w.push_back({heci->bar_base() & ~0xFFFULL, 0x1000, EfiGcdMemoryTypeMemoryMappedIo, EfiMemoryMappedIO, "HECI (BAR0)"});
  return w;
}

uint64_t Board::OsAlloc(uint64_t size, uint64_t align) {
  if (align == 0 || (align & (align - 1))) throw std::invalid_argument("alignment must be a power of two");
  uint64_t base = (kOsToolArenaBase + os_next_ + align - 1) & ~(align - 1);
  if (size > kOsToolArenaSize || base + size > kOsToolArenaBase + kOsToolArenaSize)
    throw std::runtime_error("operating-system RAM exhausted");
  os_next_ = base + size - kOsToolArenaBase;
  return base;
}

void Board::SetCpuRegister(unsigned cpu, EFI_SMM_SAVE_STATE_REGISTER reg, uint64_t value) {
  firmware_->save_state(cpu).regs.at(reg) = value;
}

uint64_t Board::CpuRegister(unsigned cpu, EFI_SMM_SAVE_STATE_REGISTER reg) {
  return firmware_->save_state(cpu).regs.at(reg);
}

SmiResult Board::FinishSmi(const Firmware::SmiOutcome& outcome, uint64_t start_ns) {
  SmiResult r;
  r.handled = outcome.handled;
  r.handler_status = outcome.handler_status;
  r.fault = outcome.fault;
  r.device_ns = bus_->clock().Now() - start_ns;
  longest_smi_ns_ = std::max(longest_smi_ns_, r.device_ns);
  if (outcome.outcome == Cpu::Outcome::kPowerLost || bus_->PowerGone()) {
    r.power_lost = true;
    NotePowerLoss();
    return r;
  }
  if (outcome.outcome == Cpu::Outcome::kReset || cpu_->reset_pending()) {
    r.reset = true;
    r.reset_kind = reset_kind_;
    Reboot();
  }
  return r;
}

SmiResult Board::RaiseSoftwareSmi(unsigned cpu, uint8_t value, uint8_t data) {
  if (cpu >= firmware_->cpu_count()) throw std::out_of_range("no processor " + std::to_string(cpu) + " on this board");
  uint64_t start = bus_->clock().Now();
  if (bus_->PowerGone()) return FinishSmi({}, start);  // nothing runs on a board without power
  pending_smi_.reset();
  bus_->IoWrite(kApmStsPort, 1, data);
  bus_->IoWrite(kApmCntPort, 1, value);
  Firmware::SmiOutcome outcome;
  if (pending_smi_) {
    auto [command, d] = *pending_smi_;
    pending_smi_.reset();
    outcome = firmware_->SoftwareSmi(cpu, command, d);
  }
  return FinishSmi(outcome, start);
}

void Board::WakeIfAsleep() {
  if (acpi_pm_.sleep_state() == AcpiPmc::kSlpTypS0) return;
  bus_->TraceText("PMC: wake, WAK_STS set");
  acpi_pm_.Wake();
  // The resume path of the SMM core arms its sources again.
  firmware_->ArmChipsetSmis();
}

SmiResult Board::ServeChipsetSmis(uint64_t start_ns) {
  if (!chipset_smi_pending_) {
    SmiResult none = FinishSmi({}, start_ns);
    none.smi = false;
    return none;
  }
  Firmware::SmiOutcome outcome;
  // An SMI held back until EOS is served right after the one before it.
  for (unsigned round = 0; chipset_smi_pending_ && round < 8; ++round) {
    chipset_smi_pending_ = false;
    bus_->TraceText("PMC: SMI#");
    Firmware::SmiOutcome o = firmware_->ChipsetSmi();
    if (o.handled || round == 0) outcome = o;
    if (o.outcome != Cpu::Outcome::kReturned) break;
  }
  return FinishSmi(outcome, start_ns);
}

SmiResult Board::PressPowerButton() {
  const uint64_t start = bus_->clock().Now();
  WakeIfAsleep();
  chipset_smi_pending_ = false;
  bus_->TraceText("PMC: power button pressed, PWRBTN_STS set");
  acpi_pm_.PressPowerButton();
  return ServeChipsetSmis(start);
}

SmiResult Board::EnterSleep(EFI_SLEEP_TYPE type) {
  unsigned slp_typ = 0;
  switch (type) {
    case SxS1: slp_typ = AcpiPmc::kSlpTypS1; break;
    case SxS3: slp_typ = AcpiPmc::kSlpTypS3; break;
    case SxS4: slp_typ = AcpiPmc::kSlpTypS4; break;
    case SxS5: slp_typ = AcpiPmc::kSlpTypS5; break;
    default: throw std::invalid_argument("no sleep state S" + std::to_string(type) + " to enter");
  }
  const uint64_t start = bus_->clock().Now();
  WakeIfAsleep();
  chipset_smi_pending_ = false;
  // The OS's write of SLP_TYP and SLP_EN.
  constexpr uint16_t kPm1Cnt = AcpiPmc::kAbase + AcpiPmc::kPm1Cnt;
  const uint32_t cnt = bus_->IoRead(kPm1Cnt, 4) & ~AcpiPmc::kSlpTypMask;
  bus_->IoWrite(kPm1Cnt, 4, cnt | (slp_typ << AcpiPmc::kSlpTypShift) | AcpiPmc::kSlpEn);
  return ServeChipsetSmis(start);
}

void Board::InstallBiosGuardProtocol() {
  if (!bios_guard_.installed) bios_guard_.Install(*firmware_, *bus_);
}

void Board::InstallFlashUpdatePrepare() {
  if (!prepare_.installed) prepare_.Install(*firmware_);
}

}  // namespace sim
