// The frame's per-driver profile for test programs that link the device layer without a
// driver image around it.
#include "frame/Frame.h"

const FrameDriverProfile gFrameDriverProfile = {TRUE, nullptr, FALSE};
EFI_STATUS FrameDriverBody(EFI_HANDLE, EFI_SYSTEM_TABLE*) { return EFI_SUCCESS; }
