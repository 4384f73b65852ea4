// PlatformFlashSmm: the frame's profile for this driver and its body. The part is
// identified and configured once at start-up; the protocol is published in the SMM
// protocol database only. Its table and functions live in SMRAM: in the boot-services
// database DXE code could find them and call into SMRAM, and once SMRAM is closed the
// pointer would lead nowhere. SMM callers find it with SmmLocateProtocol.
#include "flash/device/FlashDeviceLayer.h"
#include "flash/device/BiosGuardFlashDevice.h"
#include "frame/Frame.h"
#include "platform_flash/PlatformFlash.h"

const FrameDriverProfile gFrameDriverProfile = {
    TRUE,              // ReadsInSmmFlag
    FlashDriverStartUp,  // ConstructorHook: the controller's base pinned, then the BIOS Guard set-up
    FALSE,    // RequiresFrameSupport
};

EFI_STATUS FrameDriverBody(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  // A board whose part is not known still gets reads; erases and writes answer
  // EFI_NOT_READY until a part is identified.
  PlatformFlashReady();
  EFI_GUID guid = PLATFORM_FLASH_PROTOCOL_GUID;
  return gFrame.Smst->SmmInstallProtocolInterface(&gPlatformFlash.Handle, &guid, EFI_NATIVE_INTERFACE,
                                                  &gPlatformFlash.Protocol);
}
