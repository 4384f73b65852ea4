#include "sim/firmware/Firmware.h"

#include "sim/devices/AcpiPmc.h"

#include <cstring>
#include <stdexcept>

#include "sim/board/MemoryMap.h"

namespace sim {

namespace {
Firmware* gActive = nullptr;

uint64_t OnesOfWidth(UINTN bytes) { return bytes >= 8 ? ~0ULL : ((1ULL << (bytes * 8)) - 1); }

bool IsSaveStateGpr(EFI_SMM_SAVE_STATE_REGISTER r) {
  return (r >= EFI_SMM_SAVE_STATE_REGISTER_R8 && r <= EFI_SMM_SAVE_STATE_REGISTER_RIP) ||
         r == EFI_SMM_SAVE_STATE_REGISTER_RFLAGS;
}

std::string HexByte(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "0x%02X", v);
  return b;
}
}  // namespace

Firmware* Firmware::Active() { return gActive; }

struct FirmwareServices {
  static Firmware& F() { return *gActive; }

  // Both pools hand out buffers the same way; only the accepted memory types differ.
  static EFI_STATUS PoolAllocate(PoolAllocator& pool, UINTN size, VOID** buffer) {
    uint64_t a = pool.Allocate(size, F().current_owner_);
    if (a == 0) return EFI_OUT_OF_RESOURCES;
    *buffer = reinterpret_cast<VOID*>(a);
    return EFI_SUCCESS;
  }
  static EFI_STATUS PoolFree(PoolAllocator& pool, VOID* buffer) {
    return pool.Free(reinterpret_cast<uint64_t>(buffer)) ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
  }

