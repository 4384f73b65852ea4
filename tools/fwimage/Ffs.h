// Encoding of FFS files, sections and dependency expressions, and the checksums that a
// firmware-volume reader verifies.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/fwimage/ImageBuilder.h"

namespace fwimage {

uint8_t Sum8(std::span<const uint8_t> bytes);
// Sum of little-endian 16-bit words (the length must be even).
uint16_t Sum16(std::span<const uint8_t> bytes);

std::vector<uint8_t> Utf16Name(std::string_view ascii);  // NUL-terminated CHAR16 text
std::vector<uint8_t> EncodeSection(const SectionLayout& section);
// Header checksum byte: the header (24 or 32 bytes) sums to 0 with State and the file
// checksum taken as 0.
uint8_t FileHeaderChecksum(std::span<const uint8_t> header);
// Complete file bytes. State is stored for a volume of the given erase polarity.
std::vector<uint8_t> EncodeFile(const FileDescription& file, bool erase_polarity);
// A pad file of exactly `size` bytes (at least one header).
std::vector<uint8_t> EncodePadFile(uint32_t size, bool erase_polarity);
// Rewrites a prebuilt file's state byte for the target volume; checks its header.
std::vector<uint8_t> PlacePrebuiltFile(const FileDescription& file, bool erase_polarity);

uint8_t StoredState(uint8_t logical, bool erase_polarity);
// Highest set bit of the logical state.
uint8_t LogicalState(uint8_t stored, bool erase_polarity);

// "PUSH EFI_SMM_CPU_PROTOCOL_GUID AND END"; sets *valid to false on malformed code.
std::string DescribeDepex(std::span<const uint8_t> code, std::vector<EFI_GUID>* guids, bool* valid);

void PutU16(std::vector<uint8_t>& v, size_t at, uint16_t value);
void PutU32(std::vector<uint8_t>& v, size_t at, uint32_t value);
void PutU64(std::vector<uint8_t>& v, size_t at, uint64_t value);
uint16_t GetU16(std::span<const uint8_t> v, size_t at);
uint32_t GetU32(std::span<const uint8_t> v, size_t at);
uint64_t GetU64(std::span<const uint8_t> v, size_t at);
void PutGuid(std::vector<uint8_t>& v, size_t at, const EFI_GUID& guid);
EFI_GUID GetGuid(std::span<const uint8_t> v, size_t at);

}  // namespace fwimage
