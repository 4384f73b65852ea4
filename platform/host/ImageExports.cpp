// Host images export exactly two symbols, the image entry point and the binding of the
// platform seam to the simulated board; everything else of an image stays private, so
// every loaded image keeps its own copy of module state.
#include "platform/host/HostBusOps.h"
#include "uefi/UefiSpec.h"

extern "C" EFI_STATUS EFIAPI _ModuleEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable);

extern "C" __attribute__((visibility("default"))) EFI_STATUS EFIAPI FwImageEntry(EFI_HANDLE ImageHandle,
                                                                                 EFI_SYSTEM_TABLE* SystemTable) {
  return _ModuleEntryPoint(ImageHandle, SystemTable);
}

extern "C" __attribute__((visibility("default"))) void FwImageBindPlatform(const HostBusOps* ops) {
  FwHostBindPlatform(ops);
}
