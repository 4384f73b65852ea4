// ME firmware status from HFSTS1 of the ME host interface (HECI, PCI 0:22:0).
#pragma once

#include "pch/HeciRegisters.h"
#include "uefi/UefiBaseType.h"

// Results of MeGetOperationMode.
constexpr UINT32 kMeModeNormal = 0;
constexpr UINT32 kMeModeDebug = 2;
constexpr UINT32 kMeModeSoftTemporaryDisable = 3;
constexpr UINT32 kMeModeSecurityOverride = 4;
constexpr UINT32 kMeModeOther = 6;

// HFSTS1.OPERATION_MODE -> reported mode; both security overrides (jumper, host message)
// report as one.
inline constexpr UINT8 kMeOperationModeFold[16] = {
    kMeModeNormal, kMeModeOther, kMeModeDebug, kMeModeSoftTemporaryDisable, kMeModeSecurityOverride,
    kMeModeSecurityOverride, kMeModeOther, kMeModeOther, kMeModeOther, kMeModeOther,
    kMeModeOther, kMeModeOther, kMeModeOther, kMeModeOther, kMeModeOther,
    kMeModeOther,
};

// HECI's BAR as start-up found it. Memory decoding is switched on only for that BAR, and
// only when it lay wholly inside a device window of the platform and outside SMRAM: an
// operating system that moves the BAR (into SMRAM, over RAM) gets no decoding from SMM.
struct MeHeciState {
  UINT32 Bar0 = 0;
  UINT32 Bar1 = 0;
  UINT8 PinState = 0;  // 0 not taken, 1 sound, 2 not to be enabled
};
extern constinit MeHeciState gMeHeci;

// Records and checks HECI's BAR (start-up, before any operating-system code runs).
VOID MePinHeciBar();
// Enables memory decoding and bus mastering of HECI; returns the low half of its BAR base,
// or 0 when the function is absent, has no BAR, or its BAR is not the one start-up found sound.
UINT32 MeHeciEnable();
EFI_STATUS MeGetOperationMode(UINT32* Mode);
UINT32 MeIsManufacturingMode();
