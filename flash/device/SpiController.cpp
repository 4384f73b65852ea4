#include "flash/device/SpiController.h"

#include "flash/device/FlashDeviceLayer.h"
#include "flash/device/SpiBarAccess.h"
#include "frame/Frame.h"
#include "platform/Platform.h"

using namespace spi;

namespace {

// FREG register of each region number.
constexpr UINT64 kRegionRegister[kSpiRegionCount] = {kFreg1, kFreg2, kFreg3, kFreg0, kFreg4};

constexpr UINT32 kFregBaseMask = 0xFFFF;
constexpr UINT32 kFregLimitFill = 0xFFF0;
constexpr UINT32 kRegionUnitShift = 12;

// Polls an engine's status byte while its cycle is in progress (SCIP set, FDONE clear), at
// most kCycleWaitReads times, then clears the write-1-to-clear bits. Answers the last
// status byte read and whether the cycle ended within the bound.
template <typename Engine>
UINT8 WaitEngine(BOOLEAN* Ended) {
  using Status = typename Engine::StatusByte;
  UINT8 status = 0;
  *Ended = FALSE;
  for (UINT32 reads = 0; reads < kCycleWaitReads; ++reads) {
    status = SpiRead8(Status::kOffset);
    if (!Engine::Scip::Get(status) || Engine::Fdone::Get(status)) {
      *Ended = TRUE;
      break;
    }
  }
  SpiWrite8(Status::kOffset, static_cast<UINT8>(Status::Of(Engine::kW1c)));
  return status;
}

VOID FillRegionCache() {
  SpiFlashDeviceLayer& s = gSpiFlashDeviceLayer;
  UINT64 base = 0, limit = 0;
  if (SpiDescriptorPresent() && !EFI_ERROR(SpiRegionBounds(kSpiRegionBios, &base, &limit))) {
    s.RegionCache.BiosBase = base;
    s.RegionCache.BiosLimit = limit;
    s.RegionCache.HighestLimit = 0;
    for (UINT32 region = 0; region < kSpiRegionCount; ++region) {
      UINT64 regionLimit = 0;
      if (SpiDescriptorPresent() && !EFI_ERROR(SpiRegionBounds(region, nullptr, &regionLimit)) &&
          regionLimit > s.RegionCache.HighestLimit)
        s.RegionCache.HighestLimit = regionLimit;
    }
  } else {
    s.RegionCache.BiosLimit = static_cast<UINT32>(s.FlashSize - 1);
    s.RegionCache.HighestLimit = s.RegionCache.BiosLimit;
  }
}

}  // namespace

EFI_STATUS SpiPinController() {
  SpiFlashDeviceLayer& s = gSpiFlashDeviceLayer;
  if (s.BarPinState != kSpiBarUnpinned) return s.BarPinState == kSpiBarPinned ? EFI_SUCCESS : EFI_ACCESS_DENIED;
  const UINT32 bar0 = PciConfigRead<pci::Bar0>(kSpi);
  const UINT16 command = PciConfigRead<pci::Command>(kSpi);
  const UINT64 base = bar0 & Bar0Base::kMask;
  const BOOLEAN sound = pci::MemoryBar::Is32BitMemory(bar0) && base != 0 && pci::Command::Mse::Get(command) &&
                        RangeIsPlatformMmio(base, kSpiBarBytes);
  s.BarPinState = sound ? kSpiBarPinned : kSpiBarUnusable;
  if (!sound) return EFI_ACCESS_DENIED;
  s.PinnedBar0 = bar0;
  s.SpiBar = base;
  return EFI_SUCCESS;
}

BOOLEAN SpiControllerInPlace() {
  if (EFI_ERROR(SpiPinController())) return FALSE;
  return PciConfigRead<pci::Bar0>(kSpi) == gSpiFlashDeviceLayer.PinnedBar0 &&
         pci::Command::Mse::Get(PciConfigRead<pci::Command>(kSpi));
}

VOID SpiRefreshBar() {
  SpiFlashDeviceLayer& s = gSpiFlashDeviceLayer;
  if (!EFI_ERROR(SpiPinController())) s.SpiBar = s.PinnedBar0 & Bar0Base::kMask;
}

