// Identity record linked into every firmware image: the image's name and entry point.
// Its two absolute addresses also give each image a base-relocation directory, which
// loaders expect of a driver they place at an address of their choosing.
#include "uefi/UefiSpec.h"

#ifndef FW_IMAGE_NAME
#error "FW_IMAGE_NAME names the image (set by fw_driver_image)"
#endif
#define FW_WIDE_TEXT(x) u"" #x
#define FW_IMAGE_NAME_TEXT(x) FW_WIDE_TEXT(x)

extern "C" EFI_STATUS EFIAPI _ModuleEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable);

struct FwImageIdentity {
  const CHAR16* Name;
  EFI_STATUS(EFIAPI* Entry)(EFI_HANDLE, EFI_SYSTEM_TABLE*);
};

extern "C" constinit const FwImageIdentity gFwImageIdentity = {FW_IMAGE_NAME_TEXT(FW_IMAGE_NAME), &_ModuleEntryPoint};
