// A board whose processor runs with BIOS Guard, created and inspected with fwsim as an
// operator does, and driven through software SMI 0x90 as the OS flash tool does: the
// part report, writes carried out by the board's BIOS Guard service (or by the part
// directly while that service is missing), and a reboot without BIOS Guard.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "flash/service/FlashServiceRequest.h"
#include "sim/board/Board.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kWindowBottom = 0xFF000000;  // 16 MiB W25Q128JV
constexpr uint32_t kGb1 = 0x31424724;           // "$GB1"

struct Result {
  int rc;
  std::string out;
};

std::string ReadText(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

class BiosGuardE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("bg-e2e-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    ASSERT_EQ(Fwsim("init --bios-guard on").rc, 0);
  }
  void TearDown() override { fs::remove_all(dir_); }

  Result Fwsim(const std::string& args) {
    fs::path out = dir_ / "stdout.txt";
    std::string cmd = std::string(FWSIM_PATH) + " --board '" + (dir_ / "board").string() + "' " + args + " >'" +
                      out.string() + "' 2>&1";
    int status = std::system(cmd.c_str());
    return {WEXITSTATUS(status), ReadText(out)};
  }
  // Rewrites one line of board.toml.
  void EditDescription(const std::string& pattern, const std::string& replacement) {
    fs::path p = dir_ / "board" / "board.toml";
    std::string text = std::regex_replace(ReadText(p), std::regex(pattern), replacement);
    std::ofstream(p, std::ios::binary) << text;
  }
  std::vector<uint8_t> FlashFile(uint64_t window, size_t n) {
    std::string all = ReadText(dir_ / "board" / "flash.bin");
    return std::vector<uint8_t>(all.begin() + std::ptrdiff_t(window - kWindowBottom),
                                all.begin() + std::ptrdiff_t(window - kWindowBottom + n));
  }

  // "$GB1" function 5 (erase) and 6 (write) through software SMI 0x90, as the OS tool does.
  static uint64_t Call(sim::Board& board, uint32_t function, uint32_t address, uint32_t size, uint32_t buffer) {
    FlashServiceRequest r{};
    r.Signature = kGb1;
    r.Function = function;
    r.Address = address;
    r.Size = size;
    r.Buffer = buffer;
    uint64_t at = board.OsAlloc(sizeof r, 8);
    board.bus().PokeBytes(at, &r, sizeof r);
    board.SetCpuRegister(0, EFI_SMM_SAVE_STATE_REGISTER_RBX, at & 0xFFFFFFFF);
    board.SetCpuRegister(0, EFI_SMM_SAVE_STATE_REGISTER_RCX, at >> 32);
    EXPECT_TRUE(board.RaiseSoftwareSmi(0, 0x90).handled);
    board.bus().PeekBytes(at, &r, sizeof r);
    return r.Status;
  }
  static void EraseAndWrite(sim::Board& board, uint32_t address, const std::vector<uint8_t>& data) {
    uint64_t buffer = board.OsAlloc(data.size());
    board.bus().PokeBytes(buffer, data.data(), data.size());
    EXPECT_EQ(Call(board, 5, address, 0x2000, 0), 0u);
    EXPECT_EQ(Call(board, 6, address, uint32_t(data.size()), uint32_t(buffer)), 0u);
  }

  fs::path dir_;
};

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7);
  return v;
}

TEST_F(BiosGuardE2e, BootLineAndPartReportWithoutAName) {
  Result boot = Fwsim("boot");
  ASSERT_EQ(boot.rc, 0) << boot.out;
  EXPECT_NE(boot.out.find("BIOS Guard: active; BiosGuardCapsuleVariable: present"), std::string::npos) << boot.out;

  Result info = Fwsim("--json flash info");
  ASSERT_EQ(info.rc, 0) << info.out;
  auto j = nlohmann::json::parse(info.out);
  EXPECT_TRUE(j["part_name"].is_null());
  EXPECT_EQ(j["flash_size"], 0x1000000);
  Result text = Fwsim("flash info");
  EXPECT_NE(text.out.find("no part name reported, size 16 MiB"), std::string::npos) << text.out;
}

TEST_F(BiosGuardE2e, WritesThroughSmi0x90AreCarriedOutByTheBiosGuardService) {
  auto data = Bytes(300, 3);
  {
    auto board = sim::Board::Open(dir_ / "board");
    board->Boot();
    board->bios_guard().log.clear();
    EraseAndWrite(*board, 0xFF300000, data);
    EXPECT_EQ(board->bios_guard().erases_done, 2u);  // one command per 4 KiB block
    EXPECT_GE(board->bios_guard().writes_done, 3u);  // the request, a staged piece at a time
    EXPECT_EQ(board->bios_guard().log.front(), "erase 0x300000");
    board->Save();
  }
  EXPECT_EQ(FlashFile(0xFF300000, data.size()), data);
  EXPECT_EQ(FlashFile(0xFF301000, 16), std::vector<uint8_t>(16, 0xFF));
}

TEST_F(BiosGuardE2e, WithoutTheServiceWritesFallBackToThePart) {
  std::ofstream(dir_ / "board" / "board.toml", std::ios::app) << "\n[bios_guard]\nprotocol = \"absent\"\n";
  auto data = Bytes(200, 9);
  {
    auto board = sim::Board::Open(dir_ / "board");
    board->Boot();
    EraseAndWrite(*board, 0xFF310000, data);
    EXPECT_FALSE(board->bios_guard().installed);
    EXPECT_TRUE(board->bios_guard().log.empty());
    board->Save();
  }
  EXPECT_EQ(FlashFile(0xFF310000, data.size()), data);
}

TEST_F(BiosGuardE2e, RebootWithoutBiosGuardNamesThePartAgain) {
  ASSERT_EQ(Fwsim("boot").rc, 0);
  EditDescription("bios_guard = ['\"]on['\"]", "bios_guard = 'off'");
  Result boot = Fwsim("boot");
  EXPECT_NE(boot.out.find("BIOS Guard: not active"), std::string::npos) << boot.out;
  Result info = Fwsim("--json flash info");
  ASSERT_EQ(info.rc, 0) << info.out;
  auto j = nlohmann::json::parse(info.out);
  ASSERT_TRUE(j["part_name"].is_string());
  EXPECT_NE(j["part_name"].get<std::string>().find("Winbond"), std::string::npos) << j.dump();
  EXPECT_EQ(j["flash_size"], 0x1000000);
}

}  // namespace
