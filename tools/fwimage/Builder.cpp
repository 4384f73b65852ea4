// Building the image bytes from a checked description.
#include <cstring>

#include "tools/fwimage/Descriptor.h"
#include "tools/fwimage/TextFormat.h"
#include "tools/fwimage/Ffs.h"
#include "tools/fwimage/Guid.h"
#include "tools/fwimage/ImageBuilder.h"

namespace fwimage {
namespace {

constexpr uint8_t kEraseByte = 0xFF;  // every volume is built with erase polarity 1
// A Volume Top File of header plus 8 bytes ends exactly at the volume's end; the last
// four bytes of its body are the last four bytes of the BIOS region.
constexpr uint32_t kTopFileSize = sizeof(EFI_FFS_FILE_HEADER) + 8;

uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

std::vector<uint8_t> LayoutTable(const ImageDescription& d, const VolumeLayout& v, const std::vector<uint64_t>& offsets) {
  std::vector<size_t> areas;
  for (size_t i = 0; i < v.files.size(); ++i)
    for (const AreaKind& a : kAreaTable)
      if (GuidEquals(a.guid, v.files[i].name)) areas.push_back(i);
  if (areas.size() > kMaxLayoutEntries) throw DescriptionError(d.source + ": " + v.name + ": too many area files for the layout table");
  std::vector<uint8_t> table(kLayoutHeaderSize + kLayoutEntrySize * areas.size(), 0);
  PutU16(table, kLayoutTableOffsetField, static_cast<uint16_t>(kLayoutHeaderSize));
  table[kLayoutEntryCountField] = static_cast<uint8_t>(areas.size());
  for (size_t n = 0; n < areas.size(); ++n) {
    const FileDescription& f = v.files[areas[n]];
    size_t e = kLayoutHeaderSize + kLayoutEntrySize * n;
    const AreaKind* kind = nullptr;
    for (const AreaKind& a : kAreaTable)
      if (GuidEquals(a.guid, f.name)) kind = &a;
    std::memcpy(&table[e + kLayoutEntrySignature], kind->signature, 4);
    PutGuid(table, e + kLayoutEntryGuid, f.name);
    uint64_t data = v.offset + offsets[areas[n]] + kFfsFirstSectionDataOffset;
    PutU32(table, e + kLayoutEntryAreaAddress, static_cast<uint32_t>(d.PhysicalAddress(data)));
    uint32_t size = f.sections.empty() ? 0 : static_cast<uint32_t>(f.sections.front().payload.size());
    PutU32(table, e + kLayoutEntryAreaSize, size);
  }
  return table;
}

std::vector<uint8_t> BuildVolume(const ImageDescription& d, const VolumeLayout& volume_desc, uint32_t base_pointer) {
  VolumeLayout v = volume_desc;
  std::vector<uint8_t> out(v.size, kEraseByte);

  // Header: FFS2, erase polarity 1, memory mapped, 16-byte alignment, one block-map run.
  std::vector<uint8_t> header(kFvHeaderLengthOneBlockMapEntry, 0);
  PutGuid(header, offsetof(EFI_FIRMWARE_VOLUME_HEADER, FileSystemGuid), EFI_FIRMWARE_FILE_SYSTEM2_GUID);
  PutU64(header, offsetof(EFI_FIRMWARE_VOLUME_HEADER, FvLength), v.size);
  PutU32(header, offsetof(EFI_FIRMWARE_VOLUME_HEADER, Signature), EFI_FVH_SIGNATURE);
  constexpr uint32_t kAttributes = 0x0004FEFF;  // caps and status bits, polarity, 2^4 alignment
  static_assert(kAttributes & EFI_FVB2_ERASE_POLARITY);
  PutU32(header, offsetof(EFI_FIRMWARE_VOLUME_HEADER, Attributes), kAttributes);
  PutU16(header, offsetof(EFI_FIRMWARE_VOLUME_HEADER, HeaderLength), kFvHeaderLengthOneBlockMapEntry);
  header[offsetof(EFI_FIRMWARE_VOLUME_HEADER, Revision)] = EFI_FVH_REVISION;
  PutU32(header, offsetof(EFI_FIRMWARE_VOLUME_HEADER, BlockMap), static_cast<uint32_t>(v.size / v.block_size));
  PutU32(header, offsetof(EFI_FIRMWARE_VOLUME_HEADER, BlockMap) + 4, v.block_size);
  PutU16(header, offsetof(EFI_FIRMWARE_VOLUME_HEADER, Checksum), static_cast<uint16_t>(0x10000 - Sum16(header)));
  std::memcpy(out.data(), header.data(), header.size());

  // Lay the files out first: the layout table names the areas' addresses.
  std::vector<uint64_t> offsets;
  std::vector<uint64_t> sizes;
  uint64_t at = kFvHeaderLengthOneBlockMapEntry;
  for (FileDescription& f : v.files) {
    if (f.is_layout) {
      size_t areas = 0;
      for (const FileDescription& g : v.files)
        for (const AreaKind& a : kAreaTable)
          if (GuidEquals(a.guid, g.name)) ++areas;
      f.sections.front().payload.assign(kLayoutHeaderSize + kLayoutEntrySize * areas, 0);
    }
    at = AlignUp(at, kFfsFileAlignment);
    uint64_t size = EncodeFile(f, true).size();
    offsets.push_back(at);
    sizes.push_back(size);
    at += size;
  }
  bool top = volume_desc.offset + volume_desc.size == d.BiosLimit() + 1;
  uint64_t limit = top ? v.size - kTopFileSize : v.size;
  if (at > limit)
    throw DescriptionError(d.source + ": volume " + v.name + ": files need " + Hex(at) + " bytes, the volume holds " +
                           Hex(limit) + (top ? " before its top file" : ""));
  for (size_t i = 0; i < v.files.size(); ++i) {
    FileDescription& f = v.files[i];
    if (f.is_layout) f.sections.front().payload = LayoutTable(d, v, offsets);
    std::vector<uint8_t> bytes = EncodeFile(f, true);
    std::memcpy(&out[offsets[i]], bytes.data(), bytes.size());
  }

  if (top) {
    // Fill the gap up to the top file with one pad file, so a reader walking the
    // volume meets no free space before the top file.
    uint64_t end = AlignUp(at, kFfsFileAlignment);
    uint64_t gap = limit - end;
    if (gap != 0) {
      if (gap < sizeof(EFI_FFS_FILE_HEADER) || gap > kFfsMaxSmallFileSize) {
        // A gap of 8 or 16 bytes cannot hold a pad file; one larger than a small file
        // needs two.
        uint64_t first = gap < sizeof(EFI_FFS_FILE_HEADER) ? 0 : gap / 2 / 8 * 8;
        if (first == 0)
          throw DescriptionError(d.source + ": volume " + v.name + ": " + std::to_string(gap) +
                                 " bytes left before the top file cannot hold a pad file; change a file's size");
        std::vector<uint8_t> a = EncodePadFile(static_cast<uint32_t>(first), true);
        std::vector<uint8_t> b = EncodePadFile(static_cast<uint32_t>(gap - first), true);
        std::memcpy(&out[end], a.data(), a.size());
        std::memcpy(&out[end + first], b.data(), b.size());
      } else {
        std::vector<uint8_t> pad = EncodePadFile(static_cast<uint32_t>(gap), true);
        std::memcpy(&out[end], pad.data(), pad.size());
      }
    }
    FileDescription vtf;
    vtf.name = EFI_FFS_VOLUME_TOP_FILE_GUID;
    vtf.type = EFI_FV_FILETYPE_RAW;
    vtf.body.assign(8, 0);
    for (int i = 0; i < 4; ++i) vtf.body[4 + i] = static_cast<uint8_t>(base_pointer >> (8 * i));
    std::vector<uint8_t> bytes = EncodeFile(vtf, true);
    std::memcpy(&out[limit], bytes.data(), bytes.size());
  }
  return out;
}

}  // namespace

std::vector<uint8_t> BuildImage(const ImageDescription& d) {
  std::vector<uint8_t> image(d.flash_size, kEraseByte);
  if (d.has_descriptor) {
    std::vector<uint8_t> desc = ifd::Encode(d);
    std::memcpy(image.data(), desc.data(), desc.size());
  }
  const VolumeLayout* pointed = nullptr;
  for (const VolumeLayout& v : d.volumes)
    if (v.base_pointer) pointed = &v;
  uint32_t pointer = pointed ? static_cast<uint32_t>(d.PhysicalAddress(pointed->offset)) : 0xFFFFFFFF;
  for (const VolumeLayout& v : d.volumes) {
    std::vector<uint8_t> bytes = BuildVolume(d, v, pointer);
    std::memcpy(&image[v.offset], bytes.data(), bytes.size());
  }
  if (pointed) {
    // Outside any volume the pointer is written as it is; inside the top volume the top
    // file already carries the same bytes.
    uint64_t at = d.BiosLimit() - 3;
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<uint8_t>(pointer >> (8 * i));
  }
  return image;
}

std::vector<uint8_t> BuildImageFromFile(const std::filesystem::path& path) { return BuildImage(LoadDescription(path)); }

}  // namespace fwimage
