// The board's main power. It stays on until the instant a cut was armed for; from then
// on the processor executes nothing and the devices answer nothing. Whoever arms the cut
// (the board description, fwsim's --cut-* flags, a campaign, the flash part counting its
// own operations) only names the instant; what each device holds at that instant is the
// device's business.
#pragma once

#include <cstdint>
#include <limits>

namespace sim {

class PowerRail {
 public:
  static constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

  uint64_t off_at() const { return off_at_; }
  bool OnAt(uint64_t t) const { return t < off_at_; }
  bool armed() const { return off_at_ != kNever; }
  // An earlier instant wins: power that is gone cannot go later.
  void CutAt(uint64_t t) {
    if (t < off_at_) off_at_ = t;
  }
  // Power returns (the board is built again from what its devices kept).
  void Restore() { off_at_ = kNever; }

 private:
  uint64_t off_at_ = kNever;
};

}  // namespace sim
