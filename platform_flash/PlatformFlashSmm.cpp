// PlatformFlashSmm: the frame's profile for this driver and its body. The part is
// identified and configured once at start-up; the protocol is published through the boot
// services, where the flash service looks for it.
#include "flash/device/FlashDeviceLayer.h"
#include "flash/service/BiosGuardFlashDevice.h"
#include "frame/Frame.h"
#include "platform_flash/PlatformFlash.h"

const FrameDriverProfile gFrameDriverProfile = {
    TRUE,              // ReadsInSmmFlag
    FlashDriverStartUp,  // ConstructorHook: the controller's base pinned, then the BIOS Guard set-up
    FALSE,    // RequiresFrameSupport
};

EFI_STATUS FrameDriverBody(EFI_HANDLE, EFI_SYSTEM_TABLE* SystemTable) {
  // A board whose part is not known still gets reads; erases and writes answer
  // EFI_NOT_READY until a part is identified.
  PlatformFlashReady();
  EFI_GUID guid = PLATFORM_FLASH_PROTOCOL_GUID;
  return SystemTable->BootServices->InstallProtocolInterface(&gPlatformFlash.Handle, &guid, EFI_NATIVE_INTERFACE,
                                                            &gPlatformFlash.Protocol);
}
