#include "flash/service/PartNameReport.h"

#include "flash/device/FlashDeviceLayer.h"
#include "flash/device/FlashIdentification.h"
#include "flash/service/FlashServiceRequest.h"
#include "platform/Platform.h"

namespace {
constexpr UINT32 kReportedAddress = 0x00E00000;
constexpr UINT32 kReportedSize = 0x1000;
constexpr UINT32 kPartNameSignature = 0x53504624;  // "$FPS"
}  // namespace

UINT64 GetPartName(UINT64 RequestAddress) {
  SpiFlashDeviceLayer& s = gSpiFlashDeviceLayer;
  MmioWrite32(RequestAddress + kFlashRequestAddress, kReportedAddress);
  MmioWrite32(RequestAddress + kFlashRequestSize, kReportedSize);
  IdentifyFlashPart(s.FlashWindowBase);
  MmioWrite32(RequestAddress + kFlashRequestBuffer, s.FlashSize);
  if (s.SelectedFlashDevice == nullptr) {
    ZeroMem(s.PartNameBuffer, sizeof s.PartNameBuffer);
    IdentifyFlashPart(spi::kFlashWindowBottom);
    if (s.SelectedFlashDevice == nullptr) return kPartNameReportResult;
  }
  const CHAR8* name = s.SelectedFlashDevice->PartName;
  if (name != nullptr) {
    MmioWrite32(RequestAddress + kFlashRequestPartNameSignature, kPartNameSignature);
    MmioWrite32(RequestAddress + kFlashRequestPartNameLength, kPartNameBufferBytes);
    for (UINT32 i = 0; i < kPartNameBufferBytes; ++i)
      MmioWrite8(RequestAddress + kFlashRequestPartNameText + i, static_cast<UINT8>(name[i]));
  }
  return kPartNameReportResult;
}
