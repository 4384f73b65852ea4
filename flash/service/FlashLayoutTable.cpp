// Area lookup in the flash layout table that the layout file carries. The table is caller
// data like the volume around it: each read is checked to lie below 4 GiB, in caller
// memory or the flash window, first, and the walk ends at the first entry that does not.
#include "flash/service/CallerMemory.h"
#include "flash/service/FlashServiceOperations.h"
#include "flash/service/GuidAccess.h"
#include "platform/Platform.h"

namespace {
// Layout table header, from the start of the layout file's data.
constexpr UINT64 kLayoutFirstEntryOffset = 0x64;  // UINT16, from the start of the file data
constexpr UINT64 kLayoutEntryCountOffset = 0x66;  // UINT8
constexpr UINT64 kLayoutHeaderBytes = 0x67;

// FlashLayoutEntry (32 bytes). Bytes 4 to 9 and 26 to 31 belong to the requester.
constexpr UINT64 kLayoutEntrySize = 32;
constexpr UINT64 kLayoutEntrySignatureOffset = 0;  // UINT32
constexpr UINT64 kLayoutEntryGuidOffset = 10;      // EFI_GUID
}  // namespace

EFI_STATUS LocateLayoutEntry(const EFI_GUID& Guid, FlashServiceRequest& Request, BOOLEAN* AreaWritten) {
  EFI_STATUS status = LocateLayoutFile(Request, AreaWritten);
  if (EFI_ERROR(status)) return status;

  UINT64 data = Request.Address;
  Request.Address = 0;
  Request.Size = 0;
  if (data + kLayoutHeaderBytes > kFourGiB || !VolumeRangeUsable(data, kLayoutHeaderBytes)) return EFI_UNSUPPORTED;
  UINT64 table = data + MmioRead16(data + kLayoutFirstEntryOffset);
  UINT32 count = MmioRead8(data + kLayoutEntryCountOffset);

  for (UINT32 i = 0; i < count; ++i) {
    UINT64 entry = table + i * kLayoutEntrySize;
    if (entry + kLayoutEntrySize > kFourGiB || !VolumeRangeUsable(entry, kLayoutEntrySize)) break;
    if (MmioRead32(entry + kLayoutEntrySignatureOffset) == Request.Signature &&
        GuidEqualsAt(entry + kLayoutEntryGuidOffset, Guid)) {
      Request.Address = static_cast<UINT32>(entry);
      return EFI_SUCCESS;
    }
  }
  return EFI_UNSUPPORTED;
}
