// FlashServiceProtocol: the flash service's SMM protocol, a table of nine operations on
// a FlashServiceRequest. No slot takes an interface pointer; the request is passed by
// its physical address.
#pragma once

#include "flash/service/FlashServiceRequest.h"
#include "uefi/BoardProtocols.h"

constexpr EFI_GUID FLASH_SERVICE_PROTOCOL_GUID = {0xA715AB9C, 0xD147, 0x41F6, {0xAD, 0x46, 0xD0, 0xC4, 0xE4, 0xCF, 0x63, 0x74}};

typedef UINT64(EFIAPI* FLASH_SERVICE_GET_PART_NAME)(UINT64 Request);
typedef EFI_STATUS(EFIAPI* FLASH_SERVICE_LOCATE_LAYOUT_FILE)(UINT64 Request);
typedef EFI_STATUS(EFIAPI* FLASH_SERVICE_LOCATE_BY_GUID)(const EFI_GUID* Guid, UINT64 Request);
typedef EFI_STATUS(EFIAPI* FLASH_SERVICE_FLASH_ACCESS)(UINT64 Request);
typedef EFI_STATUS(EFIAPI* FLASH_SERVICE_FORWARD)(UINT64 Arg1, UINT64 Arg2, UINT64 Arg3, UINT64 Arg4);

struct FLASH_SERVICE_PROTOCOL {
  FLASH_SERVICE_GET_PART_NAME GetPartName;
  FLASH_SERVICE_LOCATE_LAYOUT_FILE LocateLayoutFile;
  FLASH_SERVICE_LOCATE_BY_GUID LocateLayoutEntry;
  FLASH_SERVICE_LOCATE_BY_GUID LocateAreaFile;
  FLASH_SERVICE_FLASH_ACCESS ReadFlash;
  FLASH_SERVICE_FLASH_ACCESS EraseFlash;
  FLASH_SERVICE_FLASH_ACCESS WriteFlash;
  FLASH_SERVICE_FORWARD ForwardOperation4;
  FLASH_SERVICE_FORWARD ForwardOperation5;
};
static_assert(sizeof(FLASH_SERVICE_PROTOCOL) == 9 * 8);

// The interface installed by SpiFlashSmm.
extern constinit FLASH_SERVICE_PROTOCOL gFlashServiceProtocol;

// Slot 0, defined by the part-name report: fills the PartNameBlock, Address, Size and
// Buffer of the request and answers 0x5AA5AA55.
UINT64 GetPartName(UINT64 RequestAddress);

// The protocol's operations on a request at a physical address (slots 1 to 8). Each reads
// the request fields it needs once and writes back only the fields it answers; none writes
// Status.
EFI_STATUS EFIAPI LocateLayoutFile(UINT64 Request);
EFI_STATUS EFIAPI LocateLayoutEntry(const EFI_GUID* Guid, UINT64 Request);
EFI_STATUS EFIAPI LocateAreaFile(const EFI_GUID* Guid, UINT64 Request);
EFI_STATUS EFIAPI ReadFlash(UINT64 Request);
EFI_STATUS EFIAPI EraseFlash(UINT64 Request);
EFI_STATUS EFIAPI WriteFlash(UINT64 Request);
EFI_STATUS EFIAPI ForwardOperation4(UINT64 Arg1, UINT64 Arg2, UINT64 Arg3, UINT64 Arg4);
EFI_STATUS EFIAPI ForwardOperation5(UINT64 Arg1, UINT64 Arg2, UINT64 Arg3, UINT64 Arg4);
