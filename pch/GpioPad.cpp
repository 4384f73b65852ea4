#include "pch/GpioPad.h"

#include "pch/PchVariant.h"
#include "pch/Sideband.h"
#include "platform/Platform.h"

BOOLEAN GpioPadIdIsValid(GpioPadId Pad) {
  UINT8 chipset = PchDetectVariant() == PchVariantLp ? kGpioChipsetIdPchLp : kGpioChipsetIdPchH;
  if (GpioPadChipsetId(Pad) != chipset) return FALSE;
  UINT32 count = 0;
  const GpioGroupDescriptor* table = GpioSelectGroupTable(&count);
  UINT32 index = GpioPadGroupIndex(Pad);
  return index < count && GpioPadNumber(Pad) < table[index].PadCount;
}

EFI_STATUS GpioReadPadOwner(GpioPadId Pad, UINT32* Owner) {
  if (!GpioPadIdIsValid(Pad)) return EFI_INVALID_PARAMETER;
  const GpioGroupDescriptor& row = *GpioGroupRow(GpioPadGroupId(Pad));
  UINT32 n = GpioPadNumber(Pad);
  UINT16 offset = static_cast<UINT16>(row.PadOwn + (n / kPadOwnPadsPerRegister) * 4);
  UINT32 value = MmioRead32(SidebandRegisterAddress(static_cast<UINT8>(row.PortId), offset));
  *Owner = PadOwnOwner::Get(value >> ((n % kPadOwnPadsPerRegister) * kPadOwnBitsPerPad));
  return EFI_SUCCESS;
}

EFI_STATUS GpioWritePadConfigWord(GpioPadId Pad, UINT32 DwordIndex, UINT32 AndMask, UINT32 OrValue) {
  // An identifier the running PCH does not have, or a dword beyond the pad's 16 bytes,
  // would land on another pad's (or group's) register without its lock handling.
  if (!GpioPadIdIsValid(Pad) || DwordIndex >= kGpioPadConfigDwords) return EFI_INVALID_PARAMETER;
  const GpioGroupDescriptor& row = *GpioGroupRow(GpioPadGroupId(Pad));
  GpioGroupId group = GpioPadGroupId(Pad);
  UINT32 index = GpioPadRegisterIndex(Pad);
  UINT32 bit = GpioPadBit(Pad);
  UINT32 changes = ~AndMask | OrValue;

  // PADCFGLOCKTX guards only the output state; PADCFGLOCK guards everything else. Bit 0
  // counts as the output state whichever dword is written. A refused unlock ends the write
  // with its status and nothing written (the pad would ignore the write anyway), as for
  // every GPIO register write; a lock already lifted is put back first.
  BOOLEAN relock = FALSE;
  BOOLEAN relockTx = FALSE;
  UINT32 lock = 0;
  if ((changes & ~PadCfgDw0::GpioTxState::kMask) != 0) {
    GpioReadGroupRegister(GpioRegPadCfgLock, group, index, &lock);
    if ((lock & bit) != 0) {
      EFI_STATUS status = GpioClearPadLock(group, index, bit);
      if (EFI_ERROR(status)) return status;
      relock = TRUE;
    }
  }
  if ((changes & PadCfgDw0::GpioTxState::kMask) != 0) {
    GpioReadGroupRegister(GpioRegPadCfgLockTx, group, index, &lock);
    if ((lock & bit) != 0) {
      EFI_STATUS status = GpioClearPadLockTx(group, index, bit);
      if (EFI_ERROR(status)) {
        if (relock) static_cast<VOID>(GpioSetPadLock(group, index, bit));  // the refusal is the news
        return status;
      }
      relockTx = TRUE;
    }
  }
  UINT16 offset = static_cast<UINT16>(row.PadCfgDw0 + GpioPadNumber(Pad) * kGpioPadConfigBytes + DwordIndex * 4);
  UINT64 address = SidebandRegisterAddress(static_cast<UINT8>(row.PortId), offset);
  MmioWrite32(address, (MmioRead32(address) & AndMask) | OrValue);
  // Written, but a refused relock leaves the pad open: that is reported too.
  EFI_STATUS status = EFI_SUCCESS;
  if (relock) status = GpioSetPadLock(group, index, bit);
  if (relockTx) {
    EFI_STATUS txStatus = GpioSetPadLockTx(group, index, bit);
    if (!EFI_ERROR(status)) status = txStatus;
  }
  return status;
}

EFI_STATUS GpioDrivePadHigh(GpioPadId Pad) {
  if (!GpioPadIdIsValid(Pad)) return EFI_INVALID_PARAMETER;
  UINT32 owner = ~0u;
  GpioReadPadOwner(Pad, &owner);
  if (owner != kPadOwnerHost) return EFI_UNSUPPORTED;
  return GpioWritePadConfigWord(Pad, 0, 0xFFFFFFFF, PadCfgDw0::GpioTxState::kMask);
}
