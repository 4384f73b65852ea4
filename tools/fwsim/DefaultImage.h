// The flash image a new board starts with, built from the shipped description of the
// default board (boards/default/image.toml), fitted to the part's size.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

std::filesystem::path BoardsDirectory();  // FWSIM_BOARDS_DIR overrides
std::vector<uint8_t> BuildDefaultFlashImage(uint64_t part_size = 16u << 20);
// The default board's update image (boards/default/update.toml), same fitting.
std::vector<uint8_t> BuildDefaultUpdateImage(uint64_t part_size = 16u << 20);
