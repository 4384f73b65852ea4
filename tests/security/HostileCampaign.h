// A campaign of hostile software-SMI 0x90 requests against SpiFlashSmm on the simulated
// board. Every SMI is watched on the bus: any access that touches SMRAM, the number of
// reads of each byte of the request record, the addresses read while a firmware volume is
// searched, and what the flash platform was asked to do. SMRAM that no driver owns is
// filled with a canary, hashed, and searched for afterwards in OS memory and in the flash.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/core/HexText.h"
#include "tests/flash_service/support/FlashTestSupport.h"

namespace hostile {

// 0x and upper-case hexadecimal digits, for failure messages.
using sim::Hex;

struct Range {
  uint64_t base;
  uint64_t end;  // exclusive
  bool Overlaps(uint64_t a, uint64_t n) const { return a < end && base < a + n && a + n > a; }
  bool Contains(uint64_t a, uint64_t n) const { return a >= base && n <= end - a && a <= end; }
};

// The protection state an SMI must leave as it found it: BIOS_SPI_BC, the protected
// ranges, the HSFSTS_CTL lock bits, BAR0 and the command register of the SPI controller,
// and the GPIO pad-lock registers of every community.
struct Protection {
  std::vector<std::pair<std::string, uint32_t>> registers;  // name, value
};
// The first register whose value differs ("" when none does).
std::string ChangedRegister(const Protection& before, const Protection& after);

// What one SMI did.
struct Observation {
  unsigned smram_reads = 0;
  unsigned smram_writes = 0;
  unsigned accesses = 0;       // memory reads and writes of the SMI, all agents
  unsigned max_record_byte_reads = 0;
  std::vector<std::pair<uint64_t, unsigned>> writes;  // address, bytes
  unsigned reads_outside_allowed = 0;                 // with an allowed-read set armed
  uint64_t first_read_outside = 0;
  size_t platform_calls = 0;
  EFI_STATUS status = 0;
  bool handled = false;
  std::string fault;             // the simulator's report when SMM faulted
  unsigned watched_accesses = 0;  // accesses inside the ranges the attack aimed at (device windows, OS memory)
  std::string changed_register;   // protection register the SMI changed, "" when none
};

class Campaign {
 public:
  explicit Campaign(const fstest::BoardOptions& options = {});
  fstest::FlashBoard& fb() { return fb_; }
  const std::vector<Range>& smram() const { return smram_; }
  bool InSmram(uint64_t a, uint64_t n) const;
  // What the board's maps say a caller may hand to SMM (reserved, runtime, ACPI NVS RAM),
  // and where a firmware volume may lie besides (the flash decode below 4 GiB); n = 0 is
  // judged as one byte.
  bool CallerMemory(uint64_t a, uint64_t n) const;
  bool VolumeMemory(uint64_t a, uint64_t n) const;

  // Writes the bytes of `data` that fall into OS memory (bytes in SMRAM or unmapped are skipped).
  void PokeOutsideSmram(uint64_t address, const void* data, size_t n);
  // Raises SMI 0x90 with EBX/ECX = `record` from a processor that rotates per attack.
  // `allowed` (when given) lists the only ranges the handler may read besides the record.
  // `watched` lists what the attack aims at: every access there counts as one made for the
  // caller. After the SMI the protection registers are compared with their values before it.
  Observation Attack(uint64_t record, std::optional<std::vector<Range>> allowed = std::nullopt,
                     std::function<void(uint64_t address, unsigned bytes)> after_read = {},
                     const std::vector<Range>& watched = {});
  // The same watch around code run in SMM as another driver (protocol callers).
  Observation Watch(const std::function<void()>& code, const std::vector<Range>& watched);
  // The same watch around a platform event (a power-button press, a sleep entry, an SMI
  // other than 0x90) that `event` raises.
  Observation Observe(const std::function<void()>& event, const std::vector<Range>& watched);
  Protection ReadProtection();

  uint64_t SmramHash() const;
  // Occurrences of the SMRAM canary in OS RAM, high RAM and the flash.
  size_t CanaryLeaks();

  struct Tally {
    unsigned attacks = 0;
    unsigned refused = 0;
    unsigned smram_reads = 0;
    unsigned smram_writes = 0;
    unsigned max_record_byte_reads = 0;
    unsigned reads_outside_volume = 0;
    unsigned device_accesses = 0;   // accesses made for the caller in the windows it aimed at
    unsigned false_successes = 0;   // EFI_SUCCESS for a request that had to be refused
    unsigned violations = 0;        // SMIs after which a protection register had changed
    std::string first_violation;
  };
  std::map<std::string, Tally>& tallies() { return tallies_; }
  void Count(const std::string& cls, const Observation& o, bool refused, bool false_success = false);
  void PrintFigures() const;
  // Fails the test for any class with an SMRAM access, a device access made for the caller,
  // a false success or a changed protection register.
  void ExpectCleanFigures() const;

 private:
  fstest::FlashBoard fb_;
  std::vector<Range> smram_;
  std::map<std::string, Tally> tallies_;
  unsigned next_cpu_ = 0;
};

constexpr uint8_t kCanary[8] = {'S', 'm', 'R', 'a', 'M', 0xC4, 0x9A, 0x11};

}  // namespace hostile
