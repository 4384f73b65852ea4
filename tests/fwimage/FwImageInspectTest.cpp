// Reading images back: corruption is reported, and no contents make the reader step
// outside the image, a volume or a file.
#include <random>

#include "tests/fwimage/TestImage.h"

namespace {

std::vector<uint8_t> DefaultImage() {
  static const std::vector<uint8_t> image =
      fwimage::BuildImageFromFile(fwtest::SourceDir() / "boards/default/image.toml");
  return image;
}

void ExpectContained(const fwimage::ImageInfo& info) {
  for (const fwimage::VolumeInfo& v : info.volumes) {
    ASSERT_LE(v.offset + v.length, info.size);
    for (const fwimage::FileInfo& f : v.files) {
      ASSERT_GE(f.offset, v.offset);
      ASSERT_LE(f.offset + f.size, v.offset + v.length);
      for (const fwimage::SectionInfo& s : f.sections) {
        ASSERT_GE(s.offset, f.offset + f.header_size);
        ASSERT_LE(s.offset + s.size, f.offset + f.size);
      }
    }
    for (const fwimage::LayoutEntryInfo& e : v.layout) ASSERT_LE(e.offset + fwimage::kLayoutEntrySize, v.offset + v.length);
  }
}

TEST(ImageInspection, CleanImageHasNoProblems) {
  auto info = fwimage::InspectImage(DefaultImage());
  EXPECT_TRUE(info.problems.empty());
  ASSERT_EQ(info.regions.size(), 3u);
  EXPECT_EQ(info.regions[1].name, "ME");
  ASSERT_EQ(info.volumes.size(), 2u);
  EXPECT_EQ(info.volumes[0].layout.size(), 6u);
  EXPECT_EQ(info.VolumeAtBasePointer(), &info.volumes[0]);
  EXPECT_TRUE(info.volumes[1].files.back().IsVolumeTop());
  std::string text = fwimage::FormatImageInfo(info);
  for (const char* s : {"Descriptor", "BIOS", "ME", "0xFFF00000", "$SDB", "DECG", "$MTR", "BoardSettings"})
    EXPECT_NE(text.find(s), std::string::npos) << s;
}

TEST(ImageInspection, CorruptedChecksumsAreReported) {
  auto clean = DefaultImage();
  auto info = fwimage::InspectImage(clean);
  const fwimage::FileInfo* sdb = info.FindFile(fwimage::kAreaTable[0].guid);
  ASSERT_NE(sdb, nullptr);

  auto data = clean;
  data[sdb->DataOffset() + 100] ^= 0x01;
  auto r = fwimage::InspectImage(data);
  EXPECT_FALSE(r.FindFile(fwimage::kAreaTable[0].guid)->data_checksum_ok);
  EXPECT_EQ(r.problems.size(), 1u);

  auto header = clean;
  header[sdb->offset + 0x13] ^= 0x08;  // attributes byte is covered by the header checksum
  r = fwimage::InspectImage(header);
  EXPECT_FALSE(r.FindFile(fwimage::kAreaTable[0].guid)->header_checksum_ok);

  auto state = clean;
  state[sdb->offset + 0x17] = 0xE8;  // deleted on an erase-polarity-1 volume
  r = fwimage::InspectImage(state);
  EXPECT_FALSE(r.FindFile(fwimage::kAreaTable[0].guid)->state_complete);
  EXPECT_TRUE(r.FindFile(fwimage::kAreaTable[0].guid)->header_checksum_ok) << "state is outside the header checksum";

  auto volume = clean;
  volume[info.volumes[0].offset + 0x2C] ^= 0x01;
  r = fwimage::InspectImage(volume);
  ASSERT_EQ(r.volumes.size(), 2u);
  EXPECT_FALSE(r.volumes[0].header_checksum_ok);

  auto pointer = clean;
  pointer[clean.size() - 4] = 0x10;
  r = fwimage::InspectImage(pointer);
  EXPECT_EQ(r.VolumeAtBasePointer(), nullptr);
  EXPECT_FALSE(r.problems.empty());
}

// A small image with every kind of item the reader parses: descriptor, two volumes, the
// layout table, area, raw, pad and top files, and a driver file with three sections.
std::vector<uint8_t> CompactImage() {
  auto dir = fwtest::ScratchDir("compact");
  std::vector<uint8_t> pe(0x200, 0x90);
  pe[0] = 'M';
  pe[1] = 'Z';
  fwtest::WriteFile(dir / "D.efi", pe);
  auto image = fwtest::BuildFromText(R"(
[flash]
size = "512KiB"
[descriptor.regions]
descriptor = { base = 0, limit = 0xFFF }
me = { base = 0x1000, limit = 0x3FFFF }
bios = { base = 0x40000, limit = 0x7FFFF }
[[descriptor.vscc]]
jedec_id = 0x1840EF
value = 0x2025
[[volume]]
offset = 0x70000
size = 0x8000
[[volume.file]]
layout = true
[[volume.file]]
area = "$SDB"
text = "sdb"
[[volume.file]]
area = "DECG"
size = 0x40
[[volume.file]]
type = "smm"
guid = "A1B2C3D4-1111-4222-8333-0123456789AB"
ui = "Driver"
pe = "D.efi"
depex = ["EFI_SMM_CPU_PROTOCOL_GUID", "SMM_FRAME_SUPPORT_PROTOCOL_GUID"]
[[volume]]
offset = 0x78000
size = 0x8000
[[volume.file]]
type = "raw"
guid = "11111111-2222-3333-4444-555555555555"
text = "raw"
)", dir);
  std::filesystem::remove_all(dir);
  return image;
}

TEST(ImageInspection, MalformedContentsNeverLeadOutsideTheImage) {
  const auto clean = CompactImage();
  const auto info = fwimage::InspectImage(clean);
  // The bytes a reader trusts: descriptor map, volume header, file and section
  // headers, the layout table's offset and count.
  std::vector<size_t> targets;
  for (size_t i = 0x10; i < 0x20; ++i) targets.push_back(i);
  for (size_t i = 0xEFC; i < 0xF00; ++i) targets.push_back(i);
  const auto& v = info.volumes[0];
  for (size_t i = 0x20; i < 0x48; ++i) targets.push_back(v.offset + i);
  for (const auto& f : v.files) {
    for (size_t i = 0x12; i < 0x20; ++i) targets.push_back(f.offset + i);
    for (const auto& s : f.sections)
      for (size_t i = 0; i < 8; ++i) targets.push_back(s.offset + i);
  }
  for (size_t i = 0x64; i < 0x68; ++i) targets.push_back(info.volumes[0].files[0].DataOffset() + i);
  ASSERT_TRUE(info.problems.empty());
  ASSERT_EQ(info.volumes.size(), 2u);
  ASSERT_EQ(info.volumes[0].files[3].sections.size(), 3u);

  std::mt19937 rng(20240611);
  const uint8_t interesting[] = {0x00, 0xFF, 0x01, 0x7F, 0x80, 0xFE, 0x18, 0x1C};
  int runs = 0;
  for (int round = 0; round < 3000; ++round) {
    auto image = clean;
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      size_t at = targets[rng() % targets.size()];
      image[at] = (rng() % 2) ? interesting[rng() % std::size(interesting)] : static_cast<uint8_t>(rng());
    }
    auto r = fwimage::InspectImage(image);
    ExpectContained(r);
    (void)fwimage::FormatImageInfo(r);
    ++runs;
  }
  // Truncated images, cut inside the descriptor, a volume header, a file.
  for (size_t cut : {size_t{0}, size_t{1}, size_t{0x13}, size_t{0xFFF}, size_t{v.offset + 0x30}, size_t{v.files[1].offset + 30},
                     clean.size() - 1}) {
    std::vector<uint8_t> image(clean.begin(), clean.begin() + cut);
    ExpectContained(fwimage::InspectImage(image));
    ++runs;
  }
  EXPECT_EQ(runs, 3007);
}

}  // namespace
