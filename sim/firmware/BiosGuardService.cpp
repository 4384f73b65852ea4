#include "sim/firmware/BiosGuardService.h"

#include <cstdio>
#include <stdexcept>

#include "sim/core/Bus.h"
#include "sim/firmware/Firmware.h"

namespace sim {

namespace {
BiosGuardService* gService = nullptr;

// PCH SPI controller, device 31 function 5: BAR0 and the hardware sequencer.
constexpr uint64_t kSpiBar0 = kPciExpressBase + PciOffset(0, 31, 5) + 0x10;
constexpr uint64_t kHsfsts = 0x04;
constexpr uint64_t kHsfctl = 0x06;
constexpr uint64_t kFaddr = 0x08;
constexpr uint64_t kFdata0 = 0x10;
constexpr uint8_t kFdone = 1u << 0, kFcerr = 1u << 1, kAel = 1u << 2, kScip = 1u << 5;
constexpr uint16_t kCycleWrite = 0x0005;  // FGO | FCYCLE 2, FDBC in bits 13:8
constexpr uint16_t kCycleErase4K = 0x0007;  // FGO | FCYCLE 3
constexpr unsigned kMaxCycleBytes = 64;
constexpr unsigned kPolls = 1u << 26;

// One service per board; the interface pointer must be the one it installed.
BiosGuardService& S(BIOS_GUARD_PROTOCOL* self) {
  if (gService == nullptr || self != &gService->protocol) throw std::logic_error("BiosGuardProtocol: bad interface");
  return *gService;
}

VOID EFIAPI StageWrite(BIOS_GUARD_PROTOCOL* self, UINT64 linear, UINT32 count, UINT8* buffer) {
  auto& s = S(self);
  s.staged = {BiosGuardService::Command::Kind::kWrite, linear, std::vector<uint8_t>(buffer, buffer + count)};
  char b[64];
  std::snprintf(b, sizeof b, "write 0x%llX %u", static_cast<unsigned long long>(linear), count);
  s.log.push_back(b);
}

VOID EFIAPI StageErase(BIOS_GUARD_PROTOCOL* self, UINT64 linear) {
  auto& s = S(self);
  s.staged = {BiosGuardService::Command::Kind::kErase, linear, {}};
  char b[64];
  std::snprintf(b, sizeof b, "erase 0x%llX", static_cast<unsigned long long>(linear));
  s.log.push_back(b);
}

EFI_STATUS EFIAPI ExecuteStaged(BIOS_GUARD_PROTOCOL* self, BOOLEAN) { return S(self).Execute(); }
}  // namespace

BiosGuardService::Failure BiosGuardFailureFromName(const std::string& name) {
  if (name == "none") return BiosGuardService::Failure::kNone;
  if (name == "first") return BiosGuardService::Failure::kFirst;
  if (name == "every") return BiosGuardService::Failure::kEvery;
  throw std::runtime_error("[bios_guard] execute_failures must be none, first or every");
}

void BiosGuardService::Install(Firmware& firmware, Bus& bus) {
  bus_ = &bus;
  gService = this;
  protocol = {&StageWrite, &StageErase, &ExecuteStaged};
  EFI_HANDLE h = nullptr;
  firmware.smm_protocols().current_owner = "board";
  firmware.smm_protocols().Install(&h, BIOS_GUARD_PROTOCOL_GUID, &protocol);
  installed = true;
}

uint64_t BiosGuardService::SpiBar() { return bus_->MemRead(kSpiBar0, 4) & 0xFFFFF000u; }

bool BiosGuardService::WaitCycle() {
  uint64_t bar = SpiBar();
  for (unsigned i = 0; i < kPolls; ++i) {
    uint8_t st = static_cast<uint8_t>(bus_->MemRead(bar + kHsfsts, 1));
    if (!(st & kScip) && (st & (kFdone | kFcerr))) {
      bus_->MemWrite(bar + kHsfsts, 1, kFdone | kFcerr | kAel);
      return (st & kFcerr) == 0;
    }
  }
  return false;
}

bool BiosGuardService::RunCycle(uint64_t linear, uint16_t command_word) {
  uint64_t bar = SpiBar();
  bus_->MemWrite(bar + kFaddr, 4, static_cast<uint32_t>(linear));
  bus_->MemWrite(bar + kHsfctl, 2, command_word);
  return WaitCycle();
}

EFI_STATUS BiosGuardService::Execute() {
  ++executes;
  Command cmd = staged;
  staged = {};
  EFI_STATUS status = EFI_SUCCESS;
  if (failure == Failure::kEvery || (failure == Failure::kFirst && executes == 1)) {
    status = EFI_DEVICE_ERROR;
  } else if (cmd.kind == Command::Kind::kErase) {
    status = RunCycle(cmd.linear & ~0xFFFull, kCycleErase4K) ? EFI_SUCCESS : EFI_DEVICE_ERROR;
    if (!EFI_ERROR(status)) ++erases_done;
  } else if (cmd.kind == Command::Kind::kWrite) {
    uint64_t bar = SpiBar();
    size_t done = 0;
    while (done < cmd.data.size() && !EFI_ERROR(status)) {
      uint64_t at = cmd.linear + done;
      size_t n = std::min<size_t>({kMaxCycleBytes, cmd.data.size() - done, 256 - (at & 0xFF)});
      for (size_t i = 0; i < n; ++i) bus_->MemWrite(bar + kFdata0 + i, 1, cmd.data[done + i]);
      if (!RunCycle(at, static_cast<uint16_t>(((n - 1) << 8) | kCycleWrite))) status = EFI_DEVICE_ERROR;
      done += n;
    }
    if (!EFI_ERROR(status)) ++writes_done;
  } else {
    status = EFI_NOT_READY;  // nothing staged
  }
  char b[64];
  std::snprintf(b, sizeof b, "execute -> 0x%016llX", static_cast<unsigned long long>(status));
  log.push_back(b);
  return status;
}

}  // namespace sim
