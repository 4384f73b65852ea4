// One SPI NOR flash part on the board's SPI bus. The controller frames each transaction
// (opcode, address, data out, data in) and asks the part to answer it at a simulated time;
// the part keeps its array, status register, write-enable latch, protection state and
// the time until which it stays busy. NOR semantics: programming only clears bits, an
// erase sets its whole block to 0xFF, and a busy part ignores everything but status reads.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "sim/core/PowerRail.h"
#include "sim/devices/FlashPartDatasheet.h"

namespace sim {

// Faults a part can be given (tests, board description [faults.flash]).
struct FlashFaults {
  struct StuckBits {
    uint32_t offset;
    uint8_t mask;
  };
  std::vector<StuckBits> stuck_at_zero;  // bits an erase cannot set
  std::vector<StuckBits> stuck_at_one;   // bits a program cannot clear
  std::set<uint32_t> failing_erase_blocks;  // erases touching these offsets change nothing
  unsigned erase_failures = 0;    // the next N erases change nothing
  unsigned program_failures = 0;  // the next N programs change nothing
  // After this many completed program/erase/status-write operations the part starts one
  // that never finishes (negative: never).
  int hang_after_operations = -1;
};

// What the part has been asked to do (the benchmark's operation counts).
struct FlashPartStats {
  uint64_t read_commands = 0;
  uint64_t read_bytes = 0;
  uint64_t program_commands = 0;
  uint64_t programmed_bytes = 0;
  uint64_t erase_commands = 0;
  uint64_t erased_bytes = 0;
  uint64_t erases_4k = 0;  // by the size the erase cleared
  uint64_t erases_32k = 0;
  uint64_t erases_64k = 0;
  uint64_t erases_larger = 0;
  uint64_t status_reads = 0;
  uint64_t status_writes = 0;
  uint64_t ignored_while_busy = 0;
  uint64_t busy_ns = 0;  // time spent busy in program, erase and status-write operations
};

// A power cut armed on the part's own count of what it is asked to do (board description
// [power], fwsim --cut-after-ops / --cut-after-transactions). Counts start when armed.
struct FlashPowerCutTrigger {
  // The power goes the instant the N-th erase or program finishes (N = 0: when armed).
  std::optional<uint64_t> after_operations;
  // The power goes half way through the N-th erase or program.
  std::optional<uint64_t> inside_operation;
  // The power goes the instant the N-th transaction ends (CS# rises), whatever it was.
  std::optional<uint64_t> after_transactions;
  // Chooses which bits of a sector an interrupted erase had already erased.
  uint64_t seed = 1;
};

// One erase or program as the part carried it out (for campaigns and plan timings).
struct FlashOperationRecord {
  enum class Kind { kErase, kProgram };
  Kind kind;
  uint32_t base;   // first byte the operation changes
  uint32_t bytes;  // block erased, or bytes programmed
  uint64_t start_ns;
  uint64_t end_ns;
};

class FlashPart {
 public:
  FlashPart(const FlashPartDatasheet& datasheet, std::vector<uint8_t> contents, uint8_t non_volatile_status = 0);

  const FlashPartDatasheet& datasheet() const { return datasheet_; }
  uint32_t size() const { return datasheet_.size; }
  const std::vector<uint8_t>& contents() const { return array_; }
  std::vector<uint8_t>& mutable_contents() { return array_; }

  // One CS#-framed transaction that starts at `now`. Bytes the part drives are written to
  // `in`; the function answers false when the part did not drive SO at all (a busy part,
  // or an opcode it does not know), leaving `in` untouched.
  bool Transfer(uint64_t now, uint8_t opcode, uint32_t address, std::span<const uint8_t> out, std::span<uint8_t> in);

  bool Busy(uint64_t now) const { return now < busy_until_; }
  uint64_t busy_until() const { return busy_until_; }
  static constexpr uint64_t kForever = std::numeric_limits<uint64_t>::max();

