// fwsim as the operating system's flash tool on a board whose flash fwimage built: areas
// located, rewritten and read back through software SMI 0x90, across reboots, and failed
// commands that leave the board folder as it was.
#include <algorithm>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Result {
  int rc;
  std::string out;
  std::string err;
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::vector<uint8_t> ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

void WriteFile(const fs::path& p, const std::vector<uint8_t>& d) {
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char*>(d.data()), std::streamsize(d.size()));
}

class FlashToolE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("fs-e2e-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    image_ = dir_ / "image.bin";
    auto r = Run(std::string(FWIMAGE_PATH) + " build " + Quote(std::string(FW_SOURCE_DIR) + "/boards/default/image.toml") +
                 " -o " + Quote(image_.string()));
    ASSERT_EQ(r.rc, 0) << r.err;
    r = Fwsim("init --image " + Quote(image_.string()));
    ASSERT_EQ(r.rc, 0) << r.err;
  }
  void TearDown() override { fs::remove_all(dir_); }

  Result Run(const std::string& cmd) {
    fs::path out = dir_ / "stdout.txt", err = dir_ / "stderr.txt";
    int status = std::system((cmd + " >" + Quote(out.string()) + " 2>" + Quote(err.string())).c_str());
    auto text = [](const fs::path& p) {
      auto b = ReadFile(p);
      return std::string(b.begin(), b.end());
    };
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text(out), text(err)};
  }
  Result Fwsim(const std::string& args) {
    return Run(std::string(FWSIM_PATH) + " --board " + Quote(board().string()) + " " + args);
  }
  nlohmann::json Json(const std::string& args) {
    auto r = Fwsim("--json " + args);
    EXPECT_EQ(r.rc, 0) << args << ": " << r.err;
    return r.rc == 0 ? nlohmann::json::parse(r.out) : nlohmann::json{};
  }
  fs::path board() const { return dir_ / "board"; }
  std::vector<uint8_t> FlashFile() { return ReadFile(board() / "flash.bin"); }
  // Flash window address -> offset in flash.bin (the flash ends at 4 GiB).
  uint64_t Offset(uint64_t address) { return address - (0x100000000ULL - fs::file_size(board() / "flash.bin")); }
  std::vector<std::string> FolderEntries() {
    std::vector<std::string> e;
    for (auto& p : fs::directory_iterator(board())) e.push_back(p.path().filename().string());
    std::sort(e.begin(), e.end());
    return e;
  }

  fs::path dir_;
  fs::path image_;
};

TEST_F(FlashToolE2e, AnAreaIsLocatedRewrittenAndReadBackAcrossReboots) {
  auto area = Json("flash locate '$STL'");
  const uint64_t address = std::stoull(area["address"].get<std::string>(), nullptr, 16);
  const uint64_t size = area["size"].get<uint64_t>();
  ASSERT_EQ(size, 0x800u);
  const auto before = FlashFile();
  ASSERT_EQ(before, ReadFile(image_)) << "the board starts from the image fwimage built";

  // The tool rewrites the area the way flash tools do: read the sectors around it, patch,
  // erase and program them again.
  const uint64_t first = address & ~0xFFFull, last = (address + size + 0xFFF) & ~0xFFFull;
  fs::path sectors = dir_ / "sectors.bin";
  ASSERT_EQ(Fwsim("flash read " + std::to_string(first) + " " + std::to_string(last - first) + " --out " +
                  Quote(sectors.string())).rc, 0);
  auto bytes = ReadFile(sectors);
  ASSERT_EQ(bytes.size(), last - first);
  ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), before.begin() + std::ptrdiff_t(Offset(first))));
  const std::string text = "STL area rewritten by the flash tool";
  std::fill(bytes.begin() + std::ptrdiff_t(address - first), bytes.begin() + std::ptrdiff_t(address - first + size), 0x00);
  std::copy(text.begin(), text.end(), bytes.begin() + std::ptrdiff_t(address - first));
  WriteFile(sectors, bytes);
  auto w = Fwsim("flash write --erase " + std::to_string(first) + " " + Quote(sectors.string()));
  ASSERT_EQ(w.rc, 0) << w.err;

  // A fresh boot from the folder sees the new area where the layout says it is.
  ASSERT_EQ(Fwsim("boot").rc, 0);
  auto again = Json("flash locate '$STL'");
  EXPECT_EQ(again["address"], area["address"]);
  auto read = Json("flash read " + std::to_string(address) + " " + std::to_string(text.size()));
  auto data = read["data"].get<std::vector<uint8_t>>();
  EXPECT_EQ(std::string(data.begin(), data.end()), text);

  // Only the area's bytes changed in flash.bin.
  auto after = FlashFile();
  ASSERT_EQ(after.size(), before.size());
  const uint64_t area_offset = Offset(address);
  for (uint64_t i = 0; i < after.size(); ++i) {
    bool in_area = i >= area_offset && i < area_offset + size;
    if (!in_area && after[i] != before[i]) FAIL() << "byte " << i << " outside the area changed";
  }
  // fwimage still finds the volume and the area file in the rewritten image.
  auto show = Run(std::string(FWIMAGE_PATH) + " show " + Quote((board() / "flash.bin").string()));
  EXPECT_EQ(show.rc, 0) << show.err;
  EXPECT_NE(show.out.find("$STL"), std::string::npos) << show.out;
}

