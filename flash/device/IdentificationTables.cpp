#include "flash/device/IdentificationTables.h"

namespace {

using R = CapacityRule;
using S = RowSpecial;

constexpr UINT32 k4K = 4096;
constexpr UINT32 k64K = 65536;

constexpr IdentificationRow kByteProgramRows[] = {
    {0x8C, 0x20, "ESMT 25L T Series", R::kPowerOfTwo, 0, 0, 0, FALSE, S::kNone},
    {0x8C, 0x21, "ESMT 25L B Series", R::kPowerOfTwo, 0, 0, 0, TRUE, S::kNone},
    {0xBF, 0x25, "SST 25VF Series", R::kSstCode, 0, 0, 0, FALSE, S::kPageUnitFrom8MiB},
};

// Rows whose erase opcode column reads "profile" keep 0 here. The SST 26VF and AMIC 25L
// (0x7F, 0x37) rows erase in 4 KiB units, so they name the 4 KiB sector-erase opcode:
// the 64 KiB block-erase opcode the family profile starts with would make every 4 KiB
// erase cycle clear the whole surrounding block.
constexpr IdentificationRow kCommonRows[] = {
    {0x01, 0x02, "Spansion 25FL Series", R::kSpansionCode, 0, k64K, 0, FALSE, S::kNone},
    {0x01, 0x20, "Spansion 25FL(P) Series", R::kPowerOfTwo, 0, k64K, 0, FALSE, S::kNone},
    {0x01, 0x40, "Spansion 25FL(K) Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x01, 0x60, "Spansion 25FL(L) Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x0B, 0x40, "XTX 25F Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x1C, 0x20, "EON 25P Series", R::kPowerOfTwo, 0, k64K, 0xD8, FALSE, S::kNone},
    {0x1C, 0x30, "EON 25F/Q/S/QH Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x1C, 0x31, "EON 25F/Q/S/QH Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x1C, 0x38, "EON 25F/Q/S/QH Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x1C, 0x70, "EON 25F/Q/S/QH Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x20, 0x20, "STM/Micron/Numonyx 25P Series", R::kPowerOfTwo, 0, 0, 0xD8, FALSE, S::kSectorBySize},
    {0x20, 0x38, "XMC 25QU Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x20, 0x50, "XMC 25QU Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x20, 0x40, "XMC 25QH Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x20, 0x60, "XMC 25QH Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x20, 0x70, "STM/Micron/Numonyx 25PF/PX Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x20, 0x71, "STM/Micron/Numonyx 25PF/PX Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x20, 0x80, "STM/Numonyx 25PE Series", R::kPowerOfTwo, 0, 256, 0xDB, FALSE, S::kNone},
    {0x20, 0xBA, "Micron/Numonyx 25Q Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x20, 0xBB, "Micron/Numonyx 25Q Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x37, 0x30, "AMIC 25L/LQ Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x37, 0x40, "AMIC 25L/LQ Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x7F, 0x37, "AMIC 25L Series", R::kSpansionCode, 0, k4K, 0x20, FALSE, S::kNone},
    {0x7F, 0x9D, "PMC 25LV/LQ Series", R::kSpansionCode, 0, k4K, 0xD7, FALSE, S::kNone},
    {0x89, 0x89, "Intel/Numonyx 25F160/320", R::kIntelCode, 0, k64K, 0, FALSE, S::kNone},
    {0x8C, 0x40, "ESMT 25L QA/PA Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x8C, 0x41, "ESMT 25L QA/PA Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x9D, 0x60, "ISSI 25LP Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0x9D, 0x70, "ISSI 25WP Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0xA1, 0x40, "Fudan FM25Q Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0xBF, 0x26, "SST 26VF Series", R::kSstCode, 0, k4K, 0x20, FALSE, S::kSst26Unlock},
    {0xC2, 0x20, "MXIC 25L/U Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0xC2, 0x24, "MXIC 25L/U Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0xC2, 0x25, "MXIC 25L/U Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0xC2, 0x5E, "MXIC 25L/U Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0xC2, 0x28, "MXIC 25R Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0xC8, 0x40, "GigaDevice 25Q Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0xC8, 0x60, "GigaDevice 25Q Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0xEF, 0x30, "Winbond 25X/Q Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0xEF, 0x40, "Winbond 25X/Q Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0xEF, 0x50, "Winbond 25X/Q Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0xEF, 0x60, "Winbond 25X/Q Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0xEF, 0x70, "Winbond 25X/Q Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0xEF, 0x71, "Winbond 25X/Q Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0xEF, 0x80, "Winbond 25X/Q Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0xF8, 0x32, "FIDELIX 25Q Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
    {0xF8, 0x43, "FIDELIX 25M Series", R::kPowerOfTwo, 0, k4K, 0x20, FALSE, S::kNone},
};
static_assert(sizeof(kCommonRows) / sizeof(kCommonRows[0]) == 47);

constexpr IdentificationRow kAtmelRows[] = {
    {0x1F, 0x32, "ADESTO AT25SF641", R::kFixed, 8 * kMiB, k4K, 0, TRUE, S::kNone},
    {0x1F, 0x42, "ADESTO AT25SL128A", R::kFixed, 16 * kMiB, k4K, 0, TRUE, S::kNone},
    {0x1F, 0x43, "ADESTO AT25SL641", R::kFixed, 8 * kMiB, k4K, 0, TRUE, S::kNone},
    {0x1F, 0x44, "ATMEL 26DF041/25DF041", R::kFixed, 512 * kKiB, 0, 0, FALSE, S::kNone},
    {0x1F, 0x45, "ATMEL 26DF081/25DF081", R::kFixed, 1 * kMiB, 0, 0, FALSE, S::kNone},
    {0x1F, 0x46, "ATMEL 26DF161/25DQ161", R::kFixed, 2 * kMiB, 0, 0, FALSE, S::kNone},
    {0x1F, 0x86, "ATMEL 26DF161/25DQ161", R::kFixed, 2 * kMiB, 0, 0, FALSE, S::kNone},
    {0x1F, 0x47, "ATMEL 26DF321/25DF321", R::kFixed, 4 * kMiB, 0, 0, FALSE, S::kNone},
    {0x1F, 0x48, "ATMEL 26DF641/25DF641", R::kFixed, 8 * kMiB, 0, 0, FALSE, S::kNone},
};

constexpr IdentificationRow kLegacySstRows[] = {
    {0xBF, 0x44, "SST 25LF040", R::kFixed, 512 * kKiB, 0, 0, FALSE, S::kNone},
    {0xBF, 0x80, "SST 25LF080", R::kFixed, 1 * kMiB, 0, 0, FALSE, S::kNone},
};

template <UINT32 N>
constexpr IdentificationTable TableOf(const IdentificationRow (&Rows)[N]) {
  return {Rows, N};
}

}  // namespace

const IdentificationTable kByteProgramTable = TableOf(kByteProgramRows);
const IdentificationTable kCommonTable = TableOf(kCommonRows);
const IdentificationTable kAtmelTable = TableOf(kAtmelRows);
const IdentificationTable kLegacySstTable = TableOf(kLegacySstRows);

const IdentificationRow* FindIdentificationRow(const IdentificationTable& Table, UINT32 JedecId) {
  UINT8 manufacturer = static_cast<UINT8>(JedecId);
  UINT8 memoryType = static_cast<UINT8>(JedecId >> 8);
  for (UINT32 i = 0; i < Table.Count; ++i) {
    const IdentificationRow& row = Table.Rows[i];
    if (row.Manufacturer == manufacturer && row.MemoryType == memoryType) return &row;
  }
  return nullptr;
}
