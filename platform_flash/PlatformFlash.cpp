#include "platform_flash/PlatformFlash.h"

#include "flash/device/FlashDeviceLayer.h"
#include "flash/device/FlashIdentification.h"
#include "frame/Frame.h"
#include "platform/Platform.h"

constinit PlatformFlashState gPlatformFlash{
    {PlatformFlashRead, PlatformFlashErase, PlatformFlashWrite, PlatformFlashNoOperation, PlatformFlashNoOperation,
     PlatformFlashNoOperation},
    nullptr};

namespace {

constexpr UINT64 kWindowEnd = 1ULL << 32;
constexpr UINT32 kChunkBytes = 64;

// The range must lie in the window below 4 GiB and every byte of it must be flash.
EFI_STATUS CheckFlashRange(UINT64 Address, UINT64 Size) {
  if (Size == 0) return EFI_SUCCESS;
  if (Address >= kWindowEnd || Size > kWindowEnd - Address) return EFI_INVALID_PARAMETER;
  if ((Address & 0x80000000ULL) == 0) return EFI_INVALID_PARAMETER;
  UINT32 linear = 0;
  if (EFI_ERROR(SpiTranslateAddress(Address, &linear)) || EFI_ERROR(SpiTranslateAddress(Address + Size - 1, &linear)))
    return EFI_INVALID_PARAMETER;
  return EFI_SUCCESS;
}

// Buffers belong to the requester: memory a caller may hand to SMM, never SMRAM, a
// device window or memory the operating system owns; never wrapping.
BOOLEAN BufferAllowed(UINT64 Buffer, UINT64 Size) { return Size == 0 || RangeIsCallerMemory(Buffer, Size); }

}  // namespace

BOOLEAN PlatformFlashReady() {
  SpiFlashDeviceLayer& s = gSpiFlashDeviceLayer;
  // A controller whose base was not sound at start-up is never addressed.
  if (EFI_ERROR(SpiPinController())) return FALSE;
  if (s.SelectedFlashDevice == nullptr) {
    IdentifyFlashPart(s.FlashWindowBase);
    if (s.SelectedFlashDevice == nullptr) IdentifyFlashPart(spi::kFlashWindowBottom);
  }
  return s.SelectedFlashDevice != nullptr;
}

EFI_STATUS EFIAPI PlatformFlashRead(UINT64 Address, UINT64 Size, UINT64 Buffer) {
  if (!SpiControllerInPlace()) return EFI_ACCESS_DENIED;
  SpiRefreshBar();
  EFI_STATUS status = CheckFlashRange(Address, Size);
  if (EFI_ERROR(status)) return status;
  if (!BufferAllowed(Buffer, Size)) return EFI_ACCESS_DENIED;
  UINT64 i = 0;
  // Eight bytes at a time where the flash address allows: fewer window accesses.
  for (; i < Size && ((Address + i) & 7) != 0; ++i) MmioWrite8(Buffer + i, MmioRead8(Address + i));
  for (; Size - i >= 8; i += 8) {
    UINT64 value = MmioRead64(Address + i);
    if (((Buffer + i) & 7) == 0) {
      MmioWrite64(Buffer + i, value);
    } else {
      for (UINT32 b = 0; b < 8; ++b) MmioWrite8(Buffer + i + b, static_cast<UINT8>(value >> (8 * b)));
    }
  }
  for (; i < Size; ++i) MmioWrite8(Buffer + i, MmioRead8(Address + i));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI PlatformFlashErase(UINT64 Address, UINT64 Size) {
  if (!SpiControllerInPlace()) return EFI_ACCESS_DENIED;
  if (Size > 0xFFFFFFFFULL) return EFI_INVALID_PARAMETER;
  if (!PlatformFlashReady()) return EFI_NOT_READY;
  EFI_STATUS status = CheckFlashRange(Address, Size);
  if (EFI_ERROR(status)) return status;
  FlashDeviceRecord* device = gSpiFlashDeviceLayer.SelectedFlashDevice;
  if (device == &gSpiFlashDeviceLayer.SpiFlashDevice) return device->EraseRange(Address, static_cast<UINT32>(Size));
  // Any other record (the BIOS Guard device) clears one erase unit per call: hand it the
  // range a unit at a time, so that a larger range is erased in full.
  UINT32 unit = device->EraseUnit;
  if (unit == 0 || Size % unit != 0) return EFI_INVALID_PARAMETER;
  for (UINT64 done = 0; done < Size; done += unit) {
    status = device->EraseRange(Address + done, unit);
    if (EFI_ERROR(status)) return status;
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI PlatformFlashWrite(UINT64 Address, UINT64 Size, UINT64 Buffer) {
  if (!SpiControllerInPlace()) return EFI_ACCESS_DENIED;
  if (Size > 0xFFFFFFFFULL) return EFI_INVALID_PARAMETER;
  if (!PlatformFlashReady()) return EFI_NOT_READY;
  EFI_STATUS status = CheckFlashRange(Address, Size);
  if (EFI_ERROR(status)) return status;
  if (!BufferAllowed(Buffer, Size)) return EFI_ACCESS_DENIED;
  FlashDeviceRecord* device = gSpiFlashDeviceLayer.SelectedFlashDevice;
  // The requester's data is staged in SMRAM a chunk at a time; a chunk never takes more
  // than 64 bytes, so 64 staged bytes always cover the next one.
  UINT8 staged[2 * kChunkBytes];
  UINT32 stagedFrom = 0, stagedCount = 0;  // offset in the request, bytes valid
  UINT32 remaining = static_cast<UINT32>(Size);
  while (remaining > 0) {
    UINT32 done = static_cast<UINT32>(Size) - remaining;
    UINT32 need = remaining < kChunkBytes ? remaining : kChunkBytes;
    if (done + need > stagedFrom + stagedCount) {
      stagedFrom = done;
      stagedCount = remaining < sizeof staged ? remaining : static_cast<UINT32>(sizeof staged);
      for (UINT32 i = 0; i < stagedCount; ++i) staged[i] = MmioRead8(Buffer + stagedFrom + i);
    }
    // The device is offered only what is staged: a record may take all it is offered.
    UINT32 offered = stagedFrom + stagedCount - done;
    UINT32 left = offered;
    if (!device->ProgramChunk(Address + done, staged + (done - stagedFrom), &left)) return EFI_DEVICE_ERROR;
    if (left >= offered) return EFI_DEVICE_ERROR;  // no progress
    remaining -= offered - left;
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI PlatformFlashNoOperation(UINT64, UINT64, UINT64, UINT64) { return EFI_UNSUPPORTED; }
