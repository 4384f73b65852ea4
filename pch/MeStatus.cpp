#include "pch/MeStatus.h"

#include "frame/Frame.h"
#include "platform/Platform.h"

namespace {
UINT64 HeciRegister(UINT16 Register) {
  return PciExpressConfigAddress(PciConfigOffset(kHeciBus, kHeciDevice, kHeciFunction, Register));
}
}  // namespace

constinit MeHeciState gMeHeci{};

namespace {
constexpr UINT64 kHeciBarBytes = 0x1000;
constexpr UINT8 kHeciBarSound = 1;
constexpr UINT8 kHeciBarRefused = 2;

VOID ReadHeciBar(UINT32* Bar0, UINT32* Bar1) {
  *Bar0 = MmioRead32(HeciRegister(kHeciBar0));
  *Bar1 = (*Bar0 & kPciBarTypeMask) == kPciBarType64 ? MmioRead32(HeciRegister(kHeciBar1)) : 0;
}
}  // namespace

VOID MePinHeciBar() {
  if (gMeHeci.PinState != 0) return;
  gMeHeci.PinState = kHeciBarRefused;
  if (MmioRead16(HeciRegister(kHeciDeviceId)) == kPciAbsentDeviceId) return;
  ReadHeciBar(&gMeHeci.Bar0, &gMeHeci.Bar1);
  UINT64 base = static_cast<UINT64>(gMeHeci.Bar1) << 32 | (gMeHeci.Bar0 & kPciBarMemoryBaseMask);
  // A BAR of 0 is kept as it is: there is nothing to enable.
  if (base == 0 || RangeIsPlatformMmio(base, kHeciBarBytes)) gMeHeci.PinState = kHeciBarSound;
}

UINT32 MeHeciEnable() {
  if (MmioRead16(HeciRegister(kHeciDeviceId)) == kPciAbsentDeviceId) return 0;
  MePinHeciBar();
  UINT32 bar0 = 0, high = 0;
  ReadHeciBar(&bar0, &high);
  UINT32 low = bar0 & kPciBarMemoryBaseMask;
  if (low == 0 && high == 0) return 0;
  if (gMeHeci.PinState != kHeciBarSound || bar0 != gMeHeci.Bar0 || high != gMeHeci.Bar1) return 0;
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
