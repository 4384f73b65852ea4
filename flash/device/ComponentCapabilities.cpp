#include "flash/device/ComponentCapabilities.h"

#include "flash/device/FlashDeviceLayer.h"
#include "flash/device/SpiBarAccess.h"
#include "platform/Platform.h"

using namespace spi;

namespace {

constexpr UINT32 kChunkBytes = 64;
constexpr UINT32 kSfdpBytes = 256;
constexpr UINT32 kVsccEntryBytes = 8;
constexpr UINT32 kSfdpReadStallUs = 10;
constexpr UINT32 kPtinxStallUs = 1;

// SFDP header fields (offsets from the signature).
constexpr UINT32 kSfdpMajorRevision = 5;
constexpr UINT32 kFirstTableMajorRevision = 10;
constexpr UINT32 kFirstTablePointer = 12;
constexpr UINT32 kTablePointerMask = 0xFFFFFF;
constexpr UINT32 kParameterTableBytes = 16;
constexpr UINT32 kQuadReadBits = 0x600000;

UINT32 ReadU32(const UINT8* Bytes) {
  return static_cast<UINT32>(Bytes[0]) | static_cast<UINT32>(Bytes[1]) << 8 | static_cast<UINT32>(Bytes[2]) << 16 |
         static_cast<UINT32>(Bytes[3]) << 24;
}

VOID WriteCapabilities(UINT32 Value) {
  SpiWrite32(kSfdp0Vscc0, Value);
  SpiWrite32(kSfdp1Vscc1, Value);
}

// Reads the first 256 bytes of SFDP space. Answers whether a header was accepted.
BOOLEAN SfdpHeaderAccepted() {
  UINT8 sfdp[kSfdpBytes] = {};
  UINT32 shift = 0;
  for (UINT32 offset = 0; offset < kSfdpBytes; offset += kChunkBytes) {
    // A refused read gives no header to accept.
    if (EFI_ERROR(SpiAddressedCycle(kFcycleReadSfdp, offset, kChunkBytes))) return FALSE;
    MicroSecondDelay(kSfdpReadStallUs);
    for (UINT32 i = 0; i < kChunkBytes; ++i) sfdp[offset + i] = SpiRead8(kFdata0 + i);
    if (offset != 0) continue;
    // Some parts answer one byte late: the signature then starts at byte 1.
    if (ReadU32(sfdp) == kSfdpSignature) {
      shift = 0;
    } else if (ReadU32(sfdp + 1) == kSfdpSignature) {
      shift = 1;
    } else {
      SpiWrite32(kPtinx, 0);
      MicroSecondDelay(kPtinxStallUs);
      return SpiRead32(kPtinxCompareRegister) == kSfdpSignature;
    }
  }
  UINT32 pointer = ReadU32(sfdp + shift + kFirstTablePointer) & kTablePointerMask;
  if (sfdp[shift + kSfdpMajorRevision] != 1) return FALSE;
  if (sfdp[shift + kFirstTableMajorRevision] != 1) return FALSE;
  if (pointer + kParameterTableBytes > kSfdpBytes) return FALSE;
  // The table word is taken one byte into the table, whatever the header shift.
  return (ReadU32(sfdp + pointer + 1) & kQuadReadBits) != 0;
}

// Quad-enable and status-write bits that go with the manufacturer.
UINT32 ManufacturerBits(UINT32 JedecId) {
  UINT8 manufacturer = static_cast<UINT8>(JedecId);
  UINT8 memoryType = static_cast<UINT8>(JedecId >> 8);
  switch (manufacturer) {
    case 0x1C:
    case 0x20:
    case 0x8C:
      return 0;
    case 0x1F:
      return ((JedecId >> 12) & 0xF) == 0x8 ? 0x70 : 0x10;
    case 0x37:
      return memoryType == 0x40 ? 0x20 : 0;
    case 0xBF:
      return 0x80;
    case 0xC2:
      return 0x40;
    default:
      return 0x20;
  }
}

}  // namespace

EFI_STATUS ProgramCapabilitiesFromDescriptor() {
  UINT8 buffer[kChunkBytes] = {};
  EFI_STATUS status = SpiReadDescriptor(kFlumap1Offset, 4, buffer);
  if (EFI_ERROR(status)) return status;
  UINT32 map = ReadU32(buffer);
  if (map == 0 || map == 0xFFFFFFFF) return EFI_SUCCESS;  // no VSCC table map
  UINT32 tableStart = (map & 0xFF) * 16;                    // VTBA, 16-byte units
  UINT32 tableBytes = (map >> 6) & 0x3FC;                   // VTL, 32-bit words
  if (tableBytes == 0) return EFI_NOT_FOUND;
  for (UINT32 offset = 0; offset < tableBytes; offset += kChunkBytes) {
    ZeroMem(buffer, sizeof buffer);
    UINT32 n = tableBytes - offset < kChunkBytes ? tableBytes - offset : kChunkBytes;
    status = SpiReadDescriptor(tableStart + offset, n, buffer);
    if (EFI_ERROR(status)) return status;
    // A table length of 4 mod 8 leaves half an entry at the end: an identifier without its
    // VSCC value is no entry, so the search ends there as without a match.
    for (UINT32 c = 0; c + kVsccEntryBytes <= n; c += kVsccEntryBytes) {
      if (ReadU32(buffer + c) == gSpiFlashDeviceLayer.FlashJedecId) {
        WriteCapabilities(ReadU32(buffer + c + 4));
        return EFI_SUCCESS;
      }
    }
  }
  return EFI_NOT_FOUND;
}

VOID ProgramCapabilitiesFromProfile(const FlashPartProfile& Profile) {
  UINT32 value = static_cast<UINT32>(Profile.EraseOpcode) << vscc::kEraseOpcodeShift;
  if (Profile.EraseUnit == 4096) value |= vscc::kEraseSize4K;
  if (Profile.EraseUnit == 8192) value |= vscc::kEraseSize8K;
  if (Profile.EraseUnit == 65536) value |= vscc::kEraseSize64K;
  if (Profile.ProgramUnit != 1) value |= vscc::kWriteGranularity64;
  if (Profile.StatusWriteEnableOpcode == kStatusWriteEnableEwsr) value |= vscc::kStatusWriteNeedsEwsr;
  if (Profile.StatusWriteEnableOpcode == kStatusWriteEnableUnprotect) value |= vscc::kStatusWriteNeedsWren;
  if (SfdpHeaderAccepted()) value |= ManufacturerBits(gSpiFlashDeviceLayer.FlashJedecId);
  WriteCapabilities(value);
}
