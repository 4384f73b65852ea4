// The board's own PlatformFlashProtocol provider: reads through the memory-mapped flash
// window, erases and writes through the SPI flash device layer (identification, then
// EraseRange and ProgramChunk loops with their read-back), and returns their status.
#pragma once

#include "uefi/BoardProtocols.h"

struct PlatformFlashState {
  PLATFORM_FLASH_PROTOCOL Protocol;
  EFI_HANDLE Handle = nullptr;
};

extern constinit PlatformFlashState gPlatformFlash;

// Identifies the part when nothing is selected yet; TRUE when a device is selected.
BOOLEAN PlatformFlashReady();

// Every slot answers EFI_ACCESS_DENIED, touching no controller register, while the SPI
// controller's BAR0 or memory decoding differ from what start-up recorded.
// Slot 0: copies Size bytes of the flash window at Address to the buffer at physical
// address Buffer. EFI_INVALID_PARAMETER when the range is not all flash; EFI_ACCESS_DENIED
// when the buffer is not memory a caller may hand to SMM (SMRAM, a device window,
// operating-system memory) or wraps.
EFI_STATUS EFIAPI PlatformFlashRead(UINT64 Address, UINT64 Size, UINT64 Buffer);
// Slot 1: erases [Address, Address + Size), a whole number of erase units.
EFI_STATUS EFIAPI PlatformFlashErase(UINT64 Address, UINT64 Size);
// Slot 2: programs Size bytes from the buffer at physical address Buffer (onto erased
// flash, or where the change only clears bits). EFI_DEVICE_ERROR when a chunk does not read
// back after its retries.
EFI_STATUS EFIAPI PlatformFlashWrite(UINT64 Address, UINT64 Size, UINT64 Buffer);
// Slots 3 to 5: nothing further is offered.
EFI_STATUS EFIAPI PlatformFlashNoOperation(UINT64 Arg1, UINT64 Arg2, UINT64 Arg3, UINT64 Arg4);
