// Board-folder files are replaced whole: written to a temporary file beside the target,
// flushed, then renamed over it, so a failing command never leaves one half-written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

namespace sim {

void WriteFileAtomically(const std::filesystem::path& file, std::string_view contents);
void WriteFileAtomically(const std::filesystem::path& file, const std::vector<uint8_t>& contents);
std::vector<uint8_t> ReadBinaryFile(const std::filesystem::path& file);

}  // namespace sim
