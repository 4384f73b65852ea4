// Building images: the descriptor as the SPI layer reads it, the volume and layout table
// as the flash service's area lookups walk them, FFS packaging, description errors.
#include <algorithm>
#include <cstring>

#include "tests/fwimage/TestImage.h"
#include "tools/fwimage/Guid.h"
#include "uefi/PiSmm.h"

namespace {

using fwtest::FlashWindow;

uint32_t U32(const std::vector<uint8_t>& v, size_t at) {
  return v[at] | v[at + 1] << 8 | v[at + 2] << 16 | static_cast<uint32_t>(v[at + 3]) << 24;
}

// The area lookups of the flash service, walked the way the service walks them:
// volume base from 0xFFFFFFFC, 24-bit sizes, 8-byte steps, first section's data at +0x1C.
struct Found {
  bool ok = false;
  uint32_t address = 0;
  uint32_t size = 0;
};

Found LocateAreaFile(const FlashWindow& flash, const EFI_GUID& guid, uint32_t volume_base = 0) {
  uint64_t v = volume_base != 0 ? volume_base : flash.Read32(0xFFFFFFFC);
  uint64_t o = flash.Read32(v + 0x30) & 0xFFFF;
  uint64_t length = flash.Read64(v + 0x20);
  uint32_t f = static_cast<uint32_t>(v + o);
  for (int steps = 0; steps < 100000; ++steps) {
    uint32_t s = flash.Read32(f + 0x14) & 0xFFFFFF;
    if (s == 0xFFFFFF || s == 0 || o >= length) return {};
    if (flash.GuidAt(f, guid)) return {true, f + 0x1C, s - 0x1C};
    uint32_t step = (s + 7) & ~7u;
    o += step;
    f += step;
  }
  ADD_FAILURE() << "walk did not end";
  return {};
}

Found LocateLayoutEntry(const FlashWindow& flash, const char* signature, const EFI_GUID& guid) {
  Found layout = LocateAreaFile(flash, fwimage::kFlashLayoutFileGuid);
  if (!layout.ok) return {};
  uint32_t d = layout.address;
  uint32_t t = d + (flash.Read32(d + 0x64) & 0xFFFF);
  uint32_t n = flash.Read8(d + 0x66);
  uint32_t sig;
  std::memcpy(&sig, signature, 4);
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t e = t + 32 * i;
    if (flash.Read32(e) == sig && flash.GuidAt(e + 10, guid)) return {true, e, 0};
  }
  return {};
}

TEST(DefaultBoardImage, DescriptorHoldsRegionsVsccTableAndUnusedEntries) {
  auto image = fwimage::BuildImageFromFile(fwtest::SourceDir() / "boards/default/image.toml");
  ASSERT_EQ(image.size(), 16u << 20);
  EXPECT_EQ(U32(image, 0x10), 0x0FF0A55Au);
  uint32_t frba = (U32(image, 0x14) >> 16 & 0xFF) << 4;
  EXPECT_EQ(U32(image, frba + 0), 0x00000000u);   // descriptor 0x0-0xFFF
  EXPECT_EQ(U32(image, frba + 4), 0x0FFF0200u);   // BIOS 0x200000-0xFFFFFF
  EXPECT_EQ(U32(image, frba + 8), 0x01FF0001u);   // ME 0x1000-0x1FFFFF
  for (unsigned i = 3; i < 16; ++i) EXPECT_EQ(U32(image, frba + 4 * i), 0x00007FFFu) << "FLREG" << i;
  // FLUMAP1 as the component-capability code reads it: table start in 16-byte units,
  // length in 32-bit words.
  uint32_t umap = U32(image, 0xEFC);
  uint32_t start = (umap & 0xFF) * 16;
  uint32_t length = (umap >> 6) & 0x3FC;
  ASSERT_EQ(length, 8u);
  ASSERT_LT(start + length, 0xEFCu);
  EXPECT_EQ(U32(image, start), 0x1840EFu);
  EXPECT_EQ(U32(image, start + 4), 0x2025u);
  EXPECT_NE(umap >> 24, 0u) << "300-series descriptors carry a MIP table base";
  // FLCOMP density 5 = 16 MiB.
  uint32_t fcba = (U32(image, 0x14) & 0xFF) << 4;
  EXPECT_EQ(U32(image, fcba) & 0xF, 5u);
  // ME region left erased.
  EXPECT_TRUE(std::all_of(image.begin() + 0x1000, image.begin() + 0x200000, [](uint8_t b) { return b == 0xFF; }));
}

