// A pad's configuration as one two-word record: each field left 0 keeps that part of the
// pad, a non-zero field is written.
#pragma once

#include "pch/GpioPad.h"

struct GpioPadSettings {
  UINT32 Word0;
  UINT32 Word1;
};
static_assert(sizeof(GpioPadSettings) == 8);

// Word 0 fields.
constexpr UINT32 kPadSetModeField = 0x0000000F;           // bits 3:0, PMODE = bits 3:1
constexpr UINT32 kPadSetHostSwOwnClear = 1u << 5;         // clear the pad's HOSTSW_OWN bit
constexpr UINT32 kPadSetHostSwOwnSet = 1u << 6;           // then set it
constexpr UINT32 kPadSetDirectionField = 0x00000380;      // bits 9:7
constexpr UINT32 kPadSetInversionField = 0x00000C00;      // bits 11:10
constexpr UINT32 kPadSetOutputField = 0x00006000;         // bits 14:13
constexpr UINT32 kPadSetRouteApply = 1u << 15;            // routing field present
constexpr UINT32 kPadSetRouteNmi = 1u << 16;
constexpr UINT32 kPadSetRouteSmi = 1u << 17;
constexpr UINT32 kPadSetRouteSci = 1u << 18;
constexpr UINT32 kPadSetRouteField = 0x000F8000;          // bits 19:15
constexpr UINT32 kPadSetTriggerField = 0x00700000;        // bits 22:20
constexpr UINT32 kPadSetResetShift = 24;                  // bits 31:24, one byte
constexpr UINT32 kPadSetResetPresent = 0x3F000000;        // any of bits 29:24
// Word 1 fields.
constexpr UINT32 kPadSetTermField = 0x0000001F;           // bits 4:0, TERM = bits 4:1
constexpr UINT32 kPadSetSciConfirm = 0x00000600;          // bits 10:9, both set for SCI routing
constexpr UINT32 kPadSetRawOverrideField = 0x00006000;    // bits 14:13

constexpr UINT32 kPadRstCfgRsmrst = PadCfgDw0::kResetRsmrst;
constexpr UINT32 kPadRstCfgHostDeepReset = PadCfgDw0::kResetHostDeep;
constexpr UINT32 kPadRstCfgPltrst = PadCfgDw0::kResetPltrst;

struct GpioResetDomainEntry {
  UINT8 Byte;
  UINT32 PadRstCfg;
};
inline constexpr GpioResetDomainEntry kGpioResetDomainTable[] = {
    {0x00, kPadRstCfgRsmrst},        {0x01, kPadRstCfgRsmrst}, {0x09, kPadRstCfgRsmrst},
    {0x0F, kPadRstCfgRsmrst},        {0x03, kPadRstCfgHostDeepReset}, {0x0B, kPadRstCfgHostDeepReset},
    {0x05, kPadRstCfgPltrst},        {0x0D, kPadRstCfgPltrst},
};

// One field of the record and where it lands: when (word & Test) != 0, the target dword
// gains Mask, and ((word & Source) shifted by Shift, left when positive) as its value.
struct GpioPadSettingsField {
  UINT8 Word;
  UINT32 Test;
  UINT8 Dword;
  UINT32 Mask;
  UINT32 Source;
  INT8 Shift;
};
inline constexpr GpioPadSettingsField kGpioPadSettingsFields[] = {
    {0, kPadSetTriggerField, 0, PadCfgDw0::RxEvCfg::kMask, 0x00600000, 4},
    {0, kPadSetRouteField, 0,
     PadCfgDw0::GpiRoutNmi::kMask | PadCfgDw0::GpiRoutSmi::kMask | PadCfgDw0::GpiRoutSci::kMask |
         PadCfgDw0::GpiRoutIoxApic::kMask,
     0x000F0000, 1},
    {0, kPadSetDirectionField, 0, PadCfgDw0::GpioTxDis::kMask | PadCfgDw0::GpioRxDis::kMask, 0x00000300, 0},
    {0, kPadSetInversionField, 0, PadCfgDw0::RxInv::kMask, 0x00000800, 12},
    {0, kPadSetOutputField, 0, PadCfgDw0::GpioTxState::kMask, 0x00004000, -14},
    {1, kPadSetRawOverrideField, 0, PadCfgDw0::RxRaw1::kMask, 0x00004000, 14},
    {0, kPadSetModeField, 0, PadCfgDw0::PMode::kMask, 0x0000000E, 9},
    {1, kPadSetTermField, 1, PadCfgDw1::Term::kMask, 0x0000001E, 9},
};
// The record's fields land where the datasheet puts the pad's fields.
static_assert(PadCfgDw0::RxEvCfg::kMask == 0x06000000 && PadCfgDw0::PMode::kMask == 0x00001C00 &&
              PadCfgDw1::Term::kMask == 0x00003C00 && PadCfgDw0::RxRaw1::kMask == 0x10000000);

EFI_STATUS GpioMapResetDomain(UINT8 Byte, UINT32* Value);
// ORs into Values[0..1] and Masks[0..1] (DW0, DW1); the caller zeroes them first.
EFI_STATUS GpioEncodePadSettings(const GpioPadSettings* Settings, UINT32* Values, UINT32* Masks);
// EFI_UNSUPPORTED (pad absent or not the host's) and EFI_INVALID_PARAMETER (SCI routing
// without its confirmation, or a reset byte without a domain) before anything is written.
// Otherwise DW0, DW1, HOSTSW_OWN, GPI_GPE_EN, GPI_NMI_EN and GPI_SMI_EN are written in that
// order; the first refused unlock or relock ends the record with its status, leaving the
// registers before it written and the ones after it untouched. EFI_UNSUPPORTED after the
// writes for NMI or SMI routing on a group without those registers.
EFI_STATUS GpioApplyPadSettings(GpioPadId Pad, const GpioPadSettings* Settings);
