// The flash device used while the processor runs with BIOS Guard: reads come straight
// from the memory-mapped window, erases and writes are handed to BiosGuardProtocol (an
// SMM protocol of the platform's BIOS Guard driver), and the part found behind it is kept
// as the backing device that serves everything while that protocol cannot be reached.
#pragma once

#include "flash/device/FlashDeviceRecord.h"
#include "uefi/BoardProtocols.h"
#include "uefi/PiSmm.h"

// Copies at most one 64-byte chunk of the BIOS region's window at Address (never past the
// region's end), lowers *Count by what it copied and returns that number;
// EFI_INVALID_PARAMETER for an address outside the BIOS region's window.
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
  UINT32 BiosRegionLimit = 0;                    // its last byte; 0 with BiosRegionBase 0: not known
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
// Constructor step of both flash drivers: the SPI controller's base is taken before any
// operating-system code runs, then the BIOS Guard set-up.
VOID FlashDriverStartUp();

// First routine of IdentifyRoutineList: with BIOS Guard in force it identifies the part
// behind it once (the routines after it, into BiosGuardBackingDevice) and selects
// BiosGuardFlashDevice, also when no part was found; otherwise FALSE.
BOOLEAN SelectBiosGuardDevice(UINT64 FlashBase, FlashDeviceRecord** Device);

// TRUE when BiosGuardProtocol can be called; a failed locate is tried again next time.
BOOLEAN BiosGuardReachable();
// Linear flash address of a BIOS-region window address. The window ends at 4 GiB with the
// region's last byte, as the PCH decodes it; FALSE (nothing to address) for an address
// outside the region's window, or while the region is not known.
BOOLEAN BiosGuardLinearAddress(UINT64 Address, UINT64 Length, UINT64* Linear);
