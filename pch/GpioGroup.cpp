#include "pch/GpioGroup.h"

#include "pch/PchVariant.h"
#include "pch/Sideband.h"
#include "platform/Platform.h"

namespace {
constexpr UINT32 kLockKind = GpioRegPadCfgLock;
constexpr UINT32 kLockTxKind = GpioRegPadCfgLockTx;

// Offsets are added in 16-bit arithmetic: an overflow wraps within the community's port.
UINT64 GroupRegisterAddress(const GpioGroupDescriptor& Row, UINT16 Offset, UINT32 RegisterIndex, UINT32 Stride) {
  return SidebandRegisterAddress(static_cast<UINT8>(Row.PortId), static_cast<UINT16>(Offset + RegisterIndex * Stride));
}

EFI_STATUS CheckedReadLock(UINT32 Kind, GpioGroupId GroupId, UINT32 RegisterIndex, UINT32* Value) {
  if (!GpioCheckGroupIndex(GroupId, RegisterIndex)) return EFI_INVALID_PARAMETER;
  GpioReadGroupRegister(Kind, GroupId, RegisterIndex, Value);
  return EFI_SUCCESS;
}

EFI_STATUS CheckedUpdateLock(UINT32 Kind, GpioGroupId GroupId, UINT32 RegisterIndex, UINT32 AndMask, UINT32 OrValue) {
  if (!GpioCheckGroupIndex(GroupId, RegisterIndex)) return EFI_INVALID_PARAMETER;
  return GpioUpdateLockRegister(Kind, GroupId, RegisterIndex, AndMask, OrValue);
}
}  // namespace

const GpioGroupDescriptor* GpioSelectGroupTable(UINT32* Count) {
  if (PchDetectVariant() == PchVariantLp) {
    *Count = sizeof kGpioGroupTablePchLp / sizeof kGpioGroupTablePchLp[0];
    return kGpioGroupTablePchLp;
  }
  *Count = sizeof kGpioGroupTablePchH / sizeof kGpioGroupTablePchH[0];
  return kGpioGroupTablePchH;
}

const GpioGroupDescriptor* GpioGroupRow(GpioGroupId GroupId) {
  UINT32 count = 0;
  const GpioGroupDescriptor* table = GpioSelectGroupTable(&count);
  UINT32 index = GroupId & kGpioGroupIndexMask;
  return index < count ? &table[index] : nullptr;
}

BOOLEAN GpioCheckGroupIndex(GpioGroupId GroupId, UINT32 RegisterIndex) {
  UINT32 count = 0;
  const GpioGroupDescriptor* table = GpioSelectGroupTable(&count);
  UINT32 base = PchDetectVariant() == PchVariantLp ? kGpioGroupBasePchLp : kGpioGroupBasePchH;
  UINT32 index = GroupId & kGpioGroupIndexMask;
  if (GroupId < base || GroupId > (base | (count - 1)) || index >= count) return FALSE;
  return RegisterIndex <= static_cast<UINT32>(table[index].PadCount - 1) >> 5;
}

VOID GpioReadGroupRegister(UINT32 Kind, GpioGroupId GroupId, UINT32 RegisterIndex, UINT32* Value) {
  *Value = 0;
  if (Kind > kLockTxKind) return;
  // A group index beyond the table names no register; it reads as an absent one.
  const GpioGroupDescriptor* row = GpioGroupRow(GroupId);
  if (row == nullptr) return;
  const GpioGroupRegisterKind& kind = kGpioGroupRegisterKinds[Kind];
  UINT16 offset = row->*kind.Offset;
  if (offset == kGpioNoRegister) return;
  *Value = MmioRead32(GroupRegisterAddress(*row, offset, RegisterIndex, kind.BytesPerIndex));
}