VOID SpiWaitCycle(BOOLEAN Hardware, BOOLEAN Software) {
  BOOLEAN ended = FALSE;
  if (Hardware) WaitEngine<HsfstsCtl>(&ended);
  if (Software) WaitEngine<SsfstsCtl>(&ended);
}

EFI_STATUS SpiHardwareCycle(Fcycle Cycle, UINT32 ByteCount) {
  SpiWrite16(HsfstsCtl::ControlHalf::kOffset,
             static_cast<UINT16>(HsfstsCtl::ControlHalf::Of(HsfstsCtlCommand(Cycle, ByteCount))));
  BOOLEAN ended = FALSE;
  const UINT32 status = WaitEngine<HsfstsCtl>(&ended);
  // The controller refused the cycle: FCERR for a cycle the part or a protected range
  // rejected, AEL for one the region access permissions forbid.
  if (HsfstsCtl::Fcerr::Get(status)) return EFI_DEVICE_ERROR;
  if (HsfstsCtl::Ael::Get(status)) return EFI_ACCESS_DENIED;
  if (!ended) return EFI_TIMEOUT;
  return EFI_SUCCESS;
}

EFI_STATUS SpiAddressedCycle(Fcycle Cycle, UINT32 Linear, UINT32 ByteCount) {
  SpiWrite32(kFaddr, Linear);
  return SpiHardwareCycle(Cycle, ByteCount);
}

UINT8 SpiWaitFlashReady() {
  // FADDR keeps whatever the preceding cycle set; the read-status cycle does not use it.
  // A refused read-status cycle leaves FDATA0 stale: that poll tells nothing.
  for (UINT32 polls = 0; polls < kFlashReadyPolls; ++polls) {
    if (EFI_ERROR(SpiHardwareCycle(kFcycleReadStatus, 1))) continue;
    UINT8 status = SpiRead8(kFdata0);
    if ((status & kFlashStatusWip) == 0) return status;
  }
  return 0xFF;
}

EFI_STATUS SpiRegionBounds(UINT32 Region, UINT64* Base, UINT64* Limit) {
  if (Region >= kSpiRegionCount) return EFI_INVALID_PARAMETER;
  UINT32 value = SpiRead32(kRegionRegister[Region]);
  if (value == kFregUnused) return EFI_UNSUPPORTED;
  if (Base != nullptr) *Base = static_cast<UINT64>(value & kFregBaseMask) << kRegionUnitShift;
  // Limit field (bits 31:16) moved to bits 27:12, with bits 11:0 all ones: the last byte.
  if (Limit != nullptr) *Limit = (value | kFregLimitFill) >> 4;
  return EFI_SUCCESS;
}

BOOLEAN SpiDescriptorPresent() {
  SpiWrite32(kFdoc, 0);
  return SpiRead32(kFdod) == kDescriptorSignature;
}

EFI_STATUS SpiReadDescriptor(UINT32 Offset, UINT32 Count, UINT8* Buffer) {
  SpiRefreshBar();
  UINT64 base = 0, limit = 0;
  if (!SpiDescriptorPresent() || EFI_ERROR(SpiRegionBounds(kSpiRegionDescriptor, &base, &limit)))
    return EFI_INVALID_PARAMETER;
  if (base + Count > limit + 1) return EFI_INVALID_PARAMETER;
  // The BIOS region only has to exist.
  if (!SpiDescriptorPresent() || EFI_ERROR(SpiRegionBounds(kSpiRegionBios, nullptr, nullptr)))
    return EFI_INVALID_PARAMETER;
  UINT32 remaining = Count;
  UINT32 position = 0;
  while (position < Count) {
    // A chunk that cannot be read would otherwise be asked for forever.
    EFI_STATUS status = ReadChunk(base + Offset + position, Buffer + position, &remaining);
    if (EFI_ERROR(status)) return status;
    position = Count - remaining;
  }
  return EFI_SUCCESS;
}

