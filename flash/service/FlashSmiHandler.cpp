// The request comes from the operating system and is treated as hostile: the record must
// lie in memory a caller may hand to SMM (never SMRAM, a device window or memory the OS
// owns), each of its fields is read once into an SMRAM copy, every address it names is
// checked before use, and only the copy is acted on. A record that fails its check is
// neither read nor written.
#include "flash/service/FlashSmiHandler.h"

#include "flash/device/SpiController.h"
#include "flash/service/CallerMemory.h"
#include "flash/service/FlashServiceOperations.h"
#include "flash/service/FlashServiceProtocol.h"
#include "flash/service/FlashServiceState.h"
#include "flash/service/FlashSmiTables.h"
#include "platform/Platform.h"

namespace {
constexpr UINTN kNoProcessor = ~static_cast<UINTN>(0);
constexpr UINTN kSaveStateDword = 4;

const FlashSmiSignature* FindSignature(UINT32 Signature) {
  for (const FlashSmiSignature& row : kFlashSmiSignatures)
    if (row.Signature == Signature) return &row;
  return nullptr;
}

const FlashSmiFunction* FindFunction(const FlashSmiSignature& Row, UINT32 Function) {
  for (UINT32 i = 0; i < Row.FunctionCount; ++i)
    if (Row.Functions[i].Function == Function) return &Row.Functions[i];
  return nullptr;
}

// EBX and ECX of the processor that raised the SMI. A save state that cannot be read
// names no request.
BOOLEAN ReadRequestAddress(UINTN CpuIndex, UINT64* Request) {
  const EFI_SMM_CPU_PROTOCOL* cpu = gFlashService.SmmCpu;
  UINT32 low = 0;
  UINT32 high = 0;
  if (EFI_ERROR(cpu->ReadSaveState(cpu, kSaveStateDword, EFI_SMM_SAVE_STATE_REGISTER_RBX, CpuIndex, &low)))
    return FALSE;
  if (EFI_ERROR(cpu->ReadSaveState(cpu, kSaveStateDword, EFI_SMM_SAVE_STATE_REGISTER_RCX, CpuIndex, &high)))
    return FALSE;
  *Request = static_cast<UINT64>(high) << 32 | low;
  return TRUE;
}

// Flash Address and Size must not run past 4 GiB; a data buffer must lie below 4 GiB and
// outside SMRAM (a read would fill SMRAM, a write would copy SMRAM into the flash).
BOOLEAN FlashAccessAllowed(const FlashServiceRequest& Copy, BOOLEAN WithBuffer) {
  if (static_cast<UINT64>(Copy.Address) + Copy.Size > kFourGiB) return FALSE;
  return WithBuffer ? CallerRangeUsableBelow4GiB(Copy.Buffer, Copy.Size) : TRUE;
}

VOID ReadAccessFields(UINT64 Request, FlashServiceRequest& Copy, BOOLEAN WithBuffer) {
  Copy.Address = MmioRead32(Request + kFlashRequestAddress);
  Copy.Size = MmioRead32(Request + kFlashRequestSize);
  if (WithBuffer) Copy.Buffer = MmioRead32(Request + kFlashRequestBuffer);
}

EFI_STATUS ServeAreaLookup(UINT64 Request, const FlashSmiSignature& Row, FlashSmiAction Action,
                           FlashServiceRequest& Copy) {
  Copy.VolumeBase = MmioRead32(Request + kFlashRequestVolumeBase);
  BOOLEAN written = FALSE;
  EFI_STATUS status = EFI_UNSUPPORTED;
  switch (Action) {
    case FlashSmiAction::LocateLayoutFile:
      status = LocateLayoutFile(Copy, &written);
      break;
    case FlashSmiAction::LocateLayoutEntry:
      status = LocateLayoutEntry(Row.AreaGuid, Copy, &written);
      break;
    default:
      status = LocateAreaFile(Row.AreaGuid, Copy, &written);
      break;
  }
  if (written) {
    MmioWrite32(Request + kFlashRequestAddress, Copy.Address);
    MmioWrite32(Request + kFlashRequestSize, Copy.Size);
  }
  return status;
}

EFI_STATUS ServeFlashAccess(UINT64 Request, FlashSmiAction Action, FlashServiceRequest& Copy) {
  const BOOLEAN withBuffer = Action != FlashSmiAction::PrepareAndEraseFlash;
  ReadAccessFields(Request, Copy, withBuffer);
  if (!FlashAccessAllowed(Copy, withBuffer)) return EFI_ACCESS_DENIED;
  if (Action != FlashSmiAction::ReadFlash && !NonBiosPreparationPossible(Copy)) return EFI_ACCESS_DENIED;
  switch (Action) {
    case FlashSmiAction::ReadFlash:
      return ReadFlash(Copy);
    case FlashSmiAction::PrepareAndEraseFlash:
      PrepareNonBiosUpdate(Copy);
      return EraseFlash(Copy);
    default:
      PrepareNonBiosUpdate(Copy);
      return WriteFlash(Copy);
  }
}

EFI_STATUS Serve(UINT64 Request, const FlashSmiSignature& Row, UINT32 Function, FlashServiceRequest& Copy) {
  const FlashSmiFunction* entry = FindFunction(Row, Function);
  if (entry == nullptr) return EFI_UNSUPPORTED;
  switch (entry->Action) {
    case FlashSmiAction::ReportPartName:
      return Row.ReportsPartName ? GetPartName(Request) : EFI_UNSUPPORTED;
    case FlashSmiAction::LocateLayoutFile:
    case FlashSmiAction::LocateLayoutEntry:
    case FlashSmiAction::LocateAreaFile:
      return ServeAreaLookup(Request, Row, entry->Action, Copy);
    case FlashSmiAction::ReadFlash:
    case FlashSmiAction::PrepareAndEraseFlash:
    case FlashSmiAction::PrepareAndWriteFlash:
      return ServeFlashAccess(Request, entry->Action, Copy);
    case FlashSmiAction::PlatformOperation4:
      return gFlashService.PlatformFlash->Operation4(0, 0, 0, 0);
    case FlashSmiAction::PlatformOperation5:
      return gFlashService.PlatformFlash->Operation5(0, 0, 0, 0);
    case FlashSmiAction::FlashUpdatePrepare:
      return RunFlashUpdatePrepareOnce();
  }
  return EFI_UNSUPPORTED;
}
}  // namespace

