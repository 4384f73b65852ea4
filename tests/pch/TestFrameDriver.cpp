// The library links the frame for PciExpressConfigAddress; the frame wants a driver.
#include "frame/Frame.h"

const FrameDriverProfile gFrameDriverProfile = {FALSE, nullptr, FALSE};
EFI_STATUS FrameDriverBody(EFI_HANDLE, EFI_SYSTEM_TABLE*) { return EFI_SUCCESS; }
