// Two independent parsers, UEFIExtract and flashrom, read the images fwimage builds and
// must find the regions, volume and files the description asked for.
#include <algorithm>

#include "tests/fwimage/PeerTools.h"
#include "tools/fwimage/Guid.h"

namespace {

// flashrom's names for FLREG numbers.
const char* FlashromRegionName(unsigned index) {
  static const char* names[] = {"fd", "bios", "me", "gbe", "pd", "reg5", "bios2", "reg7", "ec", "reg9", "ie", "10gbe"};
  return index < std::size(names) ? names[index] : "?";
}

void CheckWithPeers(const fwimage::ImageDescription& d, const std::string& name) {
  auto dir = fwtest::ScratchDir(name);
  auto image = fwimage::BuildImage(d);
  fwtest::WriteFile(dir / "image.bin", image);
  auto ours = fwimage::InspectImage(image);
  ASSERT_TRUE(ours.problems.empty()) << ours.problems.front();

  std::vector<fwtest::ReportRow> rows;
  std::vector<fwtest::DumpItem> items;
  std::string messages = fwtest::RunUefiExtract(dir / "image.bin", &rows, &items);
  EXPECT_EQ(messages.find("invalid"), std::string::npos) << messages;
  EXPECT_EQ(messages.find("Volume Top File is found"), std::string::npos) << messages;

  // Regions, as described.
  size_t region_rows = std::count_if(rows.begin(), rows.end(), [](const fwtest::ReportRow& r) { return r.type == "Region"; });
  EXPECT_EQ(region_rows, d.regions.size());
  for (const fwimage::RegionLayout& r : d.regions) {
    auto it = std::find_if(rows.begin(), rows.end(), [&](const fwtest::ReportRow& row) {
      return row.type == "Region" && row.subtype == fwimage::RegionName(r.index);
    });
    ASSERT_NE(it, rows.end()) << fwimage::RegionName(r.index);
    EXPECT_EQ(it->base, r.base);
    EXPECT_EQ(it->size, uint64_t(r.limit) - r.base + 1);
  }
  // Volumes and every file in them: the same GUID at the same place with the same size.
  for (const fwimage::VolumeLayout& v : d.volumes) {
    auto vol = std::find_if(rows.begin(), rows.end(), [&](const fwtest::ReportRow& row) {
      return row.type == "Volume" && row.base == v.offset;
    });
    ASSERT_NE(vol, rows.end());
    EXPECT_EQ(vol->subtype, "FFSv2");
    EXPECT_EQ(vol->size, v.size);
    for (const fwimage::FileDescription& f : v.files) {
      std::string guid = fwimage::FormatGuid(f.name);
      auto row = std::find_if(rows.begin(), rows.end(), [&](const fwtest::ReportRow& r) { return r.type == "File" && r.name == guid; });
      ASSERT_NE(row, rows.end()) << guid;
      const fwimage::FileInfo* mine = ours.FindFile(f.name);
      ASSERT_NE(mine, nullptr);
      EXPECT_EQ(row->base, mine->offset);
      EXPECT_EQ(row->size, mine->size);
    }
  }
  size_t file_rows = std::count_if(rows.begin(), rows.end(), [](const fwtest::ReportRow& r) { return r.type == "File"; });
  size_t our_files = 0;
  for (const auto& v : ours.volumes) our_files += v.files.size();
  EXPECT_EQ(file_rows, our_files);
  // Checksums and states as UEFITool computes them.
  int files_checked = 0;
  for (const fwtest::DumpItem& item : items) {
    auto type = item.fields.find("Type");
    if (type == item.fields.end()) continue;
    if (type->second == "File") {
      ++files_checked;
      EXPECT_NE(item.fields.at("Header checksum").find("valid"), std::string::npos) << item.dir;
      EXPECT_EQ(item.fields.at("Header checksum").find("invalid"), std::string::npos) << item.dir;
      EXPECT_EQ(item.fields.at("Data checksum").find("invalid"), std::string::npos) << item.dir;
      EXPECT_EQ(item.fields.at("State"), "F8h") << item.dir;
    } else if (type->second == "Volume") {
      EXPECT_EQ(item.fields.at("Erase polarity"), "1");
      EXPECT_EQ(item.fields.at("Checksum").find("invalid"), std::string::npos);
    }
  }
  EXPECT_EQ(static_cast<size_t>(files_checked), our_files);

  // flashrom reads the descriptor from the emulated chip.
  if (d.has_descriptor) {
    std::string chipset;
    auto regions = fwtest::RunFlashromIfd(dir / "image.bin", &chipset);
    EXPECT_EQ(chipset, "300 series Cannon Point");
    ASSERT_EQ(regions.size(), d.regions.size());
    for (const fwimage::RegionLayout& r : d.regions) {
      auto it = std::find_if(regions.begin(), regions.end(), [&](const fwtest::FlashromRegion& f) { return f.name == FlashromRegionName(r.index); });
      ASSERT_NE(it, regions.end()) << FlashromRegionName(r.index);
      EXPECT_EQ(it->start, r.base);
      EXPECT_EQ(it->end, r.limit);
    }
  }
  std::filesystem::remove_all(dir);
}

TEST(PeerTools, DefaultBoardImage) {
  FW_REQUIRE_PROGRAM("UEFIExtract", "uefitool-cli");
  FW_REQUIRE_PROGRAM("flashrom", "flashrom");
  CheckWithPeers(fwimage::LoadDescription(fwtest::SourceDir() / "boards/default/image.toml"), "peer-default");
}

TEST(PeerTools, SixRegionsAndTwoVolumes) {
  FW_REQUIRE_PROGRAM("UEFIExtract", "uefitool-cli");
  FW_REQUIRE_PROGRAM("flashrom", "flashrom");
  auto d = fwimage::ParseDescription(R"(
[flash]
size = "16MiB"
[descriptor.regions]
descriptor = { base = 0x000000, limit = 0x000FFF }
gbe        = { base = 0x001000, limit = 0x002FFF }
me         = { base = 0x003000, limit = 0x6FFFFF }
pd         = { base = 0x700000, limit = 0x70FFFF }
ec         = { base = 0x710000, limit = 0x71FFFF }
bios       = { base = 0x800000, limit = 0xFFFFFF }
[[descriptor.vscc]]
jedec_id = 0x1840EF
value = 0x2025
[[descriptor.vscc]]
jedec_id = 0x1940EF
value = 0x2025
[[volume]]
name = "lower"
offset = 0x800000
size = 0x20000
[[volume.file]]
type = "raw"
guid = "5E6F7A8B-2222-4333-8444-BA9876543210"
hex = "00112233445566778899"
[[volume]]
name = "top"
offset = 0xFC0000
size = 0x40000
[[volume.file]]
layout = true
[[volume.file]]
area = "$TPM"
size = 0x100
[[volume.file]]
type = "freeform"
guid = "A1B2C3D4-1111-4222-8333-0123456789AB"
ui = "Settings"
text = "x"
)", ".", "six.toml");
  CheckWithPeers(d, "peer-six");
}

}  // namespace
