#include "flash/device/FlashDeviceOperations.h"

#include "flash/device/FlashDeviceLayer.h"
#include "flash/device/SpiBarAccess.h"
#include "platform/Platform.h"

using namespace spi;

namespace {

constexpr UINT32 kChunkBytes = 64;
constexpr UINT32 kPageBytes = 256;
constexpr UINT32 kSector4K = 0x1000;
constexpr UINT32 kBlock64K = 0x10000;
constexpr UINT32 kEraseSettleUs = 10;
constexpr UINT64 kWindowDomainEnd = 1ULL << 32;    // window addresses end at 4 GiB
constexpr UINT64 kLinearDomainEnd = 1ULL << 31;    // linear addresses have bit 31 clear

// The record whose geometry governs erases: the one identification selected.
const FlashDeviceRecord* SelectedDevice() { return gSpiFlashDeviceLayer.SelectedFlashDevice; }

// A range must stay in the addressing form it starts in: a window range that ran past
// 4 GiB, or a linear range into bit 31, would wrap onto unrelated flash.
BOOLEAN RangeStaysInDomain(UINT64 Address, UINT64 Length) {
  UINT64 end = Address + Length;
  if (end < Address) return FALSE;
  return (Address & kLinearDomainEnd) != 0 ? end <= kWindowDomainEnd : end <= kLinearDomainEnd;
}

// One erase step: up to three erase cycles, each followed by the part's ready wait, the
// cache write-back and a read-back.
BOOLEAN EraseStep(UINT64 Current, UINT32 Linear, UINT32 Step, UINT32 EraseUnit) {
  const Fcycle cycle = (EraseUnit == kBlock64K || Step == kBlock64K) ? kFcycleErase64K : kFcycleErase4K;
  // What one erase command clears: the step, or the whole erase unit when that is larger
  // (a 256 KiB sector erased by a 64 KiB-aligned step).
  UINT32 cleared = Step == kBlock64K ? kBlock64K : EraseUnit;
  if (EraseUnit > cleared) cleared = EraseUnit;
  for (UINT32 attempt = 0; attempt < kFlashWriteAttempts; ++attempt) {
    SpiWaitCycle(TRUE, TRUE);
    // The read-back below decides: a refused or unfinished erase shows there as a retry.
    static_cast<VOID>(SpiAddressedCycle(cycle, Linear, 1));
    static_cast<VOID>(SpiWaitFlashReady());
    if (cleared != 0) FlashCacheWriteBack(Linear & ~(cleared - 1), cleared);
    if (VerifyRange(Current, nullptr, Step, TRUE)) {
      MicroSecondDelay(kEraseSettleUs);
      return TRUE;
    }
  }
  return FALSE;
}

// Loads FDATA with the chunk, reading each byte back: a write that lands while the
// controller is still busy is lost and has to be repeated.
VOID LoadFdata(const UINT8* Data, UINT32 Count) {
  for (UINT32 j = 0; j < Count; ++j) {
    for (UINT32 writes = 0; writes < kFdataLoadWrites; ++writes) {
      SpiWrite8(kFdata0 + j, Data[j]);
      if (SpiRead8(kFdata0 + j) == Data[j]) break;
    }
  }
}

}  // namespace

VOID FlashCacheWriteBack(UINT32 Linear, UINT32 Length) {
  const RegionCacheRecord& cache = gSpiFlashDeviceLayer.RegionCache;
  if (Linear < cache.BiosBase || Linear > cache.BiosLimit) return;
  WriteBackInvalidateDataCacheRange(static_cast<UINT64>(Linear) + 0xFFFFFFFFULL - cache.BiosLimit, Length);
}

BOOLEAN VerifyRange(UINT64 Address, const UINT8* Expected, UINT32 Count, BOOLEAN ByCycle) {
  UINT32 remaining = Count;
  UINT32 index = 0;
  while (index < Count) {
    UINT8 chunk[kChunkBytes] = {};
    UINT32 before = remaining;
    if (ByCycle) {
      // Flash that cannot be read cannot be confirmed.
      if (EFI_ERROR(ReadChunk(Address + index, chunk, &remaining))) return FALSE;
    } else {
      UINT32 next = remaining > kChunkBytes ? remaining - kChunkBytes : 0;
      CopyMem(chunk, reinterpret_cast<const UINT8*>(static_cast<UINTN>(Address)) + index, remaining - next);
      remaining = next;
    }
    for (UINT32 i = 0; i < before - remaining; ++i) {
      UINT8 want = Expected != nullptr ? Expected[index + i] : 0xFF;
      if (chunk[i] != want) return FALSE;
    }
    index = Count - remaining;
  }
  return TRUE;
}

