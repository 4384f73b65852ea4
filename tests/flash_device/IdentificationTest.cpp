// Identification of the part from its JEDEC identifier: every row of the four families,
// the capacity rules, and what identification leaves selected and configured.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <tuple>
#include <string>

#include "flash/device/FlashDeviceLayer.h"
#include "flash/device/FlashIdentification.h"
#include "tests/flash_device/support/FlashRig.h"

namespace {

using flashtest::FlashRig;

constexpr uint32_t KiB = 1024, MiB = 1024 * 1024;

struct Row {
  uint32_t id;
  const char* name;
  uint32_t size;
  uint32_t program_unit;
  uint32_t erase_unit;
  uint8_t erase_opcode;
};

// One line per accepted (manufacturer, type) pair, with a capacity byte that exercises
// the row's size rule.
const Row kRows[] = {
    // Byte-program family.
    {0x16208C, "ESMT 25L T Series", 4 * MiB, 1, 4096, 0x20},
    {0x17218C, "ESMT 25L B Series", 8 * MiB, 1, 4096, 0x20},
    {0x4125BF, "SST 25VF Series", 2 * MiB, 1, 4096, 0x20},
    // Common family.
    {0x150201, "Spansion 25FL Series", 4 * MiB, 256, 65536, 0xD8},
    {0x182001, "Spansion 25FL(P) Series", 16 * MiB, 256, 65536, 0xD8},
    {0x174001, "Spansion 25FL(K) Series", 8 * MiB, 256, 4096, 0x20},
    {0x196001, "Spansion 25FL(L) Series", 32 * MiB, 256, 4096, 0x20},
    {0x18400B, "XTX 25F Series", 16 * MiB, 256, 4096, 0x20},
    {0x17201C, "EON 25P Series", 8 * MiB, 256, 65536, 0xD8},
    {0x16301C, "EON 25F/Q/S/QH Series", 4 * MiB, 256, 4096, 0x20},
    {0x15311C, "EON 25F/Q/S/QH Series", 2 * MiB, 256, 4096, 0x20},
    {0x14381C, "EON 25F/Q/S/QH Series", 1 * MiB, 256, 4096, 0x20},
    {0x18701C, "EON 25F/Q/S/QH Series", 16 * MiB, 256, 4096, 0x20},
    {0x182020, "STM/Micron/Numonyx 25P Series", 16 * MiB, 256, 262144, 0xD8},
    {0x172020, "STM/Micron/Numonyx 25P Series", 8 * MiB, 256, 65536, 0xD8},
    {0x383820, "XMC 25QU Series", 16 * MiB, 256, 4096, 0x20},
    {0x185020, "XMC 25QU Series", 16 * MiB, 256, 4096, 0x20},
    {0x184020, "XMC 25QH Series", 16 * MiB, 256, 4096, 0x20},
    {0x176020, "XMC 25QH Series", 8 * MiB, 256, 4096, 0x20},
    {0x187020, "STM/Micron/Numonyx 25PF/PX Series", 16 * MiB, 256, 4096, 0x20},
    {0x177120, "STM/Micron/Numonyx 25PF/PX Series", 8 * MiB, 256, 4096, 0x20},
    {0x168020, "STM/Numonyx 25PE Series", 4 * MiB, 256, 256, 0xDB},
    {0x18BA20, "Micron/Numonyx 25Q Series", 16 * MiB, 256, 4096, 0x20},
    {0x21BB20, "Micron/Numonyx 25Q Series", 128 * MiB, 256, 4096, 0x20},
    {0x163037, "AMIC 25L/LQ Series", 4 * MiB, 256, 4096, 0x20},
    {0x174037, "AMIC 25L/LQ Series", 8 * MiB, 256, 4096, 0x20},
    {0x46377F, "AMIC 25L Series", 4 * MiB, 256, 4096, 0x20},
    {0x139D7F, "PMC 25LV/LQ Series", 1 * MiB, 256, 4096, 0xD7},
    {0x128989, "Intel/Numonyx 25F160/320", 4 * MiB, 256, 65536, 0xD8},
    {0x16408C, "ESMT 25L QA/PA Series", 4 * MiB, 256, 4096, 0x20},
    {0x17418C, "ESMT 25L QA/PA Series", 8 * MiB, 256, 4096, 0x20},
    {0x18609D, "ISSI 25LP Series", 16 * MiB, 256, 4096, 0x20},
    {0x17709D, "ISSI 25WP Series", 8 * MiB, 256, 4096, 0x20},
    {0x1840A1, "Fudan FM25Q Series", 16 * MiB, 256, 4096, 0x20},
    {0x4326BF, "SST 26VF Series", 8 * MiB, 256, 4096, 0x20},
    {0x1820C2, "MXIC 25L/U Series", 16 * MiB, 256, 4096, 0x20},
    {0x1724C2, "MXIC 25L/U Series", 8 * MiB, 256, 4096, 0x20},
    {0x3925C2, "MXIC 25L/U Series", 32 * MiB, 256, 4096, 0x20},
    {0x1A5EC2, "MXIC 25L/U Series", 64 * MiB, 256, 4096, 0x20},
    {0x1828C2, "MXIC 25R Series", 16 * MiB, 256, 4096, 0x20},
    {0x1840C8, "GigaDevice 25Q Series", 16 * MiB, 256, 4096, 0x20},
    {0x1B60C8, "GigaDevice 25Q Series", 128 * MiB, 256, 4096, 0x20},
    {0x1530EF, "Winbond 25X/Q Series", 2 * MiB, 256, 4096, 0x20},
    {0x1740EF, "Winbond 25X/Q Series", 8 * MiB, 256, 4096, 0x20},
    {0x1850EF, "Winbond 25X/Q Series", 16 * MiB, 256, 4096, 0x20},
    {0x1660EF, "Winbond 25X/Q Series", 4 * MiB, 256, 4096, 0x20},
    {0x1870EF, "Winbond 25X/Q Series", 16 * MiB, 256, 4096, 0x20},
    {0x2071EF, "Winbond 25X/Q Series", 64 * MiB, 256, 4096, 0x20},
    {0x1880EF, "Winbond 25X/Q Series", 16 * MiB, 256, 4096, 0x20},
    {0x1632F8, "FIDELIX 25Q Series", 4 * MiB, 256, 4096, 0x20},
    {0x1743F8, "FIDELIX 25M Series", 8 * MiB, 256, 4096, 0x20},
    // Atmel family: sizes fixed by the row.
    {0x17321F, "ADESTO AT25SF641", 8 * MiB, 256, 4096, 0x20},
    {0x18421F, "ADESTO AT25SL128A", 16 * MiB, 256, 4096, 0x20},
    {0x17431F, "ADESTO AT25SL641", 8 * MiB, 256, 4096, 0x20},
    {0x00441F, "ATMEL 26DF041/25DF041", 512 * KiB, 256, 4096, 0x20},
    {0x00451F, "ATMEL 26DF081/25DF081", 1 * MiB, 256, 4096, 0x20},
    {0x00461F, "ATMEL 26DF161/25DQ161", 2 * MiB, 256, 4096, 0x20},
    {0x16861F, "ATMEL 26DF161/25DQ161", 2 * MiB, 256, 4096, 0x20},
    {0x00471F, "ATMEL 26DF321/25DF321", 4 * MiB, 256, 4096, 0x20},
    {0x00481F, "ATMEL 26DF641/25DF641", 8 * MiB, 256, 4096, 0x20},
    // Legacy SST family.
    {0xBF44BF, "SST 25LF040", 512 * KiB, 1, 4096, 0x20},
    {0x0080BF, "SST 25LF080", 1 * MiB, 1, 4096, 0x20},
};

class IdentificationRow : public ::testing::TestWithParam<Row> {};

TEST_P(IdentificationRow, SetsNameSizeUnitsAndEraseOpcode) {
  const Row& r = GetParam();
  FlashRig rig(flashtest::WithJedecId("W25Q16JV", r.id), flashtest::BuildImage(flashtest::DefaultLayout(2 * MiB)));
  rig.Identify();
  const SpiFlashDeviceLayer& s = gSpiFlashDeviceLayer;
  ASSERT_EQ(s.SelectedFlashDevice, &s.SpiFlashDevice);
  EXPECT_STREQ(s.SelectedFlashDevice->PartName, r.name);
  EXPECT_EQ(s.PartNameBuffer[std::strlen(r.name)], 0) << "name followed by zero bytes";
  EXPECT_EQ(s.FlashSize, r.size);
  EXPECT_EQ(s.SpiFlashDevice.ProgramUnit, r.program_unit);
  EXPECT_EQ(s.SpiFlashDevice.EraseUnit, r.erase_unit);
  EXPECT_EQ(s.CurrentPartProfile.EraseOpcode, r.erase_opcode);
  EXPECT_EQ(s.CurrentPartProfile.ProgramUnit, r.program_unit);
  EXPECT_EQ(s.FlashJedecId, r.id);
}

INSTANTIATE_TEST_SUITE_P(AllRows, IdentificationRow, ::testing::ValuesIn(kRows));

TEST(Identification, TheRowTableAboveCoversAll47CommonIdentifiers) {
  std::set<uint16_t> common;
  for (const Row& r : kRows) {
    uint8_t m = uint8_t(r.id), t = uint8_t(r.id >> 8);
    bool other_family = (m == 0x8C && (t == 0x20 || t == 0x21)) || (m == 0xBF && t != 0x26) || m == 0x1F;
    if (!other_family) common.insert(uint16_t(r.id));
  }
  EXPECT_EQ(common.size(), 47u);
}

TEST(Identification, CapacityRulesAndTheirUnlistedBytes) {
  struct C {
    CapacityRule rule;
    uint8_t byte;
    uint32_t size;
  };
  const C cases[] = {
      {CapacityRule::kPowerOfTwo, 0x10, 64 * KiB},  {CapacityRule::kPowerOfTwo, 0x19, 32 * MiB},  {CapacityRule::kPowerOfTwo, 0x1A, 64 * MiB},
      {CapacityRule::kPowerOfTwo, 0x20, 64 * MiB},  {CapacityRule::kPowerOfTwo, 0x1B, 128 * MiB}, {CapacityRule::kPowerOfTwo, 0x21, 128 * MiB},
      {CapacityRule::kPowerOfTwo, 0x36, 4 * MiB},   {CapacityRule::kPowerOfTwo, 0x37, 8 * MiB},   {CapacityRule::kPowerOfTwo, 0x38, 16 * MiB},
      {CapacityRule::kPowerOfTwo, 0x39, 32 * MiB},  {CapacityRule::kPowerOfTwo, 0x0F, 0xE00000},  {CapacityRule::kPowerOfTwo, 0x1C, 0xE00000},
      {CapacityRule::kSpansionCode, 0x12, 512 * KiB}, {CapacityRule::kSpansionCode, 0x17, 16 * MiB},  {CapacityRule::kSpansionCode, 0x46, 4 * MiB},
      {CapacityRule::kSpansionCode, 0x18, 0xE00000},  {CapacityRule::kSstCode, 0x01, 2 * MiB},   {CapacityRule::kSstCode, 0x41, 2 * MiB},
      {CapacityRule::kSstCode, 0x02, 4 * MiB},   {CapacityRule::kSstCode, 0x4A, 4 * MiB},   {CapacityRule::kSstCode, 0x43, 8 * MiB},
      {CapacityRule::kSstCode, 0x4B, 8 * MiB},   {CapacityRule::kSstCode, 0x8C, 256 * KiB}, {CapacityRule::kSstCode, 0x8D, 512 * KiB},
      {CapacityRule::kSstCode, 0x8E, 1 * MiB},   {CapacityRule::kSstCode, 0x99, 0xE00000},  {CapacityRule::kIntelCode, 0x11, 2 * MiB},
      {CapacityRule::kIntelCode, 0x15, 2 * MiB},   {CapacityRule::kIntelCode, 0x16, 4 * MiB},   {CapacityRule::kIntelCode, 0x17, 8 * MiB},
      {CapacityRule::kIntelCode, 0x18, 0xE00000},
  };
  for (const C& c : cases) EXPECT_EQ(CapacitySize(c.rule, c.byte), c.size) << int(c.rule) << " " << std::hex << int(c.byte);
}

TEST(Identification, Sst25SizeDecidesItsProgramUnit) {
  for (auto [id, size, unit] : {std::tuple{0x4B25BFu, 8 * MiB, 256u}, std::tuple{0x9925BFu, 0xE00000u, 256u}}) {
    FlashRig rig(flashtest::WithJedecId("W25Q16JV", id), flashtest::BuildImage(flashtest::DefaultLayout(2 * MiB)));
    rig.Identify();
    EXPECT_EQ(gSpiFlashDeviceLayer.FlashSize, size);
    EXPECT_EQ(gSpiFlashDeviceLayer.SpiFlashDevice.ProgramUnit, unit);
  }
}

TEST(Identification, UnknownIdentifiersSelectNothingAndChangeNothing) {
  for (uint32_t id : {0x000000u, 0xFFFFFFu, 0x186085u, 0x0000BFu}) {
    FlashRig rig(flashtest::WithJedecId("W25Q16JV", id), flashtest::BuildImage(flashtest::DefaultLayout(2 * MiB)));
    rig.Identify();
    EXPECT_EQ(gSpiFlashDeviceLayer.SelectedFlashDevice, nullptr) << std::hex << id;
    EXPECT_EQ(gSpiFlashDeviceLayer.FlashSize, 0xE00000u);
    EXPECT_EQ(gSpiFlashDeviceLayer.FlashJedecId, 0u);
    EXPECT_EQ(gSpiFlashDeviceLayer.PartNameBuffer[0], 0);
  }
}

TEST(Identification, LegacySstPartsAreNotConfigured) {
  flashtest::RigOptions o;
  o.controller.vscc = 0x1234;
  FlashRig rig(flashtest::WithJedecId("SST25VF016B", 0x1744BF), flashtest::BuildImage(flashtest::DefaultLayout(2 * MiB)),
               o);
  rig.Identify();
  EXPECT_STREQ(gSpiFlashDeviceLayer.SpiFlashDevice.PartName, "SST 25LF040");
  EXPECT_EQ(rig.Reg32(0xC4), 0x1234u) << "no component capabilities";
  EXPECT_EQ(rig.part->status() & 0x1C, 0x1C) << "no status-register clearing";
}

TEST(Identification, EveryCataloguePartIsNamedAsTheTablesSay) {
  const std::pair<const char*, const char*> expect[] = {
      {"W25Q128JV", "Winbond 25X/Q Series"},   {"W25Q16JV", "Winbond 25X/Q Series"},
      {"W25Q256JV", "Winbond 25X/Q Series"},
      {"MX25L12835F", "MXIC 25L/U Series"},    {"GD25Q128C", "GigaDevice 25Q Series"},
      {"AT25DF641A", "ATMEL 26DF641/25DF641"}, {"AT25SF641", "ADESTO AT25SF641"},
      {"AT25SL128A", "ADESTO AT25SL128A"},     {"SST25VF016B", "SST 25VF Series"},
      {"SST26VF064B", "SST 26VF Series"},      {"EN25QH128A", "EON 25F/Q/S/QH Series"},
      {"EN25P64", "EON 25P Series"},           {"M25P128", "STM/Micron/Numonyx 25P Series"},
      {"S25FL032P", "Spansion 25FL Series"},   {"IS25LP128", "ISSI 25LP Series"},
      {"XM25QH128C", "XMC 25QH Series"},       {"QH25F160S33", "Intel/Numonyx 25F160/320"},
      {"F25L32PA", "ESMT 25L T Series"},       {"SST25LF040A", "SST 25LF040"},
      {"P25Q128H", nullptr},
  };
  ASSERT_EQ(std::size(expect), sim::FlashCatalogue().size());
  for (auto [part, name] : expect) {
    const auto& datasheet = sim::FindFlashPart(part);
    FlashRig rig(datasheet, flashtest::BuildImage(flashtest::DefaultLayout(datasheet.size)));
    rig.Identify();
    if (name == nullptr) {
      EXPECT_EQ(gSpiFlashDeviceLayer.SelectedFlashDevice, nullptr) << part;
      continue;
    }
    ASSERT_NE(gSpiFlashDeviceLayer.SelectedFlashDevice, nullptr) << part;
    EXPECT_STREQ(gSpiFlashDeviceLayer.SpiFlashDevice.PartName, name) << part;
    EXPECT_EQ(gSpiFlashDeviceLayer.FlashSize, datasheet.size) << part;
  }
}

TEST(Identification, AShorterNameAfterALongerOneCarriesNoTail) {
  CHAR8 earlier[sizeof gSpiFlashDeviceLayer.PartNameBuffer];
  {
    FlashRig rig(flashtest::WithJedecId("W25Q16JV", 0x172020), flashtest::BuildImage(flashtest::DefaultLayout(2 * MiB)));
    rig.Identify();
    std::memcpy(earlier, gSpiFlashDeviceLayer.PartNameBuffer, sizeof earlier);
  }
  ASSERT_STREQ(earlier, "STM/Micron/Numonyx 25P Series");
  FlashRig rig(flashtest::WithJedecId("W25Q16JV", 0x17201C), flashtest::BuildImage(flashtest::DefaultLayout(2 * MiB)));
  std::memcpy(gSpiFlashDeviceLayer.PartNameBuffer, earlier, sizeof earlier);  // the same driver, asked again
  rig.Identify();
  EXPECT_STREQ(gSpiFlashDeviceLayer.SpiFlashDevice.PartName, "EON 25P Series");
  for (size_t i = std::strlen("EON 25P Series"); i < sizeof earlier; ++i)
    EXPECT_EQ(gSpiFlashDeviceLayer.PartNameBuffer[i], 0) << "byte " << i;
}

TEST(Identification, RepeatingItWritesTheSameValues) {
  FlashRig rig("W25Q16JV");
  rig.Identify();
  SpiFlashDeviceLayer first = gSpiFlashDeviceLayer;
  rig.Identify();
  EXPECT_EQ(0, std::memcmp(first.PartNameBuffer, gSpiFlashDeviceLayer.PartNameBuffer, sizeof first.PartNameBuffer));
  EXPECT_EQ(first.FlashSize, gSpiFlashDeviceLayer.FlashSize);
  EXPECT_EQ(first.SpiFlashDevice.EraseUnit, gSpiFlashDeviceLayer.SpiFlashDevice.EraseUnit);
  EXPECT_EQ(0, std::memcmp(&first.CurrentPartProfile, &gSpiFlashDeviceLayer.CurrentPartProfile, sizeof(FlashPartProfile)));
}

}  // namespace
