// The flash device used while the processor runs with BIOS Guard: reads come straight
// from the memory-mapped window, erases and writes are handed to BiosGuardProtocol (an
// SMM protocol of the platform's BIOS Guard driver), and the part found behind it is kept
// as the backing device that serves everything while that protocol cannot be reached.
#pragma once

#include "flash/device/FlashDeviceRecord.h"
#include "uefi/BoardProtocols.h"
#include "uefi/PiSmm.h"

// Window address of the first byte of the BIOS region.
constexpr UINT64 kBiosGuardWindowBase = 0xFF200000;

// Copies *Count bytes of the flash window at Address, then sets *Count to 0.
EFI_STATUS EFIAPI BiosGuardReadChunk(UINT64 Address, UINT8* Buffer, UINT32* Count);
BOOLEAN EFIAPI BiosGuardErase4K(UINT64 Address);
EFI_STATUS EFIAPI BiosGuardEraseRange(UINT64 Address, UINT32 Size);
BOOLEAN EFIAPI BiosGuardProgramChunk(UINT64 Address, UINT8* Buffer, UINT32* Count);
VOID EFIAPI BiosGuardClearBlockProtect(UINT64 Address, UINT64 Unused);
VOID EFIAPI BiosGuardRefreshController(UINT64 Unused);
UINT8 EFIAPI BiosGuardSetWriteEnabled();
VOID EFIAPI BiosGuardClearWriteEnabled();
EFI_STATUS EFIAPI BiosGuardConvertForVirtualMode(EFI_RUNTIME_SERVICES* RuntimeServices);

struct BiosGuardDeviceState {
  EFI_SMM_SYSTEM_TABLE2* Smst = nullptr;         // set by the start-up step, NULL without BIOS Guard
  EFI_SMM_BASE2_PROTOCOL* Base2 = nullptr;       // held by the start-up step
  UINT32 BiosRegionBase = 0;                     // flash linear address of the BIOS region
  BIOS_GUARD_PROTOCOL* Protocol = nullptr;       // located at the first operation that needs it
  FlashDeviceRecord* BiosGuardBackingDevice = nullptr;
  FlashDeviceRecord BiosGuardFlashDevice = {BiosGuardReadChunk,         BiosGuardErase4K,
                                            BiosGuardEraseRange,        BiosGuardProgramChunk,
                                            BiosGuardClearBlockProtect, BiosGuardRefreshController,
                                            BiosGuardSetWriteEnabled,   BiosGuardClearWriteEnabled,
                                            BiosGuardConvertForVirtualMode, 1, 4096, nullptr};
};

extern constinit BiosGuardDeviceState gBiosGuardDevice;

// Start-up step of SpiFlashSmm (and the platform's flash driver): with BIOS Guard in
// force, the SMM system table for the device and the BIOS region base from BFPREG.
VOID BiosGuardStartUp();

// First routine of IdentifyRoutineList: with BIOS Guard in force it identifies the part
// behind it once (the routines after it, into BiosGuardBackingDevice) and selects
// BiosGuardFlashDevice, also when no part was found; otherwise FALSE.
BOOLEAN SelectBiosGuardDevice(UINT64 FlashBase, FlashDeviceRecord** Device);

// TRUE when BiosGuardProtocol can be called; a failed locate is tried again next time.
BOOLEAN BiosGuardReachable();
// Linear flash address of a BIOS-region window address.
UINT64 BiosGuardLinearAddress(UINT64 Address);
