// PCH variant detection: PCH-H or PCH-LP of the 300/400 series, from the device ID of the
// LPC/eSPI controller (0:31:0), cached in module state.
#pragma once

#include "pch/LpcRegisters.h"
#include "pch/Sideband.h"
#include "uefi/UefiBaseType.h"

typedef UINT8 PchVariant;
constexpr PchVariant PchVariantH = 1;
constexpr PchVariant PchVariantLp = 2;
constexpr PchVariant PchVariantUnknown = 0xFF;  // also "not detected yet"

// Device ID families: the device ID with its SKU bits clear.
struct PchDeviceIdEntry {
  UINT16 MaskedDeviceId;
  PchVariant Variant;
};
inline constexpr PchDeviceIdEntry kPchDeviceIdTable[] = {
    {0x0280, PchVariantLp},  // 400-series PCH-LP
    {0x0680, PchVariantH},   // 400-series PCH-H
    {0x9D80, PchVariantLp},  // 300-series PCH-LP
    {0xA300, PchVariantH},   // 300-series PCH-H
};

// Pure lookup of a (full, unmasked) device ID; PchVariantUnknown when no family matches.
constexpr PchVariant PchVariantOfDeviceId(UINT16 DeviceId) {
  for (const PchDeviceIdEntry& e : kPchDeviceIdTable)
    if (e.MaskedDeviceId == (DeviceId & lpc::DeviceId::Family::kMask)) return e.Variant;
  return PchVariantUnknown;
}

struct PchLibraryState {
  // An unrecognised device ID is stored as PchVariantUnknown too, so it is read again on
  // every call.
  PchVariant VariantCache = PchVariantUnknown;
  // Reads of SBI_STAT a sideband wait makes before it gives up. Nothing in the drivers
  // changes it; a test of the give-up path lowers it instead of waiting out 2^28 reads.
  UINT32 SidebandBusyPollLimit = kSbiBusyPollLimit;
};
extern constinit PchLibraryState gPchLibrary;

PchVariant PchDetectVariant();
