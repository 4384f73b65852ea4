#include "sim/devices/P2sb.h"

#include <cinttypes>
#include <cstdio>

namespace sim {

namespace {
constexpr uint16_t kVendorIntel = 0x8086;
constexpr uint16_t kCommand = 0x04;
constexpr uint16_t kCommandMemorySpace = 1u << 1;
constexpr uint16_t kSbregBar = P2sb::kSbregBarRegister;  // bits 31:24 base; 2:1 = 10b, a 64-bit BAR
constexpr uint16_t kSbregBarHigh = kSbregBar + 4;         // base bits 63:32
constexpr uint32_t kSbregBarBaseMask = 0xFF000000;
constexpr uint32_t kSbregBarType64 = 0x4;
constexpr uint16_t kSbiAddr = 0xD0;
constexpr uint16_t kSbiData = 0xD4;
constexpr uint16_t kSbiStat = 0xD8;
constexpr uint16_t kSbiRid = 0xDA;
constexpr uint16_t kSbiExtAddr = 0xDC;
constexpr uint16_t kP2sbc = P2sb::kControlRegister;
constexpr uint32_t kP2sbcHide = P2sb::kControlHide;

constexpr uint16_t kStatBusy = 1u << 0;
constexpr uint16_t kStatResponseMask = 0x3u << 1;
constexpr uint16_t kStatPosted = 1u << 7;
constexpr uint16_t kStatWritable = 0xFF80;  // opcode 15:8, posted 7; BUSY is set by a write of 1

// SBIRID first byte enables (15:12) as a mask over the 32-bit data.
uint32_t ByteEnables(uint16_t rid) {
  uint32_t mask = 0;
  for (unsigned i = 0; i < 4; ++i)
    if (rid & (1u << (12 + i))) mask |= 0xFFu << (i * 8);
  return mask;
}
}  // namespace

P2sb::P2sb(Bus& bus, SidebandWindow& fabric, uint16_t device_id) : bus_(bus), fabric_(fabric) {
  cfg_.Put(0x00, 2, kVendorIntel);
  cfg_.Put(0x02, 2, device_id);
  cfg_.Put(kCommand, 2, 0x0006);
  cfg_.Put(0x08, 4, 0x05800010);  // memory controller (other), revision 0x10
  OnPlatformReset();
}

P2sb::~P2sb() {
  if (mapped_at_ != 0) bus_.UnmapMmio(&fabric_);
}

void P2sb::OnPlatformReset() {
  cfg_.Put(kCommand, 2, 0x0006);
  cfg_.Put(kSbregBar, 4, static_cast<uint32_t>(kFirmwareWindowBase) | kSbregBarType64);
  cfg_.Put(kSbregBarHigh, 4, 0);
  Remap();
}

void P2sb::Remap() {
  const uint64_t base = (uint64_t(cfg_.Get(kSbregBarHigh, 4)) << 32) | (cfg_.Get(kSbregBar, 4) & kSbregBarBaseMask);
  const uint64_t want = (cfg_.Get(kCommand, 2) & kCommandMemorySpace) ? base : 0;
  if (want == mapped_at_) return;
  if (mapped_at_ != 0) bus_.UnmapMmio(&fabric_);
  mapped_at_ = want;
  if (want != 0) bus_.MapMmio(want, kWindowSize, &fabric_);
}

void P2sb::SetHidden(bool hidden) {
  uint32_t v = cfg_.Get(kP2sbc, 4);
  cfg_.Put(kP2sbc, 4, hidden ? (v | kP2sbcHide) : (v & ~kP2sbcHide));
}

bool P2sb::hidden() const { return (cfg_.Get(kP2sbc, 4) & kP2sbcHide) != 0; }

void P2sb::SetStuckBusy(StuckBusy mode) {
  stuck_after_start_ = mode == StuckBusy::kAfterStart;
  if (mode == StuckBusy::kAlways) {
    busy_ = true;
    in_flight_ = false;
    done_at_ns_ = UINT64_MAX;
  }
}

void P2sb::Sync() {
  if (!busy_ || bus_.clock().Now() < done_at_ns_) return;
  busy_ = false;
  if (!in_flight_) return;
  in_flight_ = false;
  Message& m = pending_;
  uint32_t read_data = 0;
  if (forced_response_ != 0 && landed_ >= forced_after_) {
    m.response = forced_response_;
  } else if (SidebandEndpoint* ep = fabric_.Endpoint(m.port)) {
    m.response = ep->Message(m.opcode, m.offset, m.data, m.byte_mask, &read_data);
    if (m.response == 0 && (m.opcode & 1) == 0 && m.opcode != 0x13) cfg_.Put(kSbiData, 4, read_data);
  } else {
    m.response = kSidebandResponseUnsupported;
  }
  ++landed_;
  m.time_ns = bus_.clock().Now();
  uint16_t stat = static_cast<uint16_t>(cfg_.Get(kSbiStat, 2));
  cfg_.Put(kSbiStat, 2, static_cast<uint16_t>((stat & ~kStatResponseMask) | (m.response << 1)));
  messages_.push_back(m);
  char line[160];
  std::snprintf(line, sizeof line, "SB port=%02X offset=%" PRIX64 " opcode=%02X data=%08X response=%u", m.port, m.offset,
                m.opcode, m.data, m.response);
  bus_.TraceText(line);
}

void P2sb::Start() {
  uint32_t addr = cfg_.Get(kSbiAddr, 4);
  uint16_t stat = static_cast<uint16_t>(cfg_.Get(kSbiStat, 2));
  pending_ = Message{};
  pending_.port = static_cast<uint8_t>(addr >> 24);
  pending_.offset = (static_cast<uint64_t>(cfg_.Get(kSbiExtAddr, 4)) << 16) | (addr & 0xFFFF);
  pending_.opcode = static_cast<uint8_t>(stat >> 8);
  pending_.data = cfg_.Get(kSbiData, 4);
  pending_.byte_mask = ByteEnables(static_cast<uint16_t>(cfg_.Get(kSbiRid, 2)));
  pending_.posted = (stat & kStatPosted) != 0;
  busy_ = true;
  in_flight_ = !stuck_after_start_;
  done_at_ns_ = stuck_after_start_ ? UINT64_MAX : bus_.clock().Now() + kMessageTimeNs;
}

uint32_t P2sb::ConfigRead(uint16_t reg, unsigned bytes) {
  if (hidden()) return 0xFFFFFFFFu;
  Sync();
  uint32_t v = cfg_.Get(reg, bytes);
  // BUSY is live state, not a stored bit.
  if (reg <= kSbiStat && reg + bytes > kSbiStat) {
    uint32_t busy_bit = 1u << ((kSbiStat - reg) * 8);
    v = busy_ ? (v | busy_bit) : (v & ~busy_bit);
  }
  return v;
}

void P2sb::ConfigWrite(uint16_t reg, unsigned bytes, uint32_t value) {
  if (cfg_.Merge(kP2sbc, 4, kP2sbcHide, reg, bytes, value) || hidden()) return;
  Sync();
  // Every register the write touches takes its bytes before the window moves.
  const bool command = cfg_.Merge(kCommand, 2, 0x0006, reg, bytes, value);
  const bool low = cfg_.Merge(kSbregBar, 4, kSbregBarBaseMask, reg, bytes, value);
  const bool high = cfg_.Merge(kSbregBarHigh, 4, 0xFFFFFFFF, reg, bytes, value);
  if (command || low || high) Remap();
  // While a message is on the fabric its registers do not change.
  if (busy_) return;
  cfg_.Merge(kSbiAddr, 4, 0xFF00FFFF, reg, bytes, value);  // bits 23:16 reserved
  cfg_.Merge(kSbiData, 4, 0xFFFFFFFF, reg, bytes, value);
  cfg_.Merge(kSbiRid, 2, 0xF7FF, reg, bytes, value);
  cfg_.Merge(kSbiExtAddr, 4, 0xFFFFFFFF, reg, bytes, value);
  cfg_.Merge(kSbiStat, 2, kStatWritable, reg, bytes, value);
  // Writing 1 to BUSY starts the message with the registers as they now stand.
  if (reg <= kSbiStat && reg + bytes > kSbiStat && ((value >> ((kSbiStat - reg) * 8)) & kStatBusy) != 0) Start();
}

}  // namespace sim
