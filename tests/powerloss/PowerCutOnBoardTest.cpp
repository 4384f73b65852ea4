// Power cuts and the update tool on the whole default board: an update cut inside an erase
// and run again; the order the blocks change in and the brick window next to flashrom's
// way; what the update reads back and how long its longest SMI is; and fwsim saving the
// flash as the part holds it after a cut, and nothing after a refusal.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/board/AtomicFile.h"
#include "sim/board/Board.h"
#include "tools/fwsim/DefaultImage.h"
#include "tools/fwsim/FlashDeviceTool.h"

namespace {

namespace fs = std::filesystem;

bool ImagesBuilt() {
  return fs::exists(sim::ImageDirectory() / "SpiFlashSmm.so") && fs::exists(sim::ImageDirectory() / "PlatformFlashSmm.so");
}

struct Recorded {
  std::vector<sim::FlashOperationRecord> operations;
  std::vector<uint8_t> flash;
  fwsim::UpdateReport report;
  bool power_lost = false;
};

// Boots the default board on `flash`, arms `cut` and runs the update.
Recorded RunUpdate(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& image, const sim::PowerCut& cut = {},
             const fwsim::UpdateOptions& options = {}) {
  Recorded out;
  auto board = sim::Board::CreateInMemory(sim::Board::DefaultDescription(), flash);
  board->Boot();
  const uint64_t armed = board->bus().clock().Now();
  board->flash().part().on_operation = [&](sim::FlashOperationRecord r) {
    r.start_ns -= armed;
    r.end_ns -= armed;
    out.operations.push_back(r);
  };
  board->ArmPowerCut(cut);
  try {
    out.report = fwsim::FlashDeviceTool(*board).Update(image, options);
  } catch (const fwsim::PowerLostError&) {
    out.power_lost = true;
  }
  EXPECT_EQ(out.power_lost, board->power_lost());
  board->flash().part().on_operation = nullptr;
  out.flash = board->flash().contents();
  return out;
}

class PowerCutOnBoard : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ImagesBuilt()) GTEST_SKIP() << "driver images not built";
  }
  const std::vector<uint8_t> old_image = BuildDefaultFlashImage();
  const std::vector<uint8_t> new_image = BuildDefaultUpdateImage();
};

TEST_F(PowerCutOnBoard, AnUpdateCutInsideAnEraseLeavesItsBlockMixedAndTheSameUpdateRecovers) {
  const Recorded clean = RunUpdate(old_image, new_image);
  ASSERT_EQ(clean.flash, new_image);
  auto erase = std::find_if(clean.operations.begin(), clean.operations.end(), [](const sim::FlashOperationRecord& r) {
    return r.kind == sim::FlashOperationRecord::Kind::kErase;
  });
  ASSERT_NE(erase, clean.operations.end());
  sim::PowerCut cut;
  cut.at_ns = (erase->start_ns + erase->end_ns) / 2;
  const Recorded cut_run = RunUpdate(old_image, new_image, cut);
  ASSERT_TRUE(cut_run.power_lost);
  const auto mixed = fwsim::RangesNeitherOldNorNew(old_image, new_image, cut_run.flash, 0x10000);
  ASSERT_EQ(mixed.size(), 1u);
  EXPECT_EQ(mixed[0].base, erase->base);
  size_t erased = 0;
  for (uint32_t i = erase->base; i < erase->base + erase->bytes; ++i) erased += cut_run.flash[i] == 0xFF;
  EXPECT_GT(erased, 0u);
  EXPECT_LT(erased, erase->bytes) << "half way through, the sector is neither erased nor as it was";

  const Recorded again = RunUpdate(cut_run.flash, new_image);
  EXPECT_FALSE(again.power_lost);
  EXPECT_EQ(again.flash, new_image);
}

TEST_F(PowerCutOnBoard, BootBlocksChangeLastAndTheirWindowIsShorterThanFlashromsOnTheSameDiff) {
  auto image = new_image;
  for (uint32_t block : {0x300000u, 0x900000u}) std::fill(image.begin() + block, image.begin() + block + 0x8000, 0x5A);
  const Recorded ours = RunUpdate(old_image, image);
  ASSERT_EQ(ours.flash, image);
  const auto ranges = fwsim::BootCriticalRanges(old_image, image);
  auto critical = [&](const sim::FlashOperationRecord& r) {
    return std::any_of(ranges.begin(), ranges.end(), [&](const fwsim::FlashRange& b) { return b.Overlaps(r.base, r.bytes); });
  };
  auto first = std::find_if(ours.operations.begin(), ours.operations.end(), critical);
  ASSERT_NE(first, ours.operations.end());
  EXPECT_TRUE(std::all_of(first, ours.operations.end(), critical)) << "nothing else is written after the boot blocks";
  EXPECT_TRUE(std::none_of(ours.operations.begin(), first, critical));

  fwsim::UpdateOptions like_flashrom;
  like_flashrom.strategy = fwsim::UpdateStrategy::kFlashrom;
  const Recorded theirs = RunUpdate(old_image, image, {}, like_flashrom);
  ASSERT_EQ(theirs.flash, image);
  EXPECT_GT(ours.report.brick_window_ns, 0u);
  EXPECT_LT(ours.report.brick_window_ns, theirs.report.brick_window_ns);
  EXPECT_LT(ours.report.device_ns, theirs.report.device_ns);
}