  // ---- boot services
  static EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE type, UINTN size, VOID** buffer) {
    if (buffer == nullptr || type > EfiRuntimeServicesData) return EFI_INVALID_PARAMETER;
    return PoolAllocate(F().boot_pool_, size, buffer);
  }
  static EFI_STATUS EFIAPI FreePool(VOID* buffer) { return PoolFree(F().boot_pool_, buffer); }
  static EFI_STATUS EFIAPI InstallProtocolInterface(EFI_HANDLE* handle, EFI_GUID* guid, EFI_INTERFACE_TYPE type,
                                                    VOID* interface) {
    if (guid == nullptr || type != EFI_NATIVE_INTERFACE) return EFI_INVALID_PARAMETER;
    return F().dxe_db_.Install(handle, *guid, interface);
  }
  static EFI_STATUS EFIAPI LocateProtocol(EFI_GUID* guid, VOID*, VOID** interface) {
    if (guid == nullptr) return EFI_INVALID_PARAMETER;
    return F().dxe_db_.Locate(*guid, interface);
  }
  static EFI_STATUS EFIAPI Stall(UINTN us) {
    F().stall_us += us;
    F().bus_.clock().Advance(static_cast<uint64_t>(us) * 1000);
    return EFI_SUCCESS;
  }

  // ---- runtime services
  static EFI_STATUS EFIAPI ConvertPointer(UINTN, VOID** address) {
    if (address == nullptr || *address == nullptr) return EFI_INVALID_PARAMETER;
    F().virtual_mode = true;  // identity mapping: the pointer keeps its value
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI SetVariable(CHAR16* name, EFI_GUID* guid, UINT32 attributes, UINTN size, VOID* data) {
    if (name == nullptr || guid == nullptr || (size != 0 && data == nullptr)) return EFI_INVALID_PARAMETER;
    std::u16string n;
    for (const CHAR16* p = name; *p; ++p) n += *p;
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::vector<uint8_t> d(bytes, bytes + size);
    return F().variables_.Set(n, *guid, attributes, d);
  }
  static EFI_STATUS EFIAPI GetVariable(CHAR16* name, EFI_GUID* guid, UINT32* attributes, UINTN* size, VOID* data) {
    if (name == nullptr || guid == nullptr || size == nullptr) return EFI_INVALID_PARAMETER;
    std::u16string n;
    for (const CHAR16* p = name; *p; ++p) n += *p;
    const Variable* v = F().variables_.Get(n, *guid);
    if (v == nullptr) return EFI_NOT_FOUND;
    if (*size < v->data.size()) {
      *size = v->data.size();
      return EFI_BUFFER_TOO_SMALL;
    }
    if (data == nullptr) return EFI_INVALID_PARAMETER;
    std::memcpy(data, v->data.data(), v->data.size());
    *size = v->data.size();
    if (attributes) *attributes = v->attributes;
    return EFI_SUCCESS;
  }

  // ---- SMM system table
  static EFI_STATUS EFIAPI SmmAllocatePool(EFI_MEMORY_TYPE type, UINTN size, VOID** buffer) {
    if (buffer == nullptr || (type != EfiRuntimeServicesCode && type != EfiRuntimeServicesData))
      return EFI_INVALID_PARAMETER;
    return PoolAllocate(F().smram_pool_, size, buffer);
  }
  static EFI_STATUS EFIAPI SmmFreePool(VOID* buffer) { return PoolFree(F().smram_pool_, buffer); }
  static EFI_STATUS EFIAPI SmmInstallProtocolInterface(EFI_HANDLE* handle, EFI_GUID* guid, EFI_INTERFACE_TYPE type,
                                                       VOID* interface) {
    if (guid == nullptr || type != EFI_NATIVE_INTERFACE) return EFI_INVALID_PARAMETER;
    return F().smm_db_.Install(handle, *guid, interface);
  }
  static EFI_STATUS EFIAPI SmmRegisterProtocolNotify(const EFI_GUID* guid, EFI_SMM_NOTIFY_FN fn, VOID** registration) {
    if (guid == nullptr) return EFI_INVALID_PARAMETER;
    EFI_STATUS s = F().smm_db_.RegisterNotify(*guid, fn, registration);
    if (!EFI_ERROR(s) && fn != nullptr)
      F().registrations_.push_back({F().current_owner_, "notify on protocol " + GuidToString(*guid)});
    return s;
  }
  static EFI_STATUS EFIAPI SmmLocateProtocol(EFI_GUID* guid, VOID*, VOID** interface) {
    if (guid == nullptr) return EFI_INVALID_PARAMETER;
    return F().smm_db_.Locate(*guid, interface);
  }

  // ---- EFI_SMM_BASE2_PROTOCOL: answers depend on where the caller runs.
  static EFI_STATUS EFIAPI InSmm(const EFI_SMM_BASE2_PROTOCOL*, BOOLEAN* in_smram) {
    if (in_smram == nullptr) return EFI_INVALID_PARAMETER;
    *in_smram = F().in_smm_ ? TRUE : FALSE;
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI GetSmstLocation(const EFI_SMM_BASE2_PROTOCOL*, EFI_SMM_SYSTEM_TABLE2** smst) {
    if (smst == nullptr) return EFI_INVALID_PARAMETER;
    if (!F().in_smm_) return EFI_UNSUPPORTED;
    *smst = &F().smst_;
    return EFI_SUCCESS;
  }

  // ---- EFI_SMM_ACCESS2_PROTOCOL
  static EFI_STATUS EFIAPI AccessOpenClose(EFI_SMM_ACCESS2_PROTOCOL*) { return EFI_UNSUPPORTED; }
  static EFI_STATUS EFIAPI GetCapabilities(const EFI_SMM_ACCESS2_PROTOCOL*, UINTN* size, EFI_SMRAM_DESCRIPTOR* map) {
    if (size == nullptr) return EFI_INVALID_PARAMETER;
    UINTN need = F().smram_map_.size() * sizeof(EFI_SMRAM_DESCRIPTOR);
    if (*size < need) {
      *size = need;
      return EFI_BUFFER_TOO_SMALL;
    }
    if (need != 0 && map == nullptr) return EFI_INVALID_PARAMETER;
    if (need) std::memcpy(map, F().smram_map_.data(), need);
    *size = need;
    return EFI_SUCCESS;
  }

  // ---- dispatch protocols
  static EFI_STATUS EFIAPI SwRegister(const EFI_SMM_SW_DISPATCH2_PROTOCOL* self, EFI_SMM_HANDLER_ENTRY_POINT2 fn,
                                      EFI_SMM_SW_REGISTER_CONTEXT* context, EFI_HANDLE* handle) {
    Firmware& f = F();
    if (fn == nullptr || context == nullptr || handle == nullptr) return EFI_INVALID_PARAMETER;
    UINTN value = context->SwSmiInputValue;
    if (value == ~UINTN{0}) {
      value = 0;
      while (value <= self->MaximumSwiValue && f.HasSwHandler(static_cast<uint8_t>(value))) ++value;
      if (value > self->MaximumSwiValue) return EFI_OUT_OF_RESOURCES;
      context->SwSmiInputValue = value;
    }
    if (value > self->MaximumSwiValue) return EFI_INVALID_PARAMETER;
    if (f.HasSwHandler(static_cast<uint8_t>(value))) return EFI_INVALID_PARAMETER;
    f.sw_children_.push_back({value, fn, *context, f.current_owner_, std::make_unique<int>(0)});
    *handle = f.sw_children_.back().handle.get();
    f.registrations_.push_back({f.current_owner_, "software SMI " + HexByte(static_cast<unsigned>(value))});
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI SwUnRegister(const EFI_SMM_SW_DISPATCH2_PROTOCOL*, EFI_HANDLE handle) {
    auto& v = F().sw_children_;
    for (auto it = v.begin(); it != v.end(); ++it)
      if (it->handle.get() == handle) {
        v.erase(it);
        return EFI_SUCCESS;
      }
    return EFI_INVALID_PARAMETER;
  }
  static EFI_STATUS EFIAPI PbRegister(const EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL*, EFI_SMM_HANDLER_ENTRY_POINT2 fn,
                                      EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT* context, EFI_HANDLE* handle) {
    Firmware& f = F();
    if (fn == nullptr || context == nullptr || handle == nullptr || context->Phase >= EfiPowerButtonMax)
      return EFI_INVALID_PARAMETER;
    f.pb_children_.push_back({fn, *context, f.current_owner_, std::make_unique<int>(0)});
    *handle = f.pb_children_.back().handle.get();
    f.registrations_.push_back(
        {f.current_owner_, std::string("power button (") + (context->Phase == EfiPowerButtonEntry ? "entry" : "exit") + ")"});
    f.ArmChipsetSmis();
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI PbUnRegister(const EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL*, EFI_HANDLE handle) {
    auto& v = F().pb_children_;
    for (auto it = v.begin(); it != v.end(); ++it)
      if (it->handle.get() == handle) {
        v.erase(it);
        return EFI_SUCCESS;
      }
    return EFI_INVALID_PARAMETER;
  }
  static EFI_STATUS EFIAPI SxRegister(const EFI_SMM_SX_DISPATCH2_PROTOCOL*, EFI_SMM_HANDLER_ENTRY_POINT2 fn,
                                      const EFI_SMM_SX_REGISTER_CONTEXT* context, EFI_HANDLE* handle) {
    Firmware& f = F();
    if (fn == nullptr || context == nullptr || handle == nullptr || context->Type >= EfiMaximumSleepType ||
        context->Phase >= EfiMaximumPhase)
      return EFI_INVALID_PARAMETER;
    // Like chipset dispatchers, this board only signals the entry phase of S1-S5.
    if (context->Phase != SxEntry || context->Type == SxS0) return EFI_UNSUPPORTED;
    f.sx_children_.push_back({fn, *context, f.current_owner_, std::make_unique<int>(0)});
    *handle = f.sx_children_.back().handle.get();
    f.registrations_.push_back({f.current_owner_, "sleep S" + std::to_string(context->Type) + " (entry)"});
    f.ArmChipsetSmis();
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI SxUnRegister(const EFI_SMM_SX_DISPATCH2_PROTOCOL*, EFI_HANDLE handle) {
    auto& v = F().sx_children_;
    for (auto it = v.begin(); it != v.end(); ++it)
      if (it->handle.get() == handle) {
        v.erase(it);
        return EFI_SUCCESS;
      }
    return EFI_INVALID_PARAMETER;
  }

  // ---- EFI_SMM_CPU_PROTOCOL
  static EFI_STATUS EFIAPI ReadSaveState(const EFI_SMM_CPU_PROTOCOL*, UINTN width, EFI_SMM_SAVE_STATE_REGISTER reg,
                                         UINTN cpu, VOID* buffer) {
    Firmware& f = F();
    if (buffer == nullptr || cpu >= f.save_states_.size()) return EFI_INVALID_PARAMETER;
    if (reg == EFI_SMM_SAVE_STATE_REGISTER_LMA) {
      if (width != 4 && width != 8) return EFI_INVALID_PARAMETER;
      uint64_t lma = 64;
      std::memcpy(buffer, &lma, width);
      return EFI_SUCCESS;
    }
    if (!IsSaveStateGpr(reg)) return EFI_NOT_FOUND;
    if (width != 1 && width != 2 && width != 4 && width != 8) return EFI_INVALID_PARAMETER;
    uint64_t v = f.save_states_[cpu].regs[reg] & OnesOfWidth(width);
    std::memcpy(buffer, &v, width);
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI WriteSaveState(const EFI_SMM_CPU_PROTOCOL*, UINTN width, EFI_SMM_SAVE_STATE_REGISTER reg,
                                          UINTN cpu, const VOID* buffer) {
    Firmware& f = F();
    if (buffer == nullptr || cpu >= f.save_states_.size()) return EFI_INVALID_PARAMETER;
    if (!IsSaveStateGpr(reg)) return EFI_NOT_FOUND;
    if (width != 1 && width != 2 && width != 4 && width != 8) return EFI_INVALID_PARAMETER;
    uint64_t v = 0;
    std::memcpy(&v, buffer, width);
    uint64_t mask = OnesOfWidth(width);
    uint64_t& r = f.save_states_[cpu].regs[reg];
    // Writes of 4 bytes zero-extend in 64-bit mode, as the processor does on RSM.
    if (width == 4)
      r = v & mask;
    else
      r = (r & ~mask) | (v & mask);
    return EFI_SUCCESS;
  }
};

Firmware::Firmware(Bus& bus, Cpu& cpu, unsigned cpu_count)
    : bus_(bus),
      cpu_(cpu),
      smram_pool_("SMRAM", kSmramPoolBase, kSmramPoolSize),
      boot_pool_("boot services", kBootPoolBase, kBootPoolSize),
      save_states_(cpu_count),
      save_state_sizes_(cpu_count, 0x400),
      save_state_ptrs_(cpu_count, nullptr) {
  previous_active_ = gActive;
  gActive = this;

  bs_.Hdr = {EFI_BOOT_SERVICES_SIGNATURE, 0x00020046, sizeof bs_, 0, 0};
  bs_.AllocatePool = &FirmwareServices::AllocatePool;
  bs_.FreePool = &FirmwareServices::FreePool;
  bs_.InstallProtocolInterface = &FirmwareServices::InstallProtocolInterface;
  bs_.LocateProtocol = &FirmwareServices::LocateProtocol;
  bs_.Stall = &FirmwareServices::Stall;
  rs_.Hdr = {EFI_RUNTIME_SERVICES_SIGNATURE, 0x00020046, sizeof rs_, 0, 0};
  rs_.ConvertPointer = &FirmwareServices::ConvertPointer;
  rs_.SetVariable = &FirmwareServices::SetVariable;
  rs_.GetVariable = &FirmwareServices::GetVariable;
  st_.Hdr = {EFI_SYSTEM_TABLE_SIGNATURE, 0x00020046, sizeof st_, 0, 0};
  st_.FirmwareVendor = const_cast<CHAR16*>(u"fwsim simulated board");
  st_.BootServices = &bs_;
  st_.RuntimeServices = &rs_;

  smst_.Hdr = {0x54534D53, 0x00010046, sizeof(EFI_TABLE_HEADER), 0, 0};  // "SMST"
  smst_.SmmAllocatePool = &FirmwareServices::SmmAllocatePool;
  smst_.SmmFreePool = &FirmwareServices::SmmFreePool;
  smst_.SmmInstallProtocolInterface = &FirmwareServices::SmmInstallProtocolInterface;
  smst_.SmmRegisterProtocolNotify = &FirmwareServices::SmmRegisterProtocolNotify;
  smst_.SmmLocateProtocol = &FirmwareServices::SmmLocateProtocol;
  smst_.NumberOfCpus = cpu_count;
  smst_.CpuSaveStateSize = save_state_sizes_.data();
  smst_.CpuSaveState = save_state_ptrs_.data();

  base2_ = {&FirmwareServices::InSmm, &FirmwareServices::GetSmstLocation};
  access2_.Open = &FirmwareServices::AccessOpenClose;
  access2_.Close = &FirmwareServices::AccessOpenClose;
  access2_.Lock = &FirmwareServices::AccessOpenClose;
  access2_.GetCapabilities = &FirmwareServices::GetCapabilities;
  access2_.LockState = TRUE;
  sw_dispatch_ = {&FirmwareServices::SwRegister, &FirmwareServices::SwUnRegister, 0xFF};
  smm_cpu_ = {&FirmwareServices::ReadSaveState, &FirmwareServices::WriteSaveState};
  power_button_ = {&FirmwareServices::PbRegister, &FirmwareServices::PbUnRegister};
  sx_dispatch_ = {&FirmwareServices::SxRegister, &FirmwareServices::SxUnRegister};

  smram_map_ = {
      {kTsegBase, kTsegBase, kSmramSaveStateSize, EFI_SMRAM_CLOSED | EFI_SMRAM_LOCKED | EFI_CACHEABLE | EFI_ALLOCATED},
      {kSmramPoolBase, kSmramPoolBase, kSmramPoolSize, EFI_SMRAM_CLOSED | EFI_SMRAM_LOCKED | EFI_CACHEABLE},
  };
  for (unsigned i = 0; i < cpu_count; ++i)
    save_state_ptrs_[i] = reinterpret_cast<void*>(kTsegBase + 0x8000 + i * 0x400);

  // Notify functions run on the processor, in SMM, as code of the image that registered.
  smm_db_.run_notify = [this](EFI_SMM_NOTIFY_FN fn, const EFI_GUID* g, void* iface, EFI_HANDLE h) {
    bool was_in_smm = in_smm_;
    in_smm_ = true;
    bus_.SetInSmm(true);
    fn(g, iface, h);
    in_smm_ = was_in_smm;
    bus_.SetInSmm(was_in_smm);
  };
}

Firmware::~Firmware() {
  if (gActive == this) gActive = previous_active_;
}

void Firmware::InstallCoreProtocols() {
  auto install = [](ProtocolDatabase& db, const EFI_GUID& g, void* iface) {
    EFI_HANDLE h = nullptr;
    db.current_owner = "board";
    db.Install(&h, g, iface);
  };
  install(dxe_db_, EFI_SMM_BASE2_PROTOCOL_GUID, &base2_);
  install(dxe_db_, EFI_SMM_ACCESS2_PROTOCOL_GUID, &access2_);
  install(smm_db_, EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID, &sw_dispatch_);
  install(smm_db_, EFI_SMM_CPU_PROTOCOL_GUID, &smm_cpu_);
  install(smm_db_, EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID, &power_button_);
  install(smm_db_, EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID, &sx_dispatch_);
  ArmChipsetSmis();
  // Variable services are up: the architectural markers DXE drivers depend on.
  install(dxe_db_, EFI_VARIABLE_ARCH_PROTOCOL_GUID, nullptr);
  install(dxe_db_, EFI_VARIABLE_WRITE_ARCH_PROTOCOL_GUID, nullptr);
}

Cpu::RunResult Firmware::RunAs(const std::string& owner, bool in_smm, const std::function<void()>& code) {
  std::string saved_owner = current_owner_;
  bool saved_smm = in_smm_;
  current_owner_ = owner;
  dxe_db_.current_owner = owner;
  smm_db_.current_owner = owner;
  in_smm_ = in_smm;
  bus_.SetInSmm(in_smm);
  Cpu::RunResult r = cpu_.Run(code);
  current_owner_ = saved_owner;
  dxe_db_.current_owner = saved_owner;
  smm_db_.current_owner = saved_owner;
  in_smm_ = saved_smm;
  bus_.SetInSmm(saved_smm);
  return r;
}

bool Firmware::HasSwHandler(uint8_t value) const {
  for (auto& c : sw_children_)
    if (c.value == value) return true;
  return false;
}

Firmware::SmiOutcome Firmware::SoftwareSmi(unsigned cpu, uint8_t command, uint8_t data) {
  SmiOutcome out;
  smst_.CurrentlyExecutingCpu = 0;  // the SMI handler runs on the BSP, whoever raised it
  for (auto& c : sw_children_) {
    if (c.value != command) continue;
    EFI_SMM_SW_CONTEXT context{cpu, command, data};
    UINTN size = sizeof context;
    EFI_SMM_SW_REGISTER_CONTEXT reg = c.context;
    auto handler = c.handler;
    void* handle = c.handle.get();
    auto r = RunAs(c.owner, true, [&] { out.handler_status = handler(handle, &reg, &context, &size); });
    out.handled = true;
    out.outcome = r.outcome;
    out.fault = r.fault;
    break;
  }
  return out;
}

void Firmware::ArmChipsetSmis() {
  constexpr uint16_t kSmiEn = AcpiPmc::kAbase + AcpiPmc::kSmiEn;
  constexpr uint16_t kPm1En = AcpiPmc::kAbase + AcpiPmc::kPm1En;
  uint32_t smi_en = bus_.IoRead(kSmiEn, 4) | AcpiPmc::kGblSmiEn;
  if (!sx_children_.empty()) smi_en |= AcpiPmc::kSlpSmiEn;
  bus_.IoWrite(kSmiEn, 4, smi_en);
  if (!pb_children_.empty()) bus_.IoWrite(kPm1En, 2, bus_.IoRead(kPm1En, 2) | AcpiPmc::kPwrbtnEn);
}

namespace {
EFI_SLEEP_TYPE SleepTypeOf(unsigned slp_typ) {
  switch (slp_typ) {
    case AcpiPmc::kSlpTypS1: return SxS1;
    case AcpiPmc::kSlpTypS3: return SxS3;
    case AcpiPmc::kSlpTypS4: return SxS4;
    case AcpiPmc::kSlpTypS5: return SxS5;
    default: return SxS0;
  }
}
}  // namespace

Firmware::SmiOutcome Firmware::ChipsetSmi() {
  constexpr uint16_t kPm1Sts = AcpiPmc::kAbase + AcpiPmc::kPm1Sts;
  constexpr uint16_t kPm1En = AcpiPmc::kAbase + AcpiPmc::kPm1En;
  constexpr uint16_t kPm1Cnt = AcpiPmc::kAbase + AcpiPmc::kPm1Cnt;
  constexpr uint16_t kSmiEn = AcpiPmc::kAbase + AcpiPmc::kSmiEn;
  constexpr uint16_t kSmiSts = AcpiPmc::kAbase + AcpiPmc::kSmiSts;
  SmiOutcome out;
  auto merge = [&out](const SmiOutcome& o) {
    if (!o.handled) return;
    out = o;
  };
  const uint32_t smi_sts = bus_.IoRead(kSmiSts, 4);
  if (smi_sts & AcpiPmc::kPm1StsReg) {
    const uint16_t pm1 = static_cast<uint16_t>(bus_.IoRead(kPm1Sts, 2) & bus_.IoRead(kPm1En, 2));
    if (pm1 & AcpiPmc::kPwrbtnSts) {
      merge(PowerButton(EfiPowerButtonEntry));
      if (out.outcome != Cpu::Outcome::kReturned) return out;
      bus_.IoWrite(kPm1Sts, 2, AcpiPmc::kPwrbtnSts);
    }
  }
  if (smi_sts & AcpiPmc::kSlpSmiSts) {
    const uint32_t cnt = bus_.IoRead(kPm1Cnt, 4);
    merge(SleepEntry(SleepTypeOf((cnt & AcpiPmc::kSlpTypMask) >> AcpiPmc::kSlpTypShift), SxEntry));
    if (out.outcome != Cpu::Outcome::kReturned) return out;
    bus_.IoWrite(kSmiSts, 4, AcpiPmc::kSlpSmiSts);
    // Complete the entry the OS asked for: stop trapping SLP_EN, then set it again.
    bus_.IoWrite(kSmiEn, 4, bus_.IoRead(kSmiEn, 4) & ~AcpiPmc::kSlpSmiEn);
    bus_.IoWrite(kPm1Cnt, 4, (cnt & AcpiPmc::kSlpTypMask) | (cnt & AcpiPmc::kSciEn) | AcpiPmc::kSlpEn);
  }
  bus_.IoWrite(kSmiEn, 4, bus_.IoRead(kSmiEn, 4) | AcpiPmc::kEos);
  return out;
}

Firmware::SmiOutcome Firmware::PowerButton(EFI_POWER_BUTTON_PHASE phase) {
  SmiOutcome out;
  struct Due {
    EFI_SMM_HANDLER_ENTRY_POINT2 handler;
    EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT context;
    void* handle;
    std::string owner;
  };
  std::vector<Due> due;
  for (auto& c : pb_children_)
    if (c.context.Phase == phase) due.push_back({c.handler, c.context, c.handle.get(), c.owner});
  for (auto& d : due) {
    auto r = RunAs(d.owner, true, [&] { out.handler_status = d.handler(d.handle, &d.context, nullptr, nullptr); });
    out.handled = true;
    out.outcome = r.outcome;
    out.fault = r.fault;
    if (r.outcome != Cpu::Outcome::kReturned) break;
  }
  return out;
}

Firmware::SmiOutcome Firmware::SleepEntry(EFI_SLEEP_TYPE type, EFI_SLEEP_PHASE phase) {
  SmiOutcome out;
  struct Due {
    EFI_SMM_HANDLER_ENTRY_POINT2 handler;
    EFI_SMM_SX_REGISTER_CONTEXT context;
    void* handle;
    std::string owner;
  };
  std::vector<Due> due;
  for (auto& c : sx_children_)
    if (c.context.Type == type && c.context.Phase == phase) due.push_back({c.handler, c.context, c.handle.get(), c.owner});
  for (auto& d : due) {
    auto r = RunAs(d.owner, true, [&] { out.handler_status = d.handler(d.handle, &d.context, nullptr, nullptr); });
    out.handled = true;
    out.outcome = r.outcome;
    out.fault = r.fault;
    if (r.outcome != Cpu::Outcome::kReturned) break;
  }
  return out;
}

std::vector<Registration> Firmware::RegistrationsOf(const std::string& owner) const {
  std::vector<Registration> out;
  for (auto& r : registrations_)
    if (r.owner == owner) out.push_back(r);
  return out;
}

std::vector<std::string> Firmware::ProtocolsInstalledBy(const std::string& owner) const {
  std::vector<std::string> out;
  for (auto& e : smm_db_.entries())
    if (e.installed_by == owner) out.push_back("SMM protocol " + GuidToString(e.guid));
  for (auto& e : dxe_db_.entries())
    if (e.installed_by == owner) out.push_back("protocol " + GuidToString(e.guid));
  return out;
}

}  // namespace sim
