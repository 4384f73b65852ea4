// A flash part that loses power: what an erase or program cut in flight leaves, how the
// part comes back, and the triggers counted on the part's own events.
#include <gtest/gtest.h>

#include <bit>

#include "sim/core/PowerRail.h"
#include "sim/devices/FlashCatalogue.h"
#include "sim/devices/FlashPart.h"

namespace {

using sim::FlashPart;

constexpr uint8_t kRead = 0x03, kStatus = 0x05, kWriteEnable = 0x06, kProgram = 0x02, kErase4K = 0x20;

struct Rig {
  explicit Rig(const char* name, uint8_t fill = 0x00)
      : part(sim::FindFlashPart(name), std::vector<uint8_t>(sim::FindFlashPart(name).size, fill)) {
    part.AttachPowerRail(&rail);
  }
  bool Command(uint8_t op, uint32_t address = 0, std::vector<uint8_t> out = {}) {
    return part.Transfer(t, op, address, out, {});
  }
  uint8_t Status() {
    uint8_t s = 0xEE;
    part.Transfer(t, kStatus, 0, {}, std::span<uint8_t>(&s, 1));
    return s;
  }
  std::vector<uint8_t> Bytes(uint32_t at, size_t n) const {
    return {part.contents().begin() + at, part.contents().begin() + at + n};
  }
  // Starts an erase or program at t; returns its busy time.
  uint64_t Start(uint8_t op, uint32_t address, std::vector<uint8_t> data = {}) {
    Command(kWriteEnable);
    Command(op, address, std::move(data));
    return part.busy_until() - t;
  }
  sim::PowerRail rail;
  FlashPart part;
  uint64_t t = 1000;
};

sim::FlashPowerCutTrigger Seeded(uint64_t seed) {
  sim::FlashPowerCutTrigger t;
  t.seed = seed;
  return t;
}
sim::FlashPowerCutTrigger AfterOperations(uint64_t n) {
  sim::FlashPowerCutTrigger t;
  t.after_operations = n;
  return t;
}
sim::FlashPowerCutTrigger AfterTransactions(uint64_t n) {
  sim::FlashPowerCutTrigger t;
  t.after_transactions = n;
  return t;
}

size_t OnesIn(const std::vector<uint8_t>& v) {
  size_t n = 0;
  for (uint8_t b : v) n += size_t(std::popcount(b));
  return n;
}

TEST(FlashPartPowerCut, AnEraseCutInFlightLeavesASeededMixThatGrowsWithProgress) {
  size_t previous = 0;
  for (unsigned quarter = 1; quarter <= 3; ++quarter) {
    Rig r("W25Q16JV");
    r.part.ArmPowerCut(r.t, Seeded(7));
    const uint64_t busy = r.Start(kErase4K, 0x3000);
    r.rail.CutAt(r.t + busy * quarter / 4);
    r.part.LosePower();
    const auto sector = r.Bytes(0x3000, 0x1000);
    const size_t ones = OnesIn(sector);
    // About a quarter, a half, three quarters of the bits erased; more with more time.
    EXPECT_NEAR(double(ones) / (0x1000 * 8), quarter / 4.0, 0.03) << "quarter " << quarter;
    EXPECT_GT(ones, previous);
    previous = ones;
    EXPECT_EQ(r.Bytes(0x2FFF, 1)[0], 0x00) << "nothing outside the sector changes";
    EXPECT_EQ(r.Bytes(0x4000, 1)[0], 0x00);
  }
  // The same cut with the same seed leaves the same sector; another seed another one.
  auto cut = [](uint64_t seed) {
    Rig r("W25Q16JV");
    r.part.ArmPowerCut(r.t, Seeded(seed));
    r.rail.CutAt(r.t + r.Start(kErase4K, 0x3000) / 2);
    r.part.LosePower();
    return r.Bytes(0x3000, 0x1000);
  };
  EXPECT_EQ(cut(3), cut(3));
  EXPECT_NE(cut(3), cut(4));
}

TEST(FlashPartPowerCut, AProgramCutInFlightLeavesAPrefixOfItsBits) {
  Rig r("W25Q16JV", 0xFF);
  r.part.ArmPowerCut(r.t, {});
  // 4 bytes programmed to 0x00 from page offset 0xFE: the page wraps after two of them.
  const uint64_t busy = r.Start(kProgram, 0x10FE, {0x00, 0x00, 0x00, 0x00});
  r.rail.CutAt(r.t + (busy * 13 + 31) / 32);  // 13 of the 32 bits
  r.part.LosePower();
  EXPECT_EQ(r.Bytes(0x10FE, 2), (std::vector<uint8_t>{0x00, 0xE0}));  // 8 + 5 bits, lowest first
  EXPECT_EQ(r.Bytes(0x1000, 2), (std::vector<uint8_t>{0xFF, 0xFF}));  // the wrapped bytes not reached
}

TEST(FlashPartPowerCut, AfterACutThePartAnswersNothingAndComesBackIdleUnlatchedAndAsAtPowerUp) {
  Rig r("W25Q16JV", 0xFF);
  r.part.ArmPowerCut(r.t, {});
  r.Start(kErase4K, 0);
  r.rail.CutAt(r.t + 10);
  r.t += 20;
  uint8_t s = 0xEE;
  EXPECT_FALSE(r.part.Transfer(r.t, kStatus, 0, {}, std::span<uint8_t>(&s, 1))) << "no power, no answer";
  EXPECT_FALSE(r.Command(kWriteEnable));
  r.part.LosePower();
  r.rail.Restore();
  EXPECT_FALSE(r.part.Busy(r.t));
  EXPECT_EQ(r.Status() & 0x03, 0x00) << "WIP and WEL clear";

  // Parts whose protection is volatile come back locked.
  for (const char* name : {"SST26VF064B", "AT25DF641A"}) {
    Rig p(name, 0xFF);
    p.part.ArmPowerCut(p.t, {});
    p.Command(kWriteEnable);
    if (std::string(name) == "SST26VF064B")
      p.Command(0x98);  // global block-protection unlock
    else
      p.Command(0x01, 0, {0x00});  // global unprotect
    ASSERT_FALSE(p.part.IsProtected(0x10000)) << name;
    p.rail.CutAt(p.t + 1);
    p.part.LosePower();
    EXPECT_TRUE(p.part.IsProtected(0x10000)) << name;
  }
}

TEST(FlashPartPowerCut, CountedTriggersCutWhenTheNthOperationEndsOrTheNthTransactionEnds) {
  {
    Rig r("W25Q16JV", 0xFF);
    r.part.ArmPowerCut(r.t, AfterOperations(2));
    const uint64_t first = r.Start(kProgram, 0x100, {0x00});
    EXPECT_FALSE(r.rail.armed());
    r.t += first;
    const uint64_t second = r.Start(kProgram, 0x200, {0x00});
    EXPECT_EQ(r.rail.off_at(), r.t + second) << "the instant the second program finishes";
    r.part.LosePower();
    EXPECT_EQ(r.Bytes(0x200, 1)[0], 0x00) << "a finished program is kept whole";
  }
  {
    Rig r("W25Q16JV", 0xFF);
    r.part.ArmPowerCut(r.t, AfterTransactions(2));
    r.Command(kWriteEnable);
    r.Command(kErase4K, 0);  // the erase command itself is the second transaction
    EXPECT_EQ(r.rail.off_at(), r.t);
    r.part.LosePower();
    EXPECT_EQ(r.Bytes(0, 1)[0], 0xFF) << "the erase got no time at all";
    EXPECT_EQ(r.part.contents(), std::vector<uint8_t>(r.part.size(), 0xFF));
  }
  {
    Rig r("W25Q16JV", 0x00);
    r.part.ArmPowerCut(r.t, AfterOperations(0));
    EXPECT_EQ(r.rail.off_at(), r.t) << "N = 0 cuts at once";
    std::vector<uint8_t> v(4, 0xEE);
    EXPECT_FALSE(r.part.Transfer(r.t, kRead, 0, {}, v));
  }
}

TEST(FlashPartPowerCut, AStatusWriteCutInFlightKeepsTheOldNonVolatileBits) {
  Rig r("W25Q16JV", 0xFF);
  r.part.ArmPowerCut(r.t, {});
  const uint64_t busy = r.Start(0x01, 0, {0x1C});  // BP0-BP2: protect everything
  ASSERT_GT(busy, 0u);
  r.rail.CutAt(r.t + busy / 2);
  r.part.LosePower();
  r.rail.Restore();
  EXPECT_EQ(r.Status() & 0x1C, 0x00);
  EXPECT_FALSE(r.part.IsProtected(0));
}

}  // namespace
