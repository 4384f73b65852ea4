#include "tools/fwsim/DefaultImage.h"

#include <cstdlib>

#include "tools/fwimage/Descriptor.h"
#include "tools/fwimage/ImageBuilder.h"

namespace {

constexpr uint64_t kDefaultSize = 16u << 20;

// The shipped description is for a 16 MiB part. For a smaller part the BIOS region takes
// the upper half of the flash, the ME region the rest, and the volumes keep their distance
// from the top of the flash (shrunk to fit when the BIOS region is small).
void ChooseBus(fwimage::SpiBusLayout& spi, const DefaultImageBus& bus) {
  if (bus.clock_mhz != 0) {
    if (fwimage::ifd::SpiClockCodeOf(bus.clock_mhz) < 0)
      throw std::runtime_error("the PCH clocks the SPI bus at 17, 30 or 48 MHz, not " + std::to_string(bus.clock_mhz));
    if (bus.part_max_mhz != 0 && bus.clock_mhz > bus.part_max_mhz)
      throw std::runtime_error("the part takes at most " + std::to_string(bus.part_max_mhz) + " MHz, not " +
                               std::to_string(bus.clock_mhz));
    spi.read_mhz = spi.fast_read_mhz = spi.write_erase_mhz = spi.id_status_mhz = bus.clock_mhz;
  } else if (bus.part_max_mhz != 0) {
    // The codes run from the fastest clock down; 17 MHz is the slowest the PCH has.
    for (uint32_t* mhz : {&spi.read_mhz, &spi.fast_read_mhz, &spi.write_erase_mhz, &spi.id_status_mhz})
      for (const fwimage::ifd::SpiClockCode& c : fwimage::ifd::kSpiClockCodes)
        if (c.mhz <= *mhz && (c.mhz <= bus.part_max_mhz || c.mhz == 17)) {
          *mhz = c.mhz;
          break;
        }
  }
  if (!bus.read.empty()) {
    if (bus.read != "fast" && bus.read != "normal")
      throw std::runtime_error("the read mode is fast (0Bh) or normal (03h), not " + bus.read);
    spi.fast_read = bus.read == "fast";
  }
}

std::vector<uint8_t> Build(const char* file, uint64_t part_size, const DefaultImageBus& bus) {
  auto d = fwimage::LoadDescription(BoardsDirectory() / "default" / file);
  ChooseBus(d.spi, bus);
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

std::vector<uint8_t> BuildDefaultFlashImage(uint64_t part_size, const DefaultImageBus& bus) {
  return Build("image.toml", part_size, bus);
}
std::vector<uint8_t> BuildDefaultUpdateImage(uint64_t part_size, const DefaultImageBus& bus) {
  return Build("update.toml", part_size, bus);
}