TEST(DefaultBoardImage, EveryAreaIsFoundByTheFlashServiceWalks) {
  auto image = fwimage::BuildImageFromFile(fwtest::SourceDir() / "boards/default/image.toml");
  FlashWindow flash(image, 0xFFFFFF);
  EXPECT_EQ(flash.Read32(0xFFFFFFFC), 0xFFF00000u);
  const char* texts[] = {"SDB area of the default board, revision 1.0", "DECG area, revision 1.0", "STL area, revision 1.0",
                         "TPM area, revision 1.0", "FMR area, revision 1.0", "MTR area, revision 1.0"};
  const uint32_t sizes[] = {0x2000, 0x1000, 0x800, 0x1000, 0x4000, 0x800};
  for (size_t i = 0; i < std::size(fwimage::kAreaTable); ++i) {
    const fwimage::AreaKind& area = fwimage::kAreaTable[i];
    SCOPED_TRACE(area.signature);
    Found file = LocateAreaFile(flash, area.guid);
    ASSERT_TRUE(file.ok);
    EXPECT_EQ(file.size, sizes[i]);
    std::string text;
    for (size_t c = 0; c < std::strlen(texts[i]); ++c) text += static_cast<char>(flash.Read8(file.address + c));
    EXPECT_EQ(text, texts[i]);
    // The same volume given explicitly.
    EXPECT_EQ(LocateAreaFile(flash, area.guid, 0xFFF00000).address, file.address);
    Found entry = LocateLayoutEntry(flash, area.signature, area.guid);
    ASSERT_TRUE(entry.ok);
    EXPECT_EQ(flash.Read32(entry.address + fwimage::kLayoutEntryAreaAddress), file.address);
    EXPECT_EQ(flash.Read32(entry.address + fwimage::kLayoutEntryAreaSize), file.size);
    // A signature paired with another area's GUID is not an entry.
    const fwimage::AreaKind& other = fwimage::kAreaTable[(i + 1) % std::size(fwimage::kAreaTable)];
    EXPECT_FALSE(LocateLayoutEntry(flash, area.signature, other.guid).ok);
  }
  EXPECT_FALSE(LocateAreaFile(flash, EFI_FIRMWARE_FILE_SYSTEM2_GUID).ok);
}

TEST(DefaultBoardImage, UpdateImageKeepsTheLayoutAndChangesOnlyContents) {
  auto before = fwimage::InspectImage(fwimage::BuildImageFromFile(fwtest::SourceDir() / "boards/default/image.toml"));
  auto after_bytes = fwimage::BuildImageFromFile(fwtest::SourceDir() / "boards/default/update.toml");
  auto before_bytes = fwimage::BuildImageFromFile(fwtest::SourceDir() / "boards/default/image.toml");
  auto after = fwimage::InspectImage(after_bytes);
  ASSERT_EQ(before.volumes.size(), 2u);
  ASSERT_EQ(after.volumes.size(), 2u);
  for (size_t v = 0; v < 2; ++v) {
    ASSERT_EQ(before.volumes[v].files.size(), after.volumes[v].files.size());
    for (size_t i = 0; i < before.volumes[v].files.size(); ++i) {
      EXPECT_EQ(before.volumes[v].files[i].offset, after.volumes[v].files[i].offset);
      EXPECT_EQ(before.volumes[v].files[i].size, after.volumes[v].files[i].size);
    }
  }
  size_t changed = 0;
  for (size_t block = 0; block < before_bytes.size(); block += 0x1000)
    if (!std::equal(before_bytes.begin() + block, before_bytes.begin() + block + 0x1000, after_bytes.begin() + block)) {
      EXPECT_GE(block, 0x200000u) << "only the BIOS region differs";
      ++changed;
    }
  EXPECT_GT(changed, 3u);
  EXPECT_LT(changed, 20u);
  EXPECT_TRUE(after.problems.empty());
}

