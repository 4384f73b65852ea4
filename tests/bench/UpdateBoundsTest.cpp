// The benchmark's bounds follow the change alone: which erase fits, which chunks must be
// programmed, what is read.
#include "bench/UpdateBounds.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kSize = 1u << 20;
// W25Q128JV typical times.
constexpr sim::FlashPartTiming kTiming{30'000, 2'500, 10'000'000, 45'000'000, 120'000'000, 150'000'000, 40'000'000'000};

struct Images {
  std::vector<uint8_t> old_image = std::vector<uint8_t>(kSize, 0x5A);
  std::vector<uint8_t> new_image = old_image;
};

TEST(UpdateBounds, AnUnchangedImageCostsOneReadPassAndFlashromTwo) {
  bench::UpdateBounds b(kTiming, {});
  Images i;
  auto bound = b.Bound(i.old_image, i.new_image);
  EXPECT_DOUBLE_EQ(bound.seconds, b.Read(kSize));
  EXPECT_EQ(bound.erases_4k + bound.erases_64k + bound.program_cycles, 0u);
  // 1 MiB at 48 MHz with fast read: 16384 cycles of (40 + 512) clocks.
  EXPECT_NEAR(b.Read(kSize), 16384 * 552 / 48e6, 1e-9);
  EXPECT_DOUBLE_EQ(b.Flashrom(i.old_image, i.new_image).seconds, 2 * b.Read(kSize));
}

TEST(UpdateBounds, ChoosesTheEraseThatFitsTheChange) {
  bench::UpdateBounds b(kTiming, {});
  {  // A whole block rewritten: one 64 KiB erase beats sixteen 4 KiB ones; flashrom erases sixteen.
    Images i;
    for (uint32_t at = 0x20000; at < 0x30000; ++at) i.new_image[at] = uint8_t(at * 7 + 1);
    auto bound = b.Bound(i.old_image, i.new_image);
    EXPECT_EQ(bound.erases_64k, 1u);
    EXPECT_EQ(bound.erases_4k, 0u);
    EXPECT_EQ(bound.program_cycles, 1024u);
    EXPECT_DOUBLE_EQ(bound.seconds, b.Read(kSize) + b.Erase(0x10000) + 1024 * b.ProgramCycle(64) + b.Read(0x10000));
    auto flashrom = b.Flashrom(i.old_image, i.new_image);
    EXPECT_EQ(flashrom.erases_4k, 16u);
    EXPECT_EQ(flashrom.program_cycles, 1024u);  // 256 pages in four cycles each
  }
  {  // One byte that sets a bit: one 4 KiB erase, the sector's chunks programmed again.
    Images i;
    i.new_image[0x41234] = 0xFF;
    auto bound = b.Bound(i.old_image, i.new_image);
    EXPECT_EQ(bound.erases_4k, 1u);
    EXPECT_EQ(bound.erases_64k, 0u);
    EXPECT_EQ(bound.program_cycles, 64u);
  }
  {  // Bits only cleared: no erase, one chunk programmed; blank new data after an erase is
     // not programmed.
    Images i;
    i.new_image[0x50010] = 0x42;
    auto bound = b.Bound(i.old_image, i.new_image);
    EXPECT_EQ(bound.erases_4k + bound.erases_64k, 0u);
    EXPECT_EQ(bound.program_cycles, 1u);
    Images blank;
    std::fill(blank.new_image.begin() + 0x60000, blank.new_image.begin() + 0x70000, 0xFF);
    auto erased = b.Bound(blank.old_image, blank.new_image);
    EXPECT_EQ(erased.erases_64k, 1u);
    EXPECT_EQ(erased.program_cycles, 0u);
  }
}

TEST(UpdateBounds, SlowerClocksAndPlainReadCostMore) {
  bench::UpdateBounds fast(kTiming, {48e6, true, 48e6, 48e6});
  bench::UpdateBounds slow(kTiming, {17e6, false, 17e6, 17e6});
  EXPECT_NEAR(slow.Read(64), (32 + 512) / 17e6, 1e-12);
  EXPECT_GT(slow.ProgramCycle(64), fast.ProgramCycle(64));
  // Program time is the part's first byte plus each further byte, not a full page time.
  EXPECT_NEAR(fast.ProgramCycle(64), 30e-6 + 63 * 2.5e-6 + (40 + 512 + 16) / 48e6, 1e-12);
}

}  // namespace
