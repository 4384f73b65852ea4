// Intel flash descriptor (IFD v2, 300/400-series PCH layout): the 4 KiB at the start of
// the flash that names the regions, the masters' access and the VSCC table.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tools/fwimage/ImageBuilder.h"

namespace fwimage::ifd {

inline constexpr uint32_t kDescriptorSize = 0x1000;
inline constexpr uint32_t kFlValSigOffset = 0x10;
inline constexpr uint32_t kFlValSig = 0x0FF0A55A;
inline constexpr uint32_t kFlMap0 = 0x14;  // FCBA 7:0, NC 9:8, FRBA 23:16, NR 26:24
inline constexpr uint32_t kFlMap1 = 0x18;  // FMBA 7:0, NM 10:8, FISBA 23:16, ISL 31:24
inline constexpr uint32_t kFlMap2 = 0x1C;  // FMSBA 7:0, MSL 15:8, ICCRIBA 23:16, RIL 31:24
inline constexpr uint32_t kFlUMap1 = 0xEFC;  // VTBA 7:0, VTL 15:8, MDTBA 31:24
inline constexpr unsigned kRegionCount = 16;
inline constexpr unsigned kMasterCount = 5;
inline constexpr uint32_t kRegionUnused = 0x00007FFF;  // base 0x7FFF above limit 0
inline constexpr uint32_t kRegionUnit = 0x1000;

// Where this tool puts the sections (bases are address bits 11:4 in the map).
inline constexpr uint32_t kComponentBase = 0x030;  // FLCOMP, FLILL, FLILL1
inline constexpr uint32_t kRegionBase = 0x040;     // FLREG0..15
inline constexpr uint32_t kMasterBase = 0x080;     // FLMSTR1..5
inline constexpr uint32_t kPchStrapBase = 0x100;
inline constexpr uint32_t kPchStrapDwords = 0x40;
inline constexpr uint32_t kCpuStrapBase = 0x300;
inline constexpr uint32_t kCpuStrapDwords = 1;
// 0x34 marks the 300-series ICC register init layout; a non-zero MIP descriptor table
// base (FLUMAP1 bits 31:24) is what 300-series descriptors carry.
inline constexpr uint32_t kIccRegisterInitBase = 0x34;
inline constexpr uint32_t kMipTableBase = 0x01;
inline constexpr uint32_t kVsccTableBase = 0xE00;
inline constexpr uint32_t kMaxVsccEntries = (kFlUMap1 - kVsccTableBase) / 8;

// FLCOMP bits 19:17 (read), 23:21 (fast read), 26:24 (write/erase), 29:27 (read id and
// status) hold clock codes; bit 20 allows fast read.
inline constexpr unsigned kFlcompReadClockShift = 17;
inline constexpr unsigned kFlcompFastReadShift = 20;
inline constexpr unsigned kFlcompFastReadClockShift = 21;
inline constexpr unsigned kFlcompWriteEraseClockShift = 24;
inline constexpr unsigned kFlcompIdStatusClockShift = 27;
// Clock codes of 100-series and later PCHs; the other codes are reserved.
struct SpiClockCode {
  uint32_t mhz;
  uint32_t code;
};
inline constexpr SpiClockCode kSpiClockCodes[] = {{48, 2}, {30, 4}, {17, 6}};
// The code for a clock in MHz; -1 when the PCH has none for it.
int SpiClockCodeOf(uint32_t mhz);
// The clock of a code; 0 for a reserved code.
uint32_t SpiClockMhzOf(uint32_t code);

// FLMSTR (IFD v2): read access for regions 0..11 in bits 19:8, write in 31:20; regions
// 12..15 in 3:0 (read) and 7:4 (write).
uint32_t EncodeMaster(uint16_t read, uint16_t write);
void DecodeMaster(uint32_t value, uint16_t* read, uint16_t* write);

std::vector<uint8_t> Encode(const ImageDescription& description);

struct Decoded {
  bool valid = false;
  std::vector<RegionLayout> regions;
  std::vector<VsccLayout> vscc;
  std::vector<MasterLayout> masters;
  SpiBusLayout spi;
  std::vector<std::string> problems;
};
Decoded Decode(std::span<const uint8_t> image);

// Region number for a description name ("bios", "me", "descriptor"/"fd", ...); -1 if unknown.
int RegionIndexFromName(const std::string& name);

}  // namespace fwimage::ifd