TEST(VolumePlacement, VolumeBelowTheTopGetsThePointerWithoutATopFile) {
  auto image = fwtest::BuildFromText(R"(
[flash]
size = "1MiB"
[[volume]]
offset = 0x10000
size = 0x10000
[[volume.file]]
layout = true
[[volume.file]]
area = "$MTR"
text = "x"
)");
  FlashWindow flash(image, image.size() - 1);
  EXPECT_EQ(flash.Read32(0xFFFFFFFC), 0xFFF10000u);
  auto info = fwimage::InspectImage(image);
  ASSERT_EQ(info.volumes.size(), 1u);
  EXPECT_FALSE(std::any_of(info.volumes[0].files.begin(), info.volumes[0].files.end(),
                           [](const fwimage::FileInfo& f) { return f.IsVolumeTop() || f.IsPad(); }));
  EXPECT_EQ(info.VolumeAtBasePointer(), &info.volumes[0]);
  EXPECT_TRUE(LocateAreaFile(flash, fwimage::kAreaTable[5].guid).ok);
  EXPECT_TRUE(info.problems.empty()) << info.problems.front();
}

TEST(VolumePlacement, TopVolumeIsFilledExactlyOrRefusedWhenThePadCannotFit) {
  // 0x1000-byte volume: header 0x48, top file 0x20 at 0xFE0. A raw file of total size
  // 0xF98 fills the rest exactly; 0xF90 leaves 8 bytes, too few for a pad file.
  auto build = [](unsigned body) {
    return fwtest::BuildFromText("[flash]\nsize = 0x2000\n[[volume]]\noffset = 0x1000\nsize = 0x1000\n"
                                 "[[volume.file]]\ntype = \"raw\"\nguid = \"11111111-2222-3333-4444-555555555555\"\nsize = " +
                                 std::to_string(body) + "\n");
  };
  auto exact = build(0xF98 - 24);
  auto info = fwimage::InspectImage(exact);
  ASSERT_EQ(info.volumes.size(), 1u);
  ASSERT_EQ(info.volumes[0].files.size(), 2u);
  EXPECT_TRUE(info.volumes[0].files[1].IsVolumeTop());
  EXPECT_TRUE(info.problems.empty());
  try {
    build(0xF90 - 24);
    FAIL() << "an 8-byte gap was accepted";
  } catch (const fwimage::DescriptionError& e) {
    EXPECT_NE(std::string(e.what()).find("pad file"), std::string::npos) << e.what();
  }
  auto padded = fwimage::InspectImage(build(0x100));
  ASSERT_EQ(padded.volumes[0].files.size(), 3u);
  EXPECT_TRUE(padded.volumes[0].files[1].IsPad());
  EXPECT_EQ(padded.volumes[0].files[1].offset + padded.volumes[0].files[1].size, 0x1FE0u);
}