EFI_STATUS EFIAPI FlashServiceSmiHandler(EFI_HANDLE, const VOID*, VOID* CommBuffer, UINTN* CommBufferSize) {
  if (CommBuffer == nullptr || CommBufferSize == nullptr) return EFI_UNSUPPORTED;
  const UINTN cpuIndex = static_cast<const EFI_SMM_SW_CONTEXT*>(CommBuffer)->SwSmiCpuIndex;
  if (cpuIndex == kNoProcessor) return EFI_UNSUPPORTED;

  UINT64 request = 0;
  if (!ReadRequestAddress(cpuIndex, &request)) return EFI_SUCCESS;
  if (!CallerRangeUsable(request, kFlashRequestBytes)) return EFI_SUCCESS;

  // An operating system that moved the SPI controller (or switched its decoding off)
  // gets nothing done: no register of it is touched, wherever it now decodes.
  EFI_STATUS status = EFI_ACCESS_DENIED;
  if (SpiControllerInPlace()) {
    FlashServiceRequest copy{};
    copy.Signature = MmioRead32(request + kFlashRequestSignature);
    status = EFI_UNSUPPORTED;
    if (const FlashSmiSignature* row = FindSignature(copy.Signature)) {
      copy.Function = MmioRead32(request + kFlashRequestFunction);
      status = Serve(request, *row, copy.Function, copy);
    }
  }
  MmioWrite64(request + kFlashRequestStatus, status);
  return EFI_SUCCESS;
}
