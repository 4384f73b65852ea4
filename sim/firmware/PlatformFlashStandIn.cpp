#include "sim/firmware/PlatformFlashStandIn.h"

#include <algorithm>

#include "sim/firmware/Firmware.h"

namespace sim {

namespace {
PlatformFlashStandIn* gActive = nullptr;
constexpr uint64_t kFourGiB = 0x100000000ULL;
}  // namespace

PlatformFlashStandIn::PlatformFlashStandIn(Bus& bus, SpiFlash& flash) : bus_(bus), flash_(flash) {
  protocol_.Read = &ReadThunk;
  protocol_.Erase = &EraseThunk;
  protocol_.Write = &WriteThunk;
  protocol_.Operation3 = &Operation3Thunk;
  protocol_.Operation4 = &Operation4Thunk;
  protocol_.Operation5 = &Operation5Thunk;
  previous_active_ = gActive;
  gActive = this;
}

PlatformFlashStandIn::~PlatformFlashStandIn() {
  if (gActive == this) gActive = previous_active_;
}

PlatformFlashStandIn* PlatformFlashStandIn::Active() { return gActive; }

void PlatformFlashStandIn::Install(Firmware& firmware, Database where) {
  EFI_HANDLE h = nullptr;
  ProtocolDatabase& db = where == Database::kSmm ? firmware.smm_protocols() : firmware.dxe_protocols();
  db.current_owner = "board";
  db.Install(&h, PLATFORM_FLASH_PROTOCOL_GUID, &protocol_);
}

const char* PlatformFlashStandIn::OpName(Op op) {
  switch (op) {
    case Op::kRead: return "read";
    case Op::kErase: return "erase";
    case Op::kWrite: return "write";
    case Op::kOperation3: return "operation3";
    case Op::kOperation4: return "operation4";
    case Op::kOperation5: return "operation5";
  }
  return "?";
}

std::optional<PlatformFlashStandIn::Op> PlatformFlashStandIn::OpFromName(const std::string& name) {
  for (Op op : {Op::kRead, Op::kErase, Op::kWrite, Op::kOperation3, Op::kOperation4, Op::kOperation5})
    if (name == OpName(op)) return op;
  return std::nullopt;
}

size_t PlatformFlashStandIn::CountOf(Op op) const {
  return static_cast<size_t>(std::count_if(calls_.begin(), calls_.end(), [op](const Call& c) { return c.op == op; }));
}

void PlatformFlashStandIn::FailNext(Op op, EFI_STATUS status, unsigned count) { failures_[op] = {status, count}; }

std::optional<EFI_STATUS> PlatformFlashStandIn::InjectedFailure(Op op) {
  auto it = failures_.find(op);
  if (it == failures_.end()) return std::nullopt;
  EFI_STATUS s = it->second.status;
  if (it->second.remaining != 0 && --it->second.remaining == 0) failures_.erase(it);
  return s;
}

EFI_STATUS PlatformFlashStandIn::Record(Op op, std::initializer_list<uint64_t> args, EFI_STATUS status) {
  Call c{op, {0, 0, 0, 0}, status, call_start_ns_};
  std::copy(args.begin(), args.end(), c.args);
  calls_.push_back(c);
  return status;
}

std::optional<uint64_t> PlatformFlashStandIn::FlashOffset(uint64_t address, uint64_t size) const {
  const uint64_t flash_size = flash_.contents().size();
  const uint64_t flash_base = kFourGiB - flash_size;
  if (address < flash_base || address > kFourGiB || size > kFourGiB - address) return std::nullopt;
  return address - flash_base;
}

EFI_STATUS PlatformFlashStandIn::Read(uint64_t address, uint64_t size, uint64_t buffer) {
  call_start_ns_ = bus_.clock().Now();
  if (auto f = InjectedFailure(Op::kRead)) return Record(Op::kRead, {address, size, buffer}, *f);
  auto offset = FlashOffset(address, size);
  if (!offset) return Record(Op::kRead, {address, size, buffer}, EFI_INVALID_PARAMETER);
  const auto& contents = flash_.contents();
  // The caller's buffer is reached through the bus, eight bytes at a time.
  for (uint64_t i = 0; i < size;) {
    unsigned n = size - i >= 8 ? 8 : 1;
    uint64_t v = 0;
    for (unsigned b = 0; b < n; ++b) v |= uint64_t(contents[*offset + i + b]) << (8 * b);
    bus_.MemWrite(buffer + i, n, v);
    i += n;
  }
  return Record(Op::kRead, {address, size, buffer}, EFI_SUCCESS);
}

EFI_STATUS PlatformFlashStandIn::Erase(uint64_t address, uint64_t size) {
  call_start_ns_ = bus_.clock().Now();
  if (auto f = InjectedFailure(Op::kErase)) return Record(Op::kErase, {address, size}, *f);
  auto offset = FlashOffset(address, size);
  // The part erases whole 4 KiB sectors only.
  if (!offset || *offset % kSectorBytes != 0 || size % kSectorBytes != 0)
    return Record(Op::kErase, {address, size}, EFI_INVALID_PARAMETER);
  auto& contents = flash_.mutable_contents();
  for (uint64_t s = 0; s < size; s += kSectorBytes) {
    std::fill_n(contents.begin() + static_cast<std::ptrdiff_t>(*offset + s), kSectorBytes, uint8_t{0xFF});
    bus_.clock().Advance(kSectorEraseNs);
  }
  return Record(Op::kErase, {address, size}, EFI_SUCCESS);
}

EFI_STATUS PlatformFlashStandIn::Write(uint64_t address, uint64_t size, uint64_t buffer) {
  call_start_ns_ = bus_.clock().Now();
  if (auto f = InjectedFailure(Op::kWrite)) return Record(Op::kWrite, {address, size, buffer}, *f);
  auto offset = FlashOffset(address, size);
  if (!offset) return Record(Op::kWrite, {address, size, buffer}, EFI_INVALID_PARAMETER);
  auto& contents = flash_.mutable_contents();
  // Page by page, as a page-program command would: fetch, program (NOR: a 1 never comes
  // back without an erase), read back; the first page that does not verify ends the write.
  for (uint64_t done = 0; done < size;) {
    uint64_t page_left = kPageBytes - ((*offset + done) % kPageBytes);
    uint64_t n = std::min(page_left, size - done);
    bool verified = true;
    for (uint64_t i = 0; i < n;) {
      unsigned w = n - i >= 8 ? 8 : 1;
      uint64_t v = bus_.MemRead(buffer + done + i, w);
      for (unsigned b = 0; b < w; ++b) {
        uint8_t want = static_cast<uint8_t>(v >> (8 * b));
        uint8_t& cell = contents[*offset + done + i + b];
        cell &= want;
        if (cell != want) verified = false;
      }
      i += w;
    }
    bus_.clock().Advance(kPageProgramNs);
    if (!verified) return Record(Op::kWrite, {address, size, buffer}, EFI_DEVICE_ERROR);
    done += n;
  }
  return Record(Op::kWrite, {address, size, buffer}, EFI_SUCCESS);
}

EFI_STATUS PlatformFlashStandIn::Operation(Op op) {
  call_start_ns_ = bus_.clock().Now();
  if (auto f = InjectedFailure(op)) return *f;
  auto it = operation_status_.find(op);
  return it == operation_status_.end() ? EFI_SUCCESS : it->second;
}

EFI_STATUS EFIAPI PlatformFlashStandIn::ReadThunk(UINT64 address, UINT64 size, UINT64 buffer) {
  return gActive ? gActive->Read(address, size, buffer) : EFI_NOT_READY;
}
EFI_STATUS EFIAPI PlatformFlashStandIn::EraseThunk(UINT64 address, UINT64 size) {
  return gActive ? gActive->Erase(address, size) : EFI_NOT_READY;
}
EFI_STATUS EFIAPI PlatformFlashStandIn::WriteThunk(UINT64 address, UINT64 size, UINT64 buffer) {
  return gActive ? gActive->Write(address, size, buffer) : EFI_NOT_READY;
}
EFI_STATUS EFIAPI PlatformFlashStandIn::Operation3Thunk(UINT64 a1, UINT64 a2, UINT64 a3, UINT64 a4) {
  if (!gActive) return EFI_NOT_READY;
  return gActive->Record(Op::kOperation3, {a1, a2, a3, a4}, gActive->Operation(Op::kOperation3));
}
EFI_STATUS EFIAPI PlatformFlashStandIn::Operation4Thunk(UINT64 a1, UINT64 a2, UINT64 a3, UINT64 a4) {
  if (!gActive) return EFI_NOT_READY;
  return gActive->Record(Op::kOperation4, {a1, a2, a3, a4}, gActive->Operation(Op::kOperation4));
}
EFI_STATUS EFIAPI PlatformFlashStandIn::Operation5Thunk(UINT64 a1, UINT64 a2, UINT64 a3, UINT64 a4) {
  if (!gActive) return EFI_NOT_READY;
  return gActive->Record(Op::kOperation5, {a1, a2, a3, a4}, gActive->Operation(Op::kOperation5));
}

}  // namespace sim