TEST(FfsPackaging, SmmDriverFileHasDepexImageAndNameSectionsInPlace) {
  auto dir = fwtest::ScratchDir("ffs");
  std::vector<uint8_t> pe(0x100, 0xCC);
  pe[0] = 'M';
  pe[1] = 'Z';
  fwtest::WriteFile(dir / "Drv.efi", pe);
  fwimage::FileDescription file_desc = fwimage::ParseFileDescription(R"(
[file]
type = "smm"
guid = "A1B2C3D4-1111-4222-8333-0123456789AB"
ui = "Drv"
pe = "Drv.efi"
depex = ["EFI_SMM_CPU_PROTOCOL_GUID"]
)", dir, "drv.toml");
  std::vector<uint8_t> ffs = fwimage::EncodeFfsFile(file_desc);
  // Header: type SMM, 24-bit size, logical state "complete" (a volume builder stores it
  // for its erase polarity).
  EXPECT_EQ(ffs[0x12], EFI_FV_FILETYPE_SMM);
  EXPECT_EQ(ffs[0x14] | ffs[0x15] << 8 | ffs[0x16] << 16, static_cast<int>(ffs.size()));
  EXPECT_EQ(ffs[0x17], 0x07);
  uint8_t header_sum = 0;
  for (int i = 0; i < 24; ++i) header_sum = static_cast<uint8_t>(header_sum + ffs[i]);
  EXPECT_EQ(static_cast<uint8_t>(header_sum - ffs[0x11] - ffs[0x17]), 0);
  uint8_t data_sum = ffs[0x11];
  for (size_t i = 24; i < ffs.size(); ++i) data_sum = static_cast<uint8_t>(data_sum + ffs[i]);
  EXPECT_EQ(data_sum, 0);
  // SMM_DEPEX at 0x18: 4 + 18 bytes, two zero pad bytes, PE32 at 0x30.
  EXPECT_EQ(std::vector<uint8_t>(ffs.begin() + 0x18, ffs.begin() + 0x1C), (std::vector<uint8_t>{0x16, 0x00, 0x00, 0x1C}));
  EXPECT_EQ(ffs[0x1C], EFI_DEP_PUSH);
  EXPECT_EQ(0, std::memcmp(&ffs[0x1D], &EFI_SMM_CPU_PROTOCOL_GUID, 16));
  EXPECT_EQ(ffs[0x2D], EFI_DEP_END);
  EXPECT_EQ(ffs[0x2E], 0);
  EXPECT_EQ(ffs[0x2F], 0);
  EXPECT_EQ(U32(ffs, 0x30), (4u + 0x100) | 0x10u << 24);
  EXPECT_EQ(0, std::memcmp(&ffs[0x34], pe.data(), pe.size()));
  size_t ui = 0x34 + 0x100;
  EXPECT_EQ(U32(ffs, ui), (4u + 8) | 0x15u << 24);  // "Drv" + NUL in UTF-16
  EXPECT_EQ(std::vector<uint8_t>(ffs.begin() + ui + 4, ffs.end()), (std::vector<uint8_t>{'D', 0, 'r', 0, 'v', 0, 0, 0}));

  // Placed into a volume of erase polarity 1, the state is stored inverted.
  fwtest::WriteFile(dir / "Drv.ffs", ffs);
  auto image = fwtest::BuildFromText("[flash]\nsize = 0x10000\n[[volume]]\noffset = 0\nsize = 0x8000\n"
                                     "[[volume.file]]\nffs = \"Drv.ffs\"\n", dir);
  auto info = fwimage::InspectImage(image);
  const fwimage::FileInfo* f = info.FindFile(file_desc.name);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->state, 0xF8);
  EXPECT_TRUE(f->header_checksum_ok && f->data_checksum_ok && f->state_complete);
  EXPECT_EQ(f->ui, "Drv");
  ASSERT_EQ(f->sections.size(), 3u);
  EXPECT_EQ(f->sections[0].text, "PUSH EFI_SMM_CPU_PROTOCOL_GUID END");
  std::filesystem::remove_all(dir);
}

TEST(FfsPackaging, DependencyExpressions) {
  EXPECT_EQ(fwimage::EncodeDepex({}), (std::vector<uint8_t>{EFI_DEP_TRUE, EFI_DEP_END}));
  EFI_GUID two[] = {EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID, EFI_SMM_CPU_PROTOCOL_GUID};
  std::vector<uint8_t> code = fwimage::EncodeDepex(two);
  ASSERT_EQ(code.size(), 36u);
  EXPECT_EQ(code[0], EFI_DEP_PUSH);
  EXPECT_EQ(code[17], EFI_DEP_PUSH);
  EXPECT_EQ(code[34], EFI_DEP_AND);
  EXPECT_EQ(code[35], EFI_DEP_END);
  EXPECT_EQ(0, std::memcmp(&code[18], &EFI_SMM_CPU_PROTOCOL_GUID, 16));
}

