// The .efi images of the uefi build, run on the x86-64 emulator, make the same bus
// accesses at the same simulated times as the host images: every scenario is played on two
// copies of one board, once with each kind of image, and the traces must match line for
// line. The reports must match too, except for host times and the board folder's name.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct FwsimRun {
  int rc = -1;
  std::string out;
};

FwsimRun Fwsim(const std::string& images, const fs::path& board, const fs::path& trace, const std::string& args) {
  std::string cmd = std::string(FWSIM_PATH) + " --images " + images + " --board " + board.string() +
                    (trace.empty() ? "" : " --trace " + trace.string()) + " " + args + " 2>&1";
  FwsimRun r;
  std::FILE* p = popen(cmd.c_str(), "r");
  std::array<char, 4096> buf;
  while (size_t n = std::fread(buf.data(), 1, buf.size(), p)) r.out.append(buf.data(), n);
  r.rc = WEXITSTATUS(pclose(p));
  return r;
}

// Host times and folder names differ between the two runs by nature.
std::string Comparable(std::string text, const fs::path& board) {
  text = std::regex_replace(text, std::regex("host time [0-9.]+ m?s"), "host time X");
  text = std::regex_replace(text, std::regex("[0-9]+ ms of host time"), "X ms of host time");
  size_t at;
  while ((at = text.find(board.string())) != std::string::npos) text.replace(at, board.string().size(), "BOARD");
  return text;
}

// The first line where two traces part, for the failure message.
std::string FirstDifference(const std::string& a, const std::string& b) {
  std::istringstream x(a), y(b);
  std::string l1, l2;
  for (size_t line = 1;; ++line) {
    bool more1 = static_cast<bool>(std::getline(x, l1)), more2 = static_cast<bool>(std::getline(y, l2));
    if (!more1 && !more2) return "none";
    if (l1 != l2 || more1 != more2)
      return "line " + std::to_string(line) + ": host '" + (more1 ? l1 : "<end>") + "' efi '" + (more2 ? l2 : "<end>") + "'";
  }
}

class EfiTrace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(fs::path(FW_EFI_IMAGE_DIR) / "SpiFlashSmm.efi")) GTEST_SKIP() << "no .efi images: build the uefi preset";
    root_ = fs::temp_directory_path() / ("efi-trace-" + std::to_string(getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override {
    if (!root_.empty()) fs::remove_all(root_);
  }

  // Creates the board once and copies it, so both runs start from the same folder contents.
  void Init(const std::string& args) {
    ASSERT_EQ(Fwsim("host", root_ / "host", {}, "init " + args).rc, 0);
    fs::copy(root_ / "host", root_ / "efi", fs::copy_options::recursive);
  }

  void ExpectSame(const std::string& args) {
    SCOPED_TRACE(args);
    auto host_trace = root_ / "host.trace", efi_trace = root_ / "efi.trace";
    FwsimRun host = Fwsim("host", root_ / "host", host_trace, args);
    FwsimRun efi = Fwsim("efi", root_ / "efi", efi_trace, args);
    EXPECT_EQ(host.rc, efi.rc) << efi.out;
    EXPECT_EQ(Comparable(host.out, root_ / "host"), Comparable(efi.out, root_ / "efi"));
    std::string a = Slurp(host_trace), b = Slurp(efi_trace);
    EXPECT_FALSE(a.empty());
    EXPECT_TRUE(a == b) << "traces part at " << FirstDifference(a, b);
    EXPECT_EQ(Slurp(root_ / "host" / "flash.bin"), Slurp(root_ / "efi" / "flash.bin")) << "flash contents";
    EXPECT_EQ(Slurp(root_ / "host" / "variables.json"), Slurp(root_ / "efi" / "variables.json"));
  }

  fs::path root_;
};

TEST_F(EfiTrace, DefaultBoardBootFlashServiceAreaLookupAndWrites) {
  Init("");
  ExpectSame("boot");
  ExpectSame("flash info");
  ExpectSame("flash locate '$SDB'");
  ExpectSame("flash read 0xFFFF0000 0x100");
  std::ofstream(root_ / "block.bin", std::ios::binary) << std::string(4096, '\x5A');
  ExpectSame("flash write 0xFF800000 " + (root_ / "block.bin").string() + " --erase");
  ExpectSame("flash erase 0xFF801000 0x1000");
  ExpectSame("smi 0x90 --signature '$GB1' --function 9");
}

TEST_F(EfiTrace, BoardServiceAndSleepEvents) {
  Init("");
  ExpectSame("smi 0xe0 --ax 0x0000 --bx 0x55AA --cpu 1");
  ExpectSame("smi 0xe0 --ax 0x0100");
  ExpectSame("smi 0xe0 --ax 0x0200");
  ExpectSame("event power-button");
  ExpectSame("event sleep s4");
  ExpectSame("event sleep s5");
  ExpectSame("smi 0xe0 --ax 0x0300");  // the reset after preparing the pad
}

TEST_F(EfiTrace, BiosGuardBoardAndOtherPch) {
  Init("--bios-guard on");
  ExpectSame("boot");
  ExpectSame("flash info");
  std::ofstream(root_ / "block.bin", std::ios::binary) << std::string(4096, '\x3C');
  ExpectSame("flash write 0xFF800000 " + (root_ / "block.bin").string() + " --erase");
  ExpectSame("var list");
}

TEST_F(EfiTrace, PchLpcBoard) {
  Init("--pch lp");
  ExpectSame("boot");
  ExpectSame("event power-button");
  ExpectSame("smi 0xe0 --ax 0x0000 --bx 0x55AA");
}

}  // namespace
