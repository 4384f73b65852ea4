// The flash-part models, driven transaction by transaction.
#include <gtest/gtest.h>

#include "sim/devices/FlashCatalogue.h"
#include "sim/devices/FlashPart.h"

namespace {

using sim::FlashPart;

std::vector<uint8_t> Filled(const char* part, uint8_t value) {
  return std::vector<uint8_t>(sim::FindFlashPart(part).size, value);
}

struct Driver {
  FlashPart& part;
  uint64_t t = 1000;
  void Command(uint8_t op, uint32_t address = 0, std::vector<uint8_t> out = {}) {
    part.Transfer(t, op, address, out, {});
  }
  uint8_t Status() {
    uint8_t s = 0;
    part.Transfer(t, 0x05, 0, {}, std::span<uint8_t>(&s, 1));
    return s;
  }
  std::vector<uint8_t> Read(uint32_t address, size_t n) {
    std::vector<uint8_t> v(n, 0xEE);
    part.Transfer(t, 0x03, address, {}, v);
    return v;
  }
  void WaitReady() { t = std::max(t, part.busy_until()) + 1; }
  void Write(uint8_t op, uint32_t address, std::vector<uint8_t> data = {}) {
    Command(0x06);
    Command(op, address, std::move(data));
    WaitReady();
  }
};

TEST(FlashPart, ProgrammingOnlyClearsBitsAndEraseSetsTheWholeBlock) {
  FlashPart part(sim::FindFlashPart("W25Q16JV"), Filled("W25Q16JV", 0xFF));
  Driver d{part};
  d.Write(0x02, 0x1000, {0xF0, 0x0F});
  d.Write(0x02, 0x1000, {0x3C, 0xFF});
  EXPECT_EQ(d.Read(0x1000, 2), (std::vector<uint8_t>{0x30, 0x0F}));
  d.Write(0x20, 0x1234);  // 4 KiB sector around 0x1234
  EXPECT_EQ(d.Read(0x1000, 2), (std::vector<uint8_t>{0xFF, 0xFF}));
  EXPECT_EQ(part.stats().erased_bytes, 4096u);
}

TEST(FlashPart, WritesNeedTheWriteEnableLatchAndClearIt) {
  FlashPart part(sim::FindFlashPart("W25Q16JV"), Filled("W25Q16JV", 0xFF));
  Driver d{part};
  d.Command(0x02, 0x2000, {0x00});
  EXPECT_EQ(d.Read(0x2000, 1)[0], 0xFF);
  d.Command(0x06);
  EXPECT_EQ(d.Status() & 0x02, 0x02);
  d.Command(0x02, 0x2000, {0x00});
  EXPECT_EQ(d.Status() & 0x03, 0x01) << "busy, latch cleared";
}

TEST(FlashPart, ABusyPartAnswersOnlyStatusReadsForItsDatasheetTime) {
  const auto& datasheet = sim::FindFlashPart("W25Q16JV");
  FlashPart part(datasheet, Filled("W25Q16JV", 0x00));
  Driver d{part};
  d.Command(0x06);
  d.Command(0x20, 0x3000);
  EXPECT_EQ(part.busy_until(), d.t + datasheet.timing.erase_4k_ns);
  std::vector<uint8_t> in(4, 0xEE);
  EXPECT_FALSE(part.Transfer(d.t + 10, 0x03, 0x3000, {}, in));
  EXPECT_EQ(in[0], 0xEE) << "the part did not drive SO";
  d.Command(0x06);
  EXPECT_FALSE(part.write_enabled()) << "commands are ignored while busy";
  EXPECT_EQ(d.Status() & 1, 1);
  d.WaitReady();
  EXPECT_EQ(d.Read(0x3000, 1)[0], 0xFF);
  // Page program: first byte plus per byte.
  d.Write(0x20, 0x4000);
  d.Command(0x06);
  d.Command(0x02, 0x4000, std::vector<uint8_t>(64, 0));
  EXPECT_EQ(part.busy_until() - d.t, datasheet.timing.program_first_byte_ns + 63 * datasheet.timing.program_per_byte_ns);
}

TEST(FlashPart, PageProgramWrapsInsideThePage) {
  FlashPart part(sim::FindFlashPart("W25Q16JV"), Filled("W25Q16JV", 0xFF));
  Driver d{part};
  d.Write(0x02, 0x50FE, {0x01, 0x02, 0x03});
  EXPECT_EQ(d.Read(0x50FE, 2), (std::vector<uint8_t>{0x01, 0x02}));
  EXPECT_EQ(d.Read(0x5000, 1)[0], 0x03);
  EXPECT_EQ(d.Read(0x5100, 1)[0], 0xFF);
}

TEST(FlashPart, BytePartsProgramOnlyTheFirstByteOfACommand) {
  FlashPart part(sim::FindFlashPart("SST25VF016B"), Filled("SST25VF016B", 0xFF));
  Driver d{part};
  d.Command(0x50);
  d.Command(0x01, 0, {0x00});  // EWSR + WRSR: unprotect
  d.Write(0x02, 0x100, {0x11, 0x22});
  EXPECT_EQ(d.Read(0x100, 2), (std::vector<uint8_t>{0x11, 0xFF}));
}

struct ProtectionCase {
  const char* part;
  uint8_t status;
  uint32_t protected_offset;
  uint32_t free_offset;
};

class BlockProtection : public ::testing::TestWithParam<ProtectionCase> {};

TEST_P(BlockProtection, ProtectedBlocksIgnoreEraseAndProgram) {
  const ProtectionCase& c = GetParam();
  FlashPart part(sim::FindFlashPart(c.part), Filled(c.part, 0x00));
  Driver d{part};
  d.Write(0x01, 0, {c.status});
  EXPECT_TRUE(part.IsProtected(c.protected_offset));
  EXPECT_FALSE(part.IsProtected(c.free_offset));
  d.Write(0x20, c.protected_offset);
  d.Write(0x20, c.free_offset);
  EXPECT_EQ(d.Read(c.protected_offset, 1)[0], 0x00);
  EXPECT_EQ(d.Read(c.free_offset, 1)[0], 0xFF);
}

INSTANTIATE_TEST_SUITE_P(
    Schemes, BlockProtection,
    ::testing::Values(ProtectionCase{"W25Q128JV", 0x04, 0xFC0000, 0xF00000},   // BP0: top 256 KiB
                      ProtectionCase{"W25Q128JV", 0x24, 0x030000, 0x100000},   // TB: bottom 256 KiB
                      ProtectionCase{"W25Q128JV", 0x44, 0xFFF000, 0xFFE000},   // SEC: top 4 KiB
                      ProtectionCase{"MX25L12835F", 0x08, 0xFE0000, 0xFD0000},  // BP1: top 128 KiB
                      ProtectionCase{"IS25LP128", 0x04, 0xFF0000, 0xFE0000},    // BP0: top 64 KiB
                      ProtectionCase{"SST25VF016B", 0x04, 0x1F0000, 0x1E0000}));

TEST(FlashPart, Sst25PowersUpProtectedAndAStatusWriteUnprotects) {
  FlashPart part(sim::FindFlashPart("SST25VF016B"), Filled("SST25VF016B", 0x00));
  Driver d{part};
  EXPECT_EQ(d.Status(), 0x1C);
  d.Write(0x20, 0x1000);
  EXPECT_EQ(d.Read(0x1000, 1)[0], 0x00);
  d.Write(0x01, 0, {0x00});  // WREN + WRSR works as well as EWSR
  EXPECT_EQ(d.Status(), 0x00);
  d.Write(0x20, 0x1000);
  EXPECT_EQ(d.Read(0x1000, 1)[0], 0xFF);
}

TEST(FlashPart, AtmelSectorsUnprotectByGlobalStatusWriteOrOneByOne) {
  FlashPart part(sim::FindFlashPart("AT25DF641A"), Filled("AT25DF641A", 0x00));
  Driver d{part};
  EXPECT_EQ(d.Status() & 0x0C, 0x0C) << "SWP: all sectors protected";
  d.Write(0x39, 0x20000);  // unprotect one sector
  EXPECT_EQ(d.Status() & 0x0C, 0x04) << "SWP: some";
  EXPECT_FALSE(part.IsProtected(0x20000));
  EXPECT_TRUE(part.IsProtected(0x30000));
  d.Write(0x01, 0, {0x00});  // global unprotect
  EXPECT_EQ(d.Status() & 0x0C, 0x00);
  d.Write(0x01, 0, {0x3C});  // global protect
  EXPECT_TRUE(part.IsProtected(0x20000));
}

TEST(FlashPart, Sst26NeedsTheGlobalUnlockWithTheLatchSet) {
  FlashPart part(sim::FindFlashPart("SST26VF064B"), Filled("SST26VF064B", 0x00));
  Driver d{part};
  ASSERT_TRUE(part.IsProtected(0x400000));
  d.Command(0x98);  // without WREN: ignored
  EXPECT_TRUE(part.IsProtected(0x400000));
  d.Write(0x98, 0);
  EXPECT_FALSE(part.IsProtected(0x400000));
  EXPECT_FALSE(part.IsProtected(0x000000));
}

TEST(FlashPart, Sst26BlockEraseFollowsTheArrayEndsGeometry) {
  FlashPart part(sim::FindFlashPart("SST26VF064B"), Filled("SST26VF064B", 0x00));
  Driver d{part};
  d.Write(0x98, 0);
  auto erased_span = [&](uint32_t address) {
    std::fill(part.mutable_contents().begin(), part.mutable_contents().end(), 0x00);
    d.Write(0xD8, address);
    uint32_t first = address, last = address;
    while (first > 0 && part.contents()[first - 1] == 0xFF) --first;
    while (last + 1 < part.size() && part.contents()[last + 1] == 0xFF) ++last;
    return std::pair<uint32_t, uint32_t>{first, last - first + 1};
  };
  EXPECT_EQ(erased_span(0x003000), (std::pair<uint32_t, uint32_t>{0x002000, 0x2000}));
  EXPECT_EQ(erased_span(0x00A000), (std::pair<uint32_t, uint32_t>{0x008000, 0x8000}));
  EXPECT_EQ(erased_span(0x412345), (std::pair<uint32_t, uint32_t>{0x410000, 0x10000}));
  EXPECT_EQ(erased_span(0x7F2000), (std::pair<uint32_t, uint32_t>{0x7F0000, 0x8000}));
  EXPECT_EQ(erased_span(0x7FF000), (std::pair<uint32_t, uint32_t>{0x7FE000, 0x2000}));
}

TEST(FlashPart, SfdpIsAnsweredOrIgnoredAndCanArriveOneByteLate) {
  std::vector<uint8_t> in(4);
  FlashPart w(sim::FindFlashPart("W25Q16JV"), Filled("W25Q16JV", 0xFF));
  ASSERT_TRUE(w.Transfer(0, 0x5A, 0, {}, in));
  EXPECT_EQ(in, (std::vector<uint8_t>{'S', 'F', 'D', 'P'}));
  FlashPart eon(sim::FindFlashPart("EN25QH128A"), Filled("EN25QH128A", 0xFF));
  ASSERT_TRUE(eon.Transfer(0, 0x5A, 0, {}, in));
  EXPECT_EQ(in, (std::vector<uint8_t>{0xFF, 'S', 'F', 'D'}));
  FlashPart at(sim::FindFlashPart("AT25DF641A"), Filled("AT25DF641A", 0xFF));
  EXPECT_FALSE(at.Transfer(0, 0x5A, 0, {}, in));
}

TEST(FlashPart, HangFaultKeepsThePartBusyForever) {
  FlashPart part(sim::FindFlashPart("W25Q16JV"), Filled("W25Q16JV", 0x00));
  part.faults().hang_after_operations = 1;
  Driver d{part};
  d.Write(0x20, 0x1000);
  EXPECT_FALSE(part.Busy(d.t));
  d.Command(0x06);
  d.Command(0x20, 0x2000);
  EXPECT_EQ(part.busy_until(), FlashPart::kForever);
}

TEST(FlashPart, RejectsAnImageOfTheWrongSize) {
  EXPECT_THROW(FlashPart(sim::FindFlashPart("W25Q16JV"), std::vector<uint8_t>(100)), std::runtime_error);
  EXPECT_THROW(sim::FindFlashPart("W25Q999"), std::runtime_error);
}

}  // namespace
