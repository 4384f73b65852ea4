#include "pch/GpioPadSettings.h"

EFI_STATUS GpioMapResetDomain(UINT8 Byte, UINT32* Value) {
  for (const GpioResetDomainEntry& e : kGpioResetDomainTable) {
    if (e.Byte == Byte) {
      *Value = e.PadRstCfg;
      return EFI_SUCCESS;
    }
  }
  return EFI_INVALID_PARAMETER;
}

EFI_STATUS GpioEncodePadSettings(const GpioPadSettings* Settings, UINT32* Values, UINT32* Masks) {
  UINT32 reset = 0;
  if (EFI_ERROR(GpioMapResetDomain(static_cast<UINT8>(Settings->Word0 >> kPadSetResetShift), &reset)))
    return EFI_INVALID_PARAMETER;
  if ((Settings->Word0 & kPadSetResetPresent) != 0) {
    Masks[0] |= kPadCfgDw0PadRstCfgMask;
    Values[0] |= reset << kPadCfgDw0PadRstCfgShift;
  }
  const UINT32 words[2] = {Settings->Word0, Settings->Word1};
  for (const GpioPadSettingsField& f : kGpioPadSettingsFields) {
    UINT32 word = words[f.Word];
    if ((word & f.Test) == 0) continue;
    UINT32 source = word & f.Source;
    Masks[f.Dword] |= f.Mask;
    Values[f.Dword] |= f.Shift >= 0 ? source << f.Shift : source >> -f.Shift;
  }
  return EFI_SUCCESS;
}

EFI_STATUS GpioApplyPadSettings(GpioPadId Pad, const GpioPadSettings* Settings) {
  UINT32 values[2] = {0, 0};
  UINT32 masks[2] = {0, 0};
  if (!GpioPadIdIsValid(Pad)) return EFI_UNSUPPORTED;
  UINT32 owner = ~0u;
  GpioReadPadOwner(Pad, &owner);
  if (owner != kPadOwnerHost) return EFI_UNSUPPORTED;

  const UINT32 w0 = Settings->Word0;
  const UINT32 w1 = Settings->Word1;
  auto has = [w0](UINT32 bits) { return (w0 & bits) == bits; };
  // Routing to SCI needs word 1's confirmation bits as well.
  if (has(kPadSetRouteApply | kPadSetRouteSci) && (w1 & kPadSetSciConfirm) != kPadSetSciConfirm)
    return EFI_INVALID_PARAMETER;

  // A refused reset byte leaves the masks empty: both dwords are written back unchanged.
  GpioEncodePadSettings(Settings, values, masks);
  GpioWritePadConfigWord(Pad, 0, ~masks[0], values[0]);
  GpioWritePadConfigWord(Pad, 1, ~masks[1], values[1]);

  const GpioGroupId group = GpioPadGroupId(Pad);
  const UINT32 index = GpioPadRegisterIndex(Pad);
  const UINT32 bit = GpioPadBit(Pad);
  const UINT32 clearIfRouted = has(kPadSetRouteApply) ? ~bit : 0xFFFFFFFF;

  // A pad routed to SMI must be host-software owned, or its SMI is never raised.
  if (has(kPadSetRouteApply | kPadSetRouteSmi)) {
    GpioWriteGroupRegister(GpioRegHostSwOwn, group, index, ~bit, bit);
  } else {
    GpioWriteGroupRegister(GpioRegHostSwOwn, group, index, has(kPadSetHostSwOwnClear) ? ~bit : 0xFFFFFFFF,
                           has(kPadSetHostSwOwnSet) ? bit : 0);
  }
  GpioWriteGroupRegister(GpioRegGpiGpeEn, group, index, clearIfRouted, has(kPadSetRouteSci) ? bit : 0);

  const GpioGroupDescriptor& row = *GpioGroupRow(group);
  if (row.GpiNmiEn != kGpioNoRegister) {
    GpioWriteGroupRegister(GpioRegGpiNmiEn, group, index, clearIfRouted, has(kPadSetRouteNmi) ? bit : 0);
  } else if (has(kPadSetRouteNmi)) {
    return EFI_UNSUPPORTED;
  }
  if (row.GpiSmiSts != kGpioNoRegister) {
    GpioWriteGroupRegister(GpioRegGpiSmiEn, group, index, clearIfRouted, has(kPadSetRouteSmi) ? bit : 0);
  } else if (has(kPadSetRouteSmi)) {
    return EFI_UNSUPPORTED;
  }
  return EFI_SUCCESS;
}