  uint8_t status() const;  // status register 1 as RDSR returns it at a time the part is idle
  bool write_enabled() const { return wel_; }
  bool IsProtected(uint32_t offset) const;
  // Direct read of the array for the memory-mapped window: false while the part is busy.
  bool ReadArray(uint64_t now, uint32_t offset, uint8_t* out, size_t n);

  // Power. Once the rail is off the part answers nothing; LosePower() then settles what an
  // erase, program or status write in flight at that instant left behind (a sector partly
  // erased, a prefix of a page's bits programmed, the old status) and puts the volatile
  // state where power-up leaves it: idle, write-enable latch clear, volatile protection
  // back (SST26 and AT25DF all locked).
  void AttachPowerRail(PowerRail* rail) { rail_ = rail; }
  void ArmPowerCut(uint64_t now, const FlashPowerCutTrigger& trigger);
  void LosePower();
  // Called for every erase and program the part starts.
  std::function<void(const FlashOperationRecord&)> on_operation;

  FlashFaults& faults() { return faults_; }
  const FlashPartStats& stats() const { return stats_; }
  void ResetStats() { stats_ = {}; }

 private:
  // What an interrupted operation needs to be undone to the instant of the cut.
  struct InFlight {
    enum class Kind { kNone, kErase, kProgram, kStatusWrite } kind = Kind::kNone;
    uint64_t start_ns = 0;
    uint64_t end_ns = 0;
    uint32_t base = 0;           // erase: block base; program: page base
    uint32_t bytes = 0;          // erase: block size; program: page size
    uint32_t first = 0;          // program: page offset of the first data byte
    uint32_t count = 0;          // program: data bytes, in the order the part programs them
    std::vector<uint8_t> before; // the bytes (erase, program) before the operation
    uint8_t status_before = 0;
  };
  bool CutPossible() const;
  void RecordInFlight(InFlight::Kind kind, uint64_t now, uint64_t duration, uint32_t base, uint32_t bytes,
                      uint32_t first = 0, uint32_t count = 0);
  void CountOperation(FlashOperationRecord::Kind kind, uint64_t now, uint64_t duration, uint32_t base, uint32_t bytes);
  void SettleInterrupted(uint64_t off_ns);
  void PowerUpState(uint8_t non_volatile_status);
  void StartOperation(uint64_t now, uint64_t duration);
  void Program(uint64_t now, uint32_t address, std::span<const uint8_t> data);
  void Erase(uint64_t now, uint8_t opcode, uint32_t address);
  void ChipErase(uint64_t now);
  void WriteStatus(uint64_t now, uint8_t value);
  bool Respond(uint64_t now, uint8_t opcode, uint32_t address, std::span<const uint8_t> out, std::span<uint8_t> in);
  bool EraseBlock(uint8_t opcode, uint32_t address, uint32_t* base, uint32_t* bytes, uint64_t* duration) const;
  uint64_t EraseTime(uint32_t bytes) const;
  bool RangeProtected(uint32_t base, uint32_t bytes) const;
  void ApplyStuckBits(uint32_t base, uint32_t bytes);
  size_t Sst26BlockIndex(uint32_t offset) const;

  FlashPartDatasheet datasheet_;
  std::vector<uint8_t> array_;
  uint8_t status_bits_;  // protection and control bits of status register 1 (bits 7:2)
  bool wel_ = false;
  bool ewsr_ = false;
  std::vector<bool> sector_protected_;  // AT25DF: per 64 KiB sector; SST26: per block write lock
  uint64_t busy_until_ = 0;
  uint64_t completed_operations_ = 0;
  FlashFaults faults_;
  FlashPartStats stats_;

  PowerRail* rail_ = nullptr;
  std::optional<FlashPowerCutTrigger> trigger_;
  uint64_t operations_since_armed_ = 0;
  uint64_t transactions_since_armed_ = 0;
  uint64_t cut_seed_ = 1;
  InFlight in_flight_;
};

}  // namespace sim
