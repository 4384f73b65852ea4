// ACPI power-management timer: a 24-bit counter at I/O port 0x1808 running at
// 3,579,545 Hz, derived from the simulated clock. A stopped timer (a PMC whose timer
// clock is gated) keeps reading the count it had when it stopped.
#pragma once

#include "sim/core/Clock.h"
#include "sim/core/Device.h"

namespace sim {

class PmTimer : public IoDevice {
 public:
  static constexpr uint64_t kFrequencyHz = 3579545;
  explicit PmTimer(Clock& clock) : clock_(clock) {}
  uint32_t IoRead(uint16_t port, unsigned bytes) override;
  void IoWrite(uint16_t, unsigned, uint32_t) override {}  // read-only
  uint32_t Count() const;
  void Stop();

 private:
  Clock& clock_;
  bool stopped_ = false;
  uint32_t stopped_count_ = 0;
};

}  // namespace sim
