// fwimage library: builds an SPI flash image (Intel flash descriptor, regions, PI
// firmware volumes with FFS files, the flash layout table) from a TOML description,
// packages single FFS files, inspects an image and draws its map.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "uefi/FirmwareVolume.h"

namespace fwimage {

// A description that cannot be built: the message names the file and the offending item.
class DescriptionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------------------
// The areas an operating-system flash tool finds by signature, and the layout file
// ---------------------------------------------------------------------------------------

struct AreaKind {
  char signature[5];  // four ASCII characters, stored little-endian as a 32-bit value
  const char* label;
  EFI_GUID guid;
};
inline constexpr AreaKind kAreaTable[] = {
    {"$SDB", "SdbArea", {0xA28B3558, 0x173A, 0x44E7, {0xA0, 0x69, 0x46, 0xF3, 0xA5, 0x99, 0xA1, 0x18}}},
    {"DECG", "DecgArea", {0x94ADC204, 0x7AB1, 0x4E5C, {0xA5, 0x34, 0xDD, 0x82, 0x3E, 0x2F, 0x32, 0xBE}}},
    {"$STL", "StlArea", {0xBE63DD43, 0x2D28, 0x467B, {0x9A, 0x7D, 0x0E, 0x95, 0x10, 0xAB, 0xA4, 0x54}}},
    {"$TPM", "TpmArea", {0x0B71D630, 0x2BAD, 0x4797, {0xAB, 0xD6, 0x08, 0x8E, 0x95, 0xD0, 0xDE, 0x47}}},
    {"$FMR", "FmrArea", {0xA68A420F, 0xF3B9, 0x4752, {0xAE, 0x9A, 0x8B, 0x73, 0x3E, 0xE2, 0x54, 0xBD}}},
    {"$MTR", "MtrArea", {0x10CE2542, 0xD547, 0x4CFA, {0xA9, 0xA7, 0x3E, 0x5B, 0xF5, 0xA8, 0x7B, 0x89}}},
};
inline constexpr EFI_GUID kFlashLayoutFileGuid = {0x56E14F88, 0x234B, 0x4C34, {0xB2, 0x04, 0x29, 0x96, 0x70, 0x44, 0x72, 0x47}};

// Flash layout table inside the layout file's data (the first section's data).
inline constexpr uint32_t kLayoutTableOffsetField = 0x64;  // u16: first entry, from the data start
inline constexpr uint32_t kLayoutEntryCountField = 0x66;   // u8
inline constexpr uint32_t kLayoutHeaderSize = 0x68;
inline constexpr uint32_t kLayoutEntrySize = 32;
inline constexpr uint32_t kLayoutEntrySignature = 0;  // 4 ASCII bytes
inline constexpr uint32_t kLayoutEntryGuid = 10;      // area GUID
// Entry bytes the flash service does not read; fwimage keeps the area's place there
// for tools: the physical address of the area file's data and its size.
inline constexpr uint32_t kLayoutEntryAreaAddress = 4;  // u32
inline constexpr uint32_t kLayoutEntryAreaSize = 26;    // u32
inline constexpr uint32_t kMaxLayoutEntries = 255;

// The 32-bit physical base of the firmware volume the area lookups search sits in the
// last four bytes of the BIOS region, which the flash window maps just below 4 GiB.
inline constexpr uint64_t kFourGiB = 0x100000000ULL;
inline constexpr uint32_t kVolumeBasePointerAddress = 0xFFFFFFFC;

// ---------------------------------------------------------------------------------------
// Description
// ---------------------------------------------------------------------------------------

struct RegionLayout {
  unsigned index = 0;  // FLREG number: 0 descriptor, 1 BIOS, 2 ME, 3 GbE, 4 platform data, ...
  uint32_t base = 0;   // flash offsets, 4 KiB aligned; limit inclusive
  uint32_t limit = 0;
};

struct VsccLayout {
  uint32_t jedec_id = 0;  // manufacturer byte in bits 7:0, then the two device bytes
  uint32_t value = 0;
};

// What FLCOMP tells the PCH about the SPI bus to component 0: the clock of each kind of
// cycle (17, 30 or 48 MHz on 300/400-series PCHs) and whether it may use fast read (0Bh,
// eight dummy clocks) instead of read (03h).
struct SpiBusLayout {
  uint32_t read_mhz = 17;
  uint32_t fast_read_mhz = 17;
  uint32_t write_erase_mhz = 17;
  uint32_t id_status_mhz = 17;
  bool fast_read = true;
  bool operator==(const SpiBusLayout&) const = default;
};

struct MasterLayout {
  unsigned master = 1;  // FLMSTR number: 1 host/BIOS, 2 ME, 3 GbE, 4 device expansion, 5 EC
  uint16_t read = 0;    // one bit per region number
  uint16_t write = 0;
};

struct SectionLayout {
  EFI_SECTION_TYPE type = EFI_SECTION_RAW;
  std::vector<uint8_t> payload;
};

struct FileDescription {
  std::string label;  // for messages and listings
  EFI_GUID name{};
  EFI_FV_FILETYPE type = EFI_FV_FILETYPE_RAW;
  std::vector<SectionLayout> sections;  // every type but RAW and PAD
  std::vector<uint8_t> body;          // RAW files carry their data without sections
  std::vector<uint8_t> prebuilt;      // a whole FFS file, placed as it is
  bool is_layout = false;             // data generated from the volume's area files
};

struct VolumeLayout {
  std::string name;
  uint64_t offset = 0;  // flash offset
  uint64_t size = 0;
  uint32_t block_size = 0x1000;
  bool base_pointer = false;  // its physical base goes at 0xFFFFFFFC
  std::vector<FileDescription> files;
};

struct ImageDescription {
  std::string source;  // where it came from, for messages
  uint64_t flash_size = 0;
  bool has_descriptor = false;
  std::vector<RegionLayout> regions;
  std::vector<VsccLayout> vscc;
  std::vector<MasterLayout> masters;
  SpiBusLayout spi;
  std::vector<VolumeLayout> volumes;

