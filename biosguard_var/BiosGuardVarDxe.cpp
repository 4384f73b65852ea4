#include "biosguard_var/BiosGuardVarDxe.h"

#include "platform/Platform.h"

constinit BiosGuardVarState gBiosGuardVar{};

namespace {
VOID* FindConfigurationTable(const EFI_GUID& guid) {
  EFI_SYSTEM_TABLE* st = gBiosGuardVar.SystemTable;
  for (UINTN i = 0; i < st->NumberOfTableEntries && st->ConfigurationTable != nullptr; ++i)
    if (GuidEquals(st->ConfigurationTable[i].VendorGuid, guid)) return st->ConfigurationTable[i].VendorTable;
  return nullptr;
}

EFI_STATUS WriteCapsuleVariable() {
  VOID* buffer = nullptr;
  if (EFI_ERROR(gBiosGuardVar.BootServices->AllocatePool(EfiBootServicesData, kBiosGuardCapsuleVariableSize, &buffer)) ||
      buffer == nullptr)
    return EFI_OUT_OF_RESOURCES;
  ZeroMem(buffer, kBiosGuardCapsuleVariableSize);
  EFI_GUID vendor;
  CopyMem(&vendor, kBiosGuardCapsuleVariableGuidWords, sizeof vendor);
  CHAR16 name[sizeof kBiosGuardCapsuleVariableName / sizeof(CHAR16)];
  CopyMem(name, kBiosGuardCapsuleVariableName, sizeof name);
  EFI_STATUS status = gBiosGuardVar.RuntimeServices->SetVariable(
      name, &vendor, kBiosGuardCapsuleVariableAttributes, kBiosGuardCapsuleVariableSize, buffer);
  gBiosGuardVar.BootServices->FreePool(buffer);
  return status;
}
}  // namespace

extern "C" EFI_STATUS EFIAPI _ModuleEntryPoint(EFI_HANDLE, EFI_SYSTEM_TABLE* SystemTable) {
  gBiosGuardVar.SystemTable = SystemTable;
  gBiosGuardVar.BootServices = SystemTable->BootServices;
  gBiosGuardVar.RuntimeServices = SystemTable->RuntimeServices;
  gBiosGuardVar.HobList = FindConfigurationTable(EFI_HOB_LIST_GUID);
  gBiosGuardVar.DxeServices = FindConfigurationTable(EFI_DXE_SERVICES_TABLE_GUID);
  if (!BiosGuardInForce()) return EFI_SUCCESS;
  return WriteCapsuleVariable();
}
