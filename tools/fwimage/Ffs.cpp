#include "tools/fwimage/Ffs.h"

#include <algorithm>
#include <cstring>

#include "tools/fwimage/Guid.h"

namespace fwimage {

uint8_t Sum8(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  return sum;
}

uint16_t Sum16(std::span<const uint8_t> bytes) {
  uint16_t sum = 0;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) sum = static_cast<uint16_t>(sum + GetU16(bytes, i));
  return sum;
}

void PutU16(std::vector<uint8_t>& v, size_t at, uint16_t value) {
  v[at] = static_cast<uint8_t>(value);
  v[at + 1] = static_cast<uint8_t>(value >> 8);
}
void PutU32(std::vector<uint8_t>& v, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
void PutU64(std::vector<uint8_t>& v, size_t at, uint64_t value) {
  for (int i = 0; i < 8; ++i) v[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
uint16_t GetU16(std::span<const uint8_t> v, size_t at) { return static_cast<uint16_t>(v[at] | v[at + 1] << 8); }
uint32_t GetU32(std::span<const uint8_t> v, size_t at) {
  uint32_t r = 0;
  for (int i = 3; i >= 0; --i) r = r << 8 | v[at + i];
  return r;
}
uint64_t GetU64(std::span<const uint8_t> v, size_t at) {
  return static_cast<uint64_t>(GetU32(v, at)) | static_cast<uint64_t>(GetU32(v, at + 4)) << 32;
}
void PutGuid(std::vector<uint8_t>& v, size_t at, const EFI_GUID& guid) { std::memcpy(&v[at], &guid, sizeof guid); }
EFI_GUID GetGuid(std::span<const uint8_t> v, size_t at) {
  EFI_GUID g;
  std::memcpy(&g, &v[at], sizeof g);
  return g;
}

std::vector<uint8_t> Utf16Name(std::string_view ascii) {
  std::vector<uint8_t> out;
  for (char c : ascii) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

std::vector<uint8_t> EncodeSection(const SectionLayout& section) {
  size_t total = sizeof(EFI_COMMON_SECTION_HEADER) + section.payload.size();
  if (total >= kFfsSizeFieldErased) throw DescriptionError("section of " + std::to_string(total) + " bytes is too large");
  std::vector<uint8_t> out(total, 0);
  out[0] = static_cast<uint8_t>(total);
  out[1] = static_cast<uint8_t>(total >> 8);
  out[2] = static_cast<uint8_t>(total >> 16);
  out[offsetof(EFI_COMMON_SECTION_HEADER, Type)] = section.type;
  std::copy(section.payload.begin(), section.payload.end(), out.begin() + sizeof(EFI_COMMON_SECTION_HEADER));
  return out;
}

uint8_t FileHeaderChecksum(std::span<const uint8_t> header) {
  uint8_t sum = Sum8(header);
  sum = static_cast<uint8_t>(sum - header[offsetof(EFI_FFS_FILE_HEADER, State)]);
  sum = static_cast<uint8_t>(sum - header[offsetof(EFI_FFS_FILE_HEADER, IntegrityCheck) + 1]);
  sum = static_cast<uint8_t>(sum - header[offsetof(EFI_FFS_FILE_HEADER, IntegrityCheck)]);
  return static_cast<uint8_t>(0x100 - sum);
}

uint8_t StoredState(uint8_t logical, bool erase_polarity) {
  return erase_polarity ? static_cast<uint8_t>(~logical) : logical;
}

uint8_t LogicalState(uint8_t stored, bool erase_polarity) {
  uint8_t v = erase_polarity ? static_cast<uint8_t>(~stored) : stored;
  uint8_t top = 0;
  for (uint8_t bit = 0x80; bit != 0; bit >>= 1)
    if (v & bit) {
      top = bit;
      break;
    }
  return top;
}

namespace {

std::vector<uint8_t> FinishFile(const EFI_GUID& name, EFI_FV_FILETYPE type, uint8_t attributes,
                                std::vector<uint8_t> data, bool erase_polarity) {
  constexpr size_t kHeader = sizeof(EFI_FFS_FILE_HEADER);
  size_t total = kHeader + data.size();
  if (total > kFfsMaxSmallFileSize)
    throw DescriptionError("file " + FormatGuid(name) + " of " + std::to_string(total) + " bytes needs a large-file header");
  std::vector<uint8_t> out(kHeader, 0);
  PutGuid(out, 0, name);
  out[offsetof(EFI_FFS_FILE_HEADER, Type)] = type;
  out[offsetof(EFI_FFS_FILE_HEADER, Attributes)] = attributes;
  out[0x14] = static_cast<uint8_t>(total);
  out[0x15] = static_cast<uint8_t>(total >> 8);
  out[0x16] = static_cast<uint8_t>(total >> 16);
  out[offsetof(EFI_FFS_FILE_HEADER, State)] = StoredState(kFfsStateComplete, erase_polarity);
  out[0x10] = FileHeaderChecksum(out);
  out[0x11] = (attributes & FFS_ATTRIB_CHECKSUM) ? static_cast<uint8_t>(0x100 - Sum8(data)) : FFS_FIXED_CHECKSUM;
  out.resize(total);
  std::copy(data.begin(), data.end(), out.begin() + kHeader);
  return out;
}

}  // namespace

std::vector<uint8_t> EncodeFile(const FileDescription& file, bool erase_polarity) {
  if (!file.prebuilt.empty()) return PlacePrebuiltFile(file, erase_polarity);
  std::vector<uint8_t> data;
  if (file.type == EFI_FV_FILETYPE_RAW) {
    data = file.body;
  } else {
    for (const SectionLayout& s : file.sections) {
      while (data.size() % kSectionAlignment) data.push_back(0x00);
      std::vector<uint8_t> encoded = EncodeSection(s);
      data.insert(data.end(), encoded.begin(), encoded.end());
    }
  }
  return FinishFile(file.name, file.type, FFS_ATTRIB_CHECKSUM, std::move(data), erase_polarity);
}

std::vector<uint8_t> EncodePadFile(uint32_t size, bool erase_polarity) {
  constexpr size_t kHeader = sizeof(EFI_FFS_FILE_HEADER);
  if (size < kHeader || size > kFfsMaxSmallFileSize) throw DescriptionError("a pad file holds 24 bytes to 16 MiB");
  uint8_t erase = erase_polarity ? 0xFF : 0x00;
  // The name of a pad file is left erased; its body is free space.
  std::vector<uint8_t> out(size, erase);
  out[offsetof(EFI_FFS_FILE_HEADER, Type)] = EFI_FV_FILETYPE_FFS_PAD;
  out[offsetof(EFI_FFS_FILE_HEADER, Attributes)] = 0;
  out[0x14] = static_cast<uint8_t>(size);
  out[0x15] = static_cast<uint8_t>(size >> 8);
  out[0x16] = static_cast<uint8_t>(size >> 16);
  out[offsetof(EFI_FFS_FILE_HEADER, State)] = StoredState(kFfsStateComplete, erase_polarity);
  out[0x10] = 0;
  out[0x11] = 0;
  out[0x10] = FileHeaderChecksum(std::span<const uint8_t>(out.data(), kHeader));
  out[0x11] = FFS_FIXED_CHECKSUM;
  return out;
}

std::vector<uint8_t> PlacePrebuiltFile(const FileDescription& file, bool erase_polarity) {
  std::vector<uint8_t> out = file.prebuilt;
  if (out.size() < sizeof(EFI_FFS_FILE_HEADER))
    throw DescriptionError(file.label + ": not an FFS file (shorter than a file header)");
  uint8_t attributes = out[offsetof(EFI_FFS_FILE_HEADER, Attributes)];
  uint32_t header = (attributes & FFS_ATTRIB_LARGE_FILE) ? sizeof(EFI_FFS_FILE_HEADER2) : sizeof(EFI_FFS_FILE_HEADER);
  if (out.size() < header) throw DescriptionError(file.label + ": truncated FFS file header");
  uint64_t size = (attributes & FFS_ATTRIB_LARGE_FILE) ? GetU64(out, 0x18)
                                                      : static_cast<uint64_t>(GetU32(out, 0x14) & 0xFFFFFF);
  if (size != out.size())
    throw DescriptionError(file.label + ": FFS size field " + std::to_string(size) + " does not match the file's " +
                           std::to_string(out.size()) + " bytes");
  if (FileHeaderChecksum(std::span<const uint8_t>(out.data(), header)) != out[0x10])
    throw DescriptionError(file.label + ": FFS header checksum is wrong");
  out[offsetof(EFI_FFS_FILE_HEADER, State)] = StoredState(kFfsStateComplete, erase_polarity);
  return out;
}

std::vector<uint8_t> EncodeFfsFile(const FileDescription& file) { return EncodeFile(file, false); }

std::vector<uint8_t> EncodeDepex(std::span<const EFI_GUID> protocols) {
  std::vector<uint8_t> code;
  if (protocols.empty()) {
    code.push_back(EFI_DEP_TRUE);
  } else {
    for (size_t i = 0; i < protocols.size(); ++i) {
      code.push_back(EFI_DEP_PUSH);
      size_t at = code.size();
      code.resize(at + sizeof(EFI_GUID));
      PutGuid(code, at, protocols[i]);
      if (i > 0) code.push_back(EFI_DEP_AND);
    }
  }
  code.push_back(EFI_DEP_END);
  return code;
}

std::string DescribeDepex(std::span<const uint8_t> code, std::vector<EFI_GUID>* guids, bool* valid) {
  std::string text;
  *valid = false;
  size_t pc = 0;
  int depth = 0;
  auto add = [&](const std::string& word) {
    if (!text.empty()) text += ' ';
    text += word;
  };
  while (pc < code.size()) {
    uint8_t op = code[pc++];
    switch (op) {
      case EFI_DEP_BEFORE:
      case EFI_DEP_AFTER:
      case EFI_DEP_PUSH: {
        if (pc + sizeof(EFI_GUID) > code.size()) return add("<truncated>"), text;
        EFI_GUID g = GetGuid(code, pc);
        pc += sizeof(EFI_GUID);
        std::string name = KnownGuidName(g);
        add(std::string(op == EFI_DEP_PUSH ? "PUSH " : op == EFI_DEP_BEFORE ? "BEFORE " : "AFTER ") +
            (name.empty() ? FormatGuid(g) : name));
        if (guids) guids->push_back(g);
        ++depth;
        break;
      }
      case EFI_DEP_AND:
      case EFI_DEP_OR:
        add(op == EFI_DEP_AND ? "AND" : "OR");
        if (depth < 2) return text;
        --depth;
        break;
      case EFI_DEP_NOT:
        add("NOT");
        if (depth < 1) return text;
        break;
      case EFI_DEP_TRUE:
      case EFI_DEP_FALSE:
        add(op == EFI_DEP_TRUE ? "TRUE" : "FALSE");
        ++depth;
        break;
      case EFI_DEP_SOR:
        add("SOR");
        if (pc != 1) return text;
        break;
      case EFI_DEP_END:
        add("END");
        *valid = depth == 1 && pc == code.size();
        return text;
      default:
        add("<bad opcode>");
        return text;
    }
  }
  return text;
}

}  // namespace fwimage
