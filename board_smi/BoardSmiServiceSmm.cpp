#include "board_smi/BoardSmiServiceSmm.h"

#include "frame/Frame.h"
#include "pch/MeStatus.h"
#include "pch/Sideband.h"
#include "platform/Platform.h"

constinit BoardSmiServiceState gBoardSmiService{};

const FrameDriverProfile gFrameDriverProfile = {
    /*ReadsInSmmFlag=*/TRUE,
    /*ConstructorHook=*/MePinHeciBar,  // HECI's BAR is taken before any operating-system code runs
    /*RequiresFrameSupport=*/TRUE,
};

namespace {
constexpr UINTN kSaveStateWidth = 2;  // AX and BX only: bits 63:16 are never written
constexpr UINTN kNoCpu = ~static_cast<UINTN>(0);
constexpr UINT32 kMeModeWhenHeciUnusable = kMeModeOther;

// On BL = 0 the reset pad only moves to the PLTRST# reset domain; otherwise it goes to
// RSMRST# and drives low, so the board sees it low through the reset. The reset is the
// caller's request and happens whatever the pad answered, so the statuses are not looked at.
VOID PrepareResetPad(UINT8 Bl) {
  if (Bl == 0) {
    static_cast<VOID>(GpioApplyPadSettings(BoardResetPad, &ResetPadSettingsPltrst));
    return;
  }
  static_cast<VOID>(GpioApplyPadSettings(BoardResetPad, &ResetPadSettingsRsmrst));
  UINT32 owner = ~0u;
  if (GpioPadIdIsValid(BoardResetPad) && !EFI_ERROR(GpioReadPadOwner(BoardResetPad, &owner)) &&
      owner == kPadOwnerHost)
    static_cast<VOID>(GpioWritePadConfigWord(BoardResetPad, 0, ~PadCfgDw0::GpioTxState::kMask, 0));
}

// Prepares the reset pad and resets the board; never returns. A PCH without the pad has
// nothing to prepare; with the sideband window moved away from its fixed address the pad is
// not touched. Either way the reset goes on.
[[noreturn]] VOID ResetWithBoardPad(UINT8 Bl) {
  if (GpioPadIdIsValid(BoardResetPad) && SidebandWindowInPlace()) PrepareResetPad(Bl);
  IoWrite8(kResetControlPort, kBoardResetCommand);
  // The platform resets under this loop.
  for (;;) CpuPause();
}
}  // namespace

EFI_STATUS EFIAPI BoardSmiHandler(EFI_HANDLE, const VOID*, VOID* CommBuffer, UINTN* CommBufferSize) {
  if (CommBuffer == nullptr || CommBufferSize == nullptr) return EFI_UNSUPPORTED;
  UINTN cpu = static_cast<const EFI_SMM_SW_CONTEXT*>(CommBuffer)->SwSmiCpuIndex;
  if (cpu == kNoCpu) return EFI_UNSUPPORTED;

  EFI_SMM_CPU_PROTOCOL* smmCpu = gBoardSmiService.SmmCpu;
  UINT16 ax = 0;
  UINT16 bx = 0;
  smmCpu->ReadSaveState(smmCpu, kSaveStateWidth, EFI_SMM_SAVE_STATE_REGISTER_RAX, cpu, &ax);
  smmCpu->ReadSaveState(smmCpu, kSaveStateWidth, EFI_SMM_SAVE_STATE_REGISTER_RBX, cpu, &bx);

  const UINT8 ah = static_cast<UINT8>(ax >> 8);
  const UINT8 al = static_cast<UINT8>(ax);
  ax = al;
  switch (ah) {
    case kBoardSmiPresenceCheck:
      if (bx == kBoardSmiPresenceRequest) {
        bx = kBoardSmiPresenceAnswer;
      } else {
        ax = static_cast<UINT16>((kBoardSmiStatusBadSignature << 8) | al);
      }
      break;
    case kBoardSmiResetWithPad:
      ResetWithBoardPad(static_cast<UINT8>(bx));
    case kBoardSmiMeManufacturingMode:
      bx = static_cast<UINT16>(MeIsManufacturingMode());
      break;
    case kBoardSmiMeOperationMode: {
      // Without a usable HECI function HFSTS1 is not read; the mode reported is "other".
      UINT32 mode = kMeModeWhenHeciUnusable;
      if (MeHeciEnable() != 0) MeGetOperationMode(&mode);
      bx = static_cast<UINT8>(mode);
      break;
    }
    default:
      break;
  }
  smmCpu->WriteSaveState(smmCpu, kSaveStateWidth, EFI_SMM_SAVE_STATE_REGISTER_RAX, cpu, &ax);
  smmCpu->WriteSaveState(smmCpu, kSaveStateWidth, EFI_SMM_SAVE_STATE_REGISTER_RBX, cpu, &bx);
  return EFI_SUCCESS;
}

EFI_STATUS FrameDriverBody(EFI_HANDLE, EFI_SYSTEM_TABLE* SystemTable) {
  EFI_GUID base2Guid = EFI_SMM_BASE2_PROTOCOL_GUID;
  VOID* interface = nullptr;
  EFI_STATUS status = SystemTable->BootServices->LocateProtocol(&base2Guid, nullptr, &interface);
  if (EFI_ERROR(status)) return status;
  auto* base2 = static_cast<EFI_SMM_BASE2_PROTOCOL*>(interface);
  EFI_SMM_SYSTEM_TABLE2* smst = nullptr;
  status = base2->GetSmstLocation(base2, &smst);
  if (EFI_ERROR(status)) return status;

  EFI_GUID swGuid = EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID;
  status = smst->SmmLocateProtocol(&swGuid, nullptr, &interface);
  if (EFI_ERROR(status)) return status;
  auto* swDispatch = static_cast<EFI_SMM_SW_DISPATCH2_PROTOCOL*>(interface);

  EFI_GUID cpuGuid = EFI_SMM_CPU_PROTOCOL_GUID;
  status = smst->SmmLocateProtocol(&cpuGuid, nullptr, &interface);
  if (EFI_ERROR(status)) return status;
  gBoardSmiService.SmmCpu = static_cast<EFI_SMM_CPU_PROTOCOL*>(interface);

  EFI_SMM_SW_REGISTER_CONTEXT context = {BoardSwSmiValue};
  EFI_HANDLE dispatchHandle = nullptr;
  return swDispatch->Register(swDispatch, BoardSmiHandler, &context, &dispatchHandle);
}
