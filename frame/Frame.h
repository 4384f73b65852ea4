// SMM driver frame: start-up of the three SMM drivers and the small services the rest
// of a driver uses (pool, SMRAM test, PCI Express configuration address).
#pragma once

#include "frame/MemorySpaceMap.h"
#include "frame/PciConfig.h"
#include "uefi/PiSmm.h"

// What one SMM driver does differently in the frame; each driver defines its profile.
struct FrameDriverProfile {
  BOOLEAN ReadsInSmmFlag;         // constructor step 5: InSmm() into InSmmFlag
  VOID (*ConstructorHook)();      // constructor step 6 (BIOS Guard set-up), or NULL
  BOOLEAN RequiresFrameSupport;   // gate: a missing SmmFrameSupportProtocol stops start-up
};

extern const FrameDriverProfile gFrameDriverProfile;
// The driver's body, called by the gate inside SMM.
EFI_STATUS FrameDriverBody(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable);

struct FrameState {
  EFI_SYSTEM_TABLE* SystemTable = nullptr;
  EFI_BOOT_SERVICES* BootServices = nullptr;
  EFI_RUNTIME_SERVICES* RuntimeServices = nullptr;
  EFI_SMM_SYSTEM_TABLE2* Smst = nullptr;
  EFI_SMRAM_DESCRIPTOR* SmramRangeTable = nullptr;
  UINT64 SmramRangeCount = 0;
  MemoryRange* MemoryRanges = nullptr;  // caller memory and device windows (MemorySpaceMap.h), in SMRAM
  UINT64 MemoryRangeCount = 0;
  UINT64 PciExpressBase = 0;
  BOOLEAN PciExpressBaseSet = FALSE;
  BOOLEAN InSmmFlag = FALSE;
  BOOLEAN GateTablesStored = FALSE;
  // The body has run: from then on handlers may be registered, and they need the maps.
  BOOLEAN BodyStarted = FALSE;
  EFI_STATUS EntryStatus = EFI_LOAD_ERROR;
  EFI_SMM_BASE2_PROTOCOL* InSmmBase2 = nullptr;  // held by constructor step 5
  VOID* FrameSupport = nullptr;                  // SmmFrameSupportProtocol, never called
};

extern constinit FrameState gFrame;

// Image entry point of the three SMM drivers (defined by the frame).
extern "C" EFI_STATUS EFIAPI _ModuleEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable);

// Services for the rest of the driver.
VOID* AllocatePool(UINTN Size);
VOID FreePool(VOID* Buffer);
BOOLEAN AddressInSmram(UINT64 Address);
// TRUE when any byte of [Address, Address + Length) lies in SMRAM, or the range wraps
// the 64-bit address space. A zero-length range overlaps nothing.
BOOLEAN RangeOverlapsSmram(UINT64 Address, UINT64 Length);

// Start-up pieces, exposed for tests of the frame.
VOID FrameRunConstructors(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable);
EFI_STATUS FrameSmmGate(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable);
VOID FrameRunDestructor();
