// P2SB bridge, PCI 0:31:1: SBREG_BAR, which places the sideband window (16 MiB, decoded while
// PCICMD.MSE is set, wherever software moves it), and the sideband message interface
// (SBIADDR, SBIEXTADDR, SBIDATA, SBISTAT, SBIRID). A message started by setting SBISTAT.BUSY
// lands at its endpoint, and BUSY clears with the response status, after the message's time
// on the fabric.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/core/Bus.h"
#include "sim/core/Device.h"
#include "sim/devices/PchConfigSpace.h"
#include "sim/devices/SidebandWindow.h"

namespace sim {

class P2sb : public PciFunction {
 public:
  // Fabric time of one message, from BUSY set to BUSY clear.
  static constexpr uint64_t kMessageTimeNs = 800;

  static constexpr uint64_t kWindowSize = 0x01000000;
  // SBREG_BAR as the board's firmware leaves it.
  static constexpr uint64_t kFirmwareWindowBase = 0xFD000000;
  static constexpr uint16_t kSbregBarRegister = 0x10;  // SBREG_BARH follows at 0x14
  static constexpr uint16_t kControlRegister = 0xE0;   // P2SBC
  static constexpr uint32_t kControlHide = 1u << 8;

  P2sb(Bus& bus, SidebandWindow& fabric, uint16_t device_id);
  ~P2sb() override;
  // A platform reset: the board's firmware places the window again.
  void OnPlatformReset();
  // Where the window decodes now (0: nowhere).
  uint64_t window_base() const { return mapped_at_; }

  uint32_t ConfigRead(uint16_t reg, unsigned bytes) override;
  void ConfigWrite(uint16_t reg, unsigned bytes, uint32_t value) override;

  // Hidden (P2SBC.HIDE): configuration space reads as all ones, only P2SBC takes writes.
  void SetHidden(bool hidden);
  bool hidden() const;

  // Fault injection.
  enum class StuckBusy { kNone, kAlways, kAfterStart };
  void SetStuckBusy(StuckBusy mode);
  // A non-zero status (1-3) answers every message instead of its endpoint, from the message
  // after the first `after_messages` on (those reach their endpoints).
  void SetForcedResponse(uint8_t status, unsigned after_messages = 0) {
    forced_response_ = status & 3;
    forced_after_ = after_messages;
  }

  // Lands a message whose fabric time has passed.
  void Sync();

  struct Message {
    uint64_t time_ns;  // when it landed
    uint8_t port;
    uint64_t offset;
    uint8_t opcode;
    uint32_t data;
    uint32_t byte_mask;
    bool posted;
    uint8_t response;
  };
  const std::vector<Message>& messages() const { return messages_; }
  void ClearMessages() { messages_.clear(); }

 private:
  void Start();
  void Remap();

  Bus& bus_;
  SidebandWindow& fabric_;
  PchConfigSpace cfg_;
  uint64_t mapped_at_ = 0;
  bool busy_ = false;
  bool in_flight_ = false;
  bool stuck_after_start_ = false;
  uint64_t done_at_ns_ = 0;
  uint8_t forced_response_ = 0;
  unsigned forced_after_ = 0;
  unsigned landed_ = 0;
  Message pending_{};
  std::vector<Message> messages_;
};

}  // namespace sim
