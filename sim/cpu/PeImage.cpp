#include "sim/cpu/PeImage.h"
#include "sim/core/HexText.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace sim {
namespace {

uint16_t U16(const std::vector<uint8_t>& f, size_t at) { return static_cast<uint16_t>(f[at] | f[at + 1] << 8); }
uint32_t U32(const std::vector<uint8_t>& f, size_t at) { return U16(f, at) | static_cast<uint32_t>(U16(f, at + 2)) << 16; }
uint64_t U64(const std::vector<uint8_t>& f, size_t at) { return U32(f, at) | static_cast<uint64_t>(U32(f, at + 4)) << 32; }

}  // namespace

const PeSection* PeImage::SectionAt(uint32_t rva) const {
  for (const PeSection& s : sections)
    if (rva >= s.virtual_address && rva - s.virtual_address < std::max(s.virtual_size, s.raw_size)) return &s;
  return nullptr;
}

std::vector<uint8_t> PeImage::Read(const std::vector<uint8_t>& file, uint32_t rva, uint32_t size) const {
  const PeSection* s = SectionAt(rva);
  if (s == nullptr) return {};
  std::vector<uint8_t> out(size, 0);
  for (uint32_t i = 0; i < size; ++i) {
    uint32_t in = rva + i - s->virtual_address;
    if (in < s->raw_size && size_t{s->raw_offset} + in < file.size()) out[i] = file[s->raw_offset + in];
  }
  return out;
}

PeImage ParsePe(const std::vector<uint8_t>& f) {
  PeImage pe;
  if (f.size() < 0x40 || f[0] != 'M' || f[1] != 'Z') {
    pe.errors.push_back("no MZ header");
    return pe;
  }
  uint32_t nt = U32(f, 0x3C);
  if (size_t{nt} + 24 > f.size() || U32(f, nt) != 0x00004550) {
    pe.errors.push_back("no PE signature");
    return pe;
  }
  size_t coff = nt + 4;
  pe.machine = U16(f, coff);
  uint16_t nsections = U16(f, coff + 2);
  uint16_t optional_size = U16(f, coff + 16);
  pe.characteristics = U16(f, coff + 18);
  size_t opt = coff + 20;
  if (opt + optional_size > f.size() || optional_size < 0x70) {
    pe.errors.push_back("optional header truncated");
    return pe;
  }
  pe.magic = U16(f, opt);
  if (pe.magic != 0x20B) {
    pe.errors.push_back("not PE32+ (magic " + Hex(pe.magic) + ")");
    return pe;
  }
  pe.entry_point = U32(f, opt + 0x10);
  pe.image_base = U64(f, opt + 0x18);
  pe.section_alignment = U32(f, opt + 0x20);
  pe.file_alignment = U32(f, opt + 0x24);
  pe.size_of_image = U32(f, opt + 0x38);
  pe.subsystem = U16(f, opt + 0x44);
  pe.dll_characteristics = U16(f, opt + 0x46);
  uint32_t ndirs = U32(f, opt + 0x6C);
  for (uint32_t i = 0; i < ndirs && 0x70 + 8 * (i + 1) <= optional_size; ++i)
    pe.directories.push_back({U32(f, opt + 0x70 + 8 * i), U32(f, opt + 0x74 + 8 * i)});
  size_t sect = opt + optional_size;
  for (uint16_t i = 0; i < nsections; ++i, sect += 40) {
    if (sect + 40 > f.size()) {
      pe.errors.push_back("section table truncated");
      return pe;
    }
    PeSection s;
    s.name.assign(reinterpret_cast<const char*>(&f[sect]), strnlen(reinterpret_cast<const char*>(&f[sect]), 8));
    s.virtual_size = U32(f, sect + 8);
    s.virtual_address = U32(f, sect + 12);
    s.raw_size = U32(f, sect + 16);
    s.raw_offset = U32(f, sect + 20);
    s.characteristics = U32(f, sect + 36);
    if (size_t{s.raw_offset} + s.raw_size > f.size()) pe.errors.push_back("section " + s.name + " runs past the file");
    pe.sections.push_back(s);
  }
  // Relocation blocks: page RVA, block size, then 16-bit entries (type << 12 | offset).
  if (pe.directories.size() > kDirectoryBaseReloc && pe.directories[kDirectoryBaseReloc].size != 0) {
    const PeDirectory& d = pe.directories[kDirectoryBaseReloc];
    std::vector<uint8_t> relocs = pe.Read(f, d.rva, d.size);
    if (relocs.size() != d.size) {
      pe.errors.push_back("relocation directory outside every section");
      return pe;
    }
    size_t at = 0;
    while (at + 8 <= relocs.size()) {
      uint32_t page = U32(relocs, at);
      uint32_t block = U32(relocs, at + 4);
      if (block < 8 || block % 2 != 0 || at + block > relocs.size()) {
        pe.errors.push_back("relocation block at " + Hex(d.rva + at) + " has size " + Hex(block));
        break;
      }
      for (size_t e = at + 8; e + 2 <= at + block; e += 2) {
        uint16_t entry = U16(relocs, e);
        unsigned type = entry >> 12;
        if (type == 10) pe.dir64_relocations.push_back(page + (entry & 0xFFF));
        else if (type != 0) pe.errors.push_back("relocation type " + std::to_string(type) + " at " + Hex(page + (entry & 0xFFF)));
      }
      at += block;
    }
  }
  return pe;
}

std::vector<uint8_t> PlaceImage(const PeImage& pe, const std::vector<uint8_t>& file, uint64_t base) {
  if (!pe.errors.empty()) throw std::runtime_error(pe.errors.front());
  if (pe.machine != 0x8664) throw std::runtime_error("machine " + Hex(pe.machine) + ", not x64");
  if (pe.size_of_image == 0 || pe.size_of_image > (64u << 20))
    throw std::runtime_error("size of image " + Hex(pe.size_of_image) + " out of range");
  bool has_relocations = pe.directories.size() > kDirectoryBaseReloc && pe.directories[kDirectoryBaseReloc].size != 0;
  if (base != pe.image_base && (!has_relocations || (pe.characteristics & kFileRelocsStripped)))
    throw std::runtime_error("no relocations, and the image cannot sit at its link base " + Hex(pe.image_base));
  if (pe.directories.size() > kDirectoryImport && pe.directories[kDirectoryImport].size != 0)
    throw std::runtime_error("the image imports functions; a firmware image must not");
  std::vector<uint8_t> out(pe.size_of_image, 0);
  for (const PeSection& s : pe.sections) {
    uint32_t n = std::min(s.raw_size, s.virtual_size ? s.virtual_size : s.raw_size);
    if (uint64_t{s.virtual_address} + std::max(n, s.virtual_size) > pe.size_of_image)
      throw std::runtime_error("section " + s.name + " runs past the size of image");
    if (uint64_t{s.raw_offset} + n > file.size()) throw std::runtime_error("section " + s.name + " runs past the file");
    std::memcpy(out.data() + s.virtual_address, file.data() + s.raw_offset, n);
  }
  const uint64_t delta = base - pe.image_base;
  for (uint32_t rva : pe.dir64_relocations) {
    if (uint64_t{rva} + 8 > out.size()) throw std::runtime_error("relocation at " + Hex(rva) + " outside the image");
    uint64_t v;
    std::memcpy(&v, out.data() + rva, 8);
    v += delta;
    std::memcpy(out.data() + rva, &v, 8);
  }
  return out;
}

}  // namespace sim
