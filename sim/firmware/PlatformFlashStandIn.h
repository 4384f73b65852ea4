// Board-side PlatformFlashProtocol stand-in: the other firmware driver that reads, erases
// and programs the SPI flash for SpiFlashSmm. It works on the board's flash contents with
// NOR semantics (erase sets 4 KiB sectors to 0xFF, programming only clears bits), reaches
// the caller's buffers through the bus like any SMM code, records every call and fails on
// request. The board installs it when its description says
// [firmware] platform_flash = "stand-in".
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/core/Bus.h"
#include "sim/devices/SpiFlash.h"
#include "uefi/BoardProtocols.h"

namespace sim {

class Firmware;

class PlatformFlashStandIn {
 public:
  enum class Op { kRead, kErase, kWrite, kOperation3, kOperation4, kOperation5 };
  struct Call {
    Op op;
    uint64_t args[4];  // Address, Size, Buffer for read/write; Address, Size for erase
    EFI_STATUS status;
    uint64_t time_ns;  // simulated time the call began
  };

  // Datasheet-typical times of a serial NOR part (W25Q128JV class).
  static constexpr uint64_t kSectorBytes = 0x1000;
  static constexpr uint64_t kPageBytes = 0x100;
  static constexpr uint64_t kSectorEraseNs = 45'000'000;
  static constexpr uint64_t kPageProgramNs = 700'000;

  PlatformFlashStandIn(Bus& bus, SpiFlash& flash);
  ~PlatformFlashStandIn();
  PlatformFlashStandIn(const PlatformFlashStandIn&) = delete;
  PlatformFlashStandIn& operator=(const PlatformFlashStandIn&) = delete;

  // Installs PlatformFlashProtocol in the SMM protocol database, where an SMM flash driver
  // publishes it, or in the boot-services database, as a DXE flash driver would.
  enum class Database { kSmm, kBootServices };
  void Install(Firmware& firmware, Database where = Database::kSmm);
  static PlatformFlashStandIn* Active();
  const PLATFORM_FLASH_PROTOCOL& protocol() const { return protocol_; }

  const std::vector<Call>& calls() const { return calls_; }
  void ClearCalls() { calls_.clear(); }
  size_t CountOf(Op op) const;

  // Fault injection: the next `count` calls of `op` return `status` without touching the
  // flash (count 0: every call from now on).
  void FailNext(Op op, EFI_STATUS status, unsigned count = 1);
  // What operations 3 to 5 answer (they have no effect on the flash).
  void SetOperationStatus(Op op, EFI_STATUS status) { operation_status_[op] = status; }

  // Window address -> offset in the flash contents, when [address, address + size) lies in
  // the decoded flash (its last byte at 0xFFFFFFFF).
  std::optional<uint64_t> FlashOffset(uint64_t address, uint64_t size) const;

  static const char* OpName(Op op);
  static std::optional<Op> OpFromName(const std::string& name);

 private:
  static EFI_STATUS EFIAPI ReadThunk(UINT64 address, UINT64 size, UINT64 buffer);
  static EFI_STATUS EFIAPI EraseThunk(UINT64 address, UINT64 size);
  static EFI_STATUS EFIAPI WriteThunk(UINT64 address, UINT64 size, UINT64 buffer);
  static EFI_STATUS EFIAPI Operation3Thunk(UINT64 a1, UINT64 a2, UINT64 a3, UINT64 a4);
  static EFI_STATUS EFIAPI Operation4Thunk(UINT64 a1, UINT64 a2, UINT64 a3, UINT64 a4);
  static EFI_STATUS EFIAPI Operation5Thunk(UINT64 a1, UINT64 a2, UINT64 a3, UINT64 a4);

  EFI_STATUS Read(uint64_t address, uint64_t size, uint64_t buffer);
  EFI_STATUS Erase(uint64_t address, uint64_t size);
  EFI_STATUS Write(uint64_t address, uint64_t size, uint64_t buffer);
  EFI_STATUS Operation(Op op);
  std::optional<EFI_STATUS> InjectedFailure(Op op);
  EFI_STATUS Record(Op op, std::initializer_list<uint64_t> args, EFI_STATUS status);
  uint64_t call_start_ns_ = 0;

  struct Failure {
    EFI_STATUS status;
    unsigned remaining;  // 0: unlimited
  };

  Bus& bus_;
  SpiFlash& flash_;
  PLATFORM_FLASH_PROTOCOL protocol_{};
  std::vector<Call> calls_;
  std::map<Op, Failure> failures_;
  std::map<Op, EFI_STATUS> operation_status_;
  PlatformFlashStandIn* previous_active_ = nullptr;
};

}  // namespace sim
