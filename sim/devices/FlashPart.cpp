#include "sim/devices/FlashPart.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace sim {
namespace {

constexpr uint8_t kStatusBusy = 0x01;
constexpr uint8_t kStatusWel = 0x02;
constexpr uint8_t kStatusWritableBits = 0xFC;
constexpr uint32_t kAtmelSectorBytes = 64 * 1024;
constexpr uint8_t kAtmelSwpMask = 0x0C;
constexpr uint8_t kAtmelSwpSome = 0x04;
constexpr uint8_t kAtmelSwpAll = 0x0C;
constexpr uint8_t kAtmelSprl = 0x80;
constexpr uint8_t kAtmelDecodedBits = 0x3C;

namespace op {
constexpr uint8_t kWriteStatus = 0x01;
constexpr uint8_t kProgram = 0x02;
constexpr uint8_t kRead = 0x03;
constexpr uint8_t kWriteDisable = 0x04;
constexpr uint8_t kReadStatus = 0x05;
constexpr uint8_t kWriteEnable = 0x06;
constexpr uint8_t kFastRead = 0x0B;
constexpr uint8_t kProtectSector = 0x36;
constexpr uint8_t kUnprotectSector = 0x39;
constexpr uint8_t kReadSectorProtection = 0x3C;
constexpr uint8_t kEnableWriteStatus = 0x50;
constexpr uint8_t kReadSfdp = 0x5A;
constexpr uint8_t kChipErase = 0x60;
constexpr uint8_t kReadBlockProtection = 0x72;
constexpr uint8_t kReadIdLegacy = 0x90;
constexpr uint8_t kGlobalUnlock = 0x98;
constexpr uint8_t kReadJedecId = 0x9F;
constexpr uint8_t kReadIdAb = 0xAB;
constexpr uint8_t kChipErase2 = 0xC7;
}  // namespace op

}  // namespace

FlashPart::FlashPart(const FlashPartDatasheet& datasheet, std::vector<uint8_t> contents, uint8_t non_volatile_status)
    : datasheet_(datasheet), array_(std::move(contents)) {
  if (array_.size() != datasheet_.size)
    throw std::runtime_error("flash image is " + std::to_string(array_.size()) + " bytes but " + datasheet_.name + " holds " +
                             std::to_string(datasheet_.size) + " bytes");
  PowerUpState(non_volatile_status);
}

// What the part holds when power comes up: non-volatile status bits as last written,
// volatile ones at their power-up value, nothing running, write enable latch clear.
void FlashPart::PowerUpState(uint8_t non_volatile_status) {
  status_bits_ = (datasheet_.volatile_status ? datasheet_.power_up_status : non_volatile_status) & kStatusWritableBits;
  if (datasheet_.protection == ProtectionScheme::kAtmelSectors) {
    sector_protected_.assign(datasheet_.size / kAtmelSectorBytes, true);  // all protected at power-up
    status_bits_ = 0;
  } else if (datasheet_.protection == ProtectionScheme::kSst26Bpr) {
    sector_protected_.assign(Sst26BlockIndex(datasheet_.size - 1) + 1, true);
  }
  busy_until_ = 0;
  wel_ = false;
  ewsr_ = false;
}

void FlashPart::LosePower() {
  if (rail_ != nullptr) SettleInterrupted(rail_->off_at());
  PowerUpState(status_bits_);
  trigger_.reset();
}

// SST26 block numbering: four 8 KiB blocks, one 32 KiB block, 64 KiB blocks, one 32 KiB
// block, four 8 KiB blocks.
size_t FlashPart::Sst26BlockIndex(uint32_t offset) const {
  constexpr uint32_t k8K = 8 * 1024, k64K = 64 * 1024;
  const uint32_t top = datasheet_.size;
  if (offset < 4 * k8K) return offset / k8K;
  if (offset < k64K) return 4;
  if (offset >= top - 4 * k8K) return 5 + (top - 2 * k64K) / k64K + 1 + (offset - (top - 4 * k8K)) / k8K;
  if (offset >= top - k64K) return 5 + (top - 2 * k64K) / k64K;
  return 5 + (offset - k64K) / k64K;
}

uint8_t FlashPart::status() const {
  uint8_t s = status_bits_;
  if (datasheet_.protection == ProtectionScheme::kAtmelSectors) {
    size_t n = std::count(sector_protected_.begin(), sector_protected_.end(), true);
    s = (s & ~kAtmelSwpMask) | (n == 0 ? 0 : n == sector_protected_.size() ? kAtmelSwpAll : kAtmelSwpSome);
  }
  if (wel_) s |= kStatusWel;
  return s;
}

bool FlashPart::IsProtected(uint32_t offset) const { return RangeProtected(offset, 1); }

