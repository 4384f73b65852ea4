#include "pch/PchVariant.h"

#include "frame/Frame.h"
#include "platform/Platform.h"

constinit PchLibraryState gPchLibrary{};

PchVariant PchDetectVariant() {
  if (gPchLibrary.VariantCache != PchVariantUnknown) return gPchLibrary.VariantCache;
  UINT16 deviceId =
      MmioRead16(PciExpressConfigAddress(PciConfigOffset(kLpcBus, kLpcDevice, kLpcFunction, kPciDeviceIdRegister)));
  gPchLibrary.VariantCache = PchVariantOfDeviceId(deviceId);
  return gPchLibrary.VariantCache;
}
