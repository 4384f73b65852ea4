// Simulated time in nanoseconds: the one measure of device time on the board.
#pragma once

#include <cstdint>

namespace sim {

class Clock {
 public:
  uint64_t Now() const { return now_ns_; }
  void Advance(uint64_t ns) { now_ns_ += ns; }
  // Moves time forward to `t` if it lies in the future (a wait on a device).
  void AdvanceTo(uint64_t t) {
    if (t > now_ns_) now_ns_ = t;
  }

 private:
  uint64_t now_ns_ = 0;
};

// Bus access costs, nanoseconds. Roughly what a PCH answers in: memory-mapped register
// reads are non-posted and slow, writes are posted, I/O is slower still.
struct AccessCost {
  static constexpr uint64_t kRam = 2;
  static constexpr uint64_t kMmioRead = 60;
  static constexpr uint64_t kMmioWrite = 20;
  static constexpr uint64_t kIo = 300;
  static constexpr uint64_t kMsr = 50;
  static constexpr uint64_t kPause = 10;
};

}  // namespace sim
