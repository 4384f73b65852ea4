#include "pch/Sideband.h"

#include "frame/Frame.h"
#include "pch/PchVariant.h"
#include "platform/Platform.h"

namespace {
UINT64 P2sbRegister(UINT16 Register) {
  return PciExpressConfigAddress(PciConfigOffset(kP2sbBus, kP2sbDevice, kP2sbFunction, Register));
}

// Polls SBISTAT while BUSY is set; *Last receives the last value read.
BOOLEAN WaitSidebandIdle(UINT16* Last) {
  UINT16 status = 0;
  for (UINT32 reads = 0; reads < gPchLibrary.SidebandBusyPollLimit; ++reads) {
    status = MmioRead16(P2sbRegister(kSbiStat));
    if ((status & kSbiStatBusy) == 0) {
      *Last = status;
      return TRUE;
    }
  }
  *Last = status;
  return FALSE;
}
}  // namespace

EFI_STATUS SidebandMessageWrite(UINT8 Port, UINT64 Offset, const UINT32* Data, UINT8* Response, UINT32 Opcode) {
  if (!SidebandOpcodeAccepted(Opcode)) return EFI_INVALID_PARAMETER;
  if (MmioRead16(P2sbRegister(kP2sbVendorIdRegister)) == kP2sbAbsentVendorId) return EFI_DEVICE_ERROR;

  UINT16 status = 0;
  if (!WaitSidebandIdle(&status)) return EFI_TIMEOUT;
  *Response = kSidebandNoResponse;

  MmioWrite32(P2sbRegister(kSbiAddr),
              (static_cast<UINT32>(Port) << kSbiAddrDestIdShift) | static_cast<UINT32>(Offset & kSbiAddrOffsetMask));
  MmioWrite32(P2sbRegister(kSbiExtAddr), static_cast<UINT32>(Offset >> 16));
  // Non-posted: the posted bit is cleared so that the response status comes back.
  status = MmioRead16(P2sbRegister(kSbiStat));
  MmioWrite16(P2sbRegister(kSbiStat),
              static_cast<UINT16>((status & kSbiStatKeepOnStart) | (Opcode << kSbiStatOpcodeShift)));
  MmioWrite16(P2sbRegister(kSbiRid), kSbiRidAllBytesBar0Fid0);
  MmioWrite32(P2sbRegister(kSbiData), *Data);
  status = MmioRead16(P2sbRegister(kSbiStat));
  MmioWrite16(P2sbRegister(kSbiStat), static_cast<UINT16>(status | kSbiStatBusy));

  if (!WaitSidebandIdle(&status)) return EFI_TIMEOUT;
  *Response = static_cast<UINT8>((status >> kSbiStatResponseShift) & kSbiStatResponseMask);
  return *Response == 0 ? EFI_SUCCESS : EFI_DEVICE_ERROR;
}
