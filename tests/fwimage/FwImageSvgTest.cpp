// The flash map picture: well-formed SVG that names every region, volume file and area,
// and the flash-update overlay.
#include "tests/fwimage/TestImage.h"
#include "tools/fwimage/Guid.h"

namespace {

std::string RenderAndReadTexts(const fwimage::ImageInfo& info, const fwimage::SvgOptions& options, const std::string& name) {
  auto dir = fwtest::ScratchDir(name);
  std::string svg = fwimage::RenderSvgMap(info, options);
  std::ofstream(dir / "map.svg") << svg;
  auto r = fwtest::Run("python3 " + (fwtest::SourceDir() / "tests/fwimage/check_svg.py").string() + " " + (dir / "map.svg").string());
  EXPECT_EQ(r.status, 0) << r.output;
  std::filesystem::remove_all(dir);
  return r.output;
}

TEST(FlashMapSvg, NamesEveryRegionFileAndArea) {
  FW_REQUIRE_PROGRAM("python3", "python3");
  auto info = fwimage::InspectImage(fwimage::BuildImageFromFile(fwtest::SourceDir() / "boards/default/image.toml"));
  std::string texts = RenderAndReadTexts(info, {"default board <flash> & map", {}}, "svg");
  for (const auto& r : info.regions) EXPECT_NE(texts.find(r.name + " "), std::string::npos) << r.name;
  for (const auto& f : info.volumes[0].files) EXPECT_NE(texts.find(fwimage::FormatGuid(f.name)), std::string::npos);
  for (const auto& a : fwimage::kAreaTable) EXPECT_NE(texts.find(std::string(a.signature) + " area"), std::string::npos);
  EXPECT_NE(texts.find("BoardSettings"), std::string::npos);
  EXPECT_NE(texts.find("Layout table at 0xFFF000CC: 6 areas"), std::string::npos);
  EXPECT_NE(texts.find("default board <flash> & map"), std::string::npos) << "title text escaped and kept";
  EXPECT_EQ(texts.find("Flash update"), std::string::npos);
}

TEST(FlashMapSvg, UpdateOverlayCountsEachKindOfBlock) {
  FW_REQUIRE_PROGRAM("python3", "python3");
  auto info = fwimage::InspectImage(fwimage::BuildImageFromFile(fwtest::SourceDir() / "boards/default/image.toml"));
  fwimage::SvgOptions options;
  for (uint64_t block = 0x200000; block < 0x1000000; block += 0x1000) {
    bool changed = block >= 0xF00000 && block < 0xF04000;
    bool written = block == 0xF08000;
    options.blocks.push_back({block, 0x1000, changed, changed || written});
  }
  std::string texts = RenderAndReadTexts(info, options, "svg-overlay");
  EXPECT_NE(texts.find("erased and programmed: 4"), std::string::npos) << texts;
  EXPECT_NE(texts.find("programmed only: 1"), std::string::npos);
  EXPECT_NE(texts.find("erased only: 0"), std::string::npos);
  EXPECT_NE(texts.find("skipped: 3579"), std::string::npos);
}

TEST(FlashMapSvg, DamagedImageListsItsProblems) {
  FW_REQUIRE_PROGRAM("python3", "python3");
  auto image = fwimage::BuildImageFromFile(fwtest::SourceDir() / "boards/default/image.toml");
  image[0xF00000 + 0x2C] ^= 1;
  std::string texts = RenderAndReadTexts(fwimage::InspectImage(image), {}, "svg-bad");
  EXPECT_NE(texts.find("header checksum is wrong"), std::string::npos);
}

}  // namespace
