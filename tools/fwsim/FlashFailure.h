// What fwsim does when a flash command fails part-way: the board folder gets the flash as
// the part holds it (a real board keeps what its flash holds), and the message says which
// blocks are now neither the old contents nor the new ones and what to do next. A command
// that failed before the flash changed leaves the folder as it was.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/board/Board.h"
#include "tools/fwsim/FwsimContext.h"

// Throws FwsimError; with --json the result object goes to stdout first.
[[noreturn]] void FailFlashCommand(FwsimContext& ctx, sim::Board& board, const std::string& command,
                                   const std::vector<uint8_t>& before, const std::vector<uint8_t>& target,
                                   uint32_t unit, const std::string& what, const std::string& again);
