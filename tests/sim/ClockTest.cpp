// Simulated time: the PM timer's 24-bit counter and the microsecond stall built on it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

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

// Runs `code` on a thread of its own; a run that does not end within the host-time limit
// stops the test program with a message (a hung wait cannot be interrupted).
void MustEndWithin(std::chrono::seconds limit, const char* what, std::function<void()> code) {
  std::promise<void> done;
  auto finished = done.get_future();
  std::thread([&code, &done] {
    code();
    done.set_value();
  }).detach();
  if (finished.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "%s did not end within %lld s\n", what, static_cast<long long>(limit.count()));
    std::_Exit(1);
  }
}

std::unique_ptr<sim::Board> BoardWithPmTimer(const char* state) {
  auto description = sim::Board::DefaultDescription();
  description["pch"].as_table()->insert_or_assign("pm_timer", state);
  return sim::Board::CreateInMemory(description, std::vector<uint8_t>(4096, 0xFF));
}

TEST(MicroSecondDelay, EndsInBoundedTimeWhenTheTimerIsStuckOrAbsent) {
  for (const char* state : {"stuck", "absent"}) {
    auto board = BoardWithPmTimer(state);
    FwHostBindPlatform(board->cpu().ops());
    for (UINTN us : {0u, 1u, 1000u}) {
      uint64_t before = board->bus().clock().Now();
      MustEndWithin(std::chrono::seconds(30), "MicroSecondDelay on a stopped timer",
                    [&] { board->cpu().Run([&] { MicroSecondDelay(us); }); });
      uint64_t took = board->bus().clock().Now() - before;
      // Inexact, but of the order asked for: the read budget, not the timer, ended it.
      EXPECT_LE(took, us * 1000 * 8 + 64 * 1000) << state << ", " << us << " us";
    }
  }
}

TEST(MicroSecondDelay, ABoardWithoutARunningTimerStillStartsEveryImage) {
  auto board = BoardWithPmTimer("absent");
  sim::BootReport report;
  MustEndWithin(std::chrono::seconds(60), "boot with an absent PM timer", [&] { report = board->Boot(); });
  ASSERT_FALSE(report.images.empty());
  for (const auto& image : report.images) EXPECT_EQ(image.outcome.rfind("returned", 0), 0u) << image.name << ": " << image.outcome;
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
