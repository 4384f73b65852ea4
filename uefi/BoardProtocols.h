// Protocols of other firmware drivers that these drivers bind by GUID. Their tables
// take no interface pointer (except BiosGuardProtocol); what is fixed here is the slot
// order and the arguments the drivers pass.
#pragma once

#include "uefi/PiSmm.h"

constexpr EFI_GUID PLATFORM_FLASH_PROTOCOL_GUID = {0xECB867AB, 0x8DF4, 0x492D, {0x81, 0x50, 0xA7, 0xFD, 0x1B, 0x9B, 0x5A, 0x75}};
constexpr EFI_GUID FLASH_UPDATE_PREPARE_PROTOCOL_GUID = {0xE7F1F38F, 0xAC45, 0x4304, {0xA1, 0xE0, 0xB6, 0xCD, 0xA7, 0x04, 0xA0, 0x01}};
constexpr EFI_GUID BIOS_GUARD_PROTOCOL_GUID = {0x17565311, 0x4B71, 0x4340, {0x88, 0xAA, 0xDC, 0x9F, 0x44, 0x22, 0xE5, 0x3A}};
constexpr EFI_GUID SMM_FRAME_SUPPORT_PROTOCOL_GUID = {0x441FFA18, 0x8714, 0x421E, {0x8C, 0x95, 0x58, 0x70, 0x80, 0x79, 0x6F, 0xEE}};

// PlatformFlashProtocol: slot 0 Read, 1 Erase, 2 Write, 3 unused, 4 and 5 forwarded.
typedef EFI_STATUS(EFIAPI* PLATFORM_FLASH_READ)(UINT64 Address, UINT64 Size, UINT64 Buffer);
typedef EFI_STATUS(EFIAPI* PLATFORM_FLASH_ERASE)(UINT64 Address, UINT64 Size);
typedef EFI_STATUS(EFIAPI* PLATFORM_FLASH_WRITE)(UINT64 Address, UINT64 Size, UINT64 Buffer);
typedef EFI_STATUS(EFIAPI* PLATFORM_FLASH_OPERATION)(UINT64 Arg1, UINT64 Arg2, UINT64 Arg3, UINT64 Arg4);
struct PLATFORM_FLASH_PROTOCOL {
  PLATFORM_FLASH_READ Read;
  PLATFORM_FLASH_ERASE Erase;
  PLATFORM_FLASH_WRITE Write;
  PLATFORM_FLASH_OPERATION Operation3;
  PLATFORM_FLASH_OPERATION Operation4;
  PLATFORM_FLASH_OPERATION Operation5;
};
static_assert(sizeof(PLATFORM_FLASH_PROTOCOL) == 48);

typedef EFI_STATUS(EFIAPI* FLASH_UPDATE_PREPARE)();
struct FLASH_UPDATE_PREPARE_PROTOCOL {
  FLASH_UPDATE_PREPARE Prepare;
};

struct BIOS_GUARD_PROTOCOL;
typedef VOID(EFIAPI* BIOS_GUARD_WRITE)(BIOS_GUARD_PROTOCOL* This, UINT64 LinearAddress, UINT32 Count, UINT8* Buffer);
typedef VOID(EFIAPI* BIOS_GUARD_ERASE)(BIOS_GUARD_PROTOCOL* This, UINT64 LinearAddress);
typedef EFI_STATUS(EFIAPI* BIOS_GUARD_EXECUTE)(BIOS_GUARD_PROTOCOL* This, BOOLEAN Flag);
struct BIOS_GUARD_PROTOCOL {
  BIOS_GUARD_WRITE Write;
  BIOS_GUARD_ERASE Erase;
  BIOS_GUARD_EXECUTE Execute;
};

// SmmFrameSupportProtocol: the frame only requires that it can be located.
struct SMM_FRAME_SUPPORT_PROTOCOL {
  UINT32 Revision;
};
