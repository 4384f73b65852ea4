// Firmware volumes, FFS files, sections and dependency expressions as they lie in flash.
// Byte-exact x64 layouts; the file and section headers are byte-packed. Shared by the
// firmware-volume walk of the flash service and by the host image tools.
#pragma once

#include "uefi/UefiBaseType.h"

// ---------------------------------------------------------------------------------------
// Firmware volume header
// ---------------------------------------------------------------------------------------

struct EFI_FV_BLOCK_MAP_ENTRY {
  UINT32 NumBlocks;
  UINT32 Length;
};
static_assert(sizeof(EFI_FV_BLOCK_MAP_ENTRY) == 8);

typedef UINT32 EFI_FVB_ATTRIBUTES_2;

struct EFI_FIRMWARE_VOLUME_HEADER {
  UINT8 ZeroVector[16];
  EFI_GUID FileSystemGuid;
  UINT64 FvLength;
  UINT32 Signature;
  EFI_FVB_ATTRIBUTES_2 Attributes;
  UINT16 HeaderLength;
  UINT16 Checksum;
  UINT16 ExtHeaderOffset;
  UINT8 Reserved[1];
  UINT8 Revision;
  EFI_FV_BLOCK_MAP_ENTRY BlockMap[1];  // list continues, terminated by {0, 0}
};
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, FileSystemGuid) == 0x10);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, FvLength) == 0x20);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, Signature) == 0x28);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, Attributes) == 0x2C);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, HeaderLength) == 0x30);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, Checksum) == 0x32);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, ExtHeaderOffset) == 0x34);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, Reserved) == 0x36);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, Revision) == 0x37);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, BlockMap) == 0x38);
static_assert(sizeof(EFI_FIRMWARE_VOLUME_HEADER) == 0x40);

constexpr UINT32 EFI_FVH_SIGNATURE = 0x4856465F;  // "_FVH"
constexpr UINT8 EFI_FVH_REVISION = 0x02;
// One block-map entry plus its {0, 0} terminator.
constexpr UINT16 kFvHeaderLengthOneBlockMapEntry = sizeof(EFI_FIRMWARE_VOLUME_HEADER) + sizeof(EFI_FV_BLOCK_MAP_ENTRY);
static_assert(kFvHeaderLengthOneBlockMapEntry == 0x48);

struct EFI_FIRMWARE_VOLUME_EXT_HEADER {
  EFI_GUID FvName;
  UINT32 ExtHeaderSize;
};
static_assert(offsetof(EFI_FIRMWARE_VOLUME_EXT_HEADER, ExtHeaderSize) == 16);
static_assert(sizeof(EFI_FIRMWARE_VOLUME_EXT_HEADER) == 20);

// EFI_FVB_ATTRIBUTES_2
constexpr UINT32 EFI_FVB2_READ_DISABLED_CAP = 0x00000001;
constexpr UINT32 EFI_FVB2_READ_ENABLED_CAP = 0x00000002;
constexpr UINT32 EFI_FVB2_READ_STATUS = 0x00000004;
constexpr UINT32 EFI_FVB2_WRITE_DISABLED_CAP = 0x00000008;
constexpr UINT32 EFI_FVB2_WRITE_ENABLED_CAP = 0x00000010;
constexpr UINT32 EFI_FVB2_WRITE_STATUS = 0x00000020;
constexpr UINT32 EFI_FVB2_LOCK_CAP = 0x00000040;
constexpr UINT32 EFI_FVB2_LOCK_STATUS = 0x00000080;
constexpr UINT32 EFI_FVB2_STICKY_WRITE = 0x00000200;
constexpr UINT32 EFI_FVB2_MEMORY_MAPPED = 0x00000400;
constexpr UINT32 EFI_FVB2_ERASE_POLARITY = 0x00000800;
constexpr UINT32 EFI_FVB2_READ_LOCK_CAP = 0x00001000;
constexpr UINT32 EFI_FVB2_READ_LOCK_STATUS = 0x00002000;
constexpr UINT32 EFI_FVB2_WRITE_LOCK_CAP = 0x00004000;
constexpr UINT32 EFI_FVB2_WRITE_LOCK_STATUS = 0x00008000;
constexpr UINT32 EFI_FVB2_ALIGNMENT_MASK = 0x001F0000;  // value n: 2^n-byte alignment
constexpr UINT32 EFI_FVB2_ALIGNMENT_SHIFT = 16;
constexpr UINT32 EFI_FVB2_WEAK_ALIGNMENT = 0x80000000;

constexpr EFI_GUID EFI_FIRMWARE_FILE_SYSTEM2_GUID = {0x8C8CE578, 0x8A3D, 0x4F1C, {0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3}};
constexpr EFI_GUID EFI_FIRMWARE_FILE_SYSTEM3_GUID = {0x5473C07A, 0x3DCB, 0x4DCA, {0xBD, 0x6F, 0x1E, 0x96, 0x89, 0xE7, 0x34, 0x9A}};
constexpr EFI_GUID EFI_FFS_VOLUME_TOP_FILE_GUID = {0x1BA0062E, 0xC779, 0x4582, {0x85, 0x66, 0x33, 0x6A, 0xE8, 0xF7, 0x8F, 0x09}};

