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
    Masks[0] |= PadCfgDw0::PadRstCfg::kMask;
    Values[0] |= PadCfgDw0::PadRstCfg::Make(reset);
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

  // A reset byte the PCH has no domain for refuses the record before anything is written.
  EFI_STATUS status = GpioEncodePadSettings(Settings, values, masks);
  if (EFI_ERROR(status)) return status;

  // From here each register is written in turn; the first refusal (an unlock or relock
  // the sideband refused) ends the record with its status. The registers before it keep
  // their new values, the refused one is unchanged (or written but left unlocked, for a
  // refused relock), the ones after it are not touched.
  status = GpioWritePadConfigWord(Pad, 0, ~masks[0], values[0]);
  if (EFI_ERROR(status)) return status;
  status = GpioWritePadConfigWord(Pad, 1, ~masks[1], values[1]);
  if (EFI_ERROR(status)) return status;

  const GpioGroupId group = GpioPadGroupId(Pad);
  const UINT32 index = GpioPadRegisterIndex(Pad);
  const UINT32 bit = GpioPadBit(Pad);
  const UINT32 clearIfRouted = has(kPadSetRouteApply) ? ~bit : 0xFFFFFFFF;

  // A pad routed to SMI must be host-software owned, or its SMI is never raised.
  if (has(kPadSetRouteApply | kPadSetRouteSmi)) {
    status = GpioWriteGroupRegister(GpioRegHostSwOwn, group, index, ~bit, bit);
  } else {
    status = GpioWriteGroupRegister(GpioRegHostSwOwn, group, index, has(kPadSetHostSwOwnClear) ? ~bit : 0xFFFFFFFF,
                                    has(kPadSetHostSwOwnSet) ? bit : 0);
  }
  if (EFI_ERROR(status)) return status;
  status = GpioWriteGroupRegister(GpioRegGpiGpeEn, group, index, clearIfRouted, has(kPadSetRouteSci) ? bit : 0);
  if (EFI_ERROR(status)) return status;

  const GpioGroupDescriptor& row = *GpioGroupRow(group);
  if (row.GpiNmiEn != kGpioNoRegister) {
    status = GpioWriteGroupRegister(GpioRegGpiNmiEn, group, index, clearIfRouted, has(kPadSetRouteNmi) ? bit : 0);
    if (EFI_ERROR(status)) return status;
  } else if (has(kPadSetRouteNmi)) {
    return EFI_UNSUPPORTED;
  }
  if (row.GpiSmiSts != kGpioNoRegister) {
    status = GpioWriteGroupRegister(GpioRegGpiSmiEn, group, index, clearIfRouted, has(kPadSetRouteSmi) ? bit : 0);
    if (EFI_ERROR(status)) return status;
  } else if (has(kPadSetRouteSmi)) {
    return EFI_UNSUPPORTED;
  }
  return EFI_SUCCESS;
}