TEST_F(PowerCutOnBoard, TheUpdateReadsWhatItChangedOnceAndNoSmiOutlastsABlockErase) {
  auto before = old_image, image = old_image;
  for (uint32_t block : {0x400000u, 0x800000u, 0xC00000u, 0xD00000u}) {
    std::fill(before.begin() + block, before.begin() + block + 0x10000, 0xA5);
    std::fill(image.begin() + block, image.begin() + block + 0x10000, 0x3C);
  }
  const Recorded changed = RunUpdate(before, image);
  ASSERT_EQ(changed.flash, image);
  EXPECT_EQ(changed.report.erased, 4u);
  EXPECT_EQ(changed.report.read_requests, 256u + 4u) << "one pass of 64 KiB reads, one read of each changed block";
  // The longest SMI is one block erase with its read-back (150 ms typical on this part).
  EXPECT_LT(changed.report.longest_request_ns, 200'000'000u);
  EXPECT_GT(changed.report.longest_request_ns, 150'000'000u);
  EXPECT_EQ(changed.report.brick_window_ns, 0u) << "no boot block changed";

  fwsim::UpdateOptions full;
  full.verify = fwsim::VerifyMode::kFull;
  const Recorded whole = RunUpdate(before, image, {}, full);
  ASSERT_EQ(whole.flash, image);
  EXPECT_EQ(whole.report.read_requests, 2u * 256u);
  EXPECT_GT(whole.report.device_ns, changed.report.device_ns);
}

// fwsim on a board folder.
int Shell(const std::string& command, std::string* out) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return -1;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out->append(buffer, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string FileText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST_F(PowerCutOnBoard, FwsimSavesTheFlashAsThePartHoldsItAfterACutAndNothingAfterARefusal) {
  const fs::path dir = fs::temp_directory_path() / ("fwsim-powercut-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  sim::WriteFileAtomically(dir / "old.bin", old_image);
  sim::WriteFileAtomically(dir / "new.bin", new_image);
  const std::string fwsim = std::string(FWSIM_BINARY) + " --board " + (dir / "board").string();
  std::string out;
  ASSERT_EQ(Shell(fwsim + " init --image " + (dir / "old.bin").string(), &out), 0) << out;

  // An image the tool's own checks find broken is refused; the folder stays byte for byte.
  auto broken = new_image;
  broken[0x10] = 0;
  sim::WriteFileAtomically(dir / "broken.bin", broken);
  const std::string flash_before = FileText(dir / "board" / "flash.bin");
  const std::string variables_before = FileText(dir / "board" / "variables.json");
  out.clear();
  EXPECT_NE(Shell(fwsim + " flash update " + (dir / "broken.bin").string(), &out), 0);
  EXPECT_NE(out.find("no flash descriptor"), std::string::npos) << out;
  EXPECT_NE(out.find("--force"), std::string::npos) << out;
  EXPECT_EQ(FileText(dir / "board" / "flash.bin"), flash_before);
  EXPECT_EQ(FileText(dir / "board" / "variables.json"), variables_before);

  // Power lost the instant the fourth erase or program ends.
  out.clear();
  EXPECT_NE(Shell(fwsim + " --cut-after-ops 4 flash update " + (dir / "new.bin").string(), &out), 0);
  EXPECT_NE(out.find("lost power"), std::string::npos) << out;
  EXPECT_NE(out.find("neither old nor new at flash offsets 0x"), std::string::npos) << out;
  EXPECT_NE(out.find("run the same update again"), std::string::npos) << out;
  const auto after_cut = sim::ReadBinaryFile(dir / "board" / "flash.bin");
  EXPECT_NE(after_cut, old_image);
  EXPECT_NE(after_cut, new_image);

  out.clear();
  ASSERT_EQ(Shell(fwsim + " --json flash update " + (dir / "new.bin").string(), &out), 0) << out;
  EXPECT_EQ(sim::ReadBinaryFile(dir / "board" / "flash.bin"), new_image);

  // A cut in the board description is validated like the rest of it.
  {
    std::ofstream desc(dir / "board" / "board.toml", std::ios::app);
    desc << "\n[power]\ncut_after_op = 3\n";
  }
  out.clear();
  EXPECT_NE(Shell(fwsim + " flash info", &out), 0);
  EXPECT_NE(out.find("[power] has no setting 'cut_after_op'"), std::string::npos) << out;
  fs::remove_all(dir);
}

}  // namespace