bool FlashPart::RangeProtected(uint32_t base, uint32_t bytes) const {
  const uint32_t size = datasheet_.size;
  uint32_t lo = 0, hi = 0;  // protected [lo, hi)
  switch (datasheet_.protection) {
    case ProtectionScheme::kNone:
      return false;
    case ProtectionScheme::kAtmelSectors:
      for (uint32_t s = base / kAtmelSectorBytes; s <= (base + bytes - 1) / kAtmelSectorBytes; ++s)
        if (s < sector_protected_.size() && sector_protected_[s]) return true;
      return false;
    case ProtectionScheme::kSst26Bpr:
      for (uint32_t o = base; o < base + bytes; o += 8 * 1024)
        if (sector_protected_[Sst26BlockIndex(o)]) return true;
      return sector_protected_[Sst26BlockIndex(base + bytes - 1)];
    case ProtectionScheme::kBpTbSec: {
      unsigned bp = (status_bits_ >> 2) & 7;
      bool bottom = status_bits_ & 0x20, sec = status_bits_ & 0x40;
      if (bp == 0) return false;
      uint32_t n = bp == 7 ? size : sec ? std::min<uint32_t>(4096u << (bp - 1), 32768) : std::min(size, (size / 64) << (bp - 1));
      lo = bottom ? 0 : size - n;
      hi = bottom ? n : size;
      break;
    }
    case ProtectionScheme::kBp4Blocks: {
      unsigned bp = (status_bits_ >> 2) & 0xF;
      if (bp == 0) return false;
      uint64_t n = std::min<uint64_t>(size, uint64_t(65536) << (bp - 1));
      lo = size - uint32_t(n);
      hi = size;
      break;
    }
    case ProtectionScheme::kBp3Fraction: {
      unsigned bp = (status_bits_ >> 2) & 7;
      if (bp == 0) return false;
      uint32_t n = bp == 7 ? size : std::min(size, (size / 64) << (bp - 1));
      lo = size - n;
      hi = size;
      break;
    }
    case ProtectionScheme::kSst25: {
      unsigned bp = (status_bits_ >> 2) & 7;
      if (bp == 0) return false;
      uint32_t n = bp >= 6 ? size : (size / 32) << (bp - 1);
      lo = size - n;
      hi = size;
      break;
    }
  }
  return base < hi && base + bytes > lo;
}

void FlashPart::StartOperation(uint64_t now, uint64_t duration) {
  wel_ = false;
  if (faults_.hang_after_operations >= 0 && completed_operations_ >= uint64_t(faults_.hang_after_operations)) {
    busy_until_ = kForever;
    return;
  }
  ++completed_operations_;
  busy_until_ = now + duration;
  stats_.busy_ns += duration;
}

bool FlashPart::ReadArray(uint64_t now, uint32_t offset, uint8_t* out, size_t n) {
  if (Busy(now) || (rail_ != nullptr && !rail_->OnAt(now))) return false;
  for (size_t i = 0; i < n; ++i) out[i] = array_[(offset + i) % datasheet_.size];
  return true;
}

bool FlashPart::Transfer(uint64_t now, uint8_t opcode, uint32_t address, std::span<const uint8_t> out,
                         std::span<uint8_t> in) {
  if (rail_ != nullptr && !rail_->OnAt(now)) return false;  // an unpowered part drives nothing
  bool driven = Respond(now, opcode, address, out, in);
  ++transactions_since_armed_;
  if (trigger_ && trigger_->after_transactions == transactions_since_armed_ && rail_ != nullptr) rail_->CutAt(now);
  return driven;
}