EFI_STATUS EFIAPI EraseRange(UINT64 Address, UINT32 Length) {
  SpiRefreshBar();
  const FlashDeviceRecord* device = SelectedDevice();
  if (device == nullptr) return EFI_NOT_READY;
  UINT32 eraseUnit = device->EraseUnit;
  if (eraseUnit == 0 || Length % eraseUnit != 0) return EFI_INVALID_PARAMETER;
  UINT64 current = Address;
  UINT64 end = Address + Length;
  if (current >= end) return EFI_SUCCESS;
  if (!RangeStaysInDomain(Address, Length)) return EFI_INVALID_PARAMETER;
  UINT32 linear = 0;
  if (EFI_ERROR(SpiTranslateAddress(current, &linear))) return EFI_INVALID_PARAMETER;
  // An erase command clears its whole unit: a range that does not start on a unit
  // boundary would lose the bytes before it.
  if (linear % eraseUnit != 0) return EFI_INVALID_PARAMETER;
  do {
    UINT32 step = ((current & 0xFFFF) == 0 && end - current >= kBlock64K) ? kBlock64K : kSector4K;
    if (EFI_ERROR(SpiTranslateAddress(current, &linear))) return EFI_INVALID_PARAMETER;
    if (!VerifyRange(current, nullptr, step, TRUE) && !EraseStep(current, linear, step, eraseUnit))
      return EFI_DEVICE_ERROR;
    current += step;
  } while (current < end);
  return EFI_SUCCESS;
}

BOOLEAN EFIAPI Erase4K(UINT64 Address) { return !EFI_ERROR(EraseRange(Address, kSector4K)); }

BOOLEAN EFIAPI ProgramChunk(UINT64 Address, UINT8* Data, UINT32* Remaining) {
  SpiRefreshBar();
  if (*Remaining == 0) return TRUE;
  UINT32 n = 1;
  if (gSpiFlashDeviceLayer.SpiFlashDevice.ProgramUnit != 1) {
    n = *Remaining < kChunkBytes ? *Remaining : kChunkBytes;
    if ((Address & 1) != 0) {
      n = 1;
    } else {
      UINT32 toPageEnd = kPageBytes - static_cast<UINT32>(Address & 0xFF);
      if (toPageEnd < n) n = toPageEnd;
    }
  }
  BOOLEAN done = FALSE;
  for (UINT32 attempt = 0; attempt < kFlashWriteAttempts && !done; ++attempt) {
    // Erased flash already holds all-ones data.
    if (VerifyRange(reinterpret_cast<UINTN>(Data), nullptr, n, FALSE)) {
      done = TRUE;
      break;
    }
    LoadFdata(Data, n);
    SpiWaitCycle(TRUE, TRUE);
    UINT32 linear = 0;
    if (EFI_ERROR(SpiTranslateAddress(Address, &linear))) return FALSE;
    // As for erase, the read-back decides whether the program cycle took.
    static_cast<VOID>(SpiAddressedCycle(kFcycleWrite, linear, n));
    static_cast<VOID>(SpiWaitFlashReady());
    FlashCacheWriteBack(linear, n);
    done = VerifyRange(Address, Data, n, TRUE);
  }
  if (!done) return FALSE;
  *Remaining -= n;
  return TRUE;
}

VOID EFIAPI ClearBlockProtect(UINT64 Address, UINT64) {
  SpiRefreshBar();
  ClearStatusProtection(Address);
}

VOID EFIAPI RefreshController(UINT64) { SpiRefreshBar(); }

UINT8 EFIAPI SetWriteEnabled() {
  UINT8 previous = gSpiFlashDeviceLayer.WriteEnabled;
  if (previous == 0) gSpiFlashDeviceLayer.WriteEnabled = 1;
  return previous;
}

VOID EFIAPI ClearWriteEnabled() { gSpiFlashDeviceLayer.WriteEnabled = 0; }

EFI_STATUS EFIAPI ConvertForVirtualMode(EFI_RUNTIME_SERVICES* RuntimeServices) {
  gSpiFlashDeviceLayer.VirtualModeFlag = TRUE;
  return RuntimeServices->ConvertPointer(0, reinterpret_cast<VOID**>(&gSpiFlashDeviceLayer.SpiBar));
}
