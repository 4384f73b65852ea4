// Reading an image back: descriptor, volumes, files, sections, the layout table. Every
// walk is bounded by the image and by the sizes it has already checked.
#include <algorithm>
#include <cstring>
#include <sstream>

#include <nlohmann/json.hpp>

#include "tools/fwimage/Descriptor.h"
#include "tools/fwimage/Ffs.h"
#include "tools/fwimage/Guid.h"
#include "tools/fwimage/ImageBuilder.h"
#include "tools/fwimage/TextFormat.h"

namespace fwimage {

namespace {

using Bytes = std::span<const uint8_t>;

std::string SizeText(uint64_t v) { return SizeWithUnit(v, "B"); }

const char* FileTypeName(uint8_t type) {
  switch (type) {
    case EFI_FV_FILETYPE_RAW: return "RAW";
    case EFI_FV_FILETYPE_FREEFORM: return "FREEFORM";
    case EFI_FV_FILETYPE_DRIVER: return "DRIVER";
    case EFI_FV_FILETYPE_APPLICATION: return "APPLICATION";
    case EFI_FV_FILETYPE_SMM: return "SMM";
    case EFI_FV_FILETYPE_FIRMWARE_VOLUME_IMAGE: return "FV_IMAGE";
    case EFI_FV_FILETYPE_COMBINED_SMM_DXE: return "COMBINED_SMM_DXE";
    case EFI_FV_FILETYPE_SMM_CORE: return "SMM_CORE";
    case EFI_FV_FILETYPE_PEIM: return "PEIM";
    case EFI_FV_FILETYPE_DXE_CORE: return "DXE_CORE";
    case EFI_FV_FILETYPE_FFS_PAD: return "PAD";
    default: return "OTHER";
  }
}

const char* SectionTypeName(uint8_t type) {
  switch (type) {
    case EFI_SECTION_COMPRESSION: return "COMPRESSION";
    case EFI_SECTION_GUID_DEFINED: return "GUID_DEFINED";
    case EFI_SECTION_PE32: return "PE32";
    case EFI_SECTION_TE: return "TE";
    case EFI_SECTION_DXE_DEPEX: return "DXE_DEPEX";
    case EFI_SECTION_VERSION: return "VERSION";
    case EFI_SECTION_USER_INTERFACE: return "UI";
    case EFI_SECTION_FIRMWARE_VOLUME_IMAGE: return "FV_IMAGE";
    case EFI_SECTION_FREEFORM_SUBTYPE_GUID: return "FREEFORM_SUBTYPE_GUID";
    case EFI_SECTION_RAW: return "RAW";
    case EFI_SECTION_PEI_DEPEX: return "PEI_DEPEX";
    case EFI_SECTION_SMM_DEPEX: return "SMM_DEPEX";
    default: return "OTHER";
  }
}

std::string Utf16ToAscii(Bytes b) {
  std::string s;
  for (size_t i = 0; i + 1 < b.size(); i += 2) {
    uint16_t c = GetU16(b, i);
    if (c == 0) break;
    s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  return s;
}

bool HasSections(uint8_t type) { return type != EFI_FV_FILETYPE_RAW && type != EFI_FV_FILETYPE_FFS_PAD; }

void ParseSections(Bytes image, uint64_t data_start, uint64_t data_end, FileInfo& file, std::vector<std::string>& problems) {
  uint64_t at = data_start;
  // Each section advances by at least its 4-byte header, so the walk ends within
  // (data_end - data_start) / 4 steps.
  while (at + sizeof(EFI_COMMON_SECTION_HEADER) <= data_end) {
    SectionInfo s;
    s.offset = at;
    uint32_t size = GetU32(image, at) & 0xFFFFFF;
    s.type = image[at + 3];
    if (size == 0xFFFFFF) {
      if (at + sizeof(EFI_COMMON_SECTION_HEADER2) > data_end) break;
      size = GetU32(image, at + 4);
      s.header_size = sizeof(EFI_COMMON_SECTION_HEADER2);
    }
    if (size < s.header_size || size > data_end - at) {
      problems.push_back("file " + FormatGuid(file.name) + ": section at " + Hex(at) + " has a bad size " + Hex(size));
      return;
    }
    s.size = size;
    Bytes payload = image.subspan(at + s.header_size, size - s.header_size);
    if (s.type == EFI_SECTION_USER_INTERFACE) {
      s.text = Utf16ToAscii(payload);
      if (file.ui.empty()) file.ui = s.text;
    } else if (s.type == EFI_SECTION_DXE_DEPEX || s.type == EFI_SECTION_SMM_DEPEX || s.type == EFI_SECTION_PEI_DEPEX) {
      s.text = DescribeDepex(payload, &s.depex_guids, &s.depex_valid);
      if (!s.depex_valid) problems.push_back("file " + FormatGuid(file.name) + ": malformed dependency expression");
    }
    file.sections.push_back(std::move(s));
    at = (at + size + kSectionAlignment - 1) / kSectionAlignment * kSectionAlignment;
  }
}

void ParseLayout(Bytes image, const ImageInfo& info, VolumeInfo& volume, const FileInfo& file, std::vector<std::string>& problems) {
  // The table lives in the first section's data (file + 0x1C), as the area lookups read it.
  uint64_t data = file.DataOffset();
  uint64_t end = file.offset + file.size;
  if (data + kLayoutHeaderSize > end) {
    problems.push_back("layout file too small for its table header");
    return;
  }
  volume.has_layout = true;
  uint64_t table = data + GetU16(image, data + kLayoutTableOffsetField);
  unsigned count = image[data + kLayoutEntryCountField];
  volume.layout_table_offset = table;
  for (unsigned n = 0; n < count; ++n) {
    uint64_t e = table + static_cast<uint64_t>(n) * kLayoutEntrySize;
    if (e + kLayoutEntrySize > end) {
      problems.push_back("layout entry " + std::to_string(n) + " lies past the layout file");
      return;
    }
    LayoutEntryInfo entry;
    entry.offset = e;
    entry.signature.assign(reinterpret_cast<const char*>(&image[e + kLayoutEntrySignature]), 4);
    entry.guid = GetGuid(image, e + kLayoutEntryGuid);
    entry.area_address = GetU32(image, e + kLayoutEntryAreaAddress);
    entry.area_size = GetU32(image, e + kLayoutEntryAreaSize);
    volume.layout.push_back(entry);
  }
  (void)info;
}

VolumeInfo ParseVolume(Bytes image, const ImageInfo& info, uint64_t offset, std::vector<std::string>& problems) {
  VolumeInfo v;
  v.offset = offset;
  v.length = GetU64(image, offset + offsetof(EFI_FIRMWARE_VOLUME_HEADER, FvLength));
  v.physical = info.PhysicalAddress(offset);
  v.file_system = GetGuid(image, offset + offsetof(EFI_FIRMWARE_VOLUME_HEADER, FileSystemGuid));
  v.attributes = GetU32(image, offset + offsetof(EFI_FIRMWARE_VOLUME_HEADER, Attributes));
  v.header_length = GetU16(image, offset + offsetof(EFI_FIRMWARE_VOLUME_HEADER, HeaderLength));
  v.erase_polarity = (v.attributes & EFI_FVB2_ERASE_POLARITY) != 0;
  v.header_checksum_ok = Sum16(image.subspan(offset, v.header_length & ~1u)) == 0;
  std::string name = "volume at " + Hex(offset);
  if (!v.header_checksum_ok) problems.push_back(name + ": header checksum is wrong");
  v.ffs = GuidEquals(v.file_system, EFI_FIRMWARE_FILE_SYSTEM2_GUID) || GuidEquals(v.file_system, EFI_FIRMWARE_FILE_SYSTEM3_GUID);
  if (!v.ffs) return v;

  uint64_t end = offset + v.length;
  uint64_t at = offset + v.header_length;
  uint16_t ext = GetU16(image, offset + offsetof(EFI_FIRMWARE_VOLUME_HEADER, ExtHeaderOffset));
  if (ext != 0 && offset + ext + sizeof(EFI_FIRMWARE_VOLUME_EXT_HEADER) <= end)
    at = offset + ext + GetU32(image, offset + ext + offsetof(EFI_FIRMWARE_VOLUME_EXT_HEADER, ExtHeaderSize));
  const uint8_t erase = v.erase_polarity ? 0xFF : 0x00;
  // Each file advances by at least its 24-byte header.
  for (at = (at + 7) / 8 * 8; at + sizeof(EFI_FFS_FILE_HEADER) <= end; at = (at + 7) / 8 * 8) {
    Bytes header = image.subspan(at, sizeof(EFI_FFS_FILE_HEADER));
    if (std::all_of(header.begin(), header.end(), [&](uint8_t b) { return b == erase; })) break;
    FileInfo f;
    f.offset = at;
    f.name = GetGuid(image, at);
    f.type = image[at + offsetof(EFI_FFS_FILE_HEADER, Type)];
    f.attributes = image[at + offsetof(EFI_FFS_FILE_HEADER, Attributes)];
    f.state = image[at + offsetof(EFI_FFS_FILE_HEADER, State)];
    uint64_t size = GetU32(image, at + 0x14) & 0xFFFFFF;
    if (f.attributes & FFS_ATTRIB_LARGE_FILE) {
      f.header_size = sizeof(EFI_FFS_FILE_HEADER2);
      if (at + f.header_size > end) {
        problems.push_back(name + ": large-file header at " + Hex(at) + " runs past the volume");
        break;
      }
      size = GetU64(image, at + 0x18);
    }
    if (size < f.header_size || size > end - at) {
      problems.push_back(name + ": file " + FormatGuid(f.name) + " at " + Hex(at) + " has a bad size " + Hex(size));
      break;
    }
    f.size = static_cast<uint32_t>(size);
    Bytes whole = image.subspan(at, f.size);
    f.header_checksum_ok = FileHeaderChecksum(whole.first(f.header_size)) == whole[0x10];
    Bytes data = whole.subspan(f.header_size);
    f.data_checksum_ok = (f.attributes & FFS_ATTRIB_CHECKSUM) ? static_cast<uint8_t>(Sum8(data) + whole[0x11]) == 0
                                                               : whole[0x11] == FFS_FIXED_CHECKSUM;
    f.state_complete = LogicalState(f.state, v.erase_polarity) == EFI_FILE_DATA_VALID;
    if (!f.header_checksum_ok) problems.push_back("file " + FormatGuid(f.name) + ": header checksum is wrong");
    if (!f.data_checksum_ok) problems.push_back("file " + FormatGuid(f.name) + ": data checksum is wrong");
    if (!f.state_complete) problems.push_back("file " + FormatGuid(f.name) + ": state " + Hex(f.state, 2) + " is not a complete file");
    for (const AreaKind& a : kAreaTable)
      if (GuidEquals(a.guid, f.name)) f.area = a.signature;
    if (HasSections(f.type)) ParseSections(image, at + f.header_size, at + f.size, f, problems);
    v.files.push_back(std::move(f));
    at += size;
  }
  v.free_offset = std::min(at, end);
  for (const FileInfo& f : v.files)
    if (GuidEquals(f.name, kFlashLayoutFileGuid) && !v.has_layout) ParseLayout(image, info, v, f, problems);
  return v;
}

bool LooksLikeVolume(Bytes image, uint64_t offset, uint64_t region_end) {
  if (offset + sizeof(EFI_FIRMWARE_VOLUME_HEADER) > region_end) return false;
  if (GetU32(image, offset + offsetof(EFI_FIRMWARE_VOLUME_HEADER, Signature)) != EFI_FVH_SIGNATURE) return false;
  uint64_t length = GetU64(image, offset + offsetof(EFI_FIRMWARE_VOLUME_HEADER, FvLength));
  uint16_t header = GetU16(image, offset + offsetof(EFI_FIRMWARE_VOLUME_HEADER, HeaderLength));
  return length >= header && header >= sizeof(EFI_FIRMWARE_VOLUME_HEADER) && length <= region_end - offset;
}

}  // namespace

const VolumeInfo* ImageInfo::VolumeAtBasePointer() const {
  if (!has_base_pointer) return nullptr;
  for (const VolumeInfo& v : volumes)
    if (v.physical == base_pointer) return &v;
  return nullptr;
}

const FileInfo* ImageInfo::FindFile(const EFI_GUID& name) const {
  for (const VolumeInfo& v : volumes)
    for (const FileInfo& f : v.files)
      if (GuidEquals(f.name, name)) return &f;
  return nullptr;
}

ImageInfo InspectImage(std::span<const uint8_t> image) {
  ImageInfo info;
  info.size = image.size();
  if (image.empty()) {
    info.problems.push_back("empty image");
    return info;
  }
  ifd::Decoded desc = ifd::Decode(image);
  info.has_descriptor = desc.valid;
  info.bios_base = 0;
  info.bios_limit = image.size() - 1;
  if (desc.valid) {
    info.vscc = desc.vscc;
    info.masters = desc.masters;
    info.spi = desc.spi;
    info.problems = desc.problems;
    for (const RegionLayout& r : desc.regions) {
      if (r.limit >= image.size()) {
        info.problems.push_back(RegionName(r.index) + " region ends past the image");
        continue;
      }
      info.regions.push_back({r.index, RegionName(r.index), r.base, r.limit});
      if (r.index == 1) {
        info.bios_base = r.base;
        info.bios_limit = r.limit;
      }
    }
    std::sort(info.regions.begin(), info.regions.end(), [](const RegionInfo& a, const RegionInfo& b) { return a.base < b.base; });
    if (std::none_of(info.regions.begin(), info.regions.end(), [](const RegionInfo& r) { return r.index == 1; }))
      info.problems.push_back("descriptor has no BIOS region");
  }
  if (info.bios_limit >= 3 && info.bios_limit - 3 >= info.bios_base) {
    info.has_base_pointer = true;
    info.base_pointer = GetU32(image, info.bios_limit - 3);
  }
  // Volumes start on 8-byte boundaries; a found volume is skipped as a whole.
  uint64_t end = info.bios_limit + 1;
  for (uint64_t at = info.bios_base; at + sizeof(EFI_FIRMWARE_VOLUME_HEADER) <= end;) {
    if (LooksLikeVolume(image, at, end)) {
      VolumeInfo v = ParseVolume(image, info, at, info.problems);
      uint64_t length = v.length;
      info.volumes.push_back(std::move(v));
      at += std::max<uint64_t>(8, (length + 7) / 8 * 8);
    } else {
      at += 8;
    }
  }
  if (info.has_base_pointer && !info.volumes.empty() && info.VolumeAtBasePointer() == nullptr)
    info.problems.push_back("the value at 0xFFFFFFFC (" + Hex(info.base_pointer, 8) + ") names no volume");
  return info;
}

std::string FormatImageInfo(const ImageInfo& info) {
  std::ostringstream o;
  o << "Flash image: " << SizeText(info.size) << " (" << info.size << " bytes)";
  o << (info.has_descriptor ? ", Intel flash descriptor\n" : ", no flash descriptor\n");
  if (info.has_descriptor) {
    o << "Regions:\n";
    for (const RegionInfo& r : info.regions) {
      char line[160];
      std::snprintf(line, sizeof line, "  %-2u %-10s %s-%s  %9s", r.index, r.name.c_str(), Hex(r.base, 8).c_str(),
                    Hex(r.limit, 8).c_str(), SizeText(uint64_t(r.limit) - r.base + 1).c_str());
      o << line;
      if (r.index == 1) o << "  mapped at " << Hex(info.PhysicalAddress(r.base), 8) << "-" << Hex(info.PhysicalAddress(r.limit), 8);
      o << "\n";
    }
    auto mhz = [](uint32_t v) { return v == 0 ? std::string("reserved") : std::to_string(v) + " MHz"; };
    o << "SPI bus: read " << (info.spi.fast_read ? "fast (0Bh) at " + mhz(info.spi.fast_read_mhz) : "normal (03h) at " + mhz(info.spi.read_mhz))
      << ", write/erase " << mhz(info.spi.write_erase_mhz) << ", id/status " << mhz(info.spi.id_status_mhz) << "\n";
    o << "VSCC table: " << info.vscc.size() << (info.vscc.size() == 1 ? " entry\n" : " entries\n");
    for (const VsccLayout& e : info.vscc) o << "  JEDEC id " << Hex(e.jedec_id, 6) << "  VSCC " << Hex(e.value, 8) << "\n";
    o << "Masters:\n";
    static const char* kMasters[] = {"", "BIOS", "ME", "GbE", "DevExp", "EC"};
    for (const MasterLayout& m : info.masters) {
      if (m.read == 0 && m.write == 0) continue;
      o << "  " << kMasters[m.master] << ": read";
      for (unsigned i = 0; i < 16; ++i)
        if (m.read & (1u << i)) o << " " << RegionName(i);
      o << "; write";
      for (unsigned i = 0; i < 16; ++i)
        if (m.write & (1u << i)) o << " " << RegionName(i);
      o << "\n";
    }
  }
  if (info.has_base_pointer) {
    o << "Volume base pointer at 0xFFFFFFFC: " << Hex(info.base_pointer, 8);
    const VolumeInfo* v = info.VolumeAtBasePointer();
    o << (v ? " (volume at flash " + Hex(v->offset, 8) + ")\n" : " (no volume there)\n");
  }
  for (const VolumeInfo& v : info.volumes) {
    o << "Volume at flash " << Hex(v.offset, 8) << " (address " << Hex(v.physical, 8) << "), " << SizeText(v.length) << ", "
      << (GuidEquals(v.file_system, EFI_FIRMWARE_FILE_SYSTEM2_GUID)   ? "FFS2"
          : GuidEquals(v.file_system, EFI_FIRMWARE_FILE_SYSTEM3_GUID) ? "FFS3"
                                                                      : FormatGuid(v.file_system).c_str())
      << ", erase polarity " << (v.erase_polarity ? 1 : 0) << ", header checksum " << (v.header_checksum_ok ? "ok" : "WRONG")
      << "\n";
    for (const FileInfo& f : v.files) {
      char line[200];
      std::string label = f.IsPad() ? "(pad)" : f.IsVolumeTop() ? "(volume top file)" : !f.area.empty() ? f.area
                                          : !f.ui.empty()         ? f.ui
                                                                  : KnownGuidName(f.name);
      std::snprintf(line, sizeof line, "  %s %s %-9s %8s  %-18s", Hex(f.offset, 8).c_str(), FormatGuid(f.name).c_str(),
                    FileTypeName(f.type), SizeText(f.size).c_str(), label.c_str());
      o << line;
      o << ((f.header_checksum_ok && f.data_checksum_ok && f.state_complete) ? " ok" : " BAD");
      o << "\n";
      for (const SectionInfo& s : f.sections) {
        o << "      " << SectionTypeName(s.type) << " " << s.size << " bytes";
        if (!s.text.empty()) o << ": " << s.text;
        o << "\n";
      }
    }
    uint64_t free = v.offset + v.length - v.free_offset;
    if (free) o << "  free space " << SizeText(free) << " from " << Hex(v.free_offset, 8) << "\n";
    if (v.has_layout) {
      o << "  Layout table at " << Hex(info.PhysicalAddress(v.layout_table_offset), 8) << ", " << v.layout.size() << " entries:\n";
      for (const LayoutEntryInfo& e : v.layout)
        o << "    " << e.signature << " " << FormatGuid(e.guid) << "  area " << Hex(e.area_address, 8) << ", " << e.area_size
          << " bytes\n";
    }
  }
  if (info.volumes.empty()) o << "No firmware volume found.\n";
  for (const std::string& p : info.problems) o << "problem: " << p << "\n";
  return o.str();
}

nlohmann::json ImageInfoToJson(const ImageInfo& info) {
  using nlohmann::json;
  json j;
  j["size"] = info.size;
  j["descriptor"] = info.has_descriptor;
  j["regions"] = json::array();
  for (const RegionInfo& r : info.regions)
    j["regions"].push_back({{"index", r.index}, {"name", r.name}, {"base", r.base}, {"limit", r.limit}});
  if (info.has_descriptor)
    j["spi"] = {{"read_mhz", info.spi.read_mhz},
                {"fast_read", info.spi.fast_read},
                {"fast_read_mhz", info.spi.fast_read_mhz},
                {"write_erase_mhz", info.spi.write_erase_mhz},
                {"id_status_mhz", info.spi.id_status_mhz}};
  j["vscc"] = json::array();
  for (const VsccLayout& e : info.vscc) j["vscc"].push_back({{"jedec_id", e.jedec_id}, {"value", e.value}});
  if (info.has_base_pointer) j["base_pointer"] = info.base_pointer;
  j["volumes"] = json::array();
  for (const VolumeInfo& v : info.volumes) {
    json jv = {{"offset", v.offset},           {"length", v.length}, {"address", v.physical}, {"file_system", FormatGuid(v.file_system)},
               {"checksum_ok", v.header_checksum_ok}, {"free_offset", v.free_offset}};
    jv["files"] = json::array();
    for (const FileInfo& f : v.files) {
      json jf = {{"offset", f.offset},
                 {"name", FormatGuid(f.name)},
                 {"type", f.type},
                 {"size", f.size},
                 {"header_checksum_ok", f.header_checksum_ok},
                 {"data_checksum_ok", f.data_checksum_ok},
                 {"complete", f.state_complete}};
      if (!f.ui.empty()) jf["ui"] = f.ui;
      if (!f.area.empty()) jf["area"] = f.area;
      jf["sections"] = json::array();
      for (const SectionInfo& s : f.sections) {
        json js = {{"type", s.type}, {"size", s.size}};
        if (!s.text.empty()) js["text"] = s.text;
        jf["sections"].push_back(js);
      }
      jv["files"].push_back(jf);
    }
    jv["layout"] = json::array();
    for (const LayoutEntryInfo& e : v.layout)
      jv["layout"].push_back({{"signature", e.signature}, {"guid", FormatGuid(e.guid)}, {"address", e.area_address}, {"size", e.area_size}});
    j["volumes"].push_back(jv);
  }
  j["problems"] = info.problems;
  return j;
}

}  // namespace fwimage