bool FlashPart::Respond(uint64_t now, uint8_t opcode, uint32_t address, std::span<const uint8_t> out,
                        std::span<uint8_t> in) {
  address %= datasheet_.size;
  if (Busy(now)) {
    // Only the status register answers while an operation runs.
    if (opcode != op::kReadStatus) {
      ++stats_.ignored_while_busy;
      return false;
    }
    ++stats_.status_reads;
    uint8_t s = status() | kStatusBusy;
    std::fill(in.begin(), in.end(), s);
    return true;
  }
  switch (opcode) {
    case op::kReadStatus: {
      ++stats_.status_reads;
      std::fill(in.begin(), in.end(), status());
      return true;
    }
    case op::kWriteEnable:
      wel_ = true;
      return false;
    case op::kWriteDisable:
      wel_ = false;
      ewsr_ = false;
      return false;
    case op::kEnableWriteStatus:
      if (!datasheet_.accepts_ewsr) return false;
      ewsr_ = true;
      return false;
    case op::kWriteStatus:
      if (!out.empty() && (wel_ || ewsr_)) WriteStatus(now, out[0]);
      ewsr_ = false;
      return false;
    case op::kRead:
    case op::kFastRead:
      ++stats_.read_commands;
      stats_.read_bytes += in.size();
      for (size_t i = 0; i < in.size(); ++i) in[i] = array_[(address + i) % datasheet_.size];
      return true;
    case op::kReadSfdp: {
      if (datasheet_.sfdp.empty()) return false;
      for (size_t i = 0; i < in.size(); ++i) {
        // A part that answers late puts its first data bytes where the controller
        // expects the next ones.
        size_t at = address + i;
        if (at < datasheet_.sfdp_leading_bytes) {
          in[i] = 0xFF;
          continue;
        }
        at -= datasheet_.sfdp_leading_bytes;
        in[i] = at < datasheet_.sfdp.size() ? datasheet_.sfdp[at] : 0xFF;
      }
      return true;
    }
    case op::kReadJedecId: {
      std::vector<uint8_t> reply = datasheet_.id_reply;
      if (reply.empty()) reply = {uint8_t(datasheet_.jedec_id), uint8_t(datasheet_.jedec_id >> 8), uint8_t(datasheet_.jedec_id >> 16)};
      for (size_t i = 0; i < in.size(); ++i) in[i] = i < reply.size() ? reply[i] : 0x00;
      return true;
    }
    case op::kReadIdLegacy:
    case op::kReadIdAb: {
      for (size_t i = 0; i < in.size(); ++i) in[i] = (i & 1) ? uint8_t(datasheet_.jedec_id >> 8) : uint8_t(datasheet_.jedec_id);
      return true;
    }
    case op::kProgram:
      if (wel_) Program(now, address, out);
      return false;
    case op::kChipErase:
    case op::kChipErase2:
      if (wel_) ChipErase(now);
      return false;
    case op::kGlobalUnlock:
      if (datasheet_.protection == ProtectionScheme::kSst26Bpr && wel_) {
        std::fill(sector_protected_.begin(), sector_protected_.end(), false);
        wel_ = false;
      }
      return false;
    case op::kReadBlockProtection: {
      if (datasheet_.protection != ProtectionScheme::kSst26Bpr) return false;
      // Two bits per 8 KiB block at the ends (read and write lock), one per other block,
      // the last block first; only write locks are modelled.
      std::fill(in.begin(), in.end(), 0);
      for (size_t b = 0; b < sector_protected_.size() && b / 8 < in.size(); ++b)
        if (sector_protected_[b]) in[in.size() - 1 - b / 8] |= uint8_t(1u << (b % 8));
      return true;
    }
    case op::kProtectSector:
    case op::kUnprotectSector:
      if (datasheet_.protection == ProtectionScheme::kAtmelSectors && wel_ && !(status_bits_ & kAtmelSprl)) {
        sector_protected_[address / kAtmelSectorBytes] = opcode == op::kProtectSector;
        wel_ = false;
      }
      return false;
    case op::kReadSectorProtection:
      if (datasheet_.protection != ProtectionScheme::kAtmelSectors) return false;
      std::fill(in.begin(), in.end(), sector_protected_[address / kAtmelSectorBytes] ? 0xFF : 0x00);
      return true;
    default:
      for (const EraseCommand& e : datasheet_.erase_commands)
        if (e.opcode == opcode) {
          if (wel_) Erase(now, opcode, address);
          return false;
        }
      return false;
  }
}

void FlashPart::WriteStatus(uint64_t now, uint8_t value) {
  ++stats_.status_writes;
  const uint64_t duration = datasheet_.volatile_status || ewsr_ ? 0 : datasheet_.timing.write_status_ns;
  RecordInFlight(InFlight::Kind::kStatusWrite, now, duration, 0, 0);
  if (datasheet_.protection == ProtectionScheme::kAtmelSectors) {
    // Bits 5:2 are decoded: all 0 unprotects every sector, all 1 protects every sector;
    // only SPRL is stored. Nothing changes while SPRL is set, except SPRL itself.
    bool locked = status_bits_ & kAtmelSprl;
    if (!locked) {
      uint8_t decoded = value & kAtmelDecodedBits;
      if (decoded == 0) std::fill(sector_protected_.begin(), sector_protected_.end(), false);
      if (decoded == kAtmelDecodedBits) std::fill(sector_protected_.begin(), sector_protected_.end(), true);
    }
    status_bits_ = value & kAtmelSprl;
  } else if (datasheet_.protection != ProtectionScheme::kSst26Bpr) {
    uint8_t writable = datasheet_.protection == ProtectionScheme::kSst25 ? 0xBC : kStatusWritableBits;
    status_bits_ = (status_bits_ & ~writable) | (value & writable);
  }
  StartOperation(now, duration);
}

