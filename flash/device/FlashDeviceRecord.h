// FlashDeviceRecord: how a flash device is used (nine operations and three data fields),
// and FlashPartProfile, the opcode/geometry record a part's family contributes.
#pragma once

#include "uefi/UefiSpec.h"

// Addresses given to the operations are flash linear addresses (bit 31 clear) or
// addresses in the memory-mapped window below 4 GiB (bit 31 set).
typedef EFI_STATUS(EFIAPI* FLASH_DEVICE_READ_CHUNK)(UINT64 Address, UINT8* Buffer, UINT32* Remaining);
typedef BOOLEAN(EFIAPI* FLASH_DEVICE_ERASE_4K)(UINT64 Address);
typedef EFI_STATUS(EFIAPI* FLASH_DEVICE_ERASE_RANGE)(UINT64 Address, UINT32 Length);
typedef BOOLEAN(EFIAPI* FLASH_DEVICE_PROGRAM_CHUNK)(UINT64 Address, UINT8* Data, UINT32* Remaining);
typedef VOID(EFIAPI* FLASH_DEVICE_CLEAR_BLOCK_PROTECT)(UINT64 Address, UINT64 Unused);
typedef VOID(EFIAPI* FLASH_DEVICE_REFRESH_CONTROLLER)(UINT64 Unused);
typedef UINT8(EFIAPI* FLASH_DEVICE_SET_WRITE_ENABLED)();
typedef VOID(EFIAPI* FLASH_DEVICE_CLEAR_WRITE_ENABLED)();
typedef EFI_STATUS(EFIAPI* FLASH_DEVICE_CONVERT_FOR_VIRTUAL_MODE)(EFI_RUNTIME_SERVICES* RuntimeServices);

struct FlashDeviceRecord {
  FLASH_DEVICE_READ_CHUNK ReadChunk;
  FLASH_DEVICE_ERASE_4K Erase4K;
  FLASH_DEVICE_ERASE_RANGE EraseRange;
  FLASH_DEVICE_PROGRAM_CHUNK ProgramChunk;
  FLASH_DEVICE_CLEAR_BLOCK_PROTECT ClearBlockProtect;
  FLASH_DEVICE_REFRESH_CONTROLLER RefreshController;
  FLASH_DEVICE_SET_WRITE_ENABLED SetWriteEnabled;
  FLASH_DEVICE_CLEAR_WRITE_ENABLED ClearWriteEnabled;
  FLASH_DEVICE_CONVERT_FOR_VIRTUAL_MODE ConvertForVirtualMode;
  UINT32 ProgramUnit;  // 1: programmed a byte at a time; 256: page programmed
  UINT32 EraseUnit;    // erase block size in bytes
  const CHAR8* PartName;
};
static_assert(sizeof(FlashDeviceRecord) == 9 * 8 + 8 + 8);
static_assert(offsetof(FlashDeviceRecord, ProgramUnit) == 72 && offsetof(FlashDeviceRecord, PartName) == 80);

// Opcode types use the PCH's OPTYPE encoding: 0 read without address, 1 write without
// address, 2 read with address, 3 write with address.
struct FlashPartProfile {
  UINT8 ProgramOpcode;
  UINT8 ProgramOpcodeType;
  UINT8 ReadOpcode;
  UINT8 ReadOpcodeType;
  UINT8 EraseOpcode;
  UINT8 EraseOpcodeType;
  UINT8 ReadStatusOpcode;
  UINT8 ReadStatusOpcodeType;
  UINT8 ReadIdOpcode;
  UINT8 ReadIdOpcodeType;
  UINT8 WriteStatusOpcode;
  UINT8 WriteStatusOpcodeType;
  UINT8 StatusWriteEnableOpcode;  // 0x50 (enable-write-status), 0x39, or 0 for none
  UINT8 UnusedAttribute13;  // carried along in CurrentPartProfile; the layer never reads it
  UINT8 WriteEnableOpcode;
  UINT8 UnusedAttribute15;  // likewise
  UINT32 ProgramUnit;
  UINT32 EraseUnit;
};
static_assert(sizeof(FlashPartProfile) == 24);
static_assert(offsetof(FlashPartProfile, EraseOpcode) == 4 && offsetof(FlashPartProfile, StatusWriteEnableOpcode) == 12 &&
              offsetof(FlashPartProfile, ProgramUnit) == 16 && offsetof(FlashPartProfile, EraseUnit) == 20);

constexpr UINT8 kStatusWriteEnableEwsr = 0x50;
constexpr UINT8 kStatusWriteEnableUnprotect = 0x39;

// An identification routine: TRUE when it accepts the part and has stored the record
// that serves it through Device. FlashBase is handed on unchanged.
typedef BOOLEAN (*IDENTIFY_ROUTINE)(UINT64 FlashBase, FlashDeviceRecord** Device);
