// The built-in identification tables: the four family profiles, the capacity rules and
// one row per accepted identifier (manufacturer byte, memory-type byte).
#pragma once

#include "flash/device/FlashDeviceRecord.h"

// Size used for a capacity byte that a rule does not list (also FlashSize before any
// identification).
constexpr UINT32 kUnlistedCapacitySize = 0xE00000;
constexpr UINT32 kKiB = 1024;
constexpr UINT32 kMiB = 1024 * 1024;

// How a row reads the capacity byte (the third JEDEC ID byte).
enum class CapacityRule : UINT8 {
  kPowerOfTwo,     // the byte is log2 of the size in bytes (with the 1Ah/20h, 1Bh/21h, 36h-39h extensions)
  kSpansionCode,   // 12h-17h from 512 KiB upwards, 46h for 4 MiB
  kSstCode,        // SST's own codes (01h/41h 2 MiB, 8Ch 256 KiB, ...)
  kIntelCode,      // Intel 25F160/320: 11h-13h and 15h-17h
  kFixed,          // the row's FixedSize, whatever the byte says
};

constexpr UINT32 CapacitySize(CapacityRule Rule, UINT8 C) {
  switch (Rule) {
    case CapacityRule::kPowerOfTwo:
      if (C >= 0x10 && C <= 0x19) return 1u << C;
      if (C == 0x1A || C == 0x20) return 64 * kMiB;
      if (C == 0x1B || C == 0x21) return 128 * kMiB;
      if (C >= 0x36 && C <= 0x39) return (4 * kMiB) << (C - 0x36);
      return kUnlistedCapacitySize;
    case CapacityRule::kSpansionCode:
      if (C >= 0x12 && C <= 0x17) return (512 * kKiB) << (C - 0x12);
      if (C == 0x46) return 4 * kMiB;
      return kUnlistedCapacitySize;
    case CapacityRule::kSstCode:
      switch (C) {
        case 0x01: case 0x41: return 2 * kMiB;
        case 0x02: case 0x4A: return 4 * kMiB;
        case 0x43: case 0x4B: return 8 * kMiB;
        case 0x8C: return 256 * kKiB;
        case 0x8D: return 512 * kKiB;
        case 0x8E: return 1 * kMiB;
        default: return kUnlistedCapacitySize;
      }
    case CapacityRule::kIntelCode:
      switch (C) {
        case 0x11: case 0x15: return 2 * kMiB;
        case 0x12: case 0x16: return 4 * kMiB;
        case 0x13: case 0x17: return 8 * kMiB;
        default: return kUnlistedCapacitySize;
      }
    case CapacityRule::kFixed:
      break;
  }
  return kUnlistedCapacitySize;
}

// What a row changes in its family profile before the profile is copied.
enum class RowSpecial : UINT8 {
  kNone,
  kSectorBySize,      // erase unit 262144 for a 16 MiB part, else 65536
  kPageUnitFrom8MiB,  // program unit 256 when the size is 8 MiB or more
  kSst26Unlock,       // sets Sst26UnlockFlag
};

struct IdentificationRow {
  UINT8 Manufacturer;
  UINT8 MemoryType;
  const CHAR8* Name;
  CapacityRule Rule;
  UINT32 FixedSize;                  // with CapacityRule::kFixed
  UINT32 EraseUnit;                  // 0: the profile's stays
  UINT8 EraseOpcode;                 // 0: the profile's stays
  BOOLEAN ClearStatusWriteEnable;    // status-write enable opcode (profile byte 12) = 0
  RowSpecial Special;
};

struct IdentificationTable {
  const IdentificationRow* Rows;
  UINT32 Count;
};

// Looks a (manufacturer, memory type) pair up; NULL when the table has no row for it.
const IdentificationRow* FindIdentificationRow(const IdentificationTable& Table, UINT32 JedecId);

extern const IdentificationTable kByteProgramTable;
extern const IdentificationTable kCommonTable;
extern const IdentificationTable kAtmelTable;
extern const IdentificationTable kLegacySstTable;

// Family profiles as the layer starts; identification changes its own copies.
constexpr FlashPartProfile kProfileAtmelInitial = {0x02, 0x03, 0x3B, 0x02, 0x20, 0x03, 0x05, 0x00, 0x9F, 0x00, 0x01, 0x01,
                                                   0x39, 0x00, 0x06, 0x00, 256, 4096};
constexpr FlashPartProfile kProfileByteProgramInitial = {0x02, 0x03, 0x3B, 0x02, 0x20, 0x03, 0x05, 0x00, 0x9F, 0x02,
                                                         0x01, 0x01, 0x50, 0x00, 0x06, 0x01, 1, 4096};
constexpr FlashPartProfile kProfileCommonInitial = {0x02, 0x03, 0x3B, 0x02, 0xD8, 0x03, 0x05, 0x00, 0x9F, 0x00, 0x01, 0x01,
                                                    0x00, 0x00, 0x06, 0x00, 256, 65536};
constexpr FlashPartProfile kProfileLegacySstInitial = {0x02, 0x03, 0x03, 0x02, 0x20, 0x03, 0x05, 0x00, 0x90, 0x02,
                                                       0x01, 0x01, 0x50, 0x01, 0x06, 0x00, 1, 4096};
