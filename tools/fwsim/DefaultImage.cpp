#include "tools/fwsim/DefaultImage.h"

#include <cstdlib>

#include "tools/fwimage/ImageBuilder.h"

namespace {

constexpr uint64_t kDefaultSize = 16u << 20;

// The shipped description is for a 16 MiB part. For a smaller part the BIOS region takes
// the upper half of the flash, the ME region the rest, and the volumes keep their distance
// from the top of the flash (shrunk to fit when the BIOS region is small).
std::vector<uint8_t> Build(const char* file, uint64_t part_size) {
  auto d = fwimage::LoadDescription(BoardsDirectory() / "default" / file);
  if (part_size == kDefaultSize) return fwimage::BuildImage(d);
  if (part_size < 0x40000 || (part_size & (part_size - 1)) != 0)
    throw std::runtime_error("the default image needs a flash part of 256 KiB or more (power of two)");
  uint64_t shift = kDefaultSize - part_size;
  uint64_t bios_base = part_size >= kDefaultSize ? 0x200000 : part_size / 2;
  d.flash_size = part_size;
  for (auto& r : d.regions) {
    if (r.index == 1) r = {1, static_cast<uint32_t>(bios_base), static_cast<uint32_t>(part_size - 1)};
    if (r.index == 2) r = {2, 0x1000, static_cast<uint32_t>(bios_base - 1)};
  }
  for (auto& v : d.volumes) {
    if (part_size > kDefaultSize) {
      v.offset += part_size - kDefaultSize;
      continue;
    }
    uint64_t end = v.offset + v.size - shift;
    uint64_t room = end - bios_base;
    if (v.size > room / 2) v.size = room / 2 & ~0xFFFull;
    v.offset = end - v.size;
  }
  return fwimage::BuildImage(d);
}

}  // namespace

std::filesystem::path BoardsDirectory() {
  if (const char* env = std::getenv("FWSIM_BOARDS_DIR")) return env;
  return FW_BOARDS_DIR;
}

std::vector<uint8_t> BuildDefaultFlashImage(uint64_t part_size) { return Build("image.toml", part_size); }
std::vector<uint8_t> BuildDefaultUpdateImage(uint64_t part_size) { return Build("update.toml", part_size); }
