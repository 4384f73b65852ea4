// Helpers shared by the fwimage tests: building from inline descriptions, the flash
// window view of an image, running external programs.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/fwimage/ImageBuilder.h"

namespace fwtest {

inline std::filesystem::path SourceDir() { return FW_SOURCE_DIR; }

inline std::vector<uint8_t> BuildFromText(const std::string& toml, const std::filesystem::path& dir = ".") {
  return fwimage::BuildImage(fwimage::ParseDescription(toml, dir, "test.toml"));
}

// The flash as the processor sees it: the BIOS region's last byte at 0xFFFFFFFF.
class FlashWindow {
 public:
  FlashWindow(const std::vector<uint8_t>& image, uint64_t bios_limit) : image_(image), top_(bios_limit) {}
  bool Mapped(uint64_t address) const {
    return address < fwimage::kFourGiB && address >= fwimage::kFourGiB - (top_ + 1);
  }
  uint8_t Read8(uint64_t address) const {
    EXPECT_TRUE(Mapped(address)) << std::hex << address;
    return Mapped(address) ? image_[top_ + 1 - (fwimage::kFourGiB - address)] : 0xFF;
  }
  uint32_t Read32(uint64_t a) const {
    return Read8(a) | Read8(a + 1) << 8 | Read8(a + 2) << 16 | static_cast<uint32_t>(Read8(a + 3)) << 24;
  }
  uint64_t Read64(uint64_t a) const { return Read32(a) | static_cast<uint64_t>(Read32(a + 4)) << 32; }
  bool GuidAt(uint64_t a, const EFI_GUID& g) const {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&g);
    for (int i = 0; i < 16; ++i)
      if (Read8(a + i) != b[i]) return false;
    return true;
  }

 private:
  const std::vector<uint8_t>& image_;
  uint64_t top_;
};

struct CommandResult {
  int status = -1;
  std::string output;
};

inline CommandResult Run(const std::string& command) {
  CommandResult r;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  int rc = pclose(p);
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return r;
}

// An outside program a test needs: in CI its absence is a failure, on a developer's
// machine the test is skipped with the package to install.
#define FW_REQUIRE_PROGRAM(program, package)                                                   \
  do {                                                                                         \
    if (fwtest::Run(std::string("command -v ") + (program)).status != 0) {                     \
      if (std::getenv("CI") != nullptr) FAIL() << (program) << " missing: apt-get install " << (package); \
      GTEST_SKIP() << (program) << " missing: apt-get install " << (package);                 \
    }                                                                                          \
  } while (0)

inline void WriteFile(const std::filesystem::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::filesystem::path ScratchDir(const std::string& name) {
  auto dir = std::filesystem::temp_directory_path() /
             ("fwimage-" + name + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace fwtest
