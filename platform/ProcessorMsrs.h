// Model-specific registers the drivers read or write, and the BIOS Guard test built on
// them (the flash drivers and BiosGuardVarDxe make the same test).
#pragma once

#include "platform/Platform.h"

// MSR_PLATFORM_INFO.
constexpr UINT32 kMsrPlatformInfo = 0xCE;
constexpr UINT64 kPlatformInfoBiosGuardAvailable = 1ULL << 35;
// PLAT_FRMW_PROT_CTRL: exists only on processors whose MSR_PLATFORM_INFO reports BIOS Guard.
constexpr UINT32 kMsrBiosGuardConfig = 0x110;
constexpr UINT64 kBiosGuardConfigEnabled = 1ULL << 1;
// Takes the processor's InSMM.STS for the PCH's EISS write protection (bit 0).
constexpr UINT32 kMsrSpiWriteProtect = 0x1FE;
constexpr UINT64 kSpiWriteProtectInSmmStatus = 1ULL << 0;

// BIOS Guard is in force: MSR_PLATFORM_INFO bit 35, and only then (the MSR may not exist)
// MSR 0x110 bit 1.
inline BOOLEAN BiosGuardInForce() {
  if ((AsmReadMsr64(kMsrPlatformInfo) & kPlatformInfoBiosGuardAvailable) == 0) return FALSE;
  return (AsmReadMsr64(kMsrBiosGuardConfig) & kBiosGuardConfigEnabled) != 0;
}