EFI_STATUS GpioWriteGroupRegister(UINT32 Kind, GpioGroupId GroupId, UINT32 RegisterIndex, UINT32 AndMask,
                                  UINT32 OrValue) {
  if (Kind > kGpioLastWritableKind) return EFI_SUCCESS;
  const GpioGroupDescriptor* row = GpioGroupRow(GroupId);
  if (row == nullptr) return EFI_INVALID_PARAMETER;
  const GpioGroupRegisterKind& kind = kGpioGroupRegisterKinds[Kind];
  UINT16 offset = row->*kind.Offset;
  if (offset == kGpioNoRegister) return EFI_SUCCESS;

  // The enables are pad configuration: a locked pad ignores writes to them. Lift every
  // lock bit of the register (not only the changing ones) and put the same bits back.
  UINT32 lock = 0;
  BOOLEAN unlocked = FALSE;
  if (kind.GuardedByPadCfgLock) {
    if (EFI_ERROR(GpioReadPadLock(GroupId, RegisterIndex, &lock))) lock = 0;
    UINT32 changes = ~AndMask | OrValue;
    if ((lock & changes) != 0) {
      EFI_STATUS status = GpioClearPadLock(GroupId, RegisterIndex, lock);
      if (EFI_ERROR(status)) return status;
      unlocked = TRUE;
    }
  }
  UINT64 address = GroupRegisterAddress(*row, offset, RegisterIndex, kind.BytesPerIndex);
  MmioWrite32(address, (MmioRead32(address) & AndMask) | OrValue);
  if (unlocked) return GpioSetPadLock(GroupId, RegisterIndex, lock);
  return EFI_SUCCESS;
}

EFI_STATUS GpioUpdateLockRegister(UINT32 Kind, GpioGroupId GroupId, UINT32 RegisterIndex, UINT32 AndMask,
                                  UINT32 OrValue) {
  if (Kind != kLockKind && Kind != kLockTxKind) return EFI_UNSUPPORTED;
  const GpioGroupDescriptor* row = GpioGroupRow(GroupId);
  if (row == nullptr) return EFI_INVALID_PARAMETER;
  UINT32 current = 0;
  EFI_STATUS readStatus = Kind == kLockKind ? GpioReadPadLock(GroupId, RegisterIndex, &current)
                                            : GpioReadPadLockTx(GroupId, RegisterIndex, &current);
  if (EFI_ERROR(readStatus)) current = 0;
  const GpioGroupRegisterKind& kind = kGpioGroupRegisterKinds[Kind];
  UINT16 offset = row->*kind.Offset;
  if (offset == kGpioNoRegister) return EFI_UNSUPPORTED;

  UINT32 data = (current & AndMask) | OrValue;
  UINT8 response = 0;
  return SidebandMessageWrite(static_cast<UINT8>(row->PortId),
                              static_cast<UINT16>(offset + RegisterIndex * kind.BytesPerIndex), &data, &response,
                              p2sb::kOpcodeGpioLockUnlock);
}

EFI_STATUS GpioReadPadLock(GpioGroupId GroupId, UINT32 RegisterIndex, UINT32* Value) {
  return CheckedReadLock(kLockKind, GroupId, RegisterIndex, Value);
}
EFI_STATUS GpioReadPadLockTx(GpioGroupId GroupId, UINT32 RegisterIndex, UINT32* Value) {
  return CheckedReadLock(kLockTxKind, GroupId, RegisterIndex, Value);
}
EFI_STATUS GpioClearPadLock(GpioGroupId GroupId, UINT32 RegisterIndex, UINT32 Mask) {
  return CheckedUpdateLock(kLockKind, GroupId, RegisterIndex, ~Mask, 0);
}
EFI_STATUS GpioSetPadLock(GpioGroupId GroupId, UINT32 RegisterIndex, UINT32 Mask) {
  return CheckedUpdateLock(kLockKind, GroupId, RegisterIndex, 0xFFFFFFFF, Mask);
}
EFI_STATUS GpioClearPadLockTx(GpioGroupId GroupId, UINT32 RegisterIndex, UINT32 Mask) {
  return CheckedUpdateLock(kLockTxKind, GroupId, RegisterIndex, ~Mask, 0);
}
EFI_STATUS GpioSetPadLockTx(GpioGroupId GroupId, UINT32 RegisterIndex, UINT32 Mask) {
  return CheckedUpdateLock(kLockTxKind, GroupId, RegisterIndex, 0xFFFFFFFF, Mask);
}
