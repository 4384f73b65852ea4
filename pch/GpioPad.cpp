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
  *Owner = (value >> ((n % kPadOwnPadsPerRegister) * kPadOwnBitsPerPad)) & kPadOwnOwnerMask;
  return EFI_SUCCESS;
}

VOID GpioWritePadConfigWord(GpioPadId Pad, UINT32 DwordIndex, UINT32 AndMask, UINT32 OrValue) {
  // An identifier the running PCH does not have, or a dword beyond the pad's 16 bytes,
  // would land on another pad's (or group's) register without its lock handling.
  if (!GpioPadIdIsValid(Pad) || DwordIndex >= kGpioPadConfigDwords) return;
  const GpioGroupDescriptor& row = *GpioGroupRow(GpioPadGroupId(Pad));
  GpioGroupId group = GpioPadGroupId(Pad);
  UINT32 index = GpioPadRegisterIndex(Pad);
  UINT32 bit = GpioPadBit(Pad);
  UINT32 changes = ~AndMask | OrValue;

  // PADCFGLOCKTX guards only the output state; PADCFGLOCK guards everything else. Bit 0
  // counts as the output state whichever dword is written.
  BOOLEAN relock = FALSE;
  BOOLEAN relockTx = FALSE;
  UINT32 lock = 0;
  if ((changes & ~kPadCfgDw0GpioTxState) != 0) {
    GpioReadGroupRegister(GpioRegPadCfgLock, group, index, &lock);
    if ((lock & bit) != 0) {
      GpioClearPadLock(group, index, bit);
      relock = TRUE;
    }
  }
  if ((changes & kPadCfgDw0GpioTxState) != 0) {
    GpioReadGroupRegister(GpioRegPadCfgLockTx, group, index, &lock);
    if ((lock & bit) != 0) {
      GpioClearPadLockTx(group, index, bit);
      relockTx = TRUE;
    }
  }
  UINT16 offset = static_cast<UINT16>(row.PadCfgDw0 + GpioPadNumber(Pad) * kGpioPadConfigBytes + DwordIndex * 4);
  UINT64 address = SidebandRegisterAddress(static_cast<UINT8>(row.PortId), offset);
  MmioWrite32(address, (MmioRead32(address) & AndMask) | OrValue);
  if (relock) GpioSetPadLock(group, index, bit);
  if (relockTx) GpioSetPadLockTx(group, index, bit);
}

EFI_STATUS GpioDrivePadHigh(GpioPadId Pad) {
  if (!GpioPadIdIsValid(Pad)) return EFI_INVALID_PARAMETER;
  UINT32 owner = ~0u;
  GpioReadPadOwner(Pad, &owner);
  if (owner != kPadOwnerHost) return EFI_UNSUPPORTED;
  GpioWritePadConfigWord(Pad, 0, 0xFFFFFFFF, kPadCfgDw0GpioTxState);
  return EFI_SUCCESS;
}
