// Accesses to the SPI controller's memory registers at SpiBar + offset.
#pragma once

#include "flash/device/FlashDeviceLayer.h"
#include "platform/Platform.h"

inline UINT8 SpiRead8(UINT64 Offset) { return MmioRead8(gSpiFlashDeviceLayer.SpiBar + Offset); }
inline UINT16 SpiRead16(UINT64 Offset) { return MmioRead16(gSpiFlashDeviceLayer.SpiBar + Offset); }
inline UINT32 SpiRead32(UINT64 Offset) { return MmioRead32(gSpiFlashDeviceLayer.SpiBar + Offset); }
inline VOID SpiWrite8(UINT64 Offset, UINT8 Value) { MmioWrite8(gSpiFlashDeviceLayer.SpiBar + Offset, Value); }
inline VOID SpiWrite16(UINT64 Offset, UINT16 Value) { MmioWrite16(gSpiFlashDeviceLayer.SpiBar + Offset, Value); }
inline VOID SpiWrite32(UINT64 Offset, UINT32 Value) { MmioWrite32(gSpiFlashDeviceLayer.SpiBar + Offset, Value); }

