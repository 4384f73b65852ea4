// Builds small PE32+ images for the loader and emulator tests: code, data and 64-bit
// relocations, laid out as lld-link lays out the firmware images (4 KiB sections, link
// base 0).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace simtest {

struct TestPe {
  std::vector<uint8_t> code;               // .text at RVA 0x1000, the entry point
  std::vector<uint8_t> data;               // .data at RVA 0x2000
  std::vector<uint32_t> relocations;       // RVAs of 64-bit addresses to move
  uint64_t image_base = 0;
  uint32_t import_directory_size = 0;      // non-zero: an import table that cannot be served

  std::vector<uint8_t> Build() const {
    std::vector<uint8_t> f(0x200, 0);
    auto put16 = [&](size_t at, uint16_t v) { std::memcpy(&f[at], &v, 2); };
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&f[at], &v, 4); };
    auto put64 = [&](size_t at, uint64_t v) { std::memcpy(&f[at], &v, 8); };
    // Relocation blocks: one per 4 KiB page, entries DIR64 (type 10).
    std::vector<uint8_t> reloc;
    for (uint32_t rva : relocations) {
      uint32_t page = rva & ~0xFFFu, size = 12;
      uint16_t entry = static_cast<uint16_t>(0xA000 | (rva & 0xFFF)), pad = 0;
      reloc.insert(reloc.end(), reinterpret_cast<uint8_t*>(&page), reinterpret_cast<uint8_t*>(&page) + 4);
      reloc.insert(reloc.end(), reinterpret_cast<uint8_t*>(&size), reinterpret_cast<uint8_t*>(&size) + 4);
      reloc.insert(reloc.end(), reinterpret_cast<uint8_t*>(&entry), reinterpret_cast<uint8_t*>(&entry) + 2);
      reloc.insert(reloc.end(), reinterpret_cast<uint8_t*>(&pad), reinterpret_cast<uint8_t*>(&pad) + 2);
    }
    f[0] = 'M', f[1] = 'Z';
    put32(0x3C, 0x40);
    put32(0x40, 0x00004550);
    const size_t coff = 0x44, opt = coff + 20;
    put16(coff, 0x8664);
    put16(coff + 2, 3);
    put16(coff + 16, 0xF0);
    put16(coff + 18, 0x22);
    put16(opt, 0x20B);
    put32(opt + 0x10, 0x1000);
    put64(opt + 0x18, image_base);
    put32(opt + 0x20, 0x1000);
    put32(opt + 0x24, 0x200);
    put32(opt + 0x38, 0x4000);
    put32(opt + 0x3C, 0x200);
    put16(opt + 0x44, 11);
    put32(opt + 0x6C, 16);
    put32(opt + 0x70 + 8 * 1, import_directory_size ? 0x2000 : 0);
    put32(opt + 0x74 + 8 * 1, import_directory_size);
    put32(opt + 0x70 + 8 * 5, reloc.empty() ? 0 : 0x3000);
    put32(opt + 0x74 + 8 * 5, static_cast<uint32_t>(reloc.size()));
    const struct {
      const char* name;
      uint32_t rva;
      const std::vector<uint8_t>* bytes;
      uint32_t flags;
    } sections[] = {{".text", 0x1000, &code, 0x60000020}, {".data", 0x2000, &data, 0xC0000040}, {".reloc", 0x3000, &reloc, 0x42000040}};
    size_t table = opt + 0xF0;
    for (const auto& s : sections) {
      std::memcpy(&f[table], s.name, std::strlen(s.name));
      uint32_t raw = static_cast<uint32_t>((s.bytes->size() + 0x1FF) & ~size_t{0x1FF});
      put32(table + 8, static_cast<uint32_t>(s.bytes->size()));
      put32(table + 12, s.rva);
      put32(table + 16, raw);
      put32(table + 20, raw ? static_cast<uint32_t>(f.size()) : 0);
      put32(table + 36, s.flags);
      if (raw) {
        size_t at = f.size();
        f.resize(at + raw, 0);
        std::memcpy(&f[at], s.bytes->data(), s.bytes->size());
      }
      table += 40;
    }
    return f;
  }
};

// A map line as lld-link writes it for a symbol at `rva` of .text (link base 0).
inline std::string MapLine(const std::string& symbol, uint32_t rva) {
  char line[200];
  std::snprintf(line, sizeof line, " 0001:%08x       %-26s %016x     lib:obj.obj\n", rva - 0x1000, symbol.c_str(), rva);
  return line;
}

}  // namespace simtest
