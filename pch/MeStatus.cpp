#include "pch/MeStatus.h"

#include "frame/Frame.h"
#include "platform/Platform.h"

namespace {
UINT64 HeciRegister(UINT16 Register) {
  return PciExpressConfigAddress(PciConfigOffset(kHeciBus, kHeciDevice, kHeciFunction, Register));
}
}  // namespace

UINT32 MeHeciEnable() {
  if (MmioRead16(HeciRegister(kHeciDeviceId)) == kPciAbsentDeviceId) return 0;
  UINT32 bar0 = MmioRead32(HeciRegister(kHeciBar0));
  UINT32 low = bar0 & kPciBarMemoryBaseMask;
  UINT32 high = 0;
  if ((bar0 & kPciBarTypeMask) == kPciBarType64) high = MmioRead32(HeciRegister(kHeciBar1));
  if (low == 0 && high == 0) return 0;
  UINT8 command = MmioRead8(HeciRegister(kHeciCommand));
  MmioWrite8(HeciRegister(kHeciCommand), static_cast<UINT8>(command | kPciCommandMemorySpace | kPciCommandBusMaster));
  return low;
}

EFI_STATUS MeGetOperationMode(UINT32* Mode) {
  UINT32 hfsts1 = MmioRead32(HeciRegister(kHeciHfsts1));
  *Mode = kMeOperationModeFold[(hfsts1 >> kHfsts1OperationModeShift) & kHfsts1OperationModeMask];
  return EFI_SUCCESS;
}

UINT32 MeIsManufacturingMode() { return (MmioRead32(HeciRegister(kHeciHfsts1)) & kHfsts1ManufacturingMode) != 0; }
