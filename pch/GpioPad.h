// Pad-level GPIO access: pad identifiers, ownership, configuration dwords with the lock
// bracketing, and driving a pad's output high.
#pragma once

#include "pch/GpioGroup.h"

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

// PAD_CFG_DW0..DW3: 16 bytes per pad from the group's DW0 offset.
constexpr UINT32 kGpioPadConfigBytes = 16;
constexpr UINT32 kGpioPadConfigDwords = 4;
constexpr UINT32 kPadCfgDw0GpioTxState = 1u << 0;  // GPIOTXSTATE, guarded by PADCFGLOCKTX
// PAD_OWN: a 4-bit field per pad, eight pads per register; 0 = host.
constexpr UINT32 kPadOwnPadsPerRegister = 8;
constexpr UINT32 kPadOwnBitsPerPad = 4;
constexpr UINT32 kPadOwnOwnerMask = 0x3;
constexpr UINT32 kPadOwnerHost = 0;

BOOLEAN GpioPadIdIsValid(GpioPadId Pad);
EFI_STATUS GpioReadPadOwner(GpioPadId Pad, UINT32* Owner);
VOID GpioWritePadConfigWord(GpioPadId Pad, UINT32 DwordIndex, UINT32 AndMask, UINT32 OrValue);
EFI_STATUS GpioDrivePadHigh(GpioPadId Pad);