// ---------------------------------------------------------------------------------------
// FFS file header
// ---------------------------------------------------------------------------------------

typedef UINT8 EFI_FV_FILETYPE;
typedef UINT8 EFI_FFS_FILE_ATTRIBUTES;
typedef UINT8 EFI_FFS_FILE_STATE;

#pragma pack(push, 1)
struct EFI_FFS_INTEGRITY_CHECK {
  UINT8 Header;
  UINT8 File;
};

struct EFI_FFS_FILE_HEADER {
  EFI_GUID Name;
  EFI_FFS_INTEGRITY_CHECK IntegrityCheck;
  EFI_FV_FILETYPE Type;
  EFI_FFS_FILE_ATTRIBUTES Attributes;
  UINT8 Size[3];  // whole file including this header; 24-bit little-endian
  EFI_FFS_FILE_STATE State;
};

// Used when Attributes has FFS_ATTRIB_LARGE_FILE: Size[] is 0 and ExtendedSize counts.
struct EFI_FFS_FILE_HEADER2 {
  EFI_GUID Name;
  EFI_FFS_INTEGRITY_CHECK IntegrityCheck;
  EFI_FV_FILETYPE Type;
  EFI_FFS_FILE_ATTRIBUTES Attributes;
  UINT8 Size[3];
  EFI_FFS_FILE_STATE State;
  UINT64 ExtendedSize;
};
#pragma pack(pop)
static_assert(sizeof(EFI_FFS_INTEGRITY_CHECK) == 2);
static_assert(offsetof(EFI_FFS_FILE_HEADER, IntegrityCheck) == 0x10);
static_assert(offsetof(EFI_FFS_FILE_HEADER, Type) == 0x12);
static_assert(offsetof(EFI_FFS_FILE_HEADER, Attributes) == 0x13);
static_assert(offsetof(EFI_FFS_FILE_HEADER, Size) == 0x14);
static_assert(offsetof(EFI_FFS_FILE_HEADER, State) == 0x17);
static_assert(sizeof(EFI_FFS_FILE_HEADER) == 0x18);
static_assert(offsetof(EFI_FFS_FILE_HEADER2, ExtendedSize) == 0x18);
static_assert(sizeof(EFI_FFS_FILE_HEADER2) == 0x20);

// Files start on 8-byte boundaries inside a volume; the gap holds the erase byte.
constexpr UINT32 kFfsFileAlignment = 8;
// A 24-bit size field of all ones is erased flash: the start of free space.
constexpr UINT32 kFfsSizeFieldErased = 0xFFFFFF;
constexpr UINT32 kFfsMaxSmallFileSize = 0xFFFFFF;

// EFI_FV_FILETYPE
constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_ALL = 0x00;
constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_RAW = 0x01;
constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_FREEFORM = 0x02;
constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_SECURITY_CORE = 0x03;
constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_PEI_CORE = 0x04;
constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_DXE_CORE = 0x05;
constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_PEIM = 0x06;
constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_DRIVER = 0x07;
constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_COMBINED_PEIM_DRIVER = 0x08;
constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_APPLICATION = 0x09;
constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_SMM = 0x0A;
constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_FIRMWARE_VOLUME_IMAGE = 0x0B;
constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_COMBINED_SMM_DXE = 0x0C;
constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_SMM_CORE = 0x0D;
constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_FFS_PAD = 0xF0;

// EFI_FFS_FILE_ATTRIBUTES
constexpr EFI_FFS_FILE_ATTRIBUTES FFS_ATTRIB_LARGE_FILE = 0x01;
constexpr EFI_FFS_FILE_ATTRIBUTES FFS_ATTRIB_DATA_ALIGNMENT_2 = 0x02;
constexpr EFI_FFS_FILE_ATTRIBUTES FFS_ATTRIB_FIXED = 0x04;
constexpr EFI_FFS_FILE_ATTRIBUTES FFS_ATTRIB_DATA_ALIGNMENT = 0x38;
constexpr EFI_FFS_FILE_ATTRIBUTES FFS_ATTRIB_CHECKSUM = 0x40;

// File checksum of a file without FFS_ATTRIB_CHECKSUM.
constexpr UINT8 FFS_FIXED_CHECKSUM = 0xAA;

// EFI_FFS_FILE_STATE bits, set in this order as a file is written. On a volume with
// erase polarity 1 every bit is stored inverted; the file's state is its highest set bit.
constexpr EFI_FFS_FILE_STATE EFI_FILE_HEADER_CONSTRUCTION = 0x01;
constexpr EFI_FFS_FILE_STATE EFI_FILE_HEADER_VALID = 0x02;
constexpr EFI_FFS_FILE_STATE EFI_FILE_DATA_VALID = 0x04;
constexpr EFI_FFS_FILE_STATE EFI_FILE_MARKED_FOR_UPDATE = 0x08;
constexpr EFI_FFS_FILE_STATE EFI_FILE_DELETED = 0x10;
constexpr EFI_FFS_FILE_STATE EFI_FILE_HEADER_INVALID = 0x20;
// A complete file: construction, header valid, data valid.
constexpr EFI_FFS_FILE_STATE kFfsStateComplete =
    EFI_FILE_HEADER_CONSTRUCTION | EFI_FILE_HEADER_VALID | EFI_FILE_DATA_VALID;

