// SpiFlashSmm: the frame's profile for this driver and its body, which binds the flash
// service: software SMI 0x90, FlashServiceProtocol and the outside protocols it calls.
#include "flash/device/BiosGuardFlashDevice.h"
#include "flash/service/FlashServiceProtocol.h"
#include "flash/service/FlashServiceState.h"
#include "flash/service/FlashSmiHandler.h"
#include "flash/service/FlashSmiTables.h"
#include "frame/Frame.h"

const FrameDriverProfile gFrameDriverProfile = {
    TRUE,               // ReadsInSmmFlag: the BIOS write-enable path reads InSmmFlag
    FlashDriverStartUp,  // ConstructorHook: the controller's base pinned, then the BIOS Guard set-up
    TRUE,     // RequiresFrameSupport
};

namespace {
EFI_STATUS LocateFlashUpdatePrepare() {
  EFI_GUID guid = FLASH_UPDATE_PREPARE_PROTOCOL_GUID;
  VOID* interface = nullptr;
  EFI_STATUS status = gFlashService.Smst->SmmLocateProtocol(&guid, nullptr, &interface);
  gFlashService.FlashUpdatePrepare =
      EFI_ERROR(status) ? nullptr : static_cast<FLASH_UPDATE_PREPARE_PROTOCOL*>(interface);
  return status;
}

// FlashUpdatePrepareProtocol may be installed after this driver started.
EFI_STATUS EFIAPI FlashUpdatePrepareNotify(const EFI_GUID*, VOID*, EFI_HANDLE) { return LocateFlashUpdatePrepare(); }
}  // namespace

EFI_STATUS FrameDriverBody(EFI_HANDLE, EFI_SYSTEM_TABLE* SystemTable) {
  EFI_BOOT_SERVICES* bs = SystemTable->BootServices;

  EFI_GUID base2Guid = EFI_SMM_BASE2_PROTOCOL_GUID;
  VOID* interface = nullptr;
  EFI_STATUS status = bs->LocateProtocol(&base2Guid, nullptr, &interface);
  if (EFI_ERROR(status)) return status;
  auto* base2 = static_cast<EFI_SMM_BASE2_PROTOCOL*>(interface);
  EFI_SMM_SYSTEM_TABLE2* smst = nullptr;
  status = base2->GetSmstLocation(base2, &smst);
  if (EFI_ERROR(status)) return status;
  gFlashService.Smst = smst;

  EFI_GUID swDispatchGuid = EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID;
  status = smst->SmmLocateProtocol(&swDispatchGuid, nullptr, &interface);
  if (EFI_ERROR(status)) return status;
  auto* swDispatch = static_cast<EFI_SMM_SW_DISPATCH2_PROTOCOL*>(interface);

  EFI_GUID cpuGuid = EFI_SMM_CPU_PROTOCOL_GUID;
  status = smst->SmmLocateProtocol(&cpuGuid, nullptr, &interface);
  if (EFI_ERROR(status)) return status;
  gFlashService.SmmCpu = static_cast<EFI_SMM_CPU_PROTOCOL*>(interface);

  // From the SMM protocol database only: the operations are called from SMM, so they must
  // be SMM code. An interface from the boot-services database would be DXE code (an SMM
  // call-out that the OS could replace) or a pointer into SMRAM left where DXE finds it.
  EFI_GUID platformFlashGuid = PLATFORM_FLASH_PROTOCOL_GUID;
  status = smst->SmmLocateProtocol(&platformFlashGuid, nullptr, &interface);
  if (EFI_ERROR(status)) return status;
  gFlashService.PlatformFlash = static_cast<PLATFORM_FLASH_PROTOCOL*>(interface);

  EFI_SMM_SW_REGISTER_CONTEXT swContext = {kFlashServiceSwSmiValue};
  EFI_HANDLE dispatchHandle = nullptr;
  status = swDispatch->Register(swDispatch, FlashServiceSmiHandler, &swContext, &dispatchHandle);
  if (EFI_ERROR(status)) return status;

  EFI_HANDLE serviceHandle = nullptr;
  EFI_GUID serviceGuid = FLASH_SERVICE_PROTOCOL_GUID;
  status = smst->SmmInstallProtocolInterface(&serviceHandle, &serviceGuid, EFI_NATIVE_INTERFACE, &gFlashServiceProtocol);
  if (EFI_ERROR(status)) return status;

  status = LocateFlashUpdatePrepare();
  if (!EFI_ERROR(status)) return status;
  EFI_GUID prepareGuid = FLASH_UPDATE_PREPARE_PROTOCOL_GUID;
  VOID* registration = nullptr;
  return smst->SmmRegisterProtocolNotify(&prepareGuid, FlashUpdatePrepareNotify, &registration);
}
