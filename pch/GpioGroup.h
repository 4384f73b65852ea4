// Group-level GPIO registers (one bit per pad) and the two pad lock registers, which read
// through the SBREG_BAR window but take writes only as a sideband message.
#pragma once

#include "pch/GpioGroupTables.h"

// Bits 31:16 of a GpioPadId: chipset ID << 8 | group index.
typedef UINT16 GpioGroupId;

enum GpioGroupRegister : UINT32 {
  GpioRegHostSwOwn = 0,
  GpioRegGpiGpeEn = 1,
  GpioRegGpiGpeSts = 2,
  GpioRegGpiSmiEn = 3,
  GpioRegGpiSmiSts = 4,
  GpioRegGpiNmiEn = 5,
  GpioRegPadCfgLock = 6,
  GpioRegPadCfgLockTx = 7,
};

// Where a kind's register lives in a group descriptor, how far apart its register indices
// are, and whether a write must first lift PADCFGLOCK (the enables are pad configuration).
struct GpioGroupRegisterKind {
  UINT16 GpioGroupDescriptor::*Offset;
  UINT8 BytesPerIndex;
  BOOLEAN GuardedByPadCfgLock;
};
// PADCFGLOCK and PADCFGLOCKTX sit side by side, one pair per register index.
inline constexpr GpioGroupRegisterKind kGpioGroupRegisterKinds[8] = {
    {&GpioGroupDescriptor::HostSwOwn, 4, FALSE},   {&GpioGroupDescriptor::GpiGpeEn, 4, TRUE},
    {&GpioGroupDescriptor::GpiGpeSts, 4, FALSE},   {&GpioGroupDescriptor::GpiSmiEn, 4, TRUE},
    {&GpioGroupDescriptor::GpiSmiSts, 4, FALSE},   {&GpioGroupDescriptor::GpiNmiEn, 4, TRUE},
    {&GpioGroupDescriptor::PadCfgLock, 8, FALSE},  {&GpioGroupDescriptor::PadCfgLockTx, 8, FALSE},
};
constexpr UINT32 kGpioLastWritableKind = GpioRegGpiNmiEn;  // kinds 6 and 7 go by message

constexpr UINT32 kGpioGroupIndexMask = 0xFF;
constexpr GpioGroupId kGpioGroupBasePchH = 0x0300;
constexpr GpioGroupId kGpioGroupBasePchLp = 0x0400;

// Descriptor table of the running PCH (an unrecognised PCH is driven as PCH-H).
const GpioGroupDescriptor* GpioSelectGroupTable(UINT32* Count);
BOOLEAN GpioCheckGroupIndex(GpioGroupId GroupId, UINT32 RegisterIndex);
// The row of the group, or NULL when its group index lies beyond the table.
const GpioGroupDescriptor* GpioGroupRow(GpioGroupId GroupId);

VOID GpioReadGroupRegister(UINT32 Kind, GpioGroupId GroupId, UINT32 RegisterIndex, UINT32* Value);
EFI_STATUS GpioWriteGroupRegister(UINT32 Kind, GpioGroupId GroupId, UINT32 RegisterIndex, UINT32 AndMask,
                                  UINT32 OrValue);
EFI_STATUS GpioUpdateLockRegister(UINT32 Kind, GpioGroupId GroupId, UINT32 RegisterIndex, UINT32 AndMask,
                                  UINT32 OrValue);

EFI_STATUS GpioReadPadLock(GpioGroupId GroupId, UINT32 RegisterIndex, UINT32* Value);
EFI_STATUS GpioReadPadLockTx(GpioGroupId GroupId, UINT32 RegisterIndex, UINT32* Value);
EFI_STATUS GpioClearPadLock(GpioGroupId GroupId, UINT32 RegisterIndex, UINT32 Mask);
EFI_STATUS GpioSetPadLock(GpioGroupId GroupId, UINT32 RegisterIndex, UINT32 Mask);
EFI_STATUS GpioClearPadLockTx(GpioGroupId GroupId, UINT32 RegisterIndex, UINT32 Mask);
EFI_STATUS GpioSetPadLockTx(GpioGroupId GroupId, UINT32 RegisterIndex, UINT32 Mask);
