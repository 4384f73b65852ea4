// Area lookup in a PI firmware volume: the first file with the wanted name, and the data
// of its first section. The volume is caller data (its base comes from the request or from
// the flash), so the walk bounds itself by the volume's own length, by 4 GiB, by the size
// of the largest flash, and reads only caller memory or the flash window, never SMRAM.
#include "flash/service/CallerMemory.h"
#include "flash/service/FlashServiceOperations.h"
#include "flash/service/GuidAccess.h"
#include "platform/Platform.h"

namespace {
// EFI_FIRMWARE_VOLUME_HEADER
constexpr UINT64 kFvLengthOffset = 0x20;        // UINT64 FvLength
constexpr UINT64 kFvHeaderLengthOffset = 0x30;  // UINT16 HeaderLength
constexpr UINT64 kFvHeaderBytesRead = 0x32;     // the walk reads the header up to HeaderLength

// EFI_FFS_FILE_HEADER
constexpr UINT64 kFfsNameOffset = 0x00;  // EFI_GUID Name
constexpr UINT64 kFfsSizeOffset = 0x14;  // UINT8 Size[3], then the State byte
constexpr UINT32 kFfsSizeMask = 0x00FFFFFF;
constexpr UINT32 kFfsFileHeaderSize = 0x18;
constexpr UINT32 kFfsErasedSize = 0x00FFFFFF;  // erase polarity 1: free space from here on
constexpr UINT32 kFfsFileAlignment = 8;

// The area is the data of the file's first section: the file header and one short-form
// EFI_COMMON_SECTION_HEADER come before it.
constexpr UINT32 kAreaDataOffset = kFfsFileHeaderSize + 4;

// With VolumeBase 0 the volume is the one whose base the flash keeps in its last dword.
constexpr UINT64 kVolumeBasePointer = 0xFFFFFFFC;

// No firmware volume is larger than the flash decode window; this also bounds the walk to
// at most kMaxVolumeBytes / kFfsFileHeaderSize files whatever the volume claims.
constexpr UINT64 kMaxVolumeBytes = 0x02000000;
}  // namespace

EFI_STATUS LocateAreaFile(const EFI_GUID& Guid, FlashServiceRequest& Request, BOOLEAN* AreaWritten) {
  *AreaWritten = FALSE;
  UINT64 volume = Request.VolumeBase != 0 ? Request.VolumeBase : MmioRead32(kVolumeBasePointer);
  // No volume fits above 4 GiB - 0x32 (a blank flash names 0xFFFFFFFF); one in SMRAM is refused.
  if (volume + kFvHeaderBytesRead > kFourGiB) return EFI_UNSUPPORTED;
  if (!VolumeRangeUsable(volume, kFvHeaderBytesRead)) return EFI_ACCESS_DENIED;

  UINT64 span = MmioRead64(volume + kFvLengthOffset);
  if (span > kFourGiB - volume) span = kFourGiB - volume;
  if (span > kMaxVolumeBytes) span = kMaxVolumeBytes;
  UINT64 offset = MmioRead16(volume + kFvHeaderLengthOffset);

  // Each pass either stops or moves on by at least one file header, so the walk ends.
  while (offset <= span && span - offset >= kFfsFileHeaderSize) {
    UINT64 file = volume + offset;
    if (!VolumeRangeUsable(file, kFfsFileHeaderSize)) break;
    UINT32 size = MmioRead32(file + kFfsSizeOffset) & kFfsSizeMask;
    if (size == kFfsErasedSize || size == 0) break;
    // A file shorter than its own header, or running past the volume, means the volume is
    // corrupt from here on.
    if (size < kFfsFileHeaderSize || size > span - offset) break;
    // A file too short to hold the section header has no area data to report.
    if (size >= kAreaDataOffset && GuidEqualsAt(file + kFfsNameOffset, Guid)) {
      Request.Address = static_cast<UINT32>(file + kAreaDataOffset);
      Request.Size = size - kAreaDataOffset;
      *AreaWritten = TRUE;
      return EFI_SUCCESS;
    }
    offset += (size + kFfsFileAlignment - 1) & ~(kFfsFileAlignment - 1);
  }
  return EFI_UNSUPPORTED;
}

EFI_STATUS LocateLayoutFile(FlashServiceRequest& Request, BOOLEAN* AreaWritten) {
  return LocateAreaFile(FLASH_LAYOUT_FILE_GUID, Request, AreaWritten);
}
