// The controller's vendor-specific component capabilities (SFDP0_VSCC0/SFDP1_VSCC1) for the
// identified part: from the flash descriptor's VSCC table, or built from the part's profile
// with the manufacturer bits added when the part's SFDP header is acceptable.
#pragma once

#include "flash/device/FlashDeviceRecord.h"

// VSCC value fields this layer builds (bits 15:0).
namespace vscc {
constexpr UINT32 kEraseSize4K = 1;
constexpr UINT32 kEraseSize8K = 2;
constexpr UINT32 kEraseSize64K = 3;
constexpr UINT32 kWriteGranularity64 = 1u << 2;
constexpr UINT32 kStatusWriteNeedsEwsr = 1u << 3;
constexpr UINT32 kStatusWriteNeedsWren = 1u << 4;
constexpr UINT32 kEraseOpcodeShift = 8;
}  // namespace vscc

EFI_STATUS ProgramCapabilitiesFromDescriptor();
VOID ProgramCapabilitiesFromProfile(const FlashPartProfile& Profile);
