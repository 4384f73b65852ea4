// A small PE32+ reader: the headers a UEFI loader relies on, the relocation blocks, the
// section table. The emulator loads the firmware images with it; the image checks read it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct PeSection {
  std::string name;
  uint32_t virtual_address = 0;
  uint32_t virtual_size = 0;
  uint32_t raw_size = 0;
  uint32_t raw_offset = 0;
  uint32_t characteristics = 0;
};

struct PeDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

struct PeImage {
  uint16_t machine = 0;
  uint16_t characteristics = 0;
  uint16_t magic = 0;
  uint32_t entry_point = 0;
  uint64_t image_base = 0;
  uint32_t section_alignment = 0;
  uint32_t file_alignment = 0;
  uint32_t size_of_image = 0;
  uint16_t subsystem = 0;
  uint16_t dll_characteristics = 0;
  std::vector<PeDirectory> directories;
  std::vector<PeSection> sections;
  std::vector<uint32_t> dir64_relocations;  // RVAs of 64-bit absolute addresses
  std::vector<std::string> errors;          // what does not parse

  // Bytes at an RVA as loaded (zero past a section's raw data); empty when unmapped.
  std::vector<uint8_t> Read(const std::vector<uint8_t>& file, uint32_t rva, uint32_t size) const;
  const PeSection* SectionAt(uint32_t rva) const;
};

inline constexpr uint32_t kDirectoryImport = 1;
inline constexpr uint32_t kDirectoryBaseReloc = 5;
inline constexpr uint32_t kDirectoryIat = 12;
inline constexpr uint16_t kFileRelocsStripped = 0x0001;
inline constexpr uint16_t kFileExecutable = 0x0002;
inline constexpr uint32_t kSectionExecute = 0x20000000;
inline constexpr uint32_t kSectionWrite = 0x80000000;

PeImage ParsePe(const std::vector<uint8_t>& file);

// The image as a loader places it at `base`: SizeOfImage bytes, headers and sections
// copied (the rest zero), every 64-bit relocation moved by base - ImageBase. Throws
// std::runtime_error for an image that cannot be placed (parse errors, no relocations
// when base differs from ImageBase, a section or relocation outside the image).
std::vector<uint8_t> PlaceImage(const PeImage& pe, const std::vector<uint8_t>& file, uint64_t base);

}  // namespace sim