void FlashPart::Program(uint64_t now, uint32_t address, std::span<const uint8_t> data) {
  ++stats_.program_commands;
  size_t n = data.size();
  if (datasheet_.program_mode == ProgramMode::kByte) n = std::min<size_t>(n, 1);
  stats_.programmed_bytes += n;
  uint64_t duration = n == 0 ? 0 : datasheet_.timing.program_first_byte_ns + datasheet_.timing.program_per_byte_ns * (n - 1);
  // The page buffer wraps: bytes past the page end land at the page start.
  const uint32_t page = datasheet_.page_size;
  const uint32_t page_base = address - address % page;
  RecordInFlight(InFlight::Kind::kProgram, now, duration, page_base, page, address % page, uint32_t(n));
  bool fail = faults_.program_failures > 0;
  if (fail) --faults_.program_failures;
  if (!fail && !RangeProtected(address, 1)) {
    for (size_t i = 0; i < n; ++i) {
      uint32_t at = page_base + (address % page + uint32_t(i)) % page;
      if (RangeProtected(at, 1)) continue;
      uint8_t value = array_[at] & data[i];
      for (auto& s : faults_.stuck_at_one)
        if (s.offset == at) value |= s.mask;
      array_[at] = value;
    }
  }
  StartOperation(now, duration);
  CountOperation(FlashOperationRecord::Kind::kProgram, now, duration, address, uint32_t(n));
}

uint64_t FlashPart::EraseTime(uint32_t bytes) const {
  if (bytes <= 4 * 1024) return datasheet_.timing.erase_4k_ns;
  if (bytes <= 32 * 1024) return datasheet_.timing.erase_32k_ns;
  return datasheet_.timing.erase_64k_ns;
}

bool FlashPart::EraseBlock(uint8_t opcode, uint32_t address, uint32_t* base, uint32_t* bytes, uint64_t* duration) const {
  for (const EraseCommand& e : datasheet_.erase_commands) {
    if (e.opcode != opcode) continue;
    uint32_t n = e.bytes;
    if (datasheet_.sst26_block_geometry && e.bytes == 64 * 1024) {
      uint32_t top = datasheet_.size;
      if (address < 32 * 1024 || address >= top - 32 * 1024)
        n = 8 * 1024;
      else if (address < 64 * 1024 || address >= top - 64 * 1024)
        n = 32 * 1024;
    }
    *base = address - address % n;
    if (datasheet_.sst26_block_geometry && n == 32 * 1024) *base = address < 64 * 1024 ? 32 * 1024 : datasheet_.size - 64 * 1024;
    *bytes = n;
    *duration = EraseTime(n);
    return true;
  }
  return false;
}

void FlashPart::ApplyStuckBits(uint32_t base, uint32_t bytes) {
  for (auto& s : faults_.stuck_at_zero)
    if (s.offset >= base && s.offset - base < bytes) array_[s.offset] &= uint8_t(~s.mask);
}

void FlashPart::Erase(uint64_t now, uint8_t opcode, uint32_t address) {
  uint32_t base = 0, bytes = 0;
  uint64_t duration = 0;
  if (!EraseBlock(opcode, address, &base, &bytes, &duration)) return;
  ++stats_.erase_commands;
  stats_.erased_bytes += bytes;
  if (bytes <= 8 * 1024)
    ++stats_.erases_4k;
  else if (bytes <= 32 * 1024)
    ++stats_.erases_32k;
  else if (bytes <= 64 * 1024)
    ++stats_.erases_64k;
  else
    ++stats_.erases_larger;
  RecordInFlight(InFlight::Kind::kErase, now, duration, base, bytes);
  bool fail = faults_.erase_failures > 0;
  if (fail) --faults_.erase_failures;
  for (uint32_t b : faults_.failing_erase_blocks)
    if (b >= base && b - base < bytes) fail = true;
  // A protected block is left alone; the part still goes through the erase time.
  if (!fail && !RangeProtected(base, bytes)) {
    std::memset(array_.data() + base, 0xFF, bytes);
    ApplyStuckBits(base, bytes);
  }
  StartOperation(now, duration);
  CountOperation(FlashOperationRecord::Kind::kErase, now, duration, base, bytes);
}

void FlashPart::ChipErase(uint64_t now) {
  ++stats_.erase_commands;
  stats_.erased_bytes += datasheet_.size;
  RecordInFlight(InFlight::Kind::kErase, now, datasheet_.timing.chip_erase_ns, 0, datasheet_.size);
  bool any_protected = RangeProtected(0, datasheet_.size);
  if (!any_protected) {
    std::fill(array_.begin(), array_.end(), 0xFF);
    ApplyStuckBits(0, datasheet_.size);
  }
  StartOperation(now, datasheet_.timing.chip_erase_ns);
  CountOperation(FlashOperationRecord::Kind::kErase, now, datasheet_.timing.chip_erase_ns, 0, datasheet_.size);
}

}  // namespace sim
