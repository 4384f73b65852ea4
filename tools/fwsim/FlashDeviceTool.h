// The operating system's flash tool as it reaches the flash through software SMI 0x90:
// the part-name report ("$BDR" function 0) and a careful whole-image update that reads the
// current contents, erases only what must be erased, writes only what changed, and
// verifies. Requests are FlashServiceRequest records in simulated OS memory.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/board/Board.h"

namespace fwsim {

struct FlashToolError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct PartReport {
  uint64_t status = 0;         // 0x5AA5AA55 from the report
  uint32_t flash_size = 0;     // Buffer field
  bool named = false;          // "$FPS" block present
  std::string part_name;
};

struct UpdateReport {
  uint32_t flash_bytes = 0;
  uint32_t block_bytes = 0;
  uint32_t blocks = 0;
  uint32_t skipped = 0;       // unchanged
  uint32_t programmed = 0;    // written without an erase (the change only clears bits)
  uint32_t erased = 0;        // erased and written
  uint64_t erase_requests = 0;
  uint64_t write_requests = 0;
  uint64_t read_requests = 0;
  struct Block {
    uint32_t offset = 0;  // flash offset
    uint32_t size = 0;
    bool erased = false;  // erased and written; otherwise written without an erase
  };
  std::vector<Block> changed;  // every block the update touched, in flash order
  uint64_t device_ns = 0;     // simulated time from the first request to the verified end
  double host_seconds = 0;
};

class FlashDeviceTool {
 public:
  static constexpr uint8_t kFlashServiceSmi = 0x90;
  static constexpr uint32_t kReadChunk = 0x100000;
  static constexpr uint32_t kDefaultBlock = 0x10000;

  FlashDeviceTool(sim::Board& board, unsigned cpu = 0);

  PartReport ReportPart();
  // Reads `size` bytes of the flash window from `address` through SMI 0x90 function 4.
  std::vector<uint8_t> Read(uint32_t address, uint32_t size);
  // Writes `image` (the whole flash) so that the flash ends up equal to it, then reads it
  // all back. Blocks of `block_bytes` are compared, erased and written; a part whose erase
  // unit is larger refuses the first erase and the plan starts again with 256 KiB blocks.
  // `progress(done_blocks, total_blocks)` is called after every block.
  UpdateReport Update(const std::vector<uint8_t>& image,
                      const std::function<void(uint32_t, uint32_t)>& progress = nullptr,
                      uint32_t block_bytes = kDefaultBlock);

 private:
  struct Request;
  uint64_t Raise(uint32_t signature, uint32_t function, uint32_t address, uint32_t size, uint64_t buffer,
                 Request* out = nullptr);
  void Check(uint64_t status, const std::string& what);

  sim::Board& board_;
  unsigned cpu_;
  uint64_t request_ = 0;   // the request record in OS memory
  uint64_t buffer_ = 0;    // data buffer in OS memory
  uint64_t buffer_size_ = 0;
  uint64_t read_requests_ = 0;
};

// The window address of flash offset 0 for a part of `size` bytes: the flash's last byte
// answers at 0xFFFFFFFF.
constexpr uint64_t FlashWindowAddress(uint32_t size) { return 0x100000000ULL - size; }

std::string StatusString(uint64_t status);

}  // namespace fwsim
