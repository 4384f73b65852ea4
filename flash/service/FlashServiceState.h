// Module state of the flash service (SMRAM, one instance per SpiFlashSmm image).
#pragma once

#include "uefi/BoardProtocols.h"

struct FlashServiceState {
  EFI_SMM_SYSTEM_TABLE2* Smst = nullptr;                      // located by the body
  EFI_SMM_CPU_PROTOCOL* SmmCpu = nullptr;                     // save-state reads of the 0x90 handler
  PLATFORM_FLASH_PROTOCOL* PlatformFlash = nullptr;           // never NULL once the driver runs
  FLASH_UPDATE_PREPARE_PROTOCOL* FlashUpdatePrepare = nullptr;  // NULL until that protocol is installed
  BOOLEAN PrepareDone = FALSE;                                // Prepare returned a non-error status; never reset
};

extern constinit FlashServiceState gFlashService;
