// Part-name report: slot 0 of FlashServiceProtocol and function 0 of the "$BDR" signature of
// software SMI 0x90. Identifies the SPI flash part and writes the flash size and the part's
// name into the requester's FlashServiceRequest.
#pragma once

#include "uefi/UefiBaseType.h"

// RequestAddress is the physical address of an 88-byte FlashServiceRequest in the
// requester's memory; every field is reached through the platform's memory accessors.
// The caller has checked that the record lies where the requester may place it (outside
// SMRAM, not wrapping) before handing it here.
//
// Writes Address = 0x00E00000, Size = 0x1000 and Buffer = the flash size (0x00E00000 while
// no part is known); when the selected device has a name, also PartNameSignature "$FPS",
// PartNameLength 48 and the 48-byte, zero-padded name. Always answers 0x5AA5AA55.
UINT64 GetPartName(UINT64 RequestAddress);

constexpr UINT64 kPartNameReportResult = 0x5AA5AA55;
