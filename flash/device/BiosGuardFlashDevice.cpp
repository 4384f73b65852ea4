#include "flash/device/BiosGuardFlashDevice.h"

#include "flash/device/FlashDeviceLayer.h"
#include "flash/device/FlashIdentification.h"
#include "flash/device/SpiController.h"
#include "flash/device/SpiRegisters.h"
#include "frame/Frame.h"
#include "platform/Platform.h"
#include "platform/ProcessorMsrs.h"

constinit BiosGuardDeviceState gBiosGuardDevice{};

namespace {

constexpr UINT32 kBiosGuardEraseBytes = 4096;
constexpr UINT32 kReadChunkBytes = 64;  // as much as one controller read cycle moves
// BFPREG: BIOS region base in bits 14:0 and limit in bits 30:16, both in 4 KiB units.
constexpr UINT32 kBfpregFieldMask = 0x7FFF;
constexpr UINT32 kBfpregLimitShift = 16;
constexpr UINT32 kBfpregUnitShift = 12;
constexpr UINT32 kBfpregUnitFill = 0xFFF;
constexpr UINT64 kFourGiB = 0x100000000ULL;

// One staged command and its Execute, repeated once when Execute reports an error.
template <typename Stage>
EFI_STATUS ExecuteWithRetry(Stage stage) {
  BIOS_GUARD_PROTOCOL* protocol = gBiosGuardDevice.Protocol;
  stage(protocol);
  EFI_STATUS status = protocol->Execute(protocol, FALSE);
  if (!EFI_ERROR(status)) return status;
  stage(protocol);
  return protocol->Execute(protocol, FALSE);
}

}  // namespace

VOID BiosGuardStartUp() {
  BiosGuardDeviceState& s = gBiosGuardDevice;
  if (!BiosGuardInForce()) return;
  if (s.Smst != nullptr) return;
  if (s.Base2 == nullptr) {
    VOID* interface = nullptr;
    EFI_GUID guid = EFI_SMM_BASE2_PROTOCOL_GUID;
    if (gFrame.BootServices == nullptr || EFI_ERROR(gFrame.BootServices->LocateProtocol(&guid, nullptr, &interface)) ||
        interface == nullptr)
      return;
    s.Base2 = static_cast<EFI_SMM_BASE2_PROTOCOL*>(interface);
  }
  s.Base2->GetSmstLocation(s.Base2, &s.Smst);
  // The controller's base as start-up pinned it; a base that is not sound is not read.
  s.BiosRegionBase = 0;
  s.BiosRegionLimit = 0;
  if (EFI_ERROR(SpiPinController())) return;
  const UINT32 bfpreg = MmioRead32((gSpiFlashDeviceLayer.PinnedBar0 & spi::Bar0Base::kMask) + spi::kBfpreg);
  const UINT32 base = (bfpreg & kBfpregFieldMask) << kBfpregUnitShift;
  const UINT32 limit = (((bfpreg >> kBfpregLimitShift) & kBfpregFieldMask) << kBfpregUnitShift) | kBfpregUnitFill;
  // A region whose limit lies below its base is not in use: nothing can be addressed.
  if (limit < base) return;
  s.BiosRegionBase = base;
  s.BiosRegionLimit = limit;
}

VOID FlashDriverStartUp() {
  SpiPinController();
  BiosGuardStartUp();
}

BOOLEAN SelectBiosGuardDevice(UINT64 FlashBase, FlashDeviceRecord** Device) {
  BiosGuardDeviceState& s = gBiosGuardDevice;
  if (!BiosGuardInForce()) return FALSE;
  if (s.BiosGuardBackingDevice == nullptr) {
    // The routines after this one identify the part that BIOS Guard stands in front of.
    const IDENTIFY_ROUTINE* next = IdentifyRoutineList;
    while (*next != nullptr && *next != SelectBiosGuardDevice) ++next;
    if (*next != nullptr) ++next;
    RunIdentifyRoutines(next, FlashBase, &s.BiosGuardBackingDevice);
  }
  *Device = &s.BiosGuardFlashDevice;
  return TRUE;
}

BOOLEAN BiosGuardReachable() {
  BiosGuardDeviceState& s = gBiosGuardDevice;
  if (s.Smst == nullptr) return FALSE;
  if (s.Protocol == nullptr) {
    VOID* interface = nullptr;
    EFI_GUID guid = BIOS_GUARD_PROTOCOL_GUID;
    if (EFI_ERROR(s.Smst->SmmLocateProtocol(&guid, nullptr, &interface))) interface = nullptr;
    s.Protocol = static_cast<BIOS_GUARD_PROTOCOL*>(interface);
    if (s.Protocol == nullptr) return FALSE;
  }
  return TRUE;
}