  // The BIOS region (the whole image when there is no descriptor).
  uint64_t BiosBase() const;
  uint64_t BiosLimit() const;
  // Physical address of a flash offset: the BIOS region ends at 4 GiB.
  uint64_t PhysicalAddress(uint64_t flash_offset) const { return kFourGiB - (BiosLimit() + 1 - flash_offset); }
};

// Reads a description; relative file paths in it are taken from its folder.
ImageDescription LoadDescription(const std::filesystem::path& path);
ImageDescription ParseDescription(std::string_view toml_text, const std::filesystem::path& base_dir,
                                  const std::string& source_name);
std::vector<uint8_t> BuildImage(const ImageDescription& description);
std::vector<uint8_t> BuildImageFromFile(const std::filesystem::path& path);

// One FFS file from a description holding a single [file] table (the keys of a volume
// file), for packaging a driver image.
FileDescription LoadFileDescription(const std::filesystem::path& path);
FileDescription ParseFileDescription(std::string_view toml_text, const std::filesystem::path& base_dir, const std::string& source_name);
// The file's bytes as a stand-alone .ffs file (state: a complete file, logical form).
std::vector<uint8_t> EncodeFfsFile(const FileDescription& file);
// Dependency expression: PUSH of each GUID, AND-ed; no GUID is TRUE.
std::vector<uint8_t> EncodeDepex(std::span<const EFI_GUID> protocols);

// ---------------------------------------------------------------------------------------
// Inspection
// ---------------------------------------------------------------------------------------

struct RegionInfo {
  unsigned index = 0;
  std::string name;  // "Descriptor", "BIOS", "ME", ...
  uint32_t base = 0;
  uint32_t limit = 0;
};

struct SectionInfo {
  uint64_t offset = 0;  // flash offset of the section header
  uint32_t size = 0;    // including the header
  uint32_t header_size = 4;
  EFI_SECTION_TYPE type = 0;
  std::string text;  // user-interface name, or the decoded dependency expression
  std::vector<EFI_GUID> depex_guids;
  bool depex_valid = true;
};

struct FileInfo {
  uint64_t offset = 0;  // flash offset of the file header
  EFI_GUID name{};
  EFI_FV_FILETYPE type = 0;
  uint8_t attributes = 0;
  uint8_t state = 0;      // as stored
  uint32_t size = 0;      // including the header
  uint32_t header_size = sizeof(EFI_FFS_FILE_HEADER);
  bool header_checksum_ok = false;
  bool data_checksum_ok = false;
  bool state_complete = false;  // logical state is DATA_VALID
  std::string ui;               // user-interface section text, if any
  std::string area;             // area signature when the name is an area GUID
  std::vector<SectionInfo> sections;
  bool IsPad() const { return type == EFI_FV_FILETYPE_FFS_PAD; }
  bool IsVolumeTop() const { return GuidEquals(name, EFI_FFS_VOLUME_TOP_FILE_GUID); }
  // Data of the first section when its header is short (what the area lookups return).
  uint64_t DataOffset() const { return offset + kFfsFirstSectionDataOffset; }
};

struct LayoutEntryInfo {
  uint64_t offset = 0;  // flash offset of the entry
  std::string signature;
  EFI_GUID guid{};
  uint32_t area_address = 0;
  uint32_t area_size = 0;
};

struct VolumeInfo {
  uint64_t offset = 0;  // flash offset
  uint64_t length = 0;
  uint64_t physical = 0;
  EFI_GUID file_system{};
  uint32_t attributes = 0;
  uint16_t header_length = 0;
  bool header_checksum_ok = false;
  bool erase_polarity = true;
  bool ffs = false;  // FFS2 or FFS3 file system, files listed
  uint64_t free_offset = 0;  // start of the erased space after the last file
  std::vector<FileInfo> files;
  bool has_layout = false;
  uint64_t layout_table_offset = 0;
  std::vector<LayoutEntryInfo> layout;
};

struct ImageInfo {
  uint64_t size = 0;
  bool has_descriptor = false;
  std::vector<RegionInfo> regions;  // in flash order
  std::vector<VsccLayout> vscc;
  std::vector<MasterLayout> masters;
  SpiBusLayout spi;
  uint64_t bios_base = 0;
  uint64_t bios_limit = 0;
  bool has_base_pointer = false;
  uint32_t base_pointer = 0;  // value at 0xFFFFFFFC
  std::vector<VolumeInfo> volumes;
  std::vector<std::string> problems;  // everything that does not parse or check

  uint64_t PhysicalAddress(uint64_t flash_offset) const { return kFourGiB - (bios_limit + 1 - flash_offset); }
  const VolumeInfo* VolumeAtBasePointer() const;
  const FileInfo* FindFile(const EFI_GUID& name) const;
};

// Never throws on image contents; every walk is bounded by the data it reads.
ImageInfo InspectImage(std::span<const uint8_t> image);
std::string FormatImageInfo(const ImageInfo& info);
nlohmann::json ImageInfoToJson(const ImageInfo& info);
std::string RegionName(unsigned index);

// ---------------------------------------------------------------------------------------
// Flash map picture
// ---------------------------------------------------------------------------------------

// What a flash update did to one erase block; a block neither erased nor programmed was
// skipped (already held the new contents).
struct BlockMark {
  uint64_t offset = 0;  // flash offset
  uint64_t size = 0;
  bool erased = false;
  bool programmed = false;
};

struct SvgOptions {
  std::string title;
  std::vector<BlockMark> blocks;  // overlay of a flash update, may be empty
};

std::string RenderSvgMap(const ImageInfo& info, const SvgOptions& options = {});

}  // namespace fwimage
