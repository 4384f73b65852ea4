// Reading an image description (TOML) into an ImageDescription, with every check that
// can be made before building.
#include <algorithm>
#include <bit>
#include <fstream>
#include <set>
#include <sstream>

#include <toml++/toml.h>

#include "tools/fwimage/Descriptor.h"
#include "tools/fwimage/TextFormat.h"
#include "tools/fwimage/Ffs.h"
#include "tools/fwimage/Guid.h"
#include "tools/fwimage/ImageBuilder.h"

namespace fwimage {
namespace {

namespace fs = std::filesystem;

struct Context {
  std::string source;
  fs::path base_dir;

  [[noreturn]] void Fail(const std::string& where, const std::string& what) const {
    throw DescriptionError(source + ": " + where + ": " + what);
  }
};

void CheckKeys(const Context& ctx, const std::string& where, const toml::table& t, std::initializer_list<const char*> allowed) {
  for (auto&& entry : t) {
    const toml::key& key = entry.first;  // a named key: clang 14 cannot capture a structured binding
    bool ok = std::any_of(allowed.begin(), allowed.end(), [&](const char* a) { return key.str() == a; });
    if (!ok) ctx.Fail(where, "unknown key '" + std::string(key.str()) + "'");
  }
}

// Integers, or strings with a KiB/MiB suffix ("16MiB").
uint64_t GetSize(const Context& ctx, const std::string& where, const toml::node& node) {
  if (auto i = node.value<int64_t>()) {
    if (*i < 0) ctx.Fail(where, "must not be negative");
    return static_cast<uint64_t>(*i);
  }
  if (auto s = node.value<std::string>()) {
    size_t pos = 0;
    uint64_t v = 0;
    try {
      v = std::stoull(*s, &pos, 0);
    } catch (const std::exception&) {
      ctx.Fail(where, "'" + *s + "' is not a size");
    }
    std::string unit = s->substr(pos);
    if (unit == "KiB" || unit == "K") return v << 10;
    if (unit == "MiB" || unit == "M") return v << 20;
    if (unit.empty()) return v;
    ctx.Fail(where, "unknown size unit '" + unit + "' (use KiB or MiB)");
  }
  ctx.Fail(where, "expects a number");
}

uint64_t RequireSize(const Context& ctx, const std::string& where, const toml::table& t, const char* key) {
  const toml::node* n = t.get(key);
  if (n == nullptr) ctx.Fail(where, "'" + std::string(key) + "' is missing");
  return GetSize(ctx, where + "." + key, *n);
}

std::string RequireString(const Context& ctx, const std::string& where, const toml::table& t, const char* key) {
  auto v = t[key].value<std::string>();
  if (!v) ctx.Fail(where, "'" + std::string(key) + "' must be a string");
  return *v;
}

std::vector<uint8_t> ReadFileBytes(const Context& ctx, const std::string& where, const std::string& name) {
  fs::path p = fs::path(name).is_absolute() ? fs::path(name) : ctx.base_dir / name;
  std::ifstream in(p, std::ios::binary);
  if (!in) ctx.Fail(where, "cannot read '" + p.string() + "'");
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> ParseHex(const Context& ctx, const std::string& where, const std::string& text) {
  std::vector<uint8_t> out;
  int hi = -1;
  for (char c : text) {
    if (c == ' ' || c == '\n' || c == '\t' || c == ':' || c == '-') continue;
    int v = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
    if (v < 0) ctx.Fail(where, std::string("'") + c + "' is not a hex digit");
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<uint8_t>(hi << 4 | v));
      hi = -1;
    }
  }
  if (hi >= 0) ctx.Fail(where, "odd number of hex digits");
  return out;
}

// Contents from text, hex, path, then padded with fill up to size.
std::vector<uint8_t> ReadContents(const Context& ctx, const std::string& where, const toml::table& t) {
  std::vector<uint8_t> data;
  int sources = 0;
  if (auto s = t["text"].value<std::string>()) {
    data.assign(s->begin(), s->end());
    ++sources;
  }
  if (auto s = t["hex"].value<std::string>()) {
    data = ParseHex(ctx, where + ".hex", *s);
    ++sources;
  }
  if (auto s = t["path"].value<std::string>()) {
    data = ReadFileBytes(ctx, where + ".path", *s);
    ++sources;
  }
  if (sources > 1) ctx.Fail(where, "give only one of text, hex and path");
  uint64_t fill = 0x00;
  if (const toml::node* f = t.get("fill")) {
    fill = GetSize(ctx, where + ".fill", *f);
    if (fill > 0xFF) ctx.Fail(where + ".fill", "must be a byte");
  }
  if (const toml::node* n = t.get("size")) {
    uint64_t size = GetSize(ctx, where + ".size", *n);
    if (size < data.size())
      ctx.Fail(where + ".size", Hex(size) + " is smaller than the contents (" + Hex(data.size()) + " bytes)");
    if (size > kFfsMaxSmallFileSize) ctx.Fail(where + ".size", "too large for a file");
    data.resize(size, static_cast<uint8_t>(fill));
  }
  return data;
}

std::vector<EFI_GUID> ReadDepex(const Context& ctx, const std::string& where, const toml::node& node) {
  const toml::array* a = node.as_array();
  if (a == nullptr) ctx.Fail(where, "depex must be a list of protocol GUIDs or names, or [\"TRUE\"]");
  std::vector<EFI_GUID> guids;
  for (const toml::node& e : *a) {
    auto s = e.value<std::string>();
    if (!s) ctx.Fail(where, "depex entries must be strings");
    if (*s == "TRUE") {
      if (a->size() != 1) ctx.Fail(where, "TRUE stands alone");
      continue;
    }
    try {
      guids.push_back(ResolveGuid(*s));
    } catch (const DescriptionError& e2) {
      ctx.Fail(where, e2.what());
    }
  }
  if (a->empty()) ctx.Fail(where, "depex is empty (write [\"TRUE\"] for a driver that needs nothing)");
  return guids;
}

EFI_GUID ReadGuid(const Context& ctx, const std::string& where, const toml::table& t) {
  std::string s = RequireString(ctx, where, t, "guid");
  auto g = ParseGuidText(s);
  if (!g) ctx.Fail(where + ".guid", "'" + s + "' is not a GUID");
  return *g;
}

FileDescription ReadFile(const Context& ctx, const std::string& where, const toml::table& t) {
  FileDescription f;
  if (t.contains("ffs")) {
    CheckKeys(ctx, where, t, {"ffs"});
    std::string path = RequireString(ctx, where, t, "ffs");
    f.label = fs::path(path).stem().string();
    f.prebuilt = ReadFileBytes(ctx, where + ".ffs", path);
    if (f.prebuilt.size() < sizeof(EFI_FFS_FILE_HEADER)) ctx.Fail(where, "'" + path + "' is not an FFS file");
    f.name = GetGuid(f.prebuilt, 0);
    f.type = f.prebuilt[offsetof(EFI_FFS_FILE_HEADER, Type)];
    return f;
  }
  if (t.contains("layout")) {
    CheckKeys(ctx, where, t, {"layout"});
    if (!t["layout"].value<bool>().value_or(false)) ctx.Fail(where, "layout must be true");
    f.label = "FlashLayoutFile";
    f.name = kFlashLayoutFileGuid;
    f.type = EFI_FV_FILETYPE_FREEFORM;
    f.is_layout = true;
    f.sections.push_back({EFI_SECTION_RAW, {}});  // filled when the volume is laid out
    return f;
  }
  if (t.contains("area")) {
    // One RAW section only: the area lookups return the file's size minus 0x1C as the
    // area's size, which is the first section's data only when nothing follows it.
    CheckKeys(ctx, where, t, {"area", "text", "hex", "path", "size", "fill"});
    std::string sig = RequireString(ctx, where, t, "area");
    auto it = std::find_if(std::begin(kAreaTable), std::end(kAreaTable), [&](const AreaKind& a) { return sig == a.signature; });
    if (it == std::end(kAreaTable)) ctx.Fail(where + ".area", "'" + sig + "' is not an area signature");
    f.label = sig;
    f.name = it->guid;
    f.type = EFI_FV_FILETYPE_FREEFORM;
    f.sections.push_back({EFI_SECTION_RAW, ReadContents(ctx, where, t)});
    return f;
  }
  std::string type = RequireString(ctx, where, t, "type");
  if (type == "raw") {
    CheckKeys(ctx, where, t, {"type", "guid", "label", "text", "hex", "path", "size", "fill"});
    f.name = ReadGuid(ctx, where, t);
    f.type = EFI_FV_FILETYPE_RAW;
    f.body = ReadContents(ctx, where, t);
    f.label = t["label"].value<std::string>().value_or(FormatGuid(f.name));
    return f;
  }
  if (type == "freeform") {
    CheckKeys(ctx, where, t, {"type", "guid", "ui", "text", "hex", "path", "size", "fill"});
    f.name = ReadGuid(ctx, where, t);
    f.type = EFI_FV_FILETYPE_FREEFORM;
    f.sections.push_back({EFI_SECTION_RAW, ReadContents(ctx, where, t)});
    if (auto ui = t["ui"].value<std::string>()) f.sections.push_back({EFI_SECTION_USER_INTERFACE, Utf16Name(*ui)});
    f.label = t["ui"].value<std::string>().value_or(FormatGuid(f.name));
    return f;
  }
  if (type == "smm" || type == "driver") {
    // Sections in the order firmware build tools lay them out: dependency expression,
    // image, user-interface name.
    CheckKeys(ctx, where, t, {"type", "guid", "ui", "pe", "depex"});
    f.name = ReadGuid(ctx, where, t);
    bool smm = type == "smm";
    f.type = smm ? EFI_FV_FILETYPE_SMM : EFI_FV_FILETYPE_DRIVER;
    const toml::node* depex = t.get("depex");
    if (depex != nullptr) {
      std::vector<EFI_GUID> guids = ReadDepex(ctx, where + ".depex", *depex);
      f.sections.push_back({smm ? EFI_SECTION_SMM_DEPEX : EFI_SECTION_DXE_DEPEX, EncodeDepex(guids)});
    } else if (smm) {
      // The SMM core never dispatches an SMM file without a dependency expression.
      ctx.Fail(where, "an smm file needs depex (write [\"TRUE\"] for a driver that needs nothing)");
    }
    std::vector<uint8_t> pe = ReadFileBytes(ctx, where + ".pe", RequireString(ctx, where, t, "pe"));
    if (pe.size() < 0x40 || pe[0] != 'M' || pe[1] != 'Z') ctx.Fail(where + ".pe", "not a PE image (no MZ header)");
    f.sections.push_back({EFI_SECTION_PE32, std::move(pe)});
    std::string ui = RequireString(ctx, where, t, "ui");
    f.sections.push_back({EFI_SECTION_USER_INTERFACE, Utf16Name(ui)});
    f.label = ui;
    return f;
  }
  ctx.Fail(where + ".type", "'" + type + "' is not one of raw, freeform, smm, driver");
}

void ReadDescriptor(const Context& ctx, const toml::table& t, ImageDescription& d) {
  CheckKeys(ctx, "descriptor", t, {"regions", "vscc", "masters", "spi"});
  const toml::table* regions = t["regions"].as_table();
  if (regions == nullptr) ctx.Fail("descriptor", "[descriptor.regions] is missing");
  for (auto&& [key, value] : *regions) {
    std::string name(key.str());
    std::string where = "descriptor.regions." + name;
    int index = ifd::RegionIndexFromName(name);
    if (index < 0) ctx.Fail(where, "unknown region name");
    const toml::table* r = value.as_table();
    if (r == nullptr) ctx.Fail(where, "expects { base = ..., limit = ... }");
    CheckKeys(ctx, where, *r, {"base", "limit"});
    RegionLayout item;
    item.index = static_cast<unsigned>(index);
    uint64_t base = RequireSize(ctx, where, *r, "base");
    uint64_t limit = RequireSize(ctx, where, *r, "limit");
    if (base % ifd::kRegionUnit != 0 || (limit + 1) % ifd::kRegionUnit != 0)
      ctx.Fail(where, "base and limit + 1 must be multiples of 4 KiB");
    if (limit < base) ctx.Fail(where, "limit below base");
    if (limit >= d.flash_size) ctx.Fail(where, "ends past the flash (" + Hex(d.flash_size) + " bytes)");
    item.base = static_cast<uint32_t>(base);
    item.limit = static_cast<uint32_t>(limit);
    for (const RegionLayout& other : d.regions)
      if (item.base <= other.limit && other.base <= item.limit)
        ctx.Fail(where, "overlaps region " + RegionName(other.index));
    d.regions.push_back(item);
  }
  auto find = [&](unsigned index) {
    return std::find_if(d.regions.begin(), d.regions.end(), [&](const RegionLayout& r) { return r.index == index; });
  };
  auto fd = find(0);
  if (fd == d.regions.end() || fd->base != 0 || fd->limit != ifd::kDescriptorSize - 1)
    ctx.Fail("descriptor.regions", "the descriptor region must be { base = 0x0, limit = 0xFFF }");
  if (find(1) == d.regions.end()) ctx.Fail("descriptor.regions", "a bios region is required");
  std::sort(d.regions.begin(), d.regions.end(), [](const RegionLayout& a, const RegionLayout& b) { return a.base < b.base; });

  if (const toml::array* vscc = t["vscc"].as_array()) {
    for (size_t i = 0; i < vscc->size(); ++i) {
      std::string where = "descriptor.vscc[" + std::to_string(i) + "]";
      const toml::table* e = (*vscc)[i].as_table();
      if (e == nullptr) ctx.Fail(where, "expects { jedec_id = ..., value = ... }");
      CheckKeys(ctx, where, *e, {"jedec_id", "value"});
      uint64_t id = RequireSize(ctx, where, *e, "jedec_id");
      uint64_t value = RequireSize(ctx, where, *e, "value");
      if (id > 0xFFFFFF || value > 0xFFFFFFFF) ctx.Fail(where, "jedec_id is 24 bits, value 32 bits");
      d.vscc.push_back({static_cast<uint32_t>(id), static_cast<uint32_t>(value)});
    }
    if (d.vscc.size() > ifd::kMaxVsccEntries) ctx.Fail("descriptor.vscc", "more entries than the table can hold");
  } else if (t.contains("vscc")) {
    ctx.Fail("descriptor.vscc", "expects a list of tables");
  }

  if (const toml::table* spi = t["spi"].as_table()) {
    CheckKeys(ctx, "descriptor.spi", *spi, {"clock", "read"});
    if (spi->contains("clock")) {
      std::optional<int64_t> mhz = (*spi)["clock"].value<int64_t>();
      if (!mhz || *mhz < 0 || ifd::SpiClockCodeOf(static_cast<uint32_t>(*mhz)) < 0)
        ctx.Fail("descriptor.spi.clock", "the PCH clocks the SPI bus at 17, 30 or 48 (MHz)");
      uint32_t clock = static_cast<uint32_t>(*mhz);
      d.spi.read_mhz = d.spi.fast_read_mhz = d.spi.write_erase_mhz = d.spi.id_status_mhz = clock;
    }
    if (spi->contains("read")) {
      std::string mode = (*spi)["read"].value<std::string>().value_or("");
      if (mode != "fast" && mode != "normal")
        ctx.Fail("descriptor.spi.read", "\"fast\" (0Bh, eight dummy clocks) or \"normal\" (03h)");
      d.spi.fast_read = mode == "fast";
    }
  } else if (t.contains("spi")) {
    ctx.Fail("descriptor.spi", "expects { clock = 17|30|48, read = \"fast\"|\"normal\" }");
  }

  // Default access: the host reads the descriptor and writes what it owns; the ME and
  // the GbE controller own their regions.
  auto present = [&](unsigned index) { return find(index) != d.regions.end(); };
  auto mask = [&](std::initializer_list<unsigned> list) {
    uint16_t m = 0;
    for (unsigned i : list)
      if (present(i)) m = static_cast<uint16_t>(m | 1u << i);
    return m;
  };
  d.masters = {{1, mask({0, 1, 3, 4}), mask({1, 3, 4})}, {2, mask({0, 2, 3}), mask({2, 3})}, {3, mask({3}), mask({3})}};
  if (const toml::table* masters = t["masters"].as_table()) {
    static const char* kMasterNames[] = {"bios", "me", "gbe", "devexp", "ec"};
    for (auto&& [key, value] : *masters) {
      std::string where = "descriptor.masters." + std::string(key.str());
      auto it = std::find(std::begin(kMasterNames), std::end(kMasterNames), key.str());
      if (it == std::end(kMasterNames)) ctx.Fail(where, "masters are bios, me, gbe, devexp, ec");
      unsigned number = static_cast<unsigned>(it - std::begin(kMasterNames)) + 1;
      const toml::table* m = value.as_table();
      if (m == nullptr) ctx.Fail(where, "expects { read = [...], write = [...] }");
      CheckKeys(ctx, where, *m, {"read", "write"});
      MasterLayout item{number, 0, 0};
      for (const char* dir : {"read", "write"}) {
        const toml::array* list = (*m)[dir].as_array();
        if (list == nullptr) continue;
        for (const toml::node& n : *list) {
          int index = ifd::RegionIndexFromName(n.value<std::string>().value_or(""));
          if (index < 0) ctx.Fail(where + "." + dir, "unknown region name");
          uint16_t& bits = std::string(dir) == "read" ? item.read : item.write;
          bits = static_cast<uint16_t>(bits | 1u << index);
        }
      }
      std::erase_if(d.masters, [&](const MasterLayout& s) { return s.master == number; });
      d.masters.push_back(item);
    }
  }
}

VolumeLayout ReadVolume(const Context& ctx, const std::string& where, const toml::table& t, const ImageDescription& d) {
  CheckKeys(ctx, where, t, {"name", "offset", "size", "block_size", "base_pointer", "file"});
  VolumeLayout v;
  v.name = t["name"].value<std::string>().value_or(where);
  v.offset = RequireSize(ctx, where, t, "offset");
  v.size = RequireSize(ctx, where, t, "size");
  if (const toml::node* bs = t.get("block_size")) v.block_size = static_cast<uint32_t>(GetSize(ctx, where + ".block_size", *bs));
  v.base_pointer = t["base_pointer"].value<bool>().value_or(false);
  if (v.block_size == 0 || v.block_size % 8 != 0) ctx.Fail(where, "block_size must be a non-zero multiple of 8");
  if (v.size == 0 || v.size % v.block_size != 0) ctx.Fail(where, "size must be a non-zero multiple of block_size");
  if (v.offset % v.block_size != 0) ctx.Fail(where, "offset must be a multiple of block_size");
  if (v.offset < d.BiosBase() || v.offset + v.size > d.BiosLimit() + 1)
    ctx.Fail(where, "must lie inside the BIOS region " + Hex(d.BiosBase()) + "-" + Hex(d.BiosLimit()));
  if (const toml::array* files = t["file"].as_array()) {
    for (size_t i = 0; i < files->size(); ++i) {
      std::string fw = where + ".file[" + std::to_string(i) + "]";
      const toml::table* ft = (*files)[i].as_table();
      if (ft == nullptr) ctx.Fail(fw, "expects a table");
      v.files.push_back(ReadFile(ctx, fw, *ft));
    }
  }
  std::set<std::string> names;
  for (const FileDescription& f : v.files)
    if (!names.insert(FormatGuid(f.name)).second) ctx.Fail(where, "two files named " + FormatGuid(f.name));
  return v;
}

toml::table ParseToml(const Context& ctx, std::string_view text) {
  try {
    return toml::parse(text, ctx.source);
  } catch (const toml::parse_error& e) {
    std::ostringstream s;
    // The parser quotes the text it stopped at, line breaks and all: an error stays one line.
    std::string what(e.description());
    std::replace_if(what.begin(), what.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
    s << ctx.source << ":" << e.source().begin.line << ":" << e.source().begin.column << ": " << what;
    throw DescriptionError(s.str());
  }
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw DescriptionError("cannot read '" + path.string() + "'");
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

uint64_t ImageDescription::BiosBase() const {
  for (const RegionLayout& r : regions)
    if (r.index == 1) return r.base;
  return 0;
}

uint64_t ImageDescription::BiosLimit() const {
  for (const RegionLayout& r : regions)
    if (r.index == 1) return r.limit;
  return flash_size - 1;
}

ImageDescription ParseDescription(std::string_view toml_text, const fs::path& base_dir, const std::string& source_name) {
  Context ctx{source_name, base_dir};
  toml::table root = ParseToml(ctx, toml_text);
  CheckKeys(ctx, "top level", root, {"flash", "descriptor", "volume"});
  ImageDescription d;
  d.source = source_name;
  const toml::table* flash = root["flash"].as_table();
  if (flash == nullptr) ctx.Fail("flash", "[flash] with size is missing");
  CheckKeys(ctx, "flash", *flash, {"size"});
  d.flash_size = RequireSize(ctx, "flash", *flash, "size");
  if (const toml::table* desc = root["descriptor"].as_table()) {
    d.has_descriptor = true;
    // FLCOMP encodes the density as 512 KiB << n, n = 0..7.
    if (!std::has_single_bit(d.flash_size) || d.flash_size < (512u << 10) || d.flash_size > (64u << 20))
      ctx.Fail("flash.size", "must be a power of two from 512 KiB to 64 MiB");
    ReadDescriptor(ctx, *desc, d);
  } else {
    if (d.flash_size == 0 || d.flash_size % 0x1000 != 0 || d.flash_size > (64u << 20))
      ctx.Fail("flash.size", "must be a multiple of 4 KiB up to 64 MiB");
  }
  if (const toml::array* volumes = root["volume"].as_array()) {
    for (size_t i = 0; i < volumes->size(); ++i) {
      std::string where = "volume[" + std::to_string(i) + "]";
      const toml::table* vt = (*volumes)[i].as_table();
      if (vt == nullptr) ctx.Fail(where, "expects a table");
      VolumeLayout v = ReadVolume(ctx, where, *vt, d);
      for (const VolumeLayout& other : d.volumes)
        if (v.offset < other.offset + other.size && other.offset < v.offset + v.size)
          ctx.Fail(where, "overlaps volume " + other.name);
      d.volumes.push_back(std::move(v));
    }
  }
  // The volume whose base goes at 0xFFFFFFFC: the one marked, else the one with the
  // layout file, else the first.
  size_t marked = std::count_if(d.volumes.begin(), d.volumes.end(), [](const VolumeLayout& v) { return v.base_pointer; });
  if (marked > 1) ctx.Fail("volume", "only one volume can have base_pointer = true");
  size_t layouts = 0;
  for (VolumeLayout& v : d.volumes)
    for (const FileDescription& f : v.files)
      if (f.is_layout || GuidEquals(f.name, kFlashLayoutFileGuid)) {
        ++layouts;
        if (marked == 0) {
          v.base_pointer = true;
          marked = 1;
        }
      }
  if (layouts > 1) ctx.Fail("volume", "more than one flash layout file");
  if (marked == 0 && !d.volumes.empty()) d.volumes.front().base_pointer = true;
  return d;
}

ImageDescription LoadDescription(const fs::path& path) {
  return ParseDescription(ReadText(path), path.parent_path(), path.string());
}

FileDescription ParseFileDescription(std::string_view toml_text, const fs::path& base_dir, const std::string& source_name) {
  Context ctx{source_name, base_dir};
  toml::table root = ParseToml(ctx, toml_text);
  CheckKeys(ctx, "top level", root, {"file"});
  const toml::table* t = root["file"].as_table();
  if (t == nullptr) ctx.Fail("file", "[file] is missing");
  return ReadFile(ctx, "file", *t);
}

FileDescription LoadFileDescription(const fs::path& path) { return ParseFileDescription(ReadText(path), path.parent_path(), path.string()); }

}  // namespace fwimage
