#include "tools/fwimage/Guid.h"

#include <cstdio>

#include "tools/fwimage/ImageBuilder.h"
#include "uefi/BoardProtocols.h"
#include "uefi/FirmwareVolume.h"
#include "uefi/UefiSpec.h"

namespace fwimage {
namespace {

struct NamedGuid {
  const char* name;
  EFI_GUID guid;
};

constexpr NamedGuid kNamedGuids[] = {
    {"EFI_SMM_BASE2_PROTOCOL_GUID", EFI_SMM_BASE2_PROTOCOL_GUID},
    {"EFI_SMM_ACCESS2_PROTOCOL_GUID", EFI_SMM_ACCESS2_PROTOCOL_GUID},
    {"EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID", EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID},
    {"EFI_SMM_CPU_PROTOCOL_GUID", EFI_SMM_CPU_PROTOCOL_GUID},
    {"EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID", EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID},
    {"EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID", EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID},
    {"EFI_VARIABLE_ARCH_PROTOCOL_GUID", EFI_VARIABLE_ARCH_PROTOCOL_GUID},
    {"EFI_VARIABLE_WRITE_ARCH_PROTOCOL_GUID", EFI_VARIABLE_WRITE_ARCH_PROTOCOL_GUID},
    {"SMM_FRAME_SUPPORT_PROTOCOL_GUID", SMM_FRAME_SUPPORT_PROTOCOL_GUID},
    {"PLATFORM_FLASH_PROTOCOL_GUID", PLATFORM_FLASH_PROTOCOL_GUID},
    {"FLASH_UPDATE_PREPARE_PROTOCOL_GUID", FLASH_UPDATE_PREPARE_PROTOCOL_GUID},
    {"BIOS_GUARD_PROTOCOL_GUID", BIOS_GUARD_PROTOCOL_GUID},
    {"EFI_FIRMWARE_FILE_SYSTEM2_GUID", EFI_FIRMWARE_FILE_SYSTEM2_GUID},
    {"EFI_FIRMWARE_FILE_SYSTEM3_GUID", EFI_FIRMWARE_FILE_SYSTEM3_GUID},
    {"EFI_FFS_VOLUME_TOP_FILE_GUID", EFI_FFS_VOLUME_TOP_FILE_GUID},
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<EFI_GUID> ParseGuidText(std::string_view text) {
  // 8-4-4-4-12 hex digits.
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
    return std::nullopt;
  uint8_t bytes[16];
  size_t pos = 0;
  for (uint8_t& b : bytes) {
    if (text[pos] == '-') ++pos;
    int hi = HexDigit(text[pos]);
    int lo = HexDigit(text[pos + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    b = static_cast<uint8_t>(hi << 4 | lo);
    pos += 2;
  }
  EFI_GUID g{};
  g.Data1 = static_cast<UINT32>(bytes[0]) << 24 | static_cast<UINT32>(bytes[1]) << 16 |
            static_cast<UINT32>(bytes[2]) << 8 | bytes[3];
  g.Data2 = static_cast<UINT16>(bytes[4] << 8 | bytes[5]);
  g.Data3 = static_cast<UINT16>(bytes[6] << 8 | bytes[7]);
  for (int i = 0; i < 8; ++i) g.Data4[i] = bytes[8 + i];
  return g;
}

std::string FormatGuid(const EFI_GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

EFI_GUID ResolveGuid(std::string_view text) {
  if (auto g = ParseGuidText(text)) return *g;
  for (const NamedGuid& n : kNamedGuids)
    if (text == n.name) return n.guid;
  throw DescriptionError("'" + std::string(text) + "' is neither a GUID (8-4-4-4-12 hex digits) nor a known protocol name");
}

std::string KnownGuidName(const EFI_GUID& guid) {
  for (const NamedGuid& n : kNamedGuids)
    if (GuidEquals(n.guid, guid)) return n.name;
  for (const AreaKind& a : kAreaTable)
    if (GuidEquals(a.guid, guid)) return a.label;
  if (GuidEquals(guid, kFlashLayoutFileGuid)) return "FlashLayoutFile";
  return {};
}

}  // namespace fwimage