TEST(ImageDescription, MistakesAreRefusedWithTheirPlace) {
  const std::string good_flash = "[flash]\nsize = \"16MiB\"\n";
  const std::string regions = "[descriptor.regions]\ndescriptor = { base = 0, limit = 0xFFF }\n";
  struct Case {
    std::string toml;
    std::string message;
  } cases[] = {
      {"", "[flash] with size is missing"},
      {"[flash]\nsize = \"16MiB\"\nsize2 = 1\n", "unknown key 'size2'"},
      {"[flash]\nsize = 0x1000001\n[descriptor.regions]\n", "power of two"},
      {good_flash + regions + "bios = { base = 0x200000, limit = 0x1FFFFFF }\n", "ends past the flash"},
      {good_flash + regions + "bios = { base = 0x200800, limit = 0xFFFFFF }\n", "multiples of 4 KiB"},
      {good_flash + regions + "bios = { base = 0x200000, limit = 0xFFFFFF }\nme = { base = 0x1000, limit = 0x200FFF }\n",
       "overlaps region BIOS"},
      {good_flash + regions + "me = { base = 0x1000, limit = 0x1FFFFF }\n", "a bios region is required"},
      {good_flash + "[descriptor.regions]\nbios = { base = 0x1000, limit = 0xFFFFFF }\n", "descriptor region must be"},
      {good_flash + regions + "bios = { base = 0x200000, limit = 0xFFFFFF }\nflash = { base = 0x1000, limit = 0x1FFF }\n",
       "unknown region name"},
      {good_flash + regions + "bios = { base = 0x200000, limit = 0xFFFFFF }\n[[volume]]\noffset = 0x100000\nsize = 0x10000\n",
       "inside the BIOS region"},
      {good_flash + "[[volume]]\noffset = 0\nsize = 0x10000\n[[volume]]\noffset = 0x8000\nsize = 0x10000\n", "overlaps volume"},
      {good_flash + "[[volume]]\noffset = 0\nsize = 0x1000\n[[volume.file]]\ntype = \"raw\"\nguid = \"11111111-2222-3333-4444-555555555555\"\nsize = 0x1000\n",
       "files need"},
      {good_flash + "[[volume]]\noffset = 0\nsize = 0x1000\n[[volume.file]]\ntype = \"raw\"\nguid = \"1111111-2222-3333-4444-5555555555555\"\n",
       "is not a GUID"},
      {good_flash + "[[volume]]\noffset = 0\nsize = 0x1000\n[[volume.file]]\narea = \"$XYZ\"\n", "not an area signature"},
      {good_flash + "[[volume]]\noffset = 0\nsize = 0x1000\n[[volume.file]]\narea = \"$SDB\"\n[[volume.file]]\narea = \"$SDB\"\n",
       "two files named A28B3558"},
      {good_flash + "[[volume]]\noffset = 0\nsize = 0x1000\n[[volume.file]]\narea = \"$SDB\"\ntext = \"abc\"\nsize = 2\n",
       "smaller than the contents"},
      {good_flash + "[[volume]]\noffset = 0\nsize = 0x1000\n[[volume.file]]\ntype = \"smm\"\nguid = \"11111111-2222-3333-4444-555555555555\"\nui = \"X\"\npe = \"X.efi\"\n",
       "needs depex"},
      {good_flash + "[[volume]]\noffset = 0\nsize = 0x1000\n[[volume.file]]\ntype = \"driver\"\nguid = \"11111111-2222-3333-4444-555555555555\"\nui = \"X\"\npe = \"X.efi\"\ndepex = [\"EFI_NO_SUCH_PROTOCOL\"]\n",
       "known protocol name"},
      {good_flash + "[[volume]]\noffset = 0\nsize = 0x1000\n[[volume.file]]\nffs = \"missing.ffs\"\n", "cannot read"},
      {good_flash + "[[volume]]\noffset = 0\nsize = 0x1000\nbase_pointer = true\n[[volume]]\noffset = 0x1000\nsize = 0x1000\nbase_pointer = true\n",
       "only one volume"},
      {"[flash]\nsize = = 3\n", "test.toml:2"},
      {"[flash]\nsize = \"64KiB\"\nlayout = tru\nx = 1\n", "test.toml:3"},  // the parser quotes "tru\n"
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.toml);
    try {
      fwtest::BuildFromText(c.toml, "/nonexistent");
      ADD_FAILURE() << "accepted";
    } catch (const fwimage::DescriptionError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << "one line: " << e.what();
    }
  }
}

}  // namespace