BOOLEAN BiosGuardLinearAddress(UINT64 Address, UINT64 Length, UINT64* Linear) {
  const BiosGuardDeviceState& s = gBiosGuardDevice;
  if (s.BiosRegionLimit == 0) return FALSE;
  const UINT64 regionBytes = static_cast<UINT64>(s.BiosRegionLimit) - s.BiosRegionBase + 1;
  const UINT64 window = kFourGiB - regionBytes;
  const UINT64 span = Length == 0 ? 1 : Length;
  if (Address < window || Address >= kFourGiB || span > kFourGiB - Address) return FALSE;
  *Linear = s.BiosRegionBase + (Address - window);
  return TRUE;
}

EFI_STATUS EFIAPI BiosGuardReadChunk(UINT64 Address, UINT8* Buffer, UINT32* Count) {
  UINT32 n = *Count < kReadChunkBytes ? *Count : kReadChunkBytes;
  UINT64 linear = 0;
  if (!BiosGuardLinearAddress(Address, n, &linear)) return EFI_INVALID_PARAMETER;
  for (UINT32 i = 0; i < n; ++i) Buffer[i] = MmioRead8(Address + i);
  *Count -= n;
  return n;
}

EFI_STATUS EFIAPI BiosGuardEraseRange(UINT64 Address, UINT32 Size) {
  if (BiosGuardReachable()) {
    // BIOS Guard erases one block per command; the size does not widen it.
    UINT64 linear = 0;
    if (!BiosGuardLinearAddress(Address, kBiosGuardEraseBytes, &linear)) return EFI_INVALID_PARAMETER;
    return ExecuteWithRetry([linear](BIOS_GUARD_PROTOCOL* p) { p->Erase(p, linear); });
  }
  FlashDeviceRecord* backing = gBiosGuardDevice.BiosGuardBackingDevice;
  if (backing == nullptr) return EFI_NOT_READY;
  return backing->EraseRange(Address, Size);
}

BOOLEAN EFIAPI BiosGuardErase4K(UINT64 Address) { return !EFI_ERROR(BiosGuardEraseRange(Address, kBiosGuardEraseBytes)); }

BOOLEAN EFIAPI BiosGuardProgramChunk(UINT64 Address, UINT8* Buffer, UINT32* Count) {
  if (BiosGuardReachable()) {
    UINT32 count = *Count;
    UINT64 linear = 0;
    if (!BiosGuardLinearAddress(Address, count, &linear)) return FALSE;
    EFI_STATUS status =
        ExecuteWithRetry([linear, count, Buffer](BIOS_GUARD_PROTOCOL* p) { p->Write(p, linear, count, Buffer); });
    if (EFI_ERROR(status)) return FALSE;
    *Count = 0;
    return TRUE;
  }
  FlashDeviceRecord* backing = gBiosGuardDevice.BiosGuardBackingDevice;
  if (backing == nullptr) return FALSE;
  return backing->ProgramChunk(Address, Buffer, Count);
}

VOID EFIAPI BiosGuardClearBlockProtect(UINT64 Address, UINT64 Unused) {
  if (BiosGuardReachable()) return;
  if (FlashDeviceRecord* backing = gBiosGuardDevice.BiosGuardBackingDevice) backing->ClearBlockProtect(Address, Unused);
}

VOID EFIAPI BiosGuardRefreshController(UINT64 Unused) {
  if (BiosGuardReachable()) return;
  if (FlashDeviceRecord* backing = gBiosGuardDevice.BiosGuardBackingDevice) backing->RefreshController(Unused);
}

UINT8 EFIAPI BiosGuardSetWriteEnabled() {
  if (BiosGuardReachable()) return 0;
  if (FlashDeviceRecord* backing = gBiosGuardDevice.BiosGuardBackingDevice) return backing->SetWriteEnabled();
  return 0;
}

VOID EFIAPI BiosGuardClearWriteEnabled() {
  if (BiosGuardReachable()) return;
  if (FlashDeviceRecord* backing = gBiosGuardDevice.BiosGuardBackingDevice) backing->ClearWriteEnabled();
}

EFI_STATUS EFIAPI BiosGuardConvertForVirtualMode(EFI_RUNTIME_SERVICES*) { return EFI_SUCCESS; }
