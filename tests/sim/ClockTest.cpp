// Simulated time: the PM timer's 24-bit counter and the microsecond stall built on it.
#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "sim/board/Board.h"
#include "sim/board/MemoryMap.h"
#include "sim/devices/PmTimer.h"

namespace {

TEST(PmTimer, CountsAt3579545HzAndWrapsAt24Bits) {
  sim::Clock clock;
  sim::PmTimer timer(clock);
  clock.Advance(1'000'000'000);  // one second
  EXPECT_EQ(timer.Count(), 3579545u);
  // 2^24 ticks take 4.687 s: at 5 s the counter has wrapped once.
  clock.Advance(4'000'000'000);
  EXPECT_EQ(timer.Count(), (5u * 3579545u) & 0xFFFFFFu);
}

TEST(MicroSecondDelay, WaitsAtLeastTheRequestedTimeAcrossCounterWraps) {
  auto board = sim::Board::CreateInMemory(sim::Board::DefaultDescription(), std::vector<uint8_t>(4096, 0xFF));
  FwHostBindPlatform(board->cpu().ops());
  // Start just before the 24-bit counter wraps.
  board->bus().clock().AdvanceTo(4'687'000'000ULL);
  for (UINTN us : {1u, 10u, 1000u, 6'000'000u}) {
    uint64_t before = board->bus().clock().Now();
    board->cpu().Run([&] { MicroSecondDelay(us); });
    uint64_t took = board->bus().clock().Now() - before;
    EXPECT_GE(took, us * 1000 - 300) << us << " us";  // within one timer tick
    EXPECT_LE(took, us * 1000 + us * 10 + 5000) << us << " us";
  }
}

TEST(Clock, EveryBusAccessCostsTime) {
  auto board = sim::Board::CreateInMemory(sim::Board::DefaultDescription(), std::vector<uint8_t>(4096, 0xFF));
  auto& bus = board->bus();
  uint64_t t0 = bus.clock().Now();
  bus.MemRead(sim::kOsRamBase, 4);
  uint64_t t1 = bus.clock().Now();
  bus.IoRead(sim::kAcpiPmTimerPort, 4);
  uint64_t t2 = bus.clock().Now();
  EXPECT_GT(t1, t0);
  EXPECT_GT(t2 - t1, t1 - t0) << "I/O is slower than RAM";
}

}  // namespace
