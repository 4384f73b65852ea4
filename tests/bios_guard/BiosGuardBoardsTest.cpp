// Boards of 2, 8, 16 and 32 MiB whose processor runs with BIOS Guard, driven through
// software SMI 0x90: a write into the BIOS region lands in the BIOS region, wherever the
// part's size puts that region's window, and an address below the window reaches neither
// the BIOS Guard service nor the flash. A BIOS Guard service that arrives late is used from
// the moment it is there.
#include <gtest/gtest.h>

#include <string>

#include "tests/flash_device/support/FlashTestImage.h"
#include "tests/flash_service/support/FlashTestSupport.h"

namespace {
using fstest::Sig;

constexpr uint64_t kFourGiB = 0x100000000ULL;

// Descriptor, ME region, then the BIOS region from 2 MiB (from half the part on a 2 MiB part)
// to the part's end.
flashtest::ImageLayout Layout(uint32_t size) {
  flashtest::ImageLayout l;
  l.flash_size = size;
  const uint32_t bios = size > flashtest::kBiosBase ? flashtest::kBiosBase : size / 2;
  l.regions = {{0, 0, 0xFFF}, {2, 0x1000, bios - 1}, {1, bios, size - 1}};
  l.fill = 0x5A;
  return l;
}

fstest::BoardOptions BiosGuardBoard(const char* part, uint32_t size, const std::string& protocol = "present",
                                    const std::string& arrives_after = "") {
  fstest::BoardOptions o;
  o.platform_flash = "driver";
  o.flash = flashtest::BuildImage(Layout(size));
  o.describe = [=](toml::table& d) {
    d.insert_or_assign("cpu", toml::table{{"bios_guard", "on"}});
    d["flash"].as_table()->insert_or_assign("part", part);
    toml::table bg{{"protocol", protocol}};
    if (!arrives_after.empty()) bg.insert("arrives_after", arrives_after);
    d.insert_or_assign("bios_guard", bg);
  };
  return o;
}

// "$GB1" erase of the 4 KiB block, then write of `data`, at a window address.
EFI_STATUS EraseAndWrite(fstest::FlashBoard& fb, uint64_t address, const std::vector<uint8_t>& data) {
  FlashServiceRequest erase = fstest::Request(Sig("$GB1"), 5);
  erase.Address = uint32_t(address & ~0xFFFull);
  erase.Size = 0x1000;
  EFI_STATUS s = fb.Call(erase).Status;
  if (EFI_ERROR(s)) return s;
  FlashServiceRequest write = fstest::Request(Sig("$GB1"), 6);
  write.Address = uint32_t(address);
  write.Size = uint32_t(data.size());
  write.Buffer = uint32_t(fb.OsBuffer(data));
  return fb.Call(write).Status;
}

TEST(BiosGuardBoards, WritesLandInTheBiosRegionOfEveryPartSize) {
  struct Board {
    const char* part;
    uint32_t size;
  };
  for (const Board& b : {Board{"W25Q16JV", 2u << 20}, Board{"AT25SF641", 8u << 20}, Board{"W25Q128JV", 16u << 20},
                         Board{"W25Q256JV", 32u << 20}}) {
    fstest::FlashBoard fb(BiosGuardBoard(b.part, b.size));
    const flashtest::ImageLayout layout = Layout(b.size);
    const uint32_t bios_base = layout.regions.back().base;
    const uint64_t window = kFourGiB - (b.size - bios_base);  // the BIOS region ends at 4 GiB
    const uint64_t target = window + 0x10000;
    const std::vector<uint8_t> data = flashtest::Pattern(100, b.size);
    const std::vector<uint8_t> before = fb.board().flash().contents();

    ASSERT_EQ(EraseAndWrite(fb, target, data), EFI_SUCCESS) << b.part;
    const auto& flash = fb.board().flash().contents();
    for (size_t i = 0; i < data.size(); ++i)
      ASSERT_EQ(flash[bios_base + 0x10000 + i], data[i]) << b.part << " byte " << i;
    // Nothing else changed: the rest of the erased block is blank, the other regions intact.
    for (size_t i = 0; i < flash.size(); ++i) {
      const bool in_block = i >= bios_base + 0x10000 && i < bios_base + 0x11000;
      if (!in_block) {
        ASSERT_EQ(flash[i], before[i]) << b.part << " offset " << i;
      }
    }
    EXPECT_GE(fb.board().bios_guard().writes_done, 1u) << b.part;

    // Below the BIOS region's window (the ME region on these layouts): refused, nothing staged.
    const size_t logged = fb.board().bios_guard().log.size();
    EXPECT_NE(EraseAndWrite(fb, window - 0x1000, data), EFI_SUCCESS) << b.part;
    EXPECT_EQ(fb.board().bios_guard().log.size(), logged) << b.part;
    EXPECT_EQ(fb.board().flash().contents(), flash) << b.part;
  }
}

// With the service arriving after a named image, the drivers take it at their first use:
// the write goes through the BIOS Guard service, not around it to the part.
TEST(BiosGuardBoards, ALateServiceIsUsedOnceItArrives) {
  for (const char* after : {"PlatformFlashSmm", "SpiFlashSmm", "BiosGuardVarDxe"}) {
    fstest::FlashBoard fb(BiosGuardBoard("W25Q128JV", 16u << 20, "late", after));
    EXPECT_TRUE(fb.board().bios_guard().installed) << after;
    ASSERT_EQ(EraseAndWrite(fb, 0xFF300000, {1, 2, 3, 4}), EFI_SUCCESS) << after;
    EXPECT_EQ(fb.board().bios_guard().writes_done, 1u) << after;
    EXPECT_EQ(fb.board().bios_guard().erases_done, 1u) << after;
    EXPECT_EQ(fb.FlashAt(0xFF300000, 4), (std::vector<uint8_t>{1, 2, 3, 4})) << after;
  }
  EXPECT_ANY_THROW(fstest::FlashBoard(BiosGuardBoard("W25Q128JV", 16u << 20, "late", "NoSuchImage")));
}

}  // namespace
