// The flash image a new board starts with, built from the shipped description of the
// default board (boards/default/image.toml), fitted to the part's size.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

std::filesystem::path BoardsDirectory();  // FWSIM_BOARDS_DIR overrides

// The SPI bus the image's descriptor asks the PCH for. By default the description's own
// (fast read at 48 MHz), lowered to the fastest PCH clock the part takes.
struct DefaultImageBus {
  uint32_t part_max_mhz = 0;  // the part's highest clock; 0: no limit
  uint32_t clock_mhz = 0;     // 17, 30 or 48 to choose; 0: the description's
  std::string read;           // "fast" or "normal" to choose; empty: the description's
};

std::vector<uint8_t> BuildDefaultFlashImage(uint64_t part_size = 16u << 20, const DefaultImageBus& bus = {});
// The default board's update image (boards/default/update.toml), same fitting.
std::vector<uint8_t> BuildDefaultUpdateImage(uint64_t part_size = 16u << 20, const DefaultImageBus& bus = {});
