// The images of the uefi build. Absent images skip the test on a developer's machine
// (build the uefi preset first) and fail it in CI.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace fwtest {

inline std::filesystem::path UefiDir() { return FW_UEFI_DIR; }

inline std::vector<std::filesystem::path> UefiOutputs(const char* folder, const char* extension) {
  std::vector<std::filesystem::path> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(UefiDir() / folder, ec))
    if (e.path().extension() == extension) out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

inline std::vector<uint8_t> ReadBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#define FW_REQUIRE_UEFI_OUTPUTS(list)                                                              \
  do {                                                                                             \
    if ((list).empty()) {                                                                          \
      if (std::getenv("CI") != nullptr) FAIL() << "no images in " << fwtest::UefiDir();           \
      GTEST_SKIP() << "no images in " << fwtest::UefiDir() << ": run cmake --build --preset uefi"; \
    }                                                                                              \
  } while (0)

}  // namespace fwtest
