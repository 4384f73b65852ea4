// Every .efi of the uefi build is a PE32+ x64 boot-service driver a UEFI loader accepts:
// 4 KiB sections, 64-bit base relocations, no imports, no writable code.
#include "tests/uefi_images/ImageFitness.h"
#include "tests/uefi_images/UefiBuild.h"

namespace {

std::string Utf16At(const fwtest::PeImage& pe, const std::vector<uint8_t>& file, uint32_t rva) {
  std::vector<uint8_t> b = pe.Read(file, rva, 128);
  std::string s;
  for (size_t i = 0; i + 1 < b.size() && (b[i] | b[i + 1]) != 0; i += 2) s += static_cast<char>(b[i]);
  return s;
}

TEST(UefiImages, EveryImageIsALoadableDriverWithItsIdentityRecord) {
  auto images = fwtest::UefiOutputs("efi", ".efi");
  FW_REQUIRE_UEFI_OUTPUTS(images);
  for (const auto& path : images) {
    SCOPED_TRACE(path.filename().string());
    auto file = fwtest::ReadBytes(path);
    fwtest::PeImage pe = fwtest::ParsePe(file);
    auto bad = fwtest::CheckFirmwareImage(pe, file);
    EXPECT_TRUE(bad.empty()) << bad.front();
    // One relocated pointer of the identity record names the image.
    bool named = false;
    for (uint32_t rva : pe.dir64_relocations) {
      auto v = pe.Read(file, rva, 8);
      uint64_t target = 0;
      for (int i = 7; i >= 0; --i) target = target << 8 | v[i];
      if (target >= pe.image_base && Utf16At(pe, file, static_cast<uint32_t>(target - pe.image_base)) == path.stem().string())
        named = true;
    }
    EXPECT_TRUE(named) << "no relocated pointer to the image name";
  }
}

TEST(UefiImages, CheckerRefusesEachBrokenHeader) {
  auto images = fwtest::UefiOutputs("efi", ".efi");
  FW_REQUIRE_UEFI_OUTPUTS(images);
  const auto good = fwtest::ReadBytes(images.front());
  ASSERT_TRUE(fwtest::CheckFirmwareImage(fwtest::ParsePe(good), good).empty());
  const uint32_t opt = good[0x3C] | good[0x3D] << 8;
  const size_t optional = opt + 24;
  auto put16 = [](std::vector<uint8_t>& f, size_t at, uint16_t v) {
    f[at] = static_cast<uint8_t>(v);
    f[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  struct Case {
    const char* expected;
    size_t at;
    uint16_t value;
  } cases[] = {
      {"not x64", opt + 4, 0x014C},
      {"subsystem 10", optional + 0x44, 10},
      {"section alignment", optional + 0x20, 0x0200},
      {"relocations stripped", opt + 4 + 18, 0x0023},
      {"has an import table", optional + 0x70 + 8 * 1 + 4, 0x28},
      {"no base relocation directory", optional + 0x70 + 8 * 5 + 4, 0},
      {"not PE32+", optional, 0x10B},
  };
  for (const Case& c : cases) {
    auto file = good;
    put16(file, c.at, c.value);
    if (std::string(c.expected) == "no base relocation directory") put16(file, c.at + 2, 0);
    auto bad = fwtest::CheckFirmwareImage(fwtest::ParsePe(file), file);
    bool found = std::any_of(bad.begin(), bad.end(), [&](const std::string& b) { return b.find(c.expected) != std::string::npos; });
    EXPECT_TRUE(found) << c.expected;
  }
}

}  // namespace
