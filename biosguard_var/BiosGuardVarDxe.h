// BiosGuardVarDxe: publishes BiosGuardCapsuleVariable on boots where the processor
// reports BIOS Guard available (MSR_PLATFORM_INFO[35]) and enabled (MSR 0x110 bit 1).
#pragma once

#include "platform/ProcessorMsrs.h"
#include "uefi/UefiSpec.h"

// Vendor GUID 368B3153-563D-4610-8D94-47A9FA8C4C16, held as four 32-bit words in memory order.
constexpr UINT32 kBiosGuardCapsuleVariableGuidWords[4] = {0x368B3153, 0x4610563D, 0xA947948D, 0x164C8CFA};
constexpr CHAR16 kBiosGuardCapsuleVariableName[] = u"BiosGuardCapsuleVariable";
constexpr UINT32 kBiosGuardCapsuleVariableAttributes =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
constexpr UINTN kBiosGuardCapsuleVariableSize = 16;

struct BiosGuardVarState {
  EFI_SYSTEM_TABLE* SystemTable = nullptr;
  EFI_BOOT_SERVICES* BootServices = nullptr;
  EFI_RUNTIME_SERVICES* RuntimeServices = nullptr;
  VOID* HobList = nullptr;
  VOID* DxeServices = nullptr;
};
extern constinit BiosGuardVarState gBiosGuardVar;

extern "C" EFI_STATUS EFIAPI _ModuleEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable);
