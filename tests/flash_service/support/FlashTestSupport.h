// Test support for the flash service: PI firmware volumes with chosen (also broken)
// contents, flash images that carry them, and a booted board with SpiFlashSmm on which
// requests are placed in OS memory and sent through software SMI 0x90.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "flash/service/FlashServiceRequest.h"
#include "sim/board/Board.h"
#include "sim/board/MemoryMap.h"

namespace fstest {

constexpr EFI_GUID kLayoutFileGuid = {0x56E14F88, 0x234B, 0x4C34, {0xB2, 0x04, 0x29, 0x96, 0x70, 0x44, 0x72, 0x47}};
constexpr EFI_GUID kSdbGuid = {0xA28B3558, 0x173A, 0x44E7, {0xA0, 0x69, 0x46, 0xF3, 0xA5, 0x99, 0xA1, 0x18}};
constexpr EFI_GUID kDecgGuid = {0x94ADC204, 0x7AB1, 0x4E5C, {0xA5, 0x34, 0xDD, 0x82, 0x3E, 0x2F, 0x32, 0xBE}};
constexpr EFI_GUID kStlGuid = {0xBE63DD43, 0x2D28, 0x467B, {0x9A, 0x7D, 0x0E, 0x95, 0x10, 0xAB, 0xA4, 0x54}};
constexpr EFI_GUID kTpmGuid = {0x0B71D630, 0x2BAD, 0x4797, {0xAB, 0xD6, 0x08, 0x8E, 0x95, 0xD0, 0xDE, 0x47}};
constexpr EFI_GUID kFmrGuid = {0xA68A420F, 0xF3B9, 0x4752, {0xAE, 0x9A, 0x8B, 0x73, 0x3E, 0xE2, 0x54, 0xBD}};
constexpr EFI_GUID kMtrGuid = {0x10CE2542, 0xD547, 0x4CFA, {0xA9, 0xA7, 0x3E, 0x5B, 0xF5, 0xA8, 0x7B, 0x89}};
constexpr EFI_GUID kOtherGuid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

// Signatures as stored (four ASCII characters, little-endian).
constexpr uint32_t Sig(const char (&t)[5]) {
  return uint32_t(uint8_t(t[0])) | uint32_t(uint8_t(t[1])) << 8 | uint32_t(uint8_t(t[2])) << 16 |
         uint32_t(uint8_t(t[3])) << 24;
}

struct AreaSignature {
  const char* text;
  uint32_t value;
  EFI_GUID guid;
};
// The seven area signatures and the GUIDs their functions 2 and 3 look for.
extern const AreaSignature kAreaSignatures[7];

std::vector<uint8_t> GuidBytes(const EFI_GUID& g);

// A firmware volume (FFS2, erase polarity 1, 8-byte file alignment).
class VolumeBuilder {
 public:
  // A file whose first section (raw, short header) holds `data`.
  VolumeBuilder& File(const EFI_GUID& name, const std::vector<uint8_t>& data);
  // A file header with any 24-bit size field, followed by `body` (the bytes after the header).
  VolumeBuilder& RawFile(const EFI_GUID& name, uint32_t size_field, const std::vector<uint8_t>& body);
  // Bytes placed as they are (after aligning to 8).
  VolumeBuilder& Bytes(const std::vector<uint8_t>& bytes);
  VolumeBuilder& HeaderLength(uint16_t length) {
    header_length_ = length;
    return *this;
  }
  // FvLength: the built size when not given.
  std::vector<uint8_t> Build(std::optional<uint64_t> fv_length = std::nullopt, uint64_t pad_to = 0) const;

 private:
  uint16_t header_length_ = 0x48;
  std::vector<uint8_t> body_;
};

struct LayoutEntry {
  uint32_t signature;
  EFI_GUID guid;
};
// The layout file's section data: the table header at 0x64/0x66 and the entries.
std::vector<uint8_t> LayoutData(const std::vector<LayoutEntry>& entries, uint16_t first_entry = 0x68);

// An erased flash image of `size` bytes (its last byte decodes at 0xFFFFFFFF) with `volume`
// placed at window address `base`, and `base` stored at 0xFFFFFFFC.
std::vector<uint8_t> FlashWithVolume(uint64_t flash_size, uint64_t base, const std::vector<uint8_t>& volume);
void PutBytes(std::vector<uint8_t>& flash, uint64_t window_address, const std::vector<uint8_t>& bytes);

// The standard test volume: a layout file with entries for all seven area signatures, one
// area file per area GUID (data: 16 bytes of the area's index + 1), and a raw filler file.
std::vector<uint8_t> StandardVolume();
constexpr uint64_t kStandardVolumeBase = 0xFFF00000;

// A booted board with SpiFlashSmm and the PlatformFlashProtocol stand-in.
struct BoardOptions {
  uint64_t flash_size = 16u << 20;  // W25Q128JV: 0xFF000000 to 0xFFFFFFFF
  std::vector<uint8_t> flash;  // empty: FlashWithVolume(flash_size, kStandardVolumeBase, StandardVolume())
  std::string prepare = "present";  // present | late | absent
  std::string prepare_status = "success";
  std::string platform_flash = "stand-in";
  bool frame_support = true;
  // Further description entries (e.g. [faults], [bios_guard], [firmware] memory_map).
  std::function<void(toml::table&)> describe;
};

class FlashBoard {
 public:
  explicit FlashBoard(const BoardOptions& options = {});
  sim::Board& board() { return *board_; }
  sim::PlatformFlashStandIn& platform_flash() { return *board_->platform_flash_stand_in(); }

  // A request in OS memory.
  uint64_t NewRequest(const FlashServiceRequest& fields);
  FlashServiceRequest ReadRequest(uint64_t address);
  void WriteRequest(uint64_t address, const FlashServiceRequest& fields);
  // EBX/ECX of processor `cpu` = address, then software SMI 0x90 from that processor.
  sim::SmiResult Raise(uint64_t address, unsigned cpu = 0);
  // NewRequest + Raise + ReadRequest.
  FlashServiceRequest Call(const FlashServiceRequest& fields, unsigned cpu = 0);

  uint64_t OsBuffer(const std::vector<uint8_t>& bytes, uint64_t align = 16);
  std::vector<uint8_t> Peek(uint64_t address, size_t n);
  std::vector<uint8_t> FlashAt(uint64_t window_address, size_t n);

  // Runs code inside SMM as another SMM driver would (protocol callers).
  void InSmm(const std::function<void()>& code);

 private:
  std::unique_ptr<sim::Board> board_;
};

FlashServiceRequest Request(uint32_t signature, uint32_t function);

}  // namespace fstest
