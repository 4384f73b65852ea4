#include "sim/devices/SpiFlash.h"

#include "sim/board/MemoryMap.h"

namespace sim {

SpiFlash::SpiFlash(Bus& bus, Cpu&, const toml::table& description, std::vector<uint8_t> contents)
    : bus_(bus), part_(description["flash"]["part"].value_or(std::string("W25Q128JV"))), contents_(std::move(contents)) {
  bus_.MapMmio(kFlashWindowBase, kFlashWindowSize, this);
}

SpiFlash::~SpiFlash() { bus_.UnmapMmio(this); }

uint64_t SpiFlash::MmioRead(uint64_t offset, unsigned bytes) {
  // The flash's last byte sits at 0xFFFFFFFF; below its first byte the window reads ones.
  uint64_t window_end = kFlashWindowSize;
  uint64_t v = 0;
  for (unsigned i = 0; i < bytes; ++i) {
    uint64_t from_top = window_end - (offset + i);
    uint8_t b = 0xFF;
    if (from_top <= contents_.size()) b = contents_[contents_.size() - from_top];
    v |= uint64_t(b) << (8 * i);
  }
  return v;
}

}  // namespace sim
