// The update tool's plan: what the descriptor lets the BIOS master write, the refusals
// before anything is erased, --region, erase units that never take bytes the plan does not
// write back, the boot blocks last, and the tool's own image checks.
#include <gtest/gtest.h>

#include "tests/flash_device/support/FlashTestImage.h"
#include "tools/fwsim/DefaultImage.h"
#include "tools/fwsim/UpdatePlan.h"

namespace {

using fwsim::PlannedUnit;
using Action = PlannedUnit::Action;

const PlannedUnit* UnitAt(const fwsim::UpdatePlan& plan, uint32_t offset) {
  for (const PlannedUnit& u : plan.units)
    if (u.offset == offset) return &u;
  return nullptr;
}

std::string RefusalOf(const std::vector<uint8_t>& current, const std::vector<uint8_t>& image,
                      const std::vector<std::string>& regions = {}) {
  try {
    fwsim::PlanUpdate(current, image, regions, 0x10000);
  } catch (const fwsim::FlashToolError& e) {
    return e.what();
  }
  return "";
}

TEST(UpdatePlan, BootBlocksComeLastBackToBackAfterEveryOtherChange) {
  auto old_image = BuildDefaultFlashImage();
  auto image = BuildDefaultUpdateImage();  // changes inside the volume named at 0xFFFFFFFC
  old_image[0x300010] = 0x0F;              // and two blocks elsewhere in the BIOS region
  image[0x300010] = 0xF0;
  image[0xA00020] = 0x00;
  const fwsim::UpdatePlan plan = fwsim::PlanUpdate(old_image, image, {}, 0x10000);

  ASSERT_EQ(plan.boot_critical.size(), 2u);
  EXPECT_EQ(fwsim::HexRange(plan.boot_critical[0]), "0x00F00000-0x00FEFFFF") << "the volume at 0xFFF00000";
  EXPECT_EQ(fwsim::HexRange(plan.boot_critical[1]), "0x00FFFFF0-0x00FFFFFF") << "the reset vector";

  std::vector<const PlannedUnit*> changed;
  for (const PlannedUnit& u : plan.units)
    if (u.action != Action::kSkip) changed.push_back(&u);
  ASSERT_GE(changed.size(), 3u);
  EXPECT_EQ(changed[0]->offset, 0x300000u);
  EXPECT_EQ(changed[1]->offset, 0xA00000u);
  for (size_t i = 2; i < changed.size(); ++i) {
    EXPECT_TRUE(changed[i]->boot_critical) << std::hex << changed[i]->offset;
    if (i > 2) {
      EXPECT_GT(changed[i]->offset, changed[i - 1]->offset);
    }
  }
  EXPECT_FALSE(changed[0]->boot_critical);
  // A change that only clears bits is programmed without an erase, over the bytes that change.
  EXPECT_EQ(changed[1]->action, Action::kProgram);
  EXPECT_EQ(changed[1]->write_from, 0xA00020u);
  EXPECT_EQ(changed[1]->write_to, 0xA00021u);
  EXPECT_EQ(changed[0]->action, Action::kErase);
  EXPECT_EQ(plan.changed(), changed.size());
}

TEST(UpdatePlan, DifferencesTheBiosMasterMayNotWriteAreRefusedNamingRegionAndRange) {
  const auto old_image = BuildDefaultFlashImage();  // FLMSTR1 writes BIOS, GbE, PD, not ME or the descriptor
  auto image = BuildDefaultUpdateImage();
  image[0x1234] = 0x00;
  image[0x5678] = 0x11;
  const std::string me = RefusalOf(old_image, image);
  EXPECT_NE(me.find("me region 0x00001000-0x001FFFFF at 0x00001234-0x00005678"), std::string::npos) << me;
  EXPECT_NE(me.find("nothing was written"), std::string::npos) << me;

  image = BuildDefaultUpdateImage();
  image[0x20] ^= 1;
  EXPECT_NE(RefusalOf(old_image, image).find("fd region"), std::string::npos);
  // Region names the update cannot cover.
  EXPECT_NE(RefusalOf(old_image, old_image, {"me"}).find("may not write the me region"), std::string::npos);
  EXPECT_NE(RefusalOf(old_image, old_image, {"ec"}).find("has no region 'ec'"), std::string::npos);
  EXPECT_EQ(RefusalOf(old_image, old_image, {"BIOS"}), "") << "names are not case-sensitive";
}

TEST(UpdatePlan, ARegionLimitedUpdateLeavesTheRestAndNeverErasesAcrossARegionEdge) {
  // Descriptor 0-0xFFF, GbE 0x1000-0x2FFF, ME 0x3000-0x1FFFFF, BIOS above; the BIOS master
  // may write all of them. The first 64 KiB block holds three regions.
  flashtest::ImageLayout layout;
  layout.flash_size = 0x400000;
  layout.regions = {{0, 0, 0xFFF}, {3, 0x1000, 0x2FFF}, {2, 0x3000, 0x1FFFFF}, {1, 0x200000, 0x3FFFFF}};
  const auto old_image = flashtest::BuildImage(layout);
  auto image = old_image;
  image[0x1800] = 0x12;   // GbE
  image[0x4000] = 0x34;   // ME, in the same 64 KiB block
  image[0x250000] = 0x56;  // BIOS
  const fwsim::UpdatePlan plan = fwsim::PlanUpdate(old_image, image, {"gbe"}, 0x10000);
  for (const PlannedUnit& u : plan.units) {
    if (u.action == Action::kSkip) continue;
    EXPECT_GE(u.offset, 0x1000u);
    EXPECT_LE(u.offset + u.size, 0x3000u) << "only GbE is written";
  }
  const PlannedUnit* gbe = UnitAt(plan, 0x1000);
  ASSERT_NE(gbe, nullptr);
  EXPECT_EQ(gbe->size, 0x1000u) << "a block shared with other regions is erased sector by sector";
  EXPECT_NE(gbe->action, Action::kSkip);
  ASSERT_EQ(plan.notes.size(), 2u);
  EXPECT_NE(plan.notes[0].find("me region differs at 0x00004000-0x00004000"), std::string::npos) << plan.notes[0];
  EXPECT_NE(plan.notes[1].find("bios region"), std::string::npos) << plan.notes[1];

  // Without --region the BIOS block is a whole 64 KiB unit and the shared block still
  // goes sector by sector only where it changed.
  const fwsim::UpdatePlan all = fwsim::PlanUpdate(old_image, image, {}, 0x10000);
  ASSERT_NE(UnitAt(all, 0x250000), nullptr);
  EXPECT_EQ(UnitAt(all, 0x250000)->size, 0x10000u);
  EXPECT_EQ(UnitAt(all, 0)->action, Action::kSkip);
  EXPECT_EQ(UnitAt(all, 0x4000)->size, 0x1000u);
  EXPECT_NE(UnitAt(all, 0x4000)->action, Action::kSkip);
}

TEST(UpdatePlan, TheToolsOwnChecksFindAMissingDescriptorOrNoVolumeAtThePointer) {
  auto image = BuildDefaultUpdateImage();
  EXPECT_TRUE(fwsim::CheckImage(image).empty());
  auto no_signature = image;
  no_signature[0x10] = 0;
  ASSERT_EQ(fwsim::CheckImage(no_signature).size(), 1u);
  EXPECT_NE(fwsim::CheckImage(no_signature)[0].find("no flash descriptor"), std::string::npos);
  auto bad_pointer = image;
  bad_pointer[bad_pointer.size() - 2] ^= 0x10;  // 0xFFF00000 -> 0xFFE00000
  ASSERT_EQ(fwsim::CheckImage(bad_pointer).size(), 1u);
  EXPECT_NE(fwsim::CheckImage(bad_pointer)[0].find("no firmware volume at 0xFFE00000"), std::string::npos);
}

TEST(UpdatePlan, UnitsNeitherOldNorNewAreNamedAndNeighboursMerged) {
  std::vector<uint8_t> before(0x5000, 0x11), target(0x5000, 0x22), now = before;
  std::fill(now.begin() + 0x1000, now.begin() + 0x1800, 0xFF);  // half erased
  std::fill(now.begin() + 0x2000, now.begin() + 0x3000, 0x00);  // something else entirely
  std::fill(now.begin() + 0x4000, now.end(), 0x22);             // already new
  const auto ranges = fwsim::RangesNeitherOldNorNew(before, target, now, 0x1000);
  ASSERT_EQ(ranges.size(), 1u);
  EXPECT_EQ(fwsim::HexRange(ranges[0]), "0x00001000-0x00002FFF");
}

}  // namespace
