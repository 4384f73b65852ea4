// Pad-level GPIO access: pad identifiers, ownership, configuration dwords with the lock
// bracketing, and driving a pad's output high.
#pragma once

#include "pch/GpioGroup.h"
#include "pch/GpioPadRegisters.h"

// Bits 31:24 chipset ID (3 PCH-H, 4 PCH-LP), bits 23:16 group index, bits 15:0 pad number.
typedef UINT32 GpioPadId;

constexpr GpioPadId GpioMakePadId(UINT8 ChipsetId, UINT8 GroupIndex, UINT16 PadNumber) {
  return (static_cast<UINT32>(ChipsetId) << 24) | (static_cast<UINT32>(GroupIndex) << 16) | PadNumber;
}
constexpr UINT8 GpioPadChipsetId(GpioPadId Pad) { return static_cast<UINT8>(Pad >> 24); }
constexpr GpioGroupId GpioPadGroupId(GpioPadId Pad) { return static_cast<GpioGroupId>(Pad >> 16); }
constexpr UINT8 GpioPadGroupIndex(GpioPadId Pad) { return static_cast<UINT8>(Pad >> 16); }
constexpr UINT16 GpioPadNumber(GpioPadId Pad) { return static_cast<UINT16>(Pad); }
// Group-level registers: pad n is bit (n & 31) of register index n >> 5.
constexpr UINT32 GpioPadRegisterIndex(GpioPadId Pad) { return GpioPadNumber(Pad) >> 5; }
constexpr UINT32 GpioPadBit(GpioPadId Pad) { return 1u << (GpioPadNumber(Pad) & 31); }


BOOLEAN GpioPadIdIsValid(GpioPadId Pad);
EFI_STATUS GpioReadPadOwner(GpioPadId Pad, UINT32* Owner);
// Read-modify-write of one configuration dword, with the pad's PADCFGLOCK/PADCFGLOCKTX
// lifted around it where a changed bit is locked. EFI_INVALID_PARAMETER for a pad or dword
// the PCH does not have; a refused unlock returns its status with nothing written; a
// refused relock returns its status after the write (the pad is then left unlocked).
EFI_STATUS GpioWritePadConfigWord(GpioPadId Pad, UINT32 DwordIndex, UINT32 AndMask, UINT32 OrValue);
// Sets GPIOTXSTATE. EFI_INVALID_PARAMETER for a pad the PCH does not have, EFI_UNSUPPORTED
// for a pad the host does not own (nothing written in either case), else the status of the
// write: a pad whose TX lock could not be lifted is reported as not driven.
EFI_STATUS GpioDrivePadHigh(GpioPadId Pad);
