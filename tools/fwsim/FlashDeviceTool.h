// The operating system's flash tool as it reaches the flash through software SMI 0x90:
// the part-name report ("$BDR" function 0) and a careful whole-image update that reads the
// current contents once, refuses what the BIOS master may not write, erases only what must
// be erased, writes only what changed, leaves the blocks the board boots from for last,
// and verifies what it changed. Requests are FlashServiceRequest records in simulated OS
// memory; none moves more than 64 KiB, so no SMI of an update outlasts a block erase.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/board/Board.h"
#include "tools/fwsim/UpdatePlan.h"

namespace fwsim {

// The board lost power during a request: nothing more can be asked of it.
struct PowerLostError : FlashToolError {
  using FlashToolError::FlashToolError;
};

struct PartReport {
  uint64_t status = 0;         // 0x5AA5AA55 from the report
  uint32_t flash_size = 0;     // Buffer field
  bool named = false;          // "$FPS" block present
  std::string part_name;
};

enum class VerifyMode {
  kChanged,  // the driver's read-back of every chunk, then one read of each changed unit
  kFull,     // and then the whole flash read back once more
};

// flashrom's way, for comparison: 4 KiB sectors, 256-byte page programs, the sectors in
// address order, a read of the whole flash to verify.
enum class UpdateStrategy { kPlanned, kFlashrom };

struct UpdateOptions {
  uint32_t block_bytes = 0x10000;
  std::vector<std::string> regions;  // empty: every region the BIOS master may write
  VerifyMode verify = VerifyMode::kChanged;
  UpdateStrategy strategy = UpdateStrategy::kPlanned;
  bool force = false;  // write an image the tool's own checks find broken
  std::function<void(uint32_t, uint32_t)> progress;  // (changed units done, changed units)
};

struct UpdateReport {
  uint32_t flash_bytes = 0;
  uint32_t block_bytes = 0;
  uint32_t blocks = 0;        // units of the plan
  uint32_t skipped = 0;       // unchanged, or outside the update's regions
  uint32_t programmed = 0;    // written without an erase (the change only clears bits)
  uint32_t erased = 0;        // erased (and written unless the new data is all 0xFF)
  uint64_t erase_requests = 0;
  uint64_t write_requests = 0;
  uint64_t read_requests = 0;
  struct Block {
    uint32_t offset = 0;  // flash offset
    uint32_t size = 0;
    bool erased = false;
    bool programmed = false;
    bool boot_critical = false;
  };
  std::vector<Block> units;    // every unit of the plan, in flash order (skipped ones too)
  std::vector<FlashRange> boot_critical;
  std::vector<std::string> notes;
  VerifyMode verify = VerifyMode::kChanged;
  UpdateStrategy strategy = UpdateStrategy::kPlanned;
  uint64_t device_ns = 0;       // simulated time from the first request to the verified end
  uint64_t longest_request_ns = 0;
  // From the start of the first request that changes a boot-critical block to the end of
  // the last one: while it lasts, a power cut leaves a board that cannot start.
  uint64_t brick_window_ns = 0;
  double host_seconds = 0;
};

class FlashDeviceTool {
 public:
  static constexpr uint8_t kFlashServiceSmi = 0x90;
  static constexpr uint32_t kReadRequest = 0x10000;
  // A 64 KiB write holds SMM for about 1.3 block erases (1,024 program cycles with their
  // read-backs); half of it stays below one erase.
  static constexpr uint32_t kWriteRequest = 0x8000;
  static constexpr uint32_t kDefaultBlock = 0x10000;

  FlashDeviceTool(sim::Board& board, unsigned cpu = 0);

  PartReport ReportPart();
  // Reads `size` bytes of the flash window from `address` through SMI 0x90 function 4.
  std::vector<uint8_t> Read(uint32_t address, uint32_t size);
  // Makes the flash equal `image` (the whole flash) within the update's regions. A part
  // whose erase unit is larger than the blocks refuses the first erase before changing
  // anything, and the plan starts again with 256 KiB blocks.
  UpdateReport Update(const std::vector<uint8_t>& image, const UpdateOptions& options = {});
  UpdateReport Update(const std::vector<uint8_t>& image, const std::function<void(uint32_t, uint32_t)>& progress,
                      uint32_t block_bytes = kDefaultBlock);

 private:
  struct Request;
  uint64_t Raise(uint32_t signature, uint32_t function, uint32_t address, uint32_t size, uint64_t buffer,
                 Request* out = nullptr);
  void Check(uint64_t status, const char* verb, uint32_t address, uint32_t size);
  void Erase(uint32_t address, uint32_t size);
  void Write(const std::vector<uint8_t>& image, uint32_t base, uint32_t from, uint32_t to, uint32_t request);
  void VerifyRange(const std::vector<uint8_t>& image, uint32_t base, uint32_t from, uint32_t to);
  void NoteBootChange(bool critical, uint64_t start_ns);
  void RunPlan(const std::vector<uint8_t>& image, const std::vector<uint8_t>& current, uint32_t base,
               const UpdateOptions& options, uint32_t block, UpdateReport& report);
  void RunFlashrom(const std::vector<uint8_t>& image, const std::vector<uint8_t>& current, uint32_t base,
                   const UpdateOptions& options, UpdateReport& report);

  sim::Board& board_;
  unsigned cpu_;
  uint64_t request_ = 0;   // the request record in OS memory
  uint64_t buffer_ = 0;    // data buffer in OS memory
  uint64_t read_requests_ = 0;
  uint64_t write_requests_ = 0;
  uint64_t erase_requests_ = 0;
  uint64_t longest_request_ns_ = 0;
  uint64_t boot_first_ns_ = 0;  // brick window, while an update runs
  uint64_t boot_last_ns_ = 0;
  bool boot_touched_ = false;
};

// The window address of flash offset 0 for a part of `size` bytes: the flash's last byte
// answers at 0xFFFFFFFF.
constexpr uint64_t FlashWindowAddress(uint32_t size) { return 0x100000000ULL - size; }

std::string StatusString(uint64_t status);

}  // namespace fwsim
