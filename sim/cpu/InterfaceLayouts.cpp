#include "sim/cpu/InterfaceLayouts.h"

#include <cstring>

#include "uefi/BoardProtocols.h"
#include "uefi/DxeServices.h"
#include "uefi/UefiSpec.h"

namespace sim {

namespace {
constexpr ServiceRule kBootServices[] = {
    {offsetof(EFI_BOOT_SERVICES, LocateProtocol), 2, 0},
};
constexpr FieldRule kSystemTableFields[] = {
    {offsetof(EFI_SYSTEM_TABLE, FirmwareVendor), FieldKind::kString16},
    {offsetof(EFI_SYSTEM_TABLE, ConfigurationTable), FieldKind::kArray, offsetof(EFI_SYSTEM_TABLE, NumberOfTableEntries),
     sizeof(EFI_CONFIGURATION_TABLE)},
};
constexpr ServiceRule kSmst[] = {
    {offsetof(EFI_SMM_SYSTEM_TABLE2, SmmLocateProtocol), 2, 0},
    {offsetof(EFI_SMM_SYSTEM_TABLE2, SmmRegisterProtocolNotify), -1, -1, 1, CallbackKind::kNotify},
};
constexpr FieldRule kSmstFields[] = {
    {offsetof(EFI_SMM_SYSTEM_TABLE2, SmmFirmwareVendor), FieldKind::kString16},
    {offsetof(EFI_SMM_SYSTEM_TABLE2, CpuSaveStateSize), FieldKind::kArray, offsetof(EFI_SMM_SYSTEM_TABLE2, NumberOfCpus),
     sizeof(UINTN)},
    {offsetof(EFI_SMM_SYSTEM_TABLE2, CpuSaveState), FieldKind::kArray, offsetof(EFI_SMM_SYSTEM_TABLE2, NumberOfCpus),
     sizeof(VOID*)},
    {offsetof(EFI_SMM_SYSTEM_TABLE2, SmmConfigurationTable), FieldKind::kArray,
     offsetof(EFI_SMM_SYSTEM_TABLE2, NumberOfTableEntries), sizeof(EFI_CONFIGURATION_TABLE)},
};
constexpr ServiceRule kBase2[] = {{offsetof(EFI_SMM_BASE2_PROTOCOL, GetSmstLocation), 1}};
constexpr ServiceRule kSwDispatch[] = {{offsetof(EFI_SMM_SW_DISPATCH2_PROTOCOL, Register), -1, -1, 1,
                                        CallbackKind::kSmiHandler, sizeof(EFI_SMM_SW_REGISTER_CONTEXT)}};
constexpr ServiceRule kPowerButton[] = {{offsetof(EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL, Register), -1, -1, 1,
                                         CallbackKind::kSmiHandler, sizeof(EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT)}};
constexpr ServiceRule kSx[] = {{offsetof(EFI_SMM_SX_DISPATCH2_PROTOCOL, Register), -1, -1, 1, CallbackKind::kSmiHandler,
                                sizeof(EFI_SMM_SX_REGISTER_CONTEXT)}};

constexpr InterfaceLayout kSystemTable{"system table", sizeof(EFI_SYSTEM_TABLE), {}, kSystemTableFields};
constexpr InterfaceLayout kBootServicesTable{"boot services", sizeof(EFI_BOOT_SERVICES), kBootServices, {}};
constexpr InterfaceLayout kRuntimeServicesTable{"runtime services", sizeof(EFI_RUNTIME_SERVICES), {}, {}};
constexpr InterfaceLayout kDxeServicesTable{"DXE services", sizeof(DXE_SERVICES), {}, {}};
constexpr InterfaceLayout kSmstTable{"SMM system table", sizeof(EFI_SMM_SYSTEM_TABLE2), kSmst, kSmstFields};

struct ProtocolEntry {
  EFI_GUID guid;
  InterfaceLayout layout;
};
constexpr ProtocolEntry kProtocols[] = {
    {EFI_SMM_BASE2_PROTOCOL_GUID, {"EFI_SMM_BASE2_PROTOCOL", sizeof(EFI_SMM_BASE2_PROTOCOL), kBase2, {}}},
    {EFI_SMM_ACCESS2_PROTOCOL_GUID, {"EFI_SMM_ACCESS2_PROTOCOL", sizeof(EFI_SMM_ACCESS2_PROTOCOL), {}, {}}},
    {EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID,
     {"EFI_SMM_SW_DISPATCH2_PROTOCOL", sizeof(EFI_SMM_SW_DISPATCH2_PROTOCOL), kSwDispatch, {}}},
    {EFI_SMM_CPU_PROTOCOL_GUID, {"EFI_SMM_CPU_PROTOCOL", sizeof(EFI_SMM_CPU_PROTOCOL), {}, {}}},
    {EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID,
     {"EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL", sizeof(EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL), kPowerButton, {}}},
    {EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID, {"EFI_SMM_SX_DISPATCH2_PROTOCOL", sizeof(EFI_SMM_SX_DISPATCH2_PROTOCOL), kSx, {}}},
    {PLATFORM_FLASH_PROTOCOL_GUID, {"PlatformFlashProtocol", sizeof(PLATFORM_FLASH_PROTOCOL), {}, {}}},
    {FLASH_UPDATE_PREPARE_PROTOCOL_GUID, {"FlashUpdatePrepareProtocol", sizeof(FLASH_UPDATE_PREPARE_PROTOCOL), {}, {}}},
    {BIOS_GUARD_PROTOCOL_GUID, {"BiosGuardProtocol", sizeof(BIOS_GUARD_PROTOCOL), {}, {}}},
    {SMM_FRAME_SUPPORT_PROTOCOL_GUID, {"SmmFrameSupportProtocol", sizeof(SMM_FRAME_SUPPORT_PROTOCOL), {}, {}}},
};
}  // namespace

const InterfaceLayout& SystemTableLayout() { return kSystemTable; }
const InterfaceLayout& BootServicesLayout() { return kBootServicesTable; }
const InterfaceLayout& RuntimeServicesLayout() { return kRuntimeServicesTable; }
const InterfaceLayout& SmstLayout() { return kSmstTable; }

const InterfaceLayout* ConfigurationTableLayout(const EFI_GUID& guid) {
  constexpr EFI_GUID kDxeServices = EFI_DXE_SERVICES_TABLE_GUID;
  return std::memcmp(&guid, &kDxeServices, sizeof guid) == 0 ? &kDxeServicesTable : nullptr;
}

const InterfaceLayout* ProtocolLayout(const EFI_GUID& guid) {
  for (const ProtocolEntry& p : kProtocols)
    if (std::memcmp(&p.guid, &guid, sizeof guid) == 0) return &p.layout;
  return nullptr;
}

// The software-SMI dispatcher passes EFI_SMM_SW_CONTEXT; power-button and Sx pass none.
uint32_t SmiHandlerCommBufferSize(uint32_t context_size) {
  return context_size == sizeof(EFI_SMM_SW_REGISTER_CONTEXT) ? sizeof(EFI_SMM_SW_CONTEXT) : 0;
}

}  // namespace sim
