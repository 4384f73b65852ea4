#include "sleep_gpio/SleepGpioSmm.h"

#include "frame/Frame.h"
#include "pch/Sideband.h"

// The dispatchers of this driver are optional: SmmFrameSupportProtocol is not needed.
const FrameDriverProfile gFrameDriverProfile = {
    /*ReadsInSmmFlag=*/FALSE,
    /*ConstructorHook=*/nullptr,
    /*RequiresFrameSupport=*/FALSE,
};

EFI_STATUS EFIAPI SleepGpioEventHandler(EFI_HANDLE, const VOID*, VOID*, UINTN*) {
  // Each pad on its own: a pad the running PCH lacks, one another agent owns, or one whose
  // lock the sideband refused to lift is left as it is and does not keep the other from
  // being driven. The sleep entry goes on whatever the pads answered. With the sideband
  // window moved away from its fixed address, no pad is touched (a PCH that has neither pad
  // leaves P2SB alone).
  const BOOLEAN anyPad = GpioPadIdIsValid(kSleepGpioFirstPad) || GpioPadIdIsValid(kSleepGpioSecondPad);
  if (anyPad && !SidebandWindowInPlace()) return EFI_SUCCESS;
  static_cast<VOID>(GpioDrivePadHigh(kSleepGpioFirstPad));
  static_cast<VOID>(GpioDrivePadHigh(kSleepGpioSecondPad));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SleepGpioS3Handler(EFI_HANDLE, const VOID*, VOID*, UINTN*) { return EFI_SUCCESS; }

EFI_STATUS FrameDriverBody(EFI_HANDLE, EFI_SYSTEM_TABLE* SystemTable) {
  EFI_GUID base2Guid = EFI_SMM_BASE2_PROTOCOL_GUID;
  VOID* interface = nullptr;
  EFI_STATUS status = SystemTable->BootServices->LocateProtocol(&base2Guid, nullptr, &interface);
  if (EFI_ERROR(status)) return status;
  auto* base2 = static_cast<EFI_SMM_BASE2_PROTOCOL*>(interface);
  EFI_SMM_SYSTEM_TABLE2* smst = nullptr;
  if (EFI_ERROR(base2->GetSmstLocation(base2, &smst)) || smst == nullptr) return EFI_UNSUPPORTED;

  EFI_HANDLE dispatchHandle = nullptr;
  EFI_GUID powerButtonGuid = EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID;
  interface = nullptr;
  if (!EFI_ERROR(smst->SmmLocateProtocol(&powerButtonGuid, nullptr, &interface)) && interface != nullptr) {
    auto* powerButton = static_cast<EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL*>(interface);
    EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT context = {EfiPowerButtonEntry};
    powerButton->Register(powerButton, SleepGpioEventHandler, &context, &dispatchHandle);
  }

  EFI_GUID sxGuid = EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID;
  interface = nullptr;
  if (EFI_ERROR(smst->SmmLocateProtocol(&sxGuid, nullptr, &interface)) || interface == nullptr) return EFI_SUCCESS;
  auto* sx = static_cast<EFI_SMM_SX_DISPATCH2_PROTOCOL*>(interface);
  const EFI_SMM_SX_REGISTER_CONTEXT s3 = {SxS3, SxEntry};
  const EFI_SMM_SX_REGISTER_CONTEXT s4 = {SxS4, SxEntry};
  const EFI_SMM_SX_REGISTER_CONTEXT s5 = {SxS5, SxEntry};
  sx->Register(sx, SleepGpioS3Handler, &s3, &dispatchHandle);
  sx->Register(sx, SleepGpioEventHandler, &s4, &dispatchHandle);
  sx->Register(sx, SleepGpioEventHandler, &s5, &dispatchHandle);
  return EFI_SUCCESS;
}
