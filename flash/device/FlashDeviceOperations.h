// The operations of SpiFlashDevice: reads, erases and programs through hardware-sequenced
// cycles, each change confirmed by reading the flash back, with retries, and with the
// processor's data cache written back over the memory-mapped copy of what changed.
#pragma once

#include "flash/device/FlashDeviceRecord.h"

BOOLEAN EFIAPI Erase4K(UINT64 Address);
EFI_STATUS EFIAPI EraseRange(UINT64 Address, UINT32 Length);
BOOLEAN EFIAPI ProgramChunk(UINT64 Address, UINT8* Data, UINT32* Remaining);
VOID EFIAPI ClearBlockProtect(UINT64 Address, UINT64 Unused);
VOID EFIAPI RefreshController(UINT64 Unused);
UINT8 EFIAPI SetWriteEnabled();
VOID EFIAPI ClearWriteEnabled();
EFI_STATUS EFIAPI ConvertForVirtualMode(EFI_RUNTIME_SERVICES* RuntimeServices);

// TRUE when the Count bytes at Address equal Expected (all 0xFF when Expected is NULL).
// ByCycle: read the flash with ReadChunk; otherwise Address is memory of this driver.
BOOLEAN VerifyRange(UINT64 Address, const UINT8* Expected, UINT32 Count, BOOLEAN ByCycle);
// Writes back and invalidates the data cache over the window copy of a changed linear
// range of the BIOS region.
VOID FlashCacheWriteBack(UINT32 Linear, UINT32 Length);

// Attempts of an erase step or program chunk before the operation fails.
constexpr UINT32 kFlashWriteAttempts = 3;
// Writes of one FDATA byte before the load goes on with the next byte.
constexpr UINT32 kFdataLoadWrites = 300;
