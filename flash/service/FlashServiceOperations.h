// The flash service's operations on an SMRAM copy of a request. Whoever serves a request
// (the 0x90 handler, the protocol slots) reads the fields an operation uses once into a
// copy, runs the operation on the copy and writes back only what the operation answers.
#pragma once

#include "flash/service/FlashServiceRequest.h"

// The flash mapped below 4 GiB, and the part of it outside the BIOS region.
constexpr UINT32 kFlashWindowBase = 0xFE000000;
constexpr UINT32 kBiosRegionBase = 0xFF200000;

// GUID of the firmware file that carries the flash layout table.
constexpr EFI_GUID FLASH_LAYOUT_FILE_GUID = {0x56E14F88, 0x234B, 0x4C34, {0xB2, 0x04, 0x29, 0x96, 0x70, 0x44, 0x72, 0x47}};

// Area lookups. They read VolumeBase (and LocateLayoutEntry the Signature) of the copy.
// *AreaWritten tells whether Address and Size of the copy now hold an answer that belongs
// in the caller's record. A volume whose header lies in SMRAM gives EFI_ACCESS_DENIED.
EFI_STATUS LocateAreaFile(const EFI_GUID& Guid, FlashServiceRequest& Request, BOOLEAN* AreaWritten);
EFI_STATUS LocateLayoutFile(FlashServiceRequest& Request, BOOLEAN* AreaWritten);
EFI_STATUS LocateLayoutEntry(const EFI_GUID& Guid, FlashServiceRequest& Request, BOOLEAN* AreaWritten);

// Flash access through PlatformFlashProtocol, for Address, Size and Buffer of the copy.
EFI_STATUS ReadFlash(const FlashServiceRequest& Request);
EFI_STATUS EraseFlash(const FlashServiceRequest& Request);
EFI_STATUS WriteFlash(const FlashServiceRequest& Request);

// Before flash outside the BIOS region changes: arm the global reset, mark CMOS, and run
// Prepare once per boot.
VOID PrepareNonBiosUpdate(const FlashServiceRequest& Request);
// FALSE when that preparation is due and the PMC's PWRMBASE no longer decodes at the fixed
// address ETR3 is written at: the request is refused before any register is touched.
BOOLEAN NonBiosPreparationPossible(const FlashServiceRequest& Request);

// Prepare of FlashUpdatePrepareProtocol unless it is missing or already succeeded this
// boot (then EFI_UNSUPPORTED, nothing called); a non-error status is remembered.
EFI_STATUS RunFlashUpdatePrepareOnce();
