#include "sim/devices/SpiController.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

// Configuration registers.
constexpr uint16_t kCfgId = 0x00;
constexpr uint16_t kCfgCommand = 0x04;
constexpr uint16_t kCfgClass = 0x08;
constexpr uint16_t kCfgBar0 = 0x10;
constexpr uint16_t kCfgBiosSpiBc = 0xDC;
constexpr uint16_t kCommandMemorySpace = 1u << 1;
constexpr uint16_t kCommandWritable = 0x0006;
constexpr uint32_t kClassSerialBusOther = 0x0C8000;
constexpr uint32_t kBar0Mask = 0xFFFFF000;

// BIOS_SPI_BC bits.
constexpr uint32_t kBcWpd = 1u << 0;
constexpr uint32_t kBcLe = 1u << 1;
constexpr uint32_t kBcSrc = 3u << 2;
constexpr uint32_t kBcEiss = 1u << 5;
constexpr uint32_t kBcBbs = 1u << 6;
constexpr uint32_t kBcBild = 1u << 7;
constexpr uint32_t kBcSyncSs = 1u << 8;
constexpr uint32_t kBcAseBwp = 1u << 11;

// Memory registers.
constexpr uint32_t kBfpreg = 0x00;
constexpr uint32_t kHsfstsCtl = 0x04;
constexpr uint32_t kFaddr = 0x08;
constexpr uint32_t kDlock = 0x0C;
constexpr uint32_t kFdata0 = 0x10;
constexpr uint32_t kFdataEnd = 0x50;
constexpr uint32_t kFrap = 0x50;
constexpr uint32_t kFreg0 = 0x54;
constexpr uint32_t kFregEnd = 0x84;
constexpr uint32_t kFpr0 = 0x84;
constexpr uint32_t kFprEnd = 0x98;
constexpr uint32_t kGpr0 = 0x98;
constexpr uint32_t kSsfstsCtl = 0xA0;
constexpr uint32_t kPreopOptype = 0xA4;
constexpr uint32_t kOpmenu0 = 0xA8;
constexpr uint32_t kOpmenu1 = 0xAC;
constexpr uint32_t kFdoc = 0xB4;
constexpr uint32_t kFdod = 0xB8;
constexpr uint32_t kVscc0 = 0xC4;
constexpr uint32_t kVscc1 = 0xC8;
constexpr uint32_t kPtinx = 0xCC;
constexpr uint32_t kPtdata = 0xD0;

// HSFSTS_CTL.
constexpr uint16_t kFdone = 1u << 0;
constexpr uint16_t kFcerr = 1u << 1;
constexpr uint16_t kAel = 1u << 2;
constexpr uint16_t kScip = 1u << 5;
constexpr uint16_t kWrsdis = 1u << 11;
constexpr uint16_t kPrr34Lockdn = 1u << 12;
constexpr uint16_t kFdopss = 1u << 13;
constexpr uint16_t kFdv = 1u << 14;
constexpr uint16_t kFlockdn = 1u << 15;
constexpr uint16_t kFgo = 1u << 0;
constexpr uint16_t kWet = 1u << 5;
constexpr uint32_t kFaddrMask = 0x07FFFFFF;

// SSFSTS_CTL.
constexpr uint8_t kSsScip = 1u << 0;
constexpr uint8_t kSsFdone = 1u << 2;
constexpr uint8_t kSsFcerr = 1u << 3;
constexpr uint8_t kSsAel = 1u << 4;
constexpr uint32_t kSsScgo = 1u << 9;
constexpr uint32_t kSsControlMask = 0x07FFFF00;

// DLOCK.
constexpr uint32_t kDlockPrLockdnShift = 8;
constexpr uint32_t kDlockSseqLockdn = 1u << 16;

// FPR.
constexpr uint32_t kFprRpe = 1u << 15;
constexpr uint32_t kFprWpe = 1u << 31;

// VSCC.
constexpr uint32_t kVsccWsr = 1u << 3;
constexpr uint32_t kVsccWews = 1u << 4;
constexpr uint32_t kVsccLock = 1u << 30;