EFI_STATUS SpiTranslateAddress(UINT64 Address, UINT32* Linear) {
  SpiFlashDeviceLayer& s = gSpiFlashDeviceLayer;
  if (s.RegionCache.BiosLimit == 0) FillRegionCache();
  if ((Address & 0x80000000ULL) == 0) {
    *Linear = static_cast<UINT32>(Address);
    return EFI_SUCCESS;
  }
  if (s.VirtualModeFlag) Address += kBiosWindowBase - s.FlashWindowBase;
  // The window's last byte (0xFFFFFFFF) is the BIOS region's last byte; the flash below
  // it follows downwards.
  UINT32 linear = static_cast<UINT32>(Address + s.RegionCache.BiosLimit + 1);
  if (linear > static_cast<UINT32>(s.RegionCache.HighestLimit)) return EFI_INVALID_PARAMETER;
  *Linear = linear;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ReadChunk(UINT64 Address, UINT8* Buffer, UINT32* Remaining) {
  SpiRefreshBar();
  UINT32 linear = 0;
  EFI_STATUS status = SpiTranslateAddress(Address, &linear);
  if (EFI_ERROR(status)) return status;
  if (*Remaining == 0) return 0;
  UINT32 n = 256 - (linear & 0xFF);
  if (n > kFdataBytes) n = kFdataBytes;
  if (n > *Remaining) n = *Remaining;
  SpiWaitCycle(TRUE, TRUE);
  // A refused read leaves FDATA holding an earlier transfer: nothing is copied.
  status = SpiAddressedCycle(kFcycleRead, linear, n);
  if (EFI_ERROR(status)) return status;
  for (UINT32 i = 0; i < n; ++i) Buffer[i] = SpiRead8(kFdata0 + i);
  *Remaining -= n;
  return n;
}

VOID ClearStatusProtection(UINT64 Address) {
  UINT32 linear = 0;
  if (EFI_ERROR(SpiTranslateAddress(Address, &linear))) return;
  if (linear != 0) SpiWrite32(kFaddr, linear);
  // Without a status value there is nothing to decide on.
  if (EFI_ERROR(SpiHardwareCycle(kFcycleReadStatus, 1))) return;
  UINT8 status = SpiRead8(kFdata0);
  // Atmel parts: bit 4 is WPP, the state of the WP# pin, not a protection bit.
  constexpr UINT8 kAtmelManufacturer = 0x1F;
  UINT8 mask = (gSpiFlashDeviceLayer.FlashJedecId & 0xFF) == kAtmelManufacturer ? 0x0C : 0x1C;
  if ((status & mask) == 0) return;
  SpiWaitCycle(TRUE, TRUE);
  SpiWrite8(kFdata0, 0x00);
  SpiWrite32(kFaddr, linear);
  if (HsfstsCtl::Wrsdis::Get(SpiRead16(HsfstsCtl::StatusHalf::kOffset))) return;
  // Whether the write took shows in the part's status, which nothing here reads back.
  static_cast<VOID>(SpiHardwareCycle(kFcycleWriteStatus, 1));
  static_cast<VOID>(SpiWaitFlashReady());
}

VOID GlobalBlockUnlock() {
  constexpr UINT8 kOpcodeWriteEnable = 0x06;
  constexpr UINT8 kOpcodeGlobalUnlock = 0x98;
  constexpr UINT16 kRunEntry7 = static_cast<UINT16>(
      SsfstsCtl::ControlWord::Of(SsfstsCtl::Scgo::Make(1) | SsfstsCtl::Cop::Make(kOpmenuIndex7)));
  static_assert(kRunEntry7 == 0x0072);

  UINT8 savedOpcode = SpiRead8(kOpmenuEntry7);
  UINT8 savedTypes = SpiRead8(kPreopOptypeHigh);
  SpiWrite8(kOpmenuEntry7, kOpcodeWriteEnable);
  if (SpiRead8(kOpmenuEntry7) != kOpcodeWriteEnable) return;  // the opcode menu is locked
  SpiWrite8(kPreopOptypeHigh, static_cast<UINT8>((savedTypes & ~kOptypeEntry7Mask) | kOptypeEntry7WriteNoAddress));
  // The unlock opcode is obeyed only with the part's write-enable latch set, so a
  // write-enable cycle goes first through the same menu entry.
  SpiWrite16(SsfstsCtl::ControlWord::kOffset, kRunEntry7);
  SpiWaitCycle(FALSE, TRUE);
  SpiWrite8(kOpmenuEntry7, kOpcodeGlobalUnlock);
  SpiWrite16(SsfstsCtl::ControlWord::kOffset, kRunEntry7);
  SpiWaitCycle(FALSE, TRUE);
  SpiWrite8(kOpmenuEntry7, savedOpcode);
  SpiWrite8(kPreopOptypeHigh, savedTypes);
}