// ---------------------------------------------------------------------------------------
// Sections
// ---------------------------------------------------------------------------------------

typedef UINT8 EFI_SECTION_TYPE;

#pragma pack(push, 1)
struct EFI_COMMON_SECTION_HEADER {
  UINT8 Size[3];  // whole section including this header; 24-bit little-endian
  EFI_SECTION_TYPE Type;
};

// Used when Size[] is 0xFFFFFF.
struct EFI_COMMON_SECTION_HEADER2 {
  UINT8 Size[3];
  EFI_SECTION_TYPE Type;
  UINT32 ExtendedSize;
};
#pragma pack(pop)
static_assert(offsetof(EFI_COMMON_SECTION_HEADER, Type) == 3);
static_assert(sizeof(EFI_COMMON_SECTION_HEADER) == 4);
static_assert(offsetof(EFI_COMMON_SECTION_HEADER2, ExtendedSize) == 4);
static_assert(sizeof(EFI_COMMON_SECTION_HEADER2) == 8);

// Sections start on 4-byte boundaries of the file data; the padding between is 0x00.
constexpr UINT32 kSectionAlignment = 4;

// EFI_SECTION_TYPE
constexpr EFI_SECTION_TYPE EFI_SECTION_COMPRESSION = 0x01;
constexpr EFI_SECTION_TYPE EFI_SECTION_GUID_DEFINED = 0x02;
constexpr EFI_SECTION_TYPE EFI_SECTION_DISPOSABLE = 0x03;
constexpr EFI_SECTION_TYPE EFI_SECTION_PE32 = 0x10;
constexpr EFI_SECTION_TYPE EFI_SECTION_PIC = 0x11;
constexpr EFI_SECTION_TYPE EFI_SECTION_TE = 0x12;
constexpr EFI_SECTION_TYPE EFI_SECTION_DXE_DEPEX = 0x13;
constexpr EFI_SECTION_TYPE EFI_SECTION_VERSION = 0x14;
constexpr EFI_SECTION_TYPE EFI_SECTION_USER_INTERFACE = 0x15;
constexpr EFI_SECTION_TYPE EFI_SECTION_COMPATIBILITY16 = 0x16;
constexpr EFI_SECTION_TYPE EFI_SECTION_FIRMWARE_VOLUME_IMAGE = 0x17;
constexpr EFI_SECTION_TYPE EFI_SECTION_FREEFORM_SUBTYPE_GUID = 0x18;
constexpr EFI_SECTION_TYPE EFI_SECTION_RAW = 0x19;
constexpr EFI_SECTION_TYPE EFI_SECTION_PEI_DEPEX = 0x1B;
constexpr EFI_SECTION_TYPE EFI_SECTION_SMM_DEPEX = 0x1C;

// A file whose first section has the short header carries that section's data at this
// offset from the file start: the 24-byte file header plus the 4-byte section header.
constexpr UINT32 kFfsFirstSectionDataOffset = sizeof(EFI_FFS_FILE_HEADER) + sizeof(EFI_COMMON_SECTION_HEADER);
static_assert(kFfsFirstSectionDataOffset == 0x1C);

// ---------------------------------------------------------------------------------------
// Dependency expressions (postfix byte code; GUID operands in memory byte order)
// ---------------------------------------------------------------------------------------

constexpr UINT8 EFI_DEP_BEFORE = 0x00;
constexpr UINT8 EFI_DEP_AFTER = 0x01;
constexpr UINT8 EFI_DEP_PUSH = 0x02;
constexpr UINT8 EFI_DEP_AND = 0x03;
constexpr UINT8 EFI_DEP_OR = 0x04;
constexpr UINT8 EFI_DEP_NOT = 0x05;
constexpr UINT8 EFI_DEP_TRUE = 0x06;
constexpr UINT8 EFI_DEP_FALSE = 0x07;
constexpr UINT8 EFI_DEP_END = 0x08;
constexpr UINT8 EFI_DEP_SOR = 0x09;
// Opcode plus its 16-byte GUID operand.
constexpr UINT32 kDepexGuidOpcodeSize = 1 + sizeof(EFI_GUID);

// 24-bit little-endian size fields of file and section headers.
constexpr UINT32 ReadSize24(const UINT8 (&Size)[3]) {
  return static_cast<UINT32>(Size[0]) | (static_cast<UINT32>(Size[1]) << 8) | (static_cast<UINT32>(Size[2]) << 16);
}
constexpr VOID WriteSize24(UINT8 (&Size)[3], UINT32 Value) {
  Size[0] = static_cast<UINT8>(Value);
  Size[1] = static_cast<UINT8>(Value >> 8);
  Size[2] = static_cast<UINT8>(Value >> 16);
}
