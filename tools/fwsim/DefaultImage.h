// The flash image a new board starts with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

std::vector<uint8_t> BuildDefaultFlashImage(const std::string& part);
