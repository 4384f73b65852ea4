// What distinguishes one SPI NOR part from another in the simulation: identity, geometry,
// command set, status-register protection scheme, power-up state and datasheet timings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// How the part's block protection works.
enum class ProtectionScheme {
  kNone,
  // Winbond-style SR1: BP0-BP2 (bits 4:2), TB (bit 5), SEC (bit 6), SRP (bit 7). With SEC 0
  // the protected part is size/64 << (BP-1); with SEC 1 it is 4 KiB << (BP-1), at most 32 KiB.
  kBpTbSec,
  // BP0-BP3 (bits 5:2), protecting 64 KiB << (BP-1) at the top of the array; SRWD bit 7.
  kBp4Blocks,
  // BP0-BP2 (bits 4:2), protecting size/64 << (BP-1) at the top; SRWD bit 7.
  kBp3Fraction,
  // SST25: BP0-BP3 (bits 5:2, BP3 without effect), BPL bit 7; protects size/32 << (BP-1),
  // all from BP = 6. Volatile: powers up protected.
  kSst25,
  // Atmel AT25DF: one protection bit per 64 KiB sector, all set at power-up. SR bits 3:2
  // (SWP) report none/some/all; writing the status register with bits 5:2 all 0 unprotects
  // every sector, all 1 protects every sector.
  kAtmelSectors,
  // SST26: a block-protection register with a write-lock bit per block, all locked at
  // power-up; the global unlock (0x98, write-enable latch set) clears them.
  kSst26Bpr,
};

enum class ProgramMode {
  kPage,  // 0x02 programs up to a page, wrapping inside it
  kByte,  // 0x02 programs one byte; further data bytes are ignored
};

// What an erase opcode clears.
struct EraseCommand {
  uint8_t opcode;
  uint32_t bytes;
};

struct FlashPartTiming {
  uint64_t program_first_byte_ns;  // first byte of a program command
  uint64_t program_per_byte_ns;    // each further byte
  uint64_t write_status_ns;        // status-register write (non-volatile bits)
  uint64_t erase_4k_ns;
  uint64_t erase_32k_ns;
  uint64_t erase_64k_ns;           // also the 256 KiB sector of parts that have one
  uint64_t chip_erase_ns;
};

struct FlashPartDatasheet {
  std::string name;            // catalogue name, e.g. "W25Q128JV"
  std::string vendor;
  uint32_t jedec_id;           // as the 9Fh bytes arrive: manufacturer | type << 8 | capacity << 16
  std::vector<uint8_t> id_reply;  // bytes answered to 9Fh (empty: the three JEDEC bytes, then 0)
  uint32_t size;               // bytes
  uint32_t page_size;          // 256
  ProgramMode program_mode;
  std::vector<EraseCommand> erase_commands;
  bool sst26_block_geometry;   // 0xD8 erases 8 KiB / 32 KiB blocks at both ends of the array
  ProtectionScheme protection;
  bool volatile_status;        // status bits volatile (no busy time when written)
  uint8_t power_up_status;     // status register at power-up (volatile parts)
  bool accepts_ewsr;           // 0x50 enables one status-register write
  std::vector<uint8_t> sfdp;   // SFDP space from address 0; empty: no SFDP
  uint32_t sfdp_leading_bytes; // dummy bytes the part inserts before SFDP data beyond the standard 8 clocks
  uint32_t max_clock_mhz;      // fastest read clock it supports
  FlashPartTiming timing;
  std::string note;            // what the catalogue entry stands for
};

}  // namespace sim