TEST_F(FlashToolE2e, AFailingWriteLeavesTheBoardFolderAsItWas) {
  {
    // The fault comes from the board-side stand-in for the platform flash driver.
    std::ifstream in(board() / "board.toml");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto at = text.find("platform_flash = 'driver'");
    if (at == std::string::npos) at = text.find("platform_flash = \"driver\"");
    ASSERT_NE(at, std::string::npos) << text;
    text.replace(at, std::string("platform_flash = 'driver'").size(), "platform_flash = 'stand-in'");
    std::ofstream(board() / "board.toml") << text << "\n[faults]\nplatform_flash_write = \"device-error\"\n";
  }
  const auto flash = FlashFile();
  const auto entries = FolderEntries();
  WriteFile(dir_ / "data.bin", std::vector<uint8_t>(0x1000, 0x00));
  auto r = Fwsim("flash write --erase 0xFFF80000 " + Quote((dir_ / "data.bin").string()));
  EXPECT_NE(r.rc, 0);
  EXPECT_NE(r.err.find("EFI_DEVICE_ERROR"), std::string::npos) << r.err;
  EXPECT_EQ(FlashFile(), flash) << "the erase that did succeed is not kept either";
  EXPECT_EQ(FolderEntries(), entries);
}

TEST_F(FlashToolE2e, AWriteThatFailsHalfWayKeepsWhatThePartHolds) {
  // 128 KiB in two requests: the first lands on erased flash, the second on the volume
  // header and files, which programming cannot turn back into these bytes.
  const auto flash = FlashFile();
  std::vector<uint8_t> data(0x20000, 0xA5);
  WriteFile(dir_ / "data.bin", data);
  auto r = Fwsim("flash write 0xFFEF0000 " + Quote((dir_ / "data.bin").string()));
  EXPECT_NE(r.rc, 0);
  EXPECT_NE(r.err.find("write at 0xFFF00000 failed: EFI_DEVICE_ERROR"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("neither old nor new at flash offsets 0x"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("run the same write again"), std::string::npos) << r.err;
  // The first request's 64 KiB did land: the folder shows the flash as the part holds it.
  const auto now = FlashFile();
  EXPECT_NE(now, flash);
  const size_t first = now.size() - 0x110000;
  EXPECT_TRUE(std::all_of(now.begin() + first, now.begin() + first + 0x10000, [](uint8_t b) { return b == 0xA5; }));
}

TEST_F(FlashToolE2e, RawRequestsReportTheirStatusAndHostileOnesAreRefused) {
  auto ok = Json("smi 0x90 --signature '$GB1' --function 4 --address 0xFFF00000 --size 16 --alloc 16 --dump");
  EXPECT_EQ(ok["status_name"], "EFI_SUCCESS");
  EXPECT_EQ(ok["buffer_data"].size(), 16u);
  // A buffer inside SMRAM (TSEG at 0x7F000000).
  auto denied = Json("smi 0x90 --signature '$GB1' --function 4 --address 0xFFF00000 --size 16 --buffer 0x7F000000");
  EXPECT_EQ(denied["status_name"], "EFI_ACCESS_DENIED");
  // A record inside SMRAM is not read and not written.
  auto ignored = Json("smi 0x90 --signature '$GB1' --function 6 --record-at 0x7F000000");
  EXPECT_EQ(ignored["status_written"], false);
  auto unknown = Json("smi 0x90 --signature 'NONE' --function 1 --cpu 3");
  EXPECT_EQ(unknown["status_name"], "EFI_UNSUPPORTED");
}

TEST_F(FlashToolE2e, BadArgumentsAreClearErrors) {
  const auto flash = FlashFile();
  struct Case {
    const char* args;
    const char* message;
  };
  for (Case c : {Case{"flash read 0xFD000000 16", "not inside the flash window"},
                 Case{"flash read 0xFFFFFFF0 0x20", "not inside the flash window"},
                 Case{"flash erase 0xFFF00800 0x1000", "whole 4 KiB sectors"},
                 Case{"flash write 0xFFF00000 /no/such/file", "/no/such/file"},
                 Case{"flash locate '$XYZ'", "EFI_UNSUPPORTED"},
                 Case{"flash read 0xFFF00000 16 --cpu 9", "no processor 9"},
                 Case{"smi 0x90 --signature TOOLONG --function 1", "signature"}}) {
    auto r = Fwsim(c.args);
    EXPECT_NE(r.rc, 0) << c.args;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
  }
  EXPECT_EQ(FlashFile(), flash);
}

}  // namespace
