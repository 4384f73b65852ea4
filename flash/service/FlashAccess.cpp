// Flash reads, erases and writes, handed to PlatformFlashProtocol, and the platform
// preparation before flash outside the BIOS region changes.
#include "flash/service/FlashServiceOperations.h"
#include "flash/service/FlashServiceState.h"
#include "pch/PmcRegisters.h"
#include "platform/Platform.h"

namespace {
// ETR3.CF9GR turns a reset through I/O port 0xCF9 into a global reset, so the ME and the
// rest of the flash reload after the update.
constexpr UINT64 kPwrmEtr3 = pmc::Etr3::kAddress;
constexpr UINT32 kEtr3Cf9gr = pmc::Etr3::Cf9gr::kMask;
static_assert(kPwrmEtr3 == 0xFE001048 && kEtr3Cf9gr == 1u << 20);

// CMOS byte 0x48, bit 1: a flash update outside the BIOS region is under way.
constexpr UINT16 kCmosIndexPort = 0x70;
constexpr UINT16 kCmosDataPort = 0x71;
constexpr UINT8 kCmosFlashUpdateIndex = 0x48;
constexpr UINT8 kCmosNonBiosUpdate = 1u << 1;

BOOLEAN BelowFlashWindow(const FlashServiceRequest& Request) { return Request.Address < kFlashWindowBase; }

BOOLEAN OutsideBiosRegion(const FlashServiceRequest& Request) {
  return Request.Address >= kFlashWindowBase && Request.Address < kBiosRegionBase;
}

// PWRMBASE still decodes at kPwrmBase with memory decoding on. A PMC whose configuration
// space is hidden cannot be moved through it.
BOOLEAN PwrmInPlace() {
  using pmc::kPmc;
  using pmc::PwrmBaseRegister;
  if (PciConfigRead<pci::VendorId>(kPmc) == pci::kAbsentId) return TRUE;
  const UINT32 bar = PciConfigRead<PwrmBaseRegister>(kPmc);
  return pci::MemoryBar::Is32BitMemory(bar) &&
         PwrmBaseRegister::Base::Get(bar) == PwrmBaseRegister::Base::Get(static_cast<UINT32>(pmc::kPwrmBase)) &&
         pci::Command::Mse::Get(PciConfigRead<pci::Command>(kPmc));
}
}  // namespace

BOOLEAN NonBiosPreparationPossible(const FlashServiceRequest& Request) {
  return !OutsideBiosRegion(Request) || PwrmInPlace();
}

EFI_STATUS ReadFlash(const FlashServiceRequest& Request) {
  if (BelowFlashWindow(Request)) return EFI_UNSUPPORTED;
  return gFlashService.PlatformFlash->Read(Request.Address, Request.Size, Request.Buffer);
}

EFI_STATUS EraseFlash(const FlashServiceRequest& Request) {
  if (BelowFlashWindow(Request)) return EFI_UNSUPPORTED;
  return gFlashService.PlatformFlash->Erase(Request.Address, Request.Size);
}

EFI_STATUS WriteFlash(const FlashServiceRequest& Request) {
  if (BelowFlashWindow(Request)) return EFI_UNSUPPORTED;
  return gFlashService.PlatformFlash->Write(Request.Address, Request.Size, Request.Buffer);
}

EFI_STATUS RunFlashUpdatePrepareOnce() {
  if (gFlashService.FlashUpdatePrepare == nullptr || gFlashService.PrepareDone) return EFI_UNSUPPORTED;
  EFI_STATUS status = gFlashService.FlashUpdatePrepare->Prepare();
  if (!EFI_ERROR(status)) gFlashService.PrepareDone = TRUE;
  return status;
}

VOID PrepareNonBiosUpdate(const FlashServiceRequest& Request) {
  if (!OutsideBiosRegion(Request)) return;
  MmioWrite32(kPwrmEtr3, MmioRead32(kPwrmEtr3) | kEtr3Cf9gr);
  IoWrite8(kCmosIndexPort, kCmosFlashUpdateIndex);
  UINT8 flags = IoRead8(kCmosDataPort);
  IoWrite8(kCmosDataPort, static_cast<UINT8>(flags | kCmosNonBiosUpdate));
  RunFlashUpdatePrepareOnce();
}
