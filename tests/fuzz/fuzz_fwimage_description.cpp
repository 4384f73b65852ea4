// fwimage build and fwimage ffs on any TOML text: an image description and a single-file
// description. What parses must build, and the built image must read back as described.
#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string_view>

#include "tests/fuzz/FuzzCheck.h"
#include "tools/fwimage/ImageBuilder.h"

namespace {
// Files named by a description are looked up here: an empty folder.
const std::filesystem::path& NoFiles() {
  static const std::filesystem::path dir = [] {
    auto d = std::filesystem::temp_directory_path() / "fuzz-fwimage-empty";
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const fwimage::ImageDescription d = fwimage::ParseDescription(text, NoFiles(), "image.toml");
    const std::vector<uint8_t> image = fwimage::BuildImage(d);
    if (image.size() != d.flash_size) fuzz::Finding("the built image is not the described size");
    const fwimage::ImageInfo info = fwimage::InspectImage(std::span<const uint8_t>(image));
    if (info.volumes.size() < d.volumes.size()) fuzz::Finding("a described volume is missing from the built image");
  } catch (const std::runtime_error& e) {
    fuzz::OneLine(e.what());
  }
  try {
    const fwimage::FileDescription f = fwimage::ParseFileDescription(text, NoFiles(), "file.toml");
    (void)fwimage::EncodeFfsFile(f);
  } catch (const std::runtime_error& e) {
    fuzz::OneLine(e.what());
  }
  return 0;
}
