// The flash device layer on the whole simulated board: the default board's image (built
// by the image builder) on every catalogue part, the part named through "$BDR" function 0,
// a new image written through software SMI 0x90 by the OS flash tool, and the window (with
// the processor's cache over the BIOS region) showing the new data afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>
#include <cstring>

#include "sim/board/AtomicFile.h"
#include "sim/board/Board.h"
#include "sim/devices/FlashCatalogue.h"
#include "tools/fwsim/DefaultImage.h"
#include "tools/fwsim/FlashDeviceTool.h"

namespace {

namespace fs = std::filesystem;

bool ServiceImagesBuilt() {
  return fs::exists(sim::ImageDirectory() / "SpiFlashSmm.so") && fs::exists(sim::ImageDirectory() / "PlatformFlashSmm.so");
}

struct PartCase {
  const char* part;
  const char* reported;  // name the flash service reports; nullptr: a part it does not know
  uint32_t boot_vscc;    // VSCC the boot firmware programs (0: none)
  uint32_t block = fwsim::FlashDeviceTool::kDefaultBlock;  // the tool's erase block
};

void PrintTo(const PartCase& c, std::ostream* os) { *os << c.part; }

toml::table Description(const PartCase& c) {
  toml::table d = sim::Board::DefaultDescription();
  toml::table flash{{"part", c.part}, {"image", "flash.bin"}, {"cache", "bios"}};
  if (c.boot_vscc != 0) flash.insert_or_assign("vscc", int64_t(c.boot_vscc));
  d.insert_or_assign("flash", flash);
  toml::table firmware = *d["firmware"].as_table();
  firmware.insert_or_assign("platform_flash", "driver");
  d.insert_or_assign("firmware", firmware);
  return d;
}

class FlashDeviceOnBoard : public ::testing::TestWithParam<PartCase> {};

TEST_P(FlashDeviceOnBoard, NamedAndUpdatedThroughSmi0x90) {
  if (!ServiceImagesBuilt()) GTEST_SKIP() << "SpiFlashSmm or PlatformFlashSmm not built";
  const PartCase& c = GetParam();
  const uint32_t size = sim::FindFlashPart(c.part).size;
  std::vector<uint8_t> old_image = BuildDefaultFlashImage(size);
  std::vector<uint8_t> new_image = BuildDefaultUpdateImage(size);
  ASSERT_NE(old_image, new_image);
  auto board = sim::Board::CreateInMemory(Description(c), old_image);
  board->Boot();
  fwsim::FlashDeviceTool tool(*board);

  fwsim::PartReport part = tool.ReportPart();
  if (c.reported == nullptr) {
    EXPECT_FALSE(part.named);
    EXPECT_EQ(part.flash_size, 0x00E00000u);
    EXPECT_THROW(tool.Update(new_image), fwsim::FlashToolError);
    EXPECT_EQ(board->flash().contents(), old_image);
    return;
  }
  ASSERT_TRUE(part.named);
  EXPECT_EQ(part.part_name, c.reported);
  EXPECT_EQ(part.flash_size, size);

  fwsim::UpdateReport r = tool.Update(new_image, nullptr, c.block);
  EXPECT_GT(r.erased + r.programmed, 0u);
  EXPECT_GT(r.skipped, 0u) << "unchanged blocks are left alone";
  EXPECT_TRUE(board->flash().contents() == new_image);

  // The tool's reads filled the processor's cache over the BIOS region before the update;
  // what the update changed must not be served stale.
  ASSERT_NE(board->flash().window().cache(), nullptr);
  const uint64_t window = fwsim::FlashWindowAddress(size);
  for (uint32_t at = 0; at < size; at += 8) {
    uint64_t want = 0;
    std::memcpy(&want, new_image.data() + at, 8);
    uint64_t got = board->bus().MemRead(window + at, 8);
    if (got != want) {
      ADD_FAILURE() << "window reads 0x" << std::hex << got << " at flash offset 0x" << at << ", the image has 0x" << want;
      break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, FlashDeviceOnBoard,
    ::testing::Values(PartCase{"W25Q128JV", "Winbond 25X/Q Series", 0}, PartCase{"W25Q16JV", "Winbond 25X/Q Series", 0},
                      PartCase{"MX25L12835F", "MXIC 25L/U Series", 0}, PartCase{"GD25Q128C", "GigaDevice 25Q Series", 0},
                      PartCase{"AT25DF641A", "ATMEL 26DF641/25DF641", 0}, PartCase{"AT25SF641", "ADESTO AT25SF641", 0},
                      PartCase{"AT25SL128A", "ADESTO AT25SL128A", 0}, PartCase{"SST25VF016B", "SST 25VF Series", 0},
                      PartCase{"SST26VF064B", "SST 26VF Series", 0}, PartCase{"EN25QH128A", "EON 25F/Q/S/QH Series", 0},
                      PartCase{"EN25P64", "EON 25P Series", 0}, PartCase{"M25P128", "STM/Micron/Numonyx 25P Series", 0},
                      PartCase{"S25FL032P", "Spansion 25FL Series", 0}, PartCase{"IS25LP128", "ISSI 25LP Series", 0},
                      PartCase{"XM25QH128C", "XMC 25QH Series", 0},
                      PartCase{"QH25F160S33", "Intel/Numonyx 25F160/320", 0},
                      PartCase{"F25L32PA", "ESMT 25L T Series", 0},
                      // Identification leaves this family unconfigured: the boot firmware's
                      // VSCC (4 KiB erase 0x20, EWSR before writes) is what the controller
                      // uses. The part has no 64 KiB erase, so the tool erases 4 KiB blocks.
                      PartCase{"SST25LF040A", "SST 25LF040", 0x2009, 0x1000}, PartCase{"P25Q128H", nullptr, 0}),
    [](const ::testing::TestParamInfo<PartCase>& info) { return std::string(info.param.part); });

TEST(FlashDeviceOnBoard, CatalogueIsCoveredByTheScenarios) {
  // W25Q256JV (32 MiB, a window that reaches down to the PMC and SPI registers) is driven
  // by the BIOS Guard board tests, which write its BIOS region through SMI 0x90.
  EXPECT_EQ(sim::FlashCatalogue().size(), 20u) << "add the new part to the scenarios above";
}

// Nobody watches the status polls of an untraced run, so the bus skips the reads of a
// poll loop to the moment the controller finishes. A run with every access observed makes
// each read; both runs must be the same run.
TEST(FlashDeviceOnBoard, SkippedPollReadsChangeNeitherTimeNorOutcome) {
  if (!ServiceImagesBuilt()) GTEST_SKIP() << "SpiFlashSmm or PlatformFlashSmm not built";
  const PartCase c{"W25Q16JV", "Winbond 25X/Q Series", 0};
  const uint32_t size = sim::FindFlashPart(c.part).size;
  const std::vector<uint8_t> old_image = BuildDefaultFlashImage(size);
  const std::vector<uint8_t> new_image = BuildDefaultUpdateImage(size);
  struct Run {
    fwsim::UpdateReport report;
    std::vector<uint8_t> flash;
    sim::FlashPartStats part;
    uint64_t hw_cycles, sw_cycles, line_fetches, end_ns, skipped, observed;
  };
  auto run = [&](bool watched) {
    auto board = sim::Board::CreateInMemory(Description(c), old_image);
    board->Boot();
    board->flash().part().ResetStats();
    Run r{};
    const uint64_t skipped_at_boot = board->bus().skipped_poll_reads();
    if (watched) board->bus().AddObserver([&r](const sim::Bus::Access&) { ++r.observed; });
    r.report = fwsim::FlashDeviceTool(*board).Update(new_image);
    r.flash = board->flash().contents();
    r.part = board->flash().part().stats();
    auto& spi = board->flash().controller();
    r.hw_cycles = spi.hw_cycles();
    r.sw_cycles = spi.sw_cycles();
    r.line_fetches = spi.line_fetches();
    r.end_ns = board->bus().clock().Now();
    r.skipped = board->bus().skipped_poll_reads() - skipped_at_boot;
    return r;
  };
  const Run fast = run(false), watched = run(true);
  EXPECT_GT(fast.skipped, 1'000'000u) << "an erase's poll alone is millions of reads";
  EXPECT_EQ(watched.skipped, 0u);
  EXPECT_GT(watched.observed, fast.skipped);
  EXPECT_EQ(fast.report.device_ns, watched.report.device_ns);
  EXPECT_EQ(fast.end_ns, watched.end_ns);
  EXPECT_TRUE(fast.flash == new_image);
  EXPECT_TRUE(watched.flash == new_image);
  EXPECT_EQ(fast.report.erased, watched.report.erased);
  EXPECT_EQ(fast.report.programmed, watched.report.programmed);
  EXPECT_EQ(fast.hw_cycles, watched.hw_cycles);
  EXPECT_EQ(fast.sw_cycles, watched.sw_cycles);
  EXPECT_EQ(fast.line_fetches, watched.line_fetches);
  const auto& a = fast.part;
  const auto& b = watched.part;
  EXPECT_EQ(a.read_commands, b.read_commands);
  EXPECT_EQ(a.read_bytes, b.read_bytes);
  EXPECT_EQ(a.program_commands, b.program_commands);
  EXPECT_EQ(a.programmed_bytes, b.programmed_bytes);
  EXPECT_EQ(a.erase_commands, b.erase_commands);
  EXPECT_EQ(a.status_reads, b.status_reads);
  EXPECT_EQ(a.busy_ns, b.busy_ns);
}

// fwsim itself: init on a fwimage-built image, flash info, flash update, and the board's
// flash file equal to the new image afterwards.
int Shell(const std::string& command, std::string* out) {
  std::string full = command + " 2>&1";
  FILE* p = popen(full.c_str(), "r");
  if (p == nullptr) return -1;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out->append(buffer, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FwsimFlash, InfoAndUpdateOnABoardFolder) {
  if (!ServiceImagesBuilt()) GTEST_SKIP() << "SpiFlashSmm or PlatformFlashSmm not built";
  fs::path dir = fs::temp_directory_path() / ("fwsim-flash-e2e-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string boards = FW_BOARDS_DIR;
  std::string out;
  ASSERT_EQ(Shell(std::string(FWIMAGE_BINARY) + " build " + boards + "/default/image.toml -o " + (dir / "old.bin").string(),
                &out),
            0)
      << out;
  ASSERT_EQ(Shell(std::string(FWIMAGE_BINARY) + " build " + boards + "/default/update.toml -o " + (dir / "new.bin").string(),
                &out),
            0)
      << out;
  const std::string fwsim = std::string(FWSIM_BINARY) + " --board " + (dir / "board").string();
  ASSERT_EQ(Shell(fwsim + " init --flash W25Q128JV --image " + (dir / "old.bin").string(), &out), 0) << out;
  // The board's own flash driver provides PlatformFlashProtocol (the default of `fwsim init`).
  {
    std::ifstream in(dir / "board" / "board.toml");
    std::stringstream text;
    text << in.rdbuf();
    ASSERT_NE(text.str().find("platform_flash = 'driver'"), std::string::npos) << text.str();
  }
  out.clear();
  ASSERT_EQ(Shell(fwsim + " flash info", &out), 0) << out;
  EXPECT_NE(out.find("Winbond 25X/Q Series, 16 MiB"), std::string::npos) << out;
  out.clear();
  ASSERT_EQ(Shell(fwsim + " --json flash update " + (dir / "new.bin").string(), &out), 0) << out;
  EXPECT_NE(out.find("\"verified\": true"), std::string::npos) << out;
  EXPECT_EQ(sim::ReadBinaryFile(dir / "board" / "flash.bin"), sim::ReadBinaryFile(dir / "new.bin"));
  // An image of the wrong size is refused and the board folder stays as it was.
  std::vector<uint8_t> small(4096, 0);
  sim::WriteFileAtomically(dir / "small.bin", small);
  out.clear();
  EXPECT_NE(Shell(fwsim + " flash update " + (dir / "small.bin").string(), &out), 0);
  EXPECT_NE(out.find("the image holds 4096 bytes"), std::string::npos) << out;
  EXPECT_EQ(sim::ReadBinaryFile(dir / "board" / "flash.bin"), sim::ReadBinaryFile(dir / "new.bin"));
  fs::remove_all(dir);
}

}  // namespace
