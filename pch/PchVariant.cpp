#include "pch/PchVariant.h"

#include "frame/Frame.h"
#include "platform/Platform.h"

constinit PchLibraryState gPchLibrary{};

PchVariant PchDetectVariant() {
  if (gPchLibrary.VariantCache != PchVariantUnknown) return gPchLibrary.VariantCache;
  gPchLibrary.VariantCache = PchVariantOfDeviceId(PciConfigRead<lpc::DeviceId>(lpc::kLpc));
  return gPchLibrary.VariantCache;
}
