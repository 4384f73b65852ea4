// PCH variant detection: PCH-H or PCH-LP of the 300/400 series, from the device ID of the
// LPC/eSPI controller (0:31:0), cached in module state.
#pragma once

#include "pch/Sideband.h"
#include "uefi/UefiBaseType.h"

typedef UINT8 PchVariant;
constexpr PchVariant PchVariantH = 1;
constexpr PchVariant PchVariantLp = 2;
constexpr PchVariant PchVariantUnknown = 0xFF;  // also "not detected yet"

// LPC/eSPI controller, PCI 0:31:0.
constexpr UINT64 kLpcBus = 0;
constexpr UINT64 kLpcDevice = 31;
constexpr UINT64 kLpcFunction = 0;
constexpr UINT64 kPciDeviceIdRegister = 0x02;  // 16 bits
// The low five bits of the LPC/eSPI device ID select the SKU within one PCH family.
constexpr UINT16 kPchDeviceIdFamilyMask = 0xFFE0;

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
    if (e.MaskedDeviceId == (DeviceId & kPchDeviceIdFamilyMask)) return e.Variant;
  return PchVariantUnknown;
}

struct PchLibraryState {
  // An unrecognised device ID is stored as PchVariantUnknown too, so it is read again on
  // every call.
  PchVariant VariantCache = PchVariantUnknown;
  // Reads of SBISTAT a sideband wait makes before it gives up. Nothing in the drivers
  // changes it; a test of the give-up path lowers it instead of waiting out 2^28 reads.
  UINT32 SidebandBusyPollLimit = kSbiBusyPollLimit;
};
extern constinit PchLibraryState gPchLibrary;

PchVariant PchDetectVariant();