// SPI opcodes the controller issues itself.
constexpr uint8_t kOpWriteStatus = 0x01;
constexpr uint8_t kOpProgram = 0x02;
constexpr uint8_t kOpRead = 0x03;
constexpr uint8_t kOpReadStatus = 0x05;
constexpr uint8_t kOpWriteEnable = 0x06;
constexpr uint8_t kOpFastRead = 0x0B;
constexpr uint8_t kOpEnableWriteStatus = 0x50;
constexpr uint8_t kOpReadSfdp = 0x5A;
constexpr uint8_t kOpReadJedecId = 0x9F;
constexpr uint8_t kOpBlockErase64K = 0xD8;

constexpr unsigned kBiosRegion = 1;
constexpr uint32_t kLineBytes = 64;

uint64_t Nanoseconds(uint64_t clocks, uint32_t hz) { return (clocks * 1'000'000'000ULL + hz - 1) / hz; }

uint32_t Merge(uint32_t old, uint32_t value, uint32_t mask) { return (old & ~mask) | (value & mask); }

uint32_t Le32(const std::vector<uint8_t>& v, size_t at) {
  if (at + 4 > v.size()) return 0;
  uint32_t x;
  std::memcpy(&x, v.data() + at, 4);
  return x;
}

// What the controller discovers from the part's basic flash parameter table at reset:
// 4 KiB and 64 KiB erase opcodes, write granularity, and the table-valid bit.
uint32_t VsccFromSfdp(const std::vector<uint8_t>& sfdp) {
  constexpr uint32_t kSignature = 0x50444653;
  if (Le32(sfdp, 0) != kSignature || sfdp.size() < 16) return 0;
  uint32_t table = Le32(sfdp, 12) & 0xFFFFFF;
  uint32_t dw1 = Le32(sfdp, table);
  uint32_t vscc = 1u << 31;  // CPPTV
  if ((dw1 & 3) == 1) vscc |= (dw1 & 0xFF00) | 1u << 28;
  vscc |= dw1 & 0x4;
  for (uint32_t word : {Le32(sfdp, table + 28), Le32(sfdp, table + 32)})
    for (uint32_t type : {word & 0xFFFF, word >> 16})
      if ((type & 0xFF) == 16) vscc |= (type >> 8) << 16 | 1u << 29;
  return vscc;
}

}  // namespace

SpiController::SpiController(Bus& bus, FlashPart& part, const SpiControllerConfig& config)
    : bus_(bus), part_(part), config_(config) {
  Reset();
}

SpiController::~SpiController() {
  if (mapped_bar_ != 0) bus_.UnmapMmio(this);
}

void SpiController::Reset() {
  descriptor_ = SpiControllerDescriptor::Load(part_.contents());
  hsfsts_ = kFdopss | (descriptor_.valid ? kFdv : 0) | (config_.wrsdis ? kWrsdis : 0) | (config_.flockdn ? kFlockdn : 0);
  hsfctl_ = 0;
  faddr_ = 0;
  dlock_ = config_.opcode_menu_locked ? kDlockSseqLockdn : 0;
  fdata_.fill(0);
  for (unsigned i = 0; i < freg_.size(); ++i) freg_[i] = descriptor_.valid ? descriptor_.flreg[i] : 0;
  frap_ = 0;
  for (unsigned r = 0; r < 8; ++r) {
    if (descriptor_.BiosMayRead(r)) frap_ |= 1u << r;
    if (descriptor_.BiosMayWrite(r)) frap_ |= 1u << (8 + r);
  }
  fpr_.fill(0);
  gpr0_ = 0;
  ssfsts_ = 0;
  ssfctl_ = 0;
  preop_optype_ = config_.preop_optype;
  opmenu_[0] = config_.opmenu0;
  opmenu_[1] = config_.opmenu1;
  fdoc_ = 0;
  // The parameter table the controller fetches from the part for PTINX/PTDATA.
  sfdp_copy_.assign(256, 0);
  if (!part_.Transfer(Now(), kOpReadSfdp, 0, {}, std::span<uint8_t>(sfdp_copy_))) sfdp_copy_.clear();
  vscc_[0] = vscc_[1] = config_.vscc.value_or(VsccFromSfdp(sfdp_copy_));
  if (config_.vscc_locked) vscc_[0] |= kVsccLock;
  ptinx_ = 0;
  hw_ = Cycle{};
  sw_ = Cycle{};
  bus_free_ns_ = Now();
  line_valid_ = false;
  bc_ = config_.bios_control & (kBcWpd | kBcLe | kBcSrc | kBcEiss | kBcBbs | kBcBild | kBcAseBwp);
  bar0_ = kDefaultBar;
  command_ = 0x0006;
  Remap();
}

void SpiController::Remap() {
  uint64_t want = (command_ & kCommandMemorySpace) ? (bar0_ & kBar0Mask) : 0;
  if (want == mapped_bar_) return;
  if (mapped_bar_ != 0) bus_.UnmapMmio(this);
  if (want != 0) bus_.MapMmio(want, kBarSize, this);
  mapped_bar_ = want;
}

uint32_t SpiController::bios_limit() const {
  uint32_t base = 0, limit = 0;
  if (descriptor_.Region(kBiosRegion, &base, &limit)) return limit;
  return part_.size() - 1;
}

// ---------------------------------------------------------------- configuration space

uint32_t SpiController::ConfigRead(uint16_t reg, unsigned bytes) {
  uint32_t dword = 0;
  switch (reg & ~3u) {
    case kCfgId:
      dword = 0x8086u | uint32_t(config_.device_id) << 16;
      break;
    case kCfgCommand:
      dword = command_;
      break;
    case kCfgClass:
      dword = kClassSerialBusOther << 8 | 0x10;
      break;
    case kCfgBar0:
      dword = bar0_;
      break;
    case kCfgBiosSpiBc:
      dword = bc_;
      break;
    default:
      break;
  }
  dword >>= 8 * (reg & 3);
  return bytes >= 4 ? dword : dword & ((1u << (8 * bytes)) - 1);
}

void SpiController::ConfigWrite(uint16_t reg, unsigned bytes, uint32_t value) {
  unsigned shift = 8 * (reg & 3);
  uint32_t mask = (bytes >= 4 ? 0xFFFFFFFFu : ((1u << (8 * bytes)) - 1)) << shift;
  uint32_t v = value << shift;
  switch (reg & ~3u) {
    case kCfgCommand:
      command_ = uint16_t(Merge(command_, v, mask & kCommandWritable));
      Remap();
      break;
    case kCfgBar0:
      bar0_ = Merge(bar0_, v, mask) & kBar0Mask;
      Remap();
      break;
    case kCfgBiosSpiBc: {
      uint32_t old = bc_;
      if (mask & kBcSyncSs) bc_ &= ~(v & kBcSyncSs);  // write 1 to clear
      if (mask & kBcWpd) {
        bool set = v & kBcWpd;
        // With the lock enabled, turning write protection off raises a synchronous SMI.
        if (set && !(old & kBcWpd) && (old & kBcLe)) {
          bc_ |= kBcSyncSs;
          ++bios_write_smis_;
        }
        bc_ = set ? (bc_ | kBcWpd) : (bc_ & ~kBcWpd);
      }
      if (mask & kBcLe) bc_ |= v & kBcLe;  // set once, until reset
      if (mask & kBcSrc) bc_ = Merge(bc_, v, kBcSrc);
      if ((mask & kBcEiss) && !(old & kBcLe)) bc_ = Merge(bc_, v, kBcEiss);
      if ((mask & kBcBbs) && !(old & kBcBild)) bc_ = Merge(bc_, v, kBcBbs);
      if (mask & kBcBild) bc_ |= v & kBcBild;
      if ((mask & kBcAseBwp) && !(old & kBcBild)) bc_ = Merge(bc_, v, kBcAseBwp);
      break;
    }
    default:
      break;
  }
}

// ---------------------------------------------------------------- memory registers

void SpiController::Complete(Cycle& cycle, uint8_t* status, uint8_t done, uint8_t error, uint8_t access_error) {
  cycle.active = false;
  if (cycle.error) {
    *status |= error;
    if (cycle.access_error) *status |= access_error;
    return;
  }
  if (cycle.fills_fdata) fdata_ = cycle.data;
  *status |= done;
}

void SpiController::Update() {
  uint64_t now = Now();
  if (hw_.active && now >= hw_.end_ns) {
    uint8_t s = uint8_t(hsfsts_);
    Complete(hw_, &s, kFdone, kFcerr, kAel);
    hsfsts_ = (hsfsts_ & 0xFF00) | s;
  }
  if (sw_.active && now >= sw_.end_ns) Complete(sw_, &ssfsts_, kSsFdone, kSsFcerr, kSsAel);
}

uint32_t SpiController::ReadDword(uint32_t offset) {
  if (offset >= kFdata0 && offset < kFdataEnd) {
    uint32_t v;
    std::memcpy(&v, fdata_.data() + (offset - kFdata0), 4);
    return v;
  }
  if (offset >= kFreg0 && offset < kFregEnd) return freg_[(offset - kFreg0) / 4];
  if (offset >= kFpr0 && offset < kFprEnd) return fpr_[(offset - kFpr0) / 4];
  switch (offset) {
    case kBfpreg:
      return freg_[kBiosRegion];
    case kHsfstsCtl:
      return (hsfsts_ | (hw_.active ? kScip : 0)) | uint32_t(hsfctl_ & ~kFgo) << 16;
    case kFaddr:
      return faddr_;
    case kDlock:
      return dlock_;
    case kFrap:
      return frap_;
    case kGpr0:
      return gpr0_;
    case kSsfstsCtl:
      return (ssfsts_ | (sw_.active ? kSsScip : 0)) | (ssfctl_ & ~kSsScgo);
    case kPreopOptype:
      return preop_optype_;
    case kOpmenu0:
      return opmenu_[0];
    case kOpmenu1:
      return opmenu_[1];
    case kFdoc:
      return fdoc_;
    case kFdod:
      return descriptor_.ObservedDword((fdoc_ >> 12) & 7, (fdoc_ >> 2) & 0x3FF);
    case kVscc0:
      return vscc_[0];
    case kVscc1:
      return vscc_[1];
    case kPtinx:
      return ptinx_;
    case kPtdata: {
      unsigned hord = (ptinx_ >> 12) & 3, index = (ptinx_ >> 2) & 0x3FF;
      if ((ptinx_ >> 14) & 1 || sfdp_copy_.size() < 16) return 0xFFFFFFFF;
      size_t at = 0;
      if (hord == 0) at = 4 * index;
      if (hord == 1) at = 8 + 4 * index;
      if (hord == 2) {
        uint32_t pointer = 0;
        std::memcpy(&pointer, sfdp_copy_.data() + 12, 4);
        at = (pointer & 0xFFFFFF) + 4 * index;
      }
      if (hord == 3 || at + 4 > sfdp_copy_.size()) return 0xFFFFFFFF;
      uint32_t v;
      std::memcpy(&v, sfdp_copy_.data() + at, 4);
      return v;
    }
    default:
      return 0;  // reserved registers and SBRS (0xD4): no requester status to report
  }
}

uint64_t SpiController::MmioRead(uint64_t offset, unsigned bytes) {
  // Status polls are the hot path: one byte of HSFSTS_CTL while a cycle runs.
  if (offset == kHsfstsCtl && bytes == 1 && hw_.active && Now() < hw_.end_ns) return uint8_t(hsfsts_ | kScip);
  return ReadRegisters(offset, bytes);
}

uint64_t SpiController::ReadStableUntil(uint64_t offset, unsigned bytes) {
  auto within = [&](uint32_t reg) { return offset >= reg && offset + bytes <= reg + 4; };
  if (within(kHsfstsCtl) && hw_.active && Now() < hw_.end_ns) return hw_.end_ns;
  if (within(kSsfstsCtl) && sw_.active && Now() < sw_.end_ns) return sw_.end_ns;
  return 0;
}

uint64_t SpiController::ReadRegisters(uint64_t offset, unsigned bytes) {
  Update();
  if (offset == kHsfstsCtl && bytes == 1) return uint8_t(hsfsts_ | (hw_.active ? kScip : 0));
  uint64_t value = 0;
  for (unsigned done = 0; done < bytes;) {
    uint32_t at = uint32_t(offset + done);
    uint32_t aligned = at & ~3u;
    uint32_t dword = ReadDword(aligned);
    unsigned skip = at - aligned;
    unsigned take = std::min(4 - skip, bytes - done);
    uint64_t part = (uint64_t(dword) >> (8 * skip)) & ((take >= 4) ? 0xFFFFFFFFull : ((1ull << (8 * take)) - 1));
    value |= part << (8 * done);
    done += take;
  }
  return value;
}

void SpiController::MmioWrite(uint64_t offset, unsigned bytes, uint64_t value) {
  Update();
  for (unsigned done = 0; done < bytes;) {
    uint32_t at = uint32_t(offset + done);
    uint32_t aligned = at & ~3u;
    unsigned skip = at - aligned;
    unsigned take = std::min(4 - skip, bytes - done);
    uint32_t mask = uint32_t(((take >= 4) ? 0xFFFFFFFFull : ((1ull << (8 * take)) - 1)) << (8 * skip));
    uint32_t v = uint32_t((value >> (8 * done)) << (8 * skip));
    WriteDword(aligned, v, mask);
    done += take;
  }
}

void SpiController::WriteHsfsts(uint32_t value, uint32_t mask) {
  if (mask & 0xFF) hsfsts_ &= ~(value & (kFdone | kFcerr | kAel));  // write 1 to clear
  if ((mask & 0xFF00) && !(hsfsts_ & kFlockdn)) {
    uint16_t lockable = kWrsdis | kPrr34Lockdn;
    hsfsts_ = uint16_t(Merge(hsfsts_, value, lockable));
    hsfsts_ |= value & kFlockdn;
  }
  if (mask & 0xFFFF0000) {
    if (hw_.active) {
      // Programming the sequencer while it runs is an error; the running cycle goes on.
      hsfsts_ |= kFcerr;
      return;
    }
    hsfctl_ = uint16_t(Merge(uint32_t(hsfctl_) << 16, value, mask & 0xFFFF0000) >> 16);
    if (hsfctl_ & kFgo) {
      hsfctl_ &= ~kFgo;
      StartHardwareCycle();
    }
  }
}

void SpiController::WriteSsfsts(uint32_t value, uint32_t mask) {
  if (mask & 0xFF) ssfsts_ &= ~(value & (kSsFdone | kSsFcerr | kSsAel));
  if (mask & 0xFFFFFF00) {
    if (sw_.active) {
      ssfsts_ |= kSsFcerr;
      return;
    }
    ssfctl_ = Merge(ssfctl_, value, mask & kSsControlMask);
    if (ssfctl_ & kSsScgo) {
      ssfctl_ &= ~kSsScgo;
      StartSoftwareCycle();
    }
  }
}

void SpiController::WriteDword(uint32_t offset, uint32_t value, uint32_t mask) {
  const bool locked = hsfsts_ & kFlockdn;
  if (offset >= kFdata0 && offset < kFdataEnd) {
    if (hw_.active || sw_.active) {
      // The data registers belong to the running cycle: the write is lost.
      hsfsts_ |= kFcerr;
      return;
    }
    uint32_t old = ReadDword(offset);
    uint32_t v = Merge(old, value, mask);
    std::memcpy(fdata_.data() + (offset - kFdata0), &v, 4);
    return;
  }
  if (offset >= kFpr0 && offset < kFprEnd) {
    unsigned n = (offset - kFpr0) / 4;
    if (!locked && !(dlock_ & (1u << (kDlockPrLockdnShift + n)))) fpr_[n] = Merge(fpr_[n], value, mask);
    return;
  }
  const bool menu_locked = locked || (dlock_ & kDlockSseqLockdn);
  switch (offset) {
    case kHsfstsCtl:
      WriteHsfsts(value, mask);
      break;
    case kFaddr:
      if (hw_.active || sw_.active) {
        hsfsts_ |= kFcerr;
        break;
      }
      faddr_ = Merge(faddr_, value, mask) & kFaddrMask;
      break;
    case kDlock:
      if (!locked) dlock_ |= value & mask;  // lock-down bits are set once
      break;
    case kFrap:
      if (!locked) frap_ = Merge(frap_, value, mask & 0xFFFF0000);
      break;
    case kGpr0:
      if (!locked) gpr0_ = Merge(gpr0_, value, mask);
      break;
    case kSsfstsCtl:
      WriteSsfsts(value, mask);
      break;
    case kPreopOptype:
      if (!menu_locked) preop_optype_ = Merge(preop_optype_, value, mask);
      break;
    case kOpmenu0:
    case kOpmenu1:
      if (!menu_locked) opmenu_[(offset - kOpmenu0) / 4] = Merge(opmenu_[(offset - kOpmenu0) / 4], value, mask);
      break;
    case kFdoc:
      fdoc_ = Merge(fdoc_, value, mask);
      break;
    case kVscc0:
    case kVscc1:
      if (!(vscc_[0] & kVsccLock)) vscc_[(offset - kVscc0) / 4] = Merge(vscc_[(offset - kVscc0) / 4], value, mask);
      break;
    case kPtinx:
      ptinx_ = Merge(ptinx_, value, mask);
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------- cycles

uint64_t SpiController::Transact(uint64_t start, uint32_t hz, uint8_t opcode, int address_bytes, uint32_t address,
                                 unsigned dummy_clocks, std::span<const uint8_t> out, std::span<uint8_t> in,
                                 bool* driven) {
  uint64_t clocks = 8 + 8 * uint64_t(address_bytes) + dummy_clocks + 8 * uint64_t(out.size() + in.size());
  uint64_t end = start + Nanoseconds(clocks, hz);
  // A part acts on a command when CS# rises: programs and erases start their busy time then.
  bool d = part_.Transfer(end, opcode, address, out, in);
  if (!d) std::fill(in.begin(), in.end(), kUndrivenByte);
  if (driven) *driven = d;
  return end;
}

bool SpiController::PollReady(uint64_t start, uint32_t hz, uint64_t* end) {
  // Back-to-back read-status transactions; the first that finds the part idle ends the wait.
  const uint64_t poll = Nanoseconds(16, hz);
  const uint64_t busy_until = part_.busy_until();
  const uint64_t busy_for = busy_until > start ? busy_until - start : 0;
  if (busy_for > config_.cycle_timeout_ns) {
    status_polls_ += config_.cycle_timeout_ns / poll;
    *end = start + config_.cycle_timeout_ns;
    return false;
  }
  const uint64_t polls = (busy_for + poll - 1) / poll;
  status_polls_ += polls + 1;
  *end = start + (polls + 1) * poll;
  return true;
}

bool SpiController::WritePreamble(uint64_t* t) {
  // VSCC asks for the status register to be written to 0 before every write and erase,
  // after EWSR (WSR) or WREN (WEWS), for parts that power up protected.
  const uint32_t hz = descriptor_.write_erase_hz;
  const uint8_t zero[1] = {0};
  bool ok = true;
  for (uint32_t bit : {kVsccWsr, kVsccWews}) {
    if (!(vscc_[0] & bit)) continue;
    *t = Transact(*t, hz, bit == kVsccWsr ? kOpEnableWriteStatus : kOpWriteEnable, 0, 0, 0, {}, {});
    *t = Transact(*t, hz, kOpWriteStatus, 0, 0, 0, zero, {});
    ok = PollReady(*t, hz, t) && ok;
  }
  return ok;
}

bool SpiController::InSmmStatus() const { return bus_.PeekMsr(kMsrInSmmStatus).value_or(0) & 1; }

bool SpiController::Permitted(uint32_t linear, uint32_t bytes, Access access, bool* access_error) const {
  *access_error = true;
  const uint64_t first = linear, last = uint64_t(linear) + bytes - 1;
  const bool bios_writable = (bc_ & kBcWpd) && (!(bc_ & kBcEiss) || InSmmStatus());
  if (!descriptor_.valid) return access == Access::kRead || bios_writable;  // all of the flash is BIOS
  for (unsigned r = 0; r < 12; ++r) {
    uint32_t base = 0, limit = 0;
    if (!descriptor_.Region(r, &base, &limit) || last < base || first > limit) continue;
    if (access == Access::kRead && !descriptor_.BiosMayRead(r)) return false;
    if (access == Access::kWrite && !descriptor_.BiosMayWrite(r)) return false;
    if (access == Access::kWrite && r == kBiosRegion && !bios_writable) return false;
  }
  for (uint32_t fpr : fpr_) {
    uint32_t base = (fpr & 0x7FFF) << 12, limit = ((fpr >> 16) & 0x7FFF) << 12 | 0xFFF;
    bool enforced = access == Access::kRead ? (fpr & kFprRpe) : (fpr & kFprWpe);
    if (enforced && !(last < base || first > limit)) return false;
  }
  return true;
}

void SpiController::StartHardwareCycle() {
  ++hw_cycles_;
  const uint64_t start = std::max(Now(), bus_free_ns_);
  const unsigned fcycle = (hsfctl_ >> 1) & 0xF;
  const unsigned n = ((hsfctl_ >> 8) & 0x3F) + 1;
  const uint32_t address = faddr_;
  hw_ = Cycle{};
  hw_.active = true;
  uint64_t t = start;
  bool ok = true;
  bool access_error = false;
  auto refuse = [&](bool access) {
    hw_.error = true;
    hw_.access_error = access;
    hw_.end_ns = start;
    ++refused_cycles_;
  };
  const std::span<uint8_t> data(hw_.data.data(), n);
  switch (fcycle) {
    case 0:
    case 1: {  // read (1 is treated as read)
      if (!Permitted(address, n, Access::kRead, &access_error)) return refuse(access_error);
      bool fast = descriptor_.fast_read;
      t = Transact(t, spi_read_hz(), fast ? kOpFastRead : kOpRead, 3, address, fast ? 8 : 0, {}, data);
      hw_.fills_fdata = true;
      break;
    }
    case 2: {  // write
      if (!Permitted(address, n, Access::kWrite, &access_error)) return refuse(access_error);
      line_valid_ = false;
      const uint32_t hz = descriptor_.write_erase_hz;
      ok = WritePreamble(&t);
      t = Transact(t, hz, kOpWriteEnable, 0, 0, 0, {}, {});
      t = Transact(t, hz, kOpProgram, 3, address, 0, std::span<const uint8_t>(fdata_.data(), n), {});
      ok = PollReady(t, hz, &t) && ok;
      break;
    }
    case 3:
    case 4: {  // 4 KiB / 64 KiB erase with the opcodes of SFDP0_VSCC0
      uint32_t block = fcycle == 3 ? 0x1000 : 0x10000;
      uint8_t opcode = fcycle == 3 ? uint8_t(vscc_[0] >> 8) : uint8_t(vscc_[0] >> 16);
      if (fcycle == 4 && opcode == 0) opcode = kOpBlockErase64K;
      if (opcode == 0) return refuse(false);  // no erase opcode programmed
      if (!Permitted(address & ~(block - 1), block, Access::kWrite, &access_error)) return refuse(access_error);
      line_valid_ = false;
      const uint32_t hz = descriptor_.write_erase_hz;
      ok = WritePreamble(&t);
      t = Transact(t, hz, kOpWriteEnable, 0, 0, 0, {}, {});
      t = Transact(t, hz, opcode, 3, address, 0, {}, {});
      ok = PollReady(t, hz, &t) && ok;
      break;
    }
    case 5:  // read SFDP: address, 8 dummy clocks
      t = Transact(t, descriptor_.read_hz, kOpReadSfdp, 3, address, 8, {}, data);
      hw_.fills_fdata = true;
      break;
    case 6:  // read JEDEC identifier
      t = Transact(t, descriptor_.id_status_hz, kOpReadJedecId, 0, 0, 0, {}, data);
      hw_.fills_fdata = true;
      break;
    case 7: {  // write status register with FDATA0
      if (hsfsts_ & kWrsdis) return refuse(true);
      line_valid_ = false;
      const uint32_t hz = descriptor_.write_erase_hz;
      t = Transact(t, hz, (hsfctl_ & kWet) ? kOpEnableWriteStatus : kOpWriteEnable, 0, 0, 0, {}, {});
      t = Transact(t, hz, kOpWriteStatus, 0, 0, 0, std::span<const uint8_t>(fdata_.data(), 1), {});
      ok = PollReady(t, hz, &t);
      break;
    }
    case 8:  // read status register
      t = Transact(t, descriptor_.id_status_hz, kOpReadStatus, 0, 0, 0, {}, data);
      hw_.fills_fdata = true;
      break;
    default:
      return refuse(false);
  }
  hw_.error = !ok;
  hw_.end_ns = t;
  bus_free_ns_ = t;
}

void SpiController::StartSoftwareCycle() {
  ++sw_cycles_;
  const uint64_t start = std::max(Now(), bus_free_ns_);
  const unsigned cop = (ssfctl_ >> 12) & 7;
  const bool acs = (ssfctl_ >> 10) & 1;
  const unsigned spop = (ssfctl_ >> 11) & 1;
  const bool data_phase = (ssfctl_ >> 22) & 1;
  const unsigned n = data_phase ? ((ssfctl_ >> 16) & 0x3F) + 1 : 0;
  const uint8_t opcode = uint8_t(opmenu_[cop / 4] >> (8 * (cop % 4)));
  const unsigned type = (preop_optype_ >> (16 + 2 * cop)) & 3;
  const bool with_address = type >= 2;
  const bool is_write = type & 1;
  sw_ = Cycle{};
  sw_.active = true;
  bool access_error = false;
  auto refuse = [&](bool access) {
    sw_.error = true;
    sw_.access_error = access;
    sw_.end_ns = start;
    ++refused_cycles_;
  };
  if (descriptor_.OpcodeForbidden(opcode)) return refuse(true);
  if (with_address && !Permitted(faddr_, std::max(n, 1u), is_write ? Access::kWrite : Access::kRead, &access_error))
    return refuse(access_error);
  const uint32_t hz = is_write ? descriptor_.write_erase_hz : descriptor_.read_hz;
  uint64_t t = start;
  if (acs) t = Transact(t, hz, uint8_t(preop_optype_ >> (8 * spop)), 0, 0, 0, {}, {});
  if (is_write) {
    line_valid_ = false;
    t = Transact(t, hz, opcode, with_address ? 3 : 0, faddr_, 0, std::span<const uint8_t>(fdata_.data(), n), {});
  } else {
    t = Transact(t, hz, opcode, with_address ? 3 : 0, faddr_, 0, {}, std::span<uint8_t>(sw_.data.data(), n));
    sw_.fills_fdata = n > 0;
  }
  bool ok = true;
  if (acs) ok = PollReady(t, hz, &t);
  sw_.error = !ok;
  sw_.end_ns = t;
  bus_free_ns_ = t;
}

void SpiController::DirectRead(uint32_t linear, uint8_t* out, size_t n) {
  Update();
  if (hw_.active || sw_.active) {
    // The window read waits for the bus.
    bus_.clock().AdvanceTo(std::max(hw_.active ? hw_.end_ns : 0, sw_.active ? sw_.end_ns : 0));
    Update();
  }
  const uint32_t line = linear & ~(kLineBytes - 1);
  if (!line_valid_ || line_address_ != line) {
    const uint64_t start = std::max(Now(), bus_free_ns_);
    const bool fast = descriptor_.fast_read;
    bool driven = false;
    uint64_t end = Transact(start, spi_read_hz(), fast ? kOpFastRead : kOpRead, 3, line, fast ? 8 : 0, {},
                            std::span<uint8_t>(line_), &driven);
    ++line_fetches_;
    bus_.clock().AdvanceTo(end);
    bus_free_ns_ = end;
    line_address_ = line;
    line_valid_ = driven;  // what a busy part did not drive is not kept
    if (!driven) {
      std::memcpy(out, line_.data() + (linear - line), n);
      return;
    }
  }
  // The buffered line stands for what was fetched; its bytes are the array's, so a board
  // that changes the array behind the controller's back is still read correctly.
  const std::vector<uint8_t>& array = part_.contents();
  if (linear + n <= array.size()) {
    std::memcpy(out, array.data() + linear, n);
    return;
  }
  for (size_t i = 0; i < n; ++i) out[i] = array[(size_t(linear) + i) % array.size()];
}

}  // namespace sim
