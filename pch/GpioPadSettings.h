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

// PAD_CFG_DW0 / PAD_CFG_DW1 fields written.
constexpr UINT32 kPadCfgDw0PadRstCfgShift = 30;           // PADRSTCFG 31:30
constexpr UINT32 kPadCfgDw0PadRstCfgMask = 0xC0000000;

// PADRSTCFG values.
constexpr UINT32 kPadRstCfgRsmrst = 0;
constexpr UINT32 kPadRstCfgHostDeepReset = 1;
constexpr UINT32 kPadRstCfgPltrst = 2;

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
    {0, kPadSetTriggerField, 0, 0x06000000, 0x00600000, 4},       // RXEVCFG 26:25
    {0, kPadSetRouteField, 0, 0x001E0000, 0x000F0000, 1},         // GPIROUTNMI/SMI/SCI/IOXAPIC 20:17
    {0, kPadSetDirectionField, 0, 0x00000300, 0x00000300, 0},     // GPIOTXDIS 8, GPIORXDIS 9
    {0, kPadSetInversionField, 0, 0x00800000, 0x00000800, 12},    // RXINV 23
    {0, kPadSetOutputField, 0, 0x00000001, 0x00004000, -14},      // GPIOTXSTATE 0
    {1, kPadSetRawOverrideField, 0, 0x10000000, 0x00004000, 14},  // RXRAW1 28
    {0, kPadSetModeField, 0, 0x00001C00, 0x0000000E, 9},          // PMODE 12:10
    {1, kPadSetTermField, 1, 0x00003C00, 0x0000001E, 9},          // TERM 13:10
};

EFI_STATUS GpioMapResetDomain(UINT8 Byte, UINT32* Value);
// ORs into Values[0..1] and Masks[0..1] (DW0, DW1); the caller zeroes them first.
EFI_STATUS GpioEncodePadSettings(const GpioPadSettings* Settings, UINT32* Values, UINT32* Masks);
EFI_STATUS GpioApplyPadSettings(GpioPadId Pad, const GpioPadSettings* Settings);
