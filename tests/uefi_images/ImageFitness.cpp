#include "tests/uefi_images/ImageFitness.h"

#include <algorithm>
#include <cstdio>

namespace fwtest {
namespace {
std::string Hex(uint64_t v) {
  char t[24];
  std::snprintf(t, sizeof t, "0x%llX", static_cast<unsigned long long>(v));
  return t;
}
}  // namespace

std::vector<std::string> CheckFirmwareImage(const PeImage& pe, const std::vector<uint8_t>& file) {
  std::vector<std::string> bad = pe.errors;
  if (pe.magic != 0x20B) return bad;
  if (pe.machine != 0x8664) bad.push_back("machine " + Hex(pe.machine) + ", not x64");
  if (pe.subsystem != 11) bad.push_back("subsystem " + std::to_string(pe.subsystem) + ", not 11 (boot service driver)");
  if (pe.section_alignment != 0x1000) bad.push_back("section alignment " + Hex(pe.section_alignment) + ", not 4 KiB");
  if (!(pe.characteristics & kFileExecutable)) bad.push_back("not marked executable");
  if (pe.characteristics & kFileRelocsStripped) bad.push_back("relocations stripped");
  if (pe.size_of_image % 0x1000 != 0) bad.push_back("size of image not a multiple of 4 KiB");
  auto dir = [&](uint32_t i) { return i < pe.directories.size() ? pe.directories[i] : PeDirectory{}; };
  if (dir(kDirectoryImport).rva != 0 || dir(kDirectoryImport).size != 0) bad.push_back("has an import table");
  if (dir(kDirectoryIat).rva != 0 || dir(kDirectoryIat).size != 0) bad.push_back("has an import address table");
  if (dir(kDirectoryBaseReloc).size == 0) bad.push_back("no base relocation directory");
  else if (pe.dir64_relocations.empty()) bad.push_back("relocation directory holds no 64-bit relocation");
  for (uint32_t rva : pe.dir64_relocations) {
    const PeSection* s = pe.SectionAt(rva);
    if (s == nullptr || rva + 8 > s->virtual_address + std::max(s->virtual_size, s->raw_size))
      bad.push_back("relocation at " + Hex(rva) + " outside every section");
  }
  const PeSection* entry = pe.SectionAt(pe.entry_point);
  if (entry == nullptr || !(entry->characteristics & kSectionExecute)) bad.push_back("entry point not in code");
  for (const PeSection& s : pe.sections) {
    if (s.virtual_address % 0x1000 != 0) bad.push_back("section " + s.name + " not 4 KiB aligned");
    if ((s.characteristics & kSectionExecute) && (s.characteristics & kSectionWrite))
      bad.push_back("section " + s.name + " is writable and executable");
  }
  (void)file;
  return bad;
}

}  // namespace fwtest
