// Module state of the SPI flash device layer (one instance per driver image, in SMRAM).
// Tests start from fresh state by assigning a default-constructed SpiFlashDeviceLayer.
#pragma once

#include "flash/device/FlashDeviceOperations.h"
#include "flash/device/FlashDeviceRecord.h"
#include "flash/device/IdentificationTables.h"
#include "flash/device/SpiController.h"
#include "flash/device/SpiRegisters.h"

// Bounds of the BIOS region and the highest limit of all regions, filled by the first
// address translation (valid once BiosLimit is non-zero) and never refreshed.
struct RegionCacheRecord {
  UINT64 BiosBase = 0;
  UINT64 BiosLimit = 0;
  UINT64 HighestLimit = 0;
};

constexpr UINT32 kPartNameBufferBytes = 48;

// Whether the controller's memory base has been taken and found sound.
enum SpiBarPinState : UINT8 { kSpiBarUnpinned = 0, kSpiBarPinned = 1, kSpiBarUnusable = 2 };

struct SpiFlashDeviceLayer {
  // Controller access. SpiBar comes from BAR0 once, at start-up (PinnedBar0); afterwards
  // configuration space is only compared with it.
  UINT64 SpiBar = spi::kSpiBarAfterReset;
  UINT32 PinnedBar0 = 0;
  UINT8 BarPinState = kSpiBarUnpinned;
  RegionCacheRecord RegionCache{};
  BOOLEAN VirtualModeFlag = FALSE;
  UINT64 FlashWindowBase = spi::kBiosWindowBase;
  UINT32 FlashSize = kUnlistedCapacitySize;
  UINT32 FlashJedecId = 0;

  // Identification.
  CHAR8 PartNameBuffer[kPartNameBufferBytes] = {};
  FlashPartProfile CurrentPartProfile = {};
  BOOLEAN Sst26UnlockFlag = FALSE;
  FlashPartProfile ProfileAtmel = kProfileAtmelInitial;
  FlashPartProfile ProfileByteProgram = kProfileByteProgramInitial;
  FlashPartProfile ProfileCommon = kProfileCommonInitial;
  FlashPartProfile ProfileLegacySst = kProfileLegacySstInitial;

  // The device record this layer drives, and the one identification selected.
  FlashDeviceRecord SpiFlashDevice = {ReadChunk,         Erase4K,         EraseRange,        ProgramChunk,
                                      ClearBlockProtect, RefreshController, SetWriteEnabled, ClearWriteEnabled,
                                      ConvertForVirtualMode, 1, 4096, nullptr};
  FlashDeviceRecord* SelectedFlashDevice = nullptr;
  UINT8 WriteEnabled = 0;
};

extern constinit SpiFlashDeviceLayer gSpiFlashDeviceLayer;
