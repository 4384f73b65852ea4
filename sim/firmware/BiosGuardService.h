// The board's BIOS Guard service as the flash drivers see it: BiosGuardProtocol in SMM.
// Write and Erase stage one command; Execute(FALSE) carries it out on the flash through
// the PCH SPI controller's hardware sequencer (so it takes the part's real time) and
// returns its status. It can be absent, arrive late, or fail the first or every Execute.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "uefi/BoardProtocols.h"

namespace sim {

class Bus;
class Firmware;

struct BiosGuardService {
  enum class Failure { kNone, kFirst, kEvery };

  BIOS_GUARD_PROTOCOL protocol{};
  Failure failure = Failure::kNone;
  bool installed = false;

  struct Command {
    enum class Kind { kNone, kWrite, kErase } kind = Kind::kNone;
    uint64_t linear = 0;
    std::vector<uint8_t> data;
  };
  Command staged;
  unsigned executes = 0;
  unsigned writes_done = 0;
  unsigned erases_done = 0;
  std::vector<std::string> log;  // "write 0x... 64", "erase 0x...", "execute -> 0x..."

  void Install(Firmware& firmware, Bus& bus);
  EFI_STATUS Execute();

 private:
  bool WaitCycle();
  bool RunCycle(uint64_t linear, uint16_t command_word);
  uint64_t SpiBar();
  Bus* bus_ = nullptr;
};

BiosGuardService::Failure BiosGuardFailureFromName(const std::string& name);

}  // namespace sim
