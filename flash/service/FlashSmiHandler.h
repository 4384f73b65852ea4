// Software SMI 0x90: the operating-system flash tool's way into the flash service. The
// tool puts the physical address of a FlashServiceRequest in EBX (low half) and ECX (high
// half) and writes 0x90 to the software-SMI port; the handler answers in the record's
// Status field.
#pragma once

#include "uefi/PiSmm.h"

EFI_STATUS EFIAPI FlashServiceSmiHandler(EFI_HANDLE DispatchHandle, const VOID* Context, VOID* CommBuffer,
                                         UINTN* CommBufferSize);
