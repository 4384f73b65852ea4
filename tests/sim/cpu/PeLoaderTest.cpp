// Placing firmware images: relocations, refusals, and the linker map that names routines.
#include <gtest/gtest.h>

#include <stdexcept>

#include "sim/cpu/LinkMap.h"
#include "sim/cpu/PeImage.h"
#include "tests/sim/cpu/TestPe.h"

namespace {

uint64_t At(const std::vector<uint8_t>& image, size_t offset) {
  uint64_t v;
  std::memcpy(&v, &image[offset], 8);
  return v;
}

TEST(PlaceImage, MovesEveryAbsoluteAddressAndCopiesSections) {
  simtest::TestPe pe;
  pe.code = {0x48, 0x8B, 0x05, 0xF9, 0x0F, 0x00, 0x00, 0xC3};
  pe.data.resize(32, 0);
  uint64_t target = 0x2010;  // an address inside the image, as the link base 0 sees it
  std::memcpy(&pe.data[8], &target, 8);
  pe.data[16] = 0x77;
  pe.relocations = {0x2008};
  auto file = pe.Build();
  auto parsed = sim::ParsePe(file);
  ASSERT_TRUE(parsed.errors.empty());

  auto placed = sim::PlaceImage(parsed, file, 0x7F123000);
  ASSERT_EQ(placed.size(), 0x4000u);
  EXPECT_EQ(At(placed, 0x2008), 0x7F123000u + 0x2010) << "DIR64 moved by the load delta";
  EXPECT_EQ(placed[0x2010], 0x77) << "data copied";
  EXPECT_EQ(placed[0x1000], 0x48) << "code copied";
  EXPECT_EQ(placed[0x2020], 0) << "the rest of a section stays zero";
  EXPECT_EQ(At(sim::PlaceImage(parsed, file, 0), 0x2008), 0x2010u) << "at the link base nothing moves";
}

TEST(PlaceImage, RefusesImagesALoaderCannotPlace) {
  simtest::TestPe fixed;
  fixed.code = {0xC3};
  fixed.image_base = 0x140000000;
  auto file = fixed.Build();
  EXPECT_THROW(sim::PlaceImage(sim::ParsePe(file), file, 0x7F000000), std::runtime_error)
      << "no relocations and not at its link base";
  EXPECT_NO_THROW(sim::PlaceImage(sim::ParsePe(file), file, 0x140000000));

  simtest::TestPe importing;
  importing.code = {0xC3};
  importing.data.resize(64);
  importing.relocations = {0x2000};
  importing.import_directory_size = 40;
  file = importing.Build();
  EXPECT_THROW(sim::PlaceImage(sim::ParsePe(file), file, 0x7F000000), std::runtime_error) << "imports are never served";

  simtest::TestPe short_file;
  short_file.code.assign(0x300, 0x90);
  file = short_file.Build();
  file.resize(file.size() - 0x100);  // .text runs past the end of the file
  EXPECT_THROW(sim::PlaceImage(sim::ParsePe(file), file, 0), std::runtime_error);
}

TEST(LinkMap, FindsRoutinesAndNamesTheFunctionAroundAnAddress) {
  std::string text =
      " SpiFlashSmm\n\n Timestamp is 6b1799aa (Tue Dec  8 05:46:18 2026)\n\n"
      " Preferred load address is 0000000000000000\n\n"
      "  Address         Publics by Value              Rva+Base               Lib:Object\n\n" +
      simtest::MapLine("?MmioRead32@@YAI_K@Z", 0x2890) + simtest::MapLine("_ModuleEntryPoint", 0x13c0) +
      simtest::MapLine("?Read@Flash@@QEAA_KXZ", 0x1500) + " 0003:00000000       gFwImageIdentity           0000000000004000     i.obj\n";
  auto map = sim::LinkMap::Parse(text);
  EXPECT_EQ(map.Find("MmioRead32"), 0x2890u);
  EXPECT_EQ(map.Find("_ModuleEntryPoint"), 0x13C0u);
  EXPECT_EQ(map.Find("gFwImageIdentity"), 0x4000u);
  EXPECT_FALSE(map.Find("MmioRead64").has_value());
  auto inside = map.Enclosing(0x1520);
  ASSERT_TRUE(inside.has_value());
  EXPECT_EQ(inside->first, "Flash::Read");
  EXPECT_EQ(inside->second, 0x20u);
  EXPECT_FALSE(map.Enclosing(0x100).has_value()) << "below every symbol";
  EXPECT_TRUE(sim::LinkMap::Parse("no map here\n").empty());
}

}  // namespace
