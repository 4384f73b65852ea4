// board.toml as fwsim reads it: parse, check, and build the board the description passes.
// A description the check accepts must build (devices read it without surprises); one it
// refuses must be refused with one line.
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "sim/board/Board.h"
#include "sim/board/BoardDescription.h"
#include "sim/devices/FlashCatalogue.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  toml::table description;
  try {
    description = sim::ParseBoardDescription(text, "board.toml");
    sim::CheckBoardDescription(description, true);
  } catch (const std::runtime_error& e) {
    fuzz::OneLine(e.what());
    return 0;
  }
  const auto& part = sim::FindFlashPart(description["flash"]["part"].value_or(std::string()));
  try {
    auto board = sim::Board::CreateInMemory(description, std::vector<uint8_t>(part.size, 0xFF));
  } catch (const std::invalid_argument& e) {
    // The pad table of [gpio] is checked by the PCH model, which knows its pads.
    fuzz::OneLine(e.what());
  }
  return 0;
}
