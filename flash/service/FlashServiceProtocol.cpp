// FlashServiceProtocol slots: each reads the request fields its operation uses once into
// an SMRAM copy, runs the operation and writes back only the fields it answers. The
// callers are other SMM drivers, whose records may well lie in SMRAM; the record itself
// is therefore not range-checked here (the 0x90 handler checks what the OS hands it).
// Every slot first makes sure the SPI controller still decodes where start-up found it.
#include "flash/device/SpiController.h"
#include "flash/service/FlashServiceOperations.h"
#include "flash/service/FlashServiceProtocol.h"
#include "flash/service/FlashServiceState.h"
#include "platform/Platform.h"

namespace {
FlashServiceRequest ReadLocateFields(UINT64 Request, BOOLEAN WithSignature) {
  FlashServiceRequest copy{};
  if (WithSignature) copy.Signature = MmioRead32(Request + kFlashRequestSignature);
  copy.VolumeBase = MmioRead32(Request + kFlashRequestVolumeBase);
  return copy;
}

FlashServiceRequest ReadAccessFields(UINT64 Request, BOOLEAN WithBuffer) {
  FlashServiceRequest copy{};
  copy.Address = MmioRead32(Request + kFlashRequestAddress);
  copy.Size = MmioRead32(Request + kFlashRequestSize);
  if (WithBuffer) copy.Buffer = MmioRead32(Request + kFlashRequestBuffer);
  return copy;
}

EFI_STATUS AnswerArea(UINT64 Request, EFI_STATUS Status, const FlashServiceRequest& Copy, BOOLEAN AreaWritten) {
  if (AreaWritten) {
    MmioWrite32(Request + kFlashRequestAddress, Copy.Address);
    MmioWrite32(Request + kFlashRequestSize, Copy.Size);
  }
  return Status;
}

UINT64 EFIAPI GetPartNameSlot(UINT64 Request) {
  if (!SpiControllerInPlace()) return EFI_ACCESS_DENIED;
  return GetPartName(Request);
}
}  // namespace

EFI_STATUS EFIAPI LocateLayoutFile(UINT64 Request) {
  if (!SpiControllerInPlace()) return EFI_ACCESS_DENIED;
  FlashServiceRequest copy = ReadLocateFields(Request, FALSE);
  BOOLEAN written = FALSE;
  EFI_STATUS status = LocateLayoutFile(copy, &written);
  return AnswerArea(Request, status, copy, written);
}

EFI_STATUS EFIAPI LocateLayoutEntry(const EFI_GUID* Guid, UINT64 Request) {
  if (!SpiControllerInPlace()) return EFI_ACCESS_DENIED;
  if (Guid == nullptr) return EFI_UNSUPPORTED;
  FlashServiceRequest copy = ReadLocateFields(Request, TRUE);
  BOOLEAN written = FALSE;
  EFI_STATUS status = LocateLayoutEntry(*Guid, copy, &written);
  return AnswerArea(Request, status, copy, written);
}

EFI_STATUS EFIAPI LocateAreaFile(const EFI_GUID* Guid, UINT64 Request) {
  if (!SpiControllerInPlace()) return EFI_ACCESS_DENIED;
  if (Guid == nullptr) return EFI_UNSUPPORTED;
  FlashServiceRequest copy = ReadLocateFields(Request, FALSE);
  BOOLEAN written = FALSE;
  EFI_STATUS status = LocateAreaFile(*Guid, copy, &written);
  return AnswerArea(Request, status, copy, written);
}

EFI_STATUS EFIAPI ReadFlash(UINT64 Request) {
  if (!SpiControllerInPlace()) return EFI_ACCESS_DENIED;
  return ReadFlash(ReadAccessFields(Request, TRUE));
}
EFI_STATUS EFIAPI EraseFlash(UINT64 Request) {
  if (!SpiControllerInPlace()) return EFI_ACCESS_DENIED;
  return EraseFlash(ReadAccessFields(Request, FALSE));
}
EFI_STATUS EFIAPI WriteFlash(UINT64 Request) {
  if (!SpiControllerInPlace()) return EFI_ACCESS_DENIED;
  return WriteFlash(ReadAccessFields(Request, TRUE));
}

EFI_STATUS EFIAPI ForwardOperation4(UINT64 Arg1, UINT64 Arg2, UINT64 Arg3, UINT64 Arg4) {
  if (!SpiControllerInPlace()) return EFI_ACCESS_DENIED;
  return gFlashService.PlatformFlash->Operation4(Arg1, Arg2, Arg3, Arg4);
}

EFI_STATUS EFIAPI ForwardOperation5(UINT64 Arg1, UINT64 Arg2, UINT64 Arg3, UINT64 Arg4) {
  if (!SpiControllerInPlace()) return EFI_ACCESS_DENIED;
  return gFlashService.PlatformFlash->Operation5(Arg1, Arg2, Arg3, Arg4);
}

constinit FLASH_SERVICE_PROTOCOL gFlashServiceProtocol = {
    GetPartNameSlot, LocateLayoutFile,  LocateLayoutEntry, LocateAreaFile,    ReadFlash,
    EraseFlash,      WriteFlash,        ForwardOperation4, ForwardOperation5,
};
