// fwsim end to end: a board folder, the board service on software SMI 0xE0, the sleep pads
// on power-button and Sx events, and the reset of function 0x01.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

namespace {
namespace fs = std::filesystem;

struct Invocation {
  int rc;
  std::string out;
};

class FwsimBoard : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("pch-e2e-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  Invocation Fwsim(const std::string& args) {
    std::string cmd = std::string(FWSIM_PATH) + " --board " + dir_.string() + " " + args + " 2>&1";
    Invocation r{0, ""};
    FILE* p = popen(cmd.c_str(), "r");
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    r.rc = WEXITSTATUS(pclose(p));
    return r;
  }
  nlohmann::json Json(const std::string& args) {
    Invocation r = Fwsim("--json " + args);
    EXPECT_EQ(r.rc, 0) << r.out;
    return nlohmann::json::parse(r.out);
  }
  void Init(const std::string& options, const std::string& extra_toml) {
    Invocation r = Fwsim("init " + options);
    ASSERT_EQ(r.rc, 0) << r.out;
    std::ofstream(dir_ / "board.toml", std::ios::app) << "\n" << extra_toml;
  }
  std::string FileBytes(const std::string& name) {
    std::ifstream f(dir_ / name, std::ios::binary);
    std::ostringstream o;
    o << f.rdbuf();
    return o.str();
  }

  fs::path dir_;
};

uint32_t Hex(const nlohmann::json& j) { return static_cast<uint32_t>(std::stoul(j.get<std::string>(), nullptr, 16)); }

const char* kSleepPads =
    "[gpio]\n"
    "GPP_D9 = { lock_tx = true, dw0 = 0x40000200 }\n"
    "GPP_D19 = { dw0 = 0x84000A00 }\n";

TEST_F(FwsimBoard, PowerButtonAndS5DriveBothPadsHighAndS3ChangesNothing) {
  Init("--pch h", kSleepPads);
  for (const char* event : {"event power-button", "event sleep s5", "event sleep s4"}) {
    nlohmann::json j = Json(event);
    EXPECT_TRUE(j["handled"]) << event;
    ASSERT_EQ(j["gpio_changes"].size(), 2u) << event;
    for (auto& c : j["gpio_changes"]) {
      const uint32_t before = Hex(c["before"]["pad_cfg_dw0"]);
      const uint32_t after = Hex(c["after"]["pad_cfg_dw0"]);
      // GPIOTXSTATE set; GPIORXSTATE follows the driven pad; nothing else moved.
      EXPECT_EQ(after & ~3u, before & ~3u) << c["pad"];
      EXPECT_EQ(after & 3u, 3u) << c["pad"];
      EXPECT_EQ(c["after"]["padcfglocktx"], c["before"]["padcfglocktx"]);
    }
    EXPECT_EQ(j["gpio_changes"][0]["pad"], "GPP_D9");
    EXPECT_EQ(j["gpio_changes"][1]["pad"], "GPP_D19");
  }
  nlohmann::json s3 = Json("event sleep s3");
  EXPECT_TRUE(s3["handled"]);
  EXPECT_TRUE(s3["gpio_changes"].empty());
  Invocation text = Fwsim("event sleep s3");
  EXPECT_NE(text.out.find("no GPIO pad changed"), std::string::npos) << text.out;
}

TEST_F(FwsimBoard, SleepPadsAreLeftAloneOnPchLp) {
  Init("--pch lp", "");
  nlohmann::json j = Json("event power-button");
  EXPECT_TRUE(j["handled"]);
  EXPECT_TRUE(j["gpio_changes"].empty());
}

TEST_F(FwsimBoard, BoardServiceAnswersInAxAndBxAndKeepsTheUpperHalves) {
  Init("--pch h", "[me]\nhfsts1 = 0x00050010\n");
  nlohmann::json j = Json("smi 0xe0 --rax 0x1111222233330012 --rbx 0x44445555666655AA --cpu 3");
  EXPECT_EQ(j["ax"], "0x0012");
  EXPECT_EQ(j["bx"], "0xAA55");
  EXPECT_EQ(j["rax"], "0x1111222233330012");
  EXPECT_EQ(j["rbx"], "0x444455556666AA55");
  j = Json("smi 0xe0 --rax 0xFFFF0000000000FF --bx 0x1234");
  EXPECT_EQ(j["rax"], "0xFFFF0000000001FF");
  EXPECT_EQ(j["rbx"], "0x0000000000001234");
  j = Json("smi 0xe0 --ax 0x0234 --bx 0x7777");
  EXPECT_EQ(j["ax"], "0x0034");
  EXPECT_EQ(j["bx"], "0x0001");
  j = Json("smi 0xe0 --rax 0xABCD0000000003AB --rbx 0xFFFFFFFFFFFFFFFF");
  EXPECT_EQ(j["rax"], "0xABCD0000000000AB");
  EXPECT_EQ(j["rbx"], "0xFFFFFFFFFFFF0004");
  Invocation text = Fwsim("smi 0xe0 --ax 0 --bx 0x55aa");
  EXPECT_NE(text.out.find("AX=0x0000 BX=0xAA55"), std::string::npos) << text.out;
  EXPECT_NE(Fwsim("smi 0xe0 --ax 0 --bx 0 --cpu 9").rc, 0);
}

TEST_F(FwsimBoard, ResetFunctionRebootsWithFlashAndVariablesKept) {
  Init("--pch h --bios-guard on", "");
  ASSERT_EQ(Fwsim("boot").rc, 0);
  const std::string flash = FileBytes("flash.bin");
  const std::string vars = FileBytes("variables.json");
  ASSERT_NE(vars.find("BiosGuardCapsuleVariable"), std::string::npos);
  for (const char* bx : {"0x80", "0"}) {
    nlohmann::json j = Json(std::string("smi 0xe0 --ax 0x0100 --bx ") + bx);
    EXPECT_TRUE(j["reset"]) << bx;
    EXPECT_EQ(j["boot"], 2) << bx;
  }
  EXPECT_EQ(FileBytes("flash.bin"), flash);
  EXPECT_NE(FileBytes("variables.json").find("BiosGuardCapsuleVariable"), std::string::npos);
}

TEST_F(FwsimBoard, ResetFunctionOnPchLpAndUnknownPch) {
  for (const char* pch : {"lp", "unknown"}) {
    Init(std::string("--force --pch ") + pch, "");
    nlohmann::json j = Json("smi 0xe0 --ax 0x0100 --bx 0x80");
    EXPECT_TRUE(j["reset"]) << pch;
  }
}

TEST_F(FwsimBoard, GpioShowsAPadByNameOrId) {
  Init("--pch h", "[gpio]\nGPP_D23 = { owner = 2, lock = true, dw0 = 0x84000201 }\n");
  nlohmann::json j = Json("gpio 0x03030017");
  EXPECT_EQ(j["pad"], "GPP_D23");
  EXPECT_EQ(j["owner_name"], "ISH");
  EXPECT_EQ(j["padcfglock"], true);
  EXPECT_EQ(j["pad_cfg_dw0"], "0x84000203");
  Invocation text = Fwsim("gpio GPP_D23");
  EXPECT_EQ(text.rc, 0);
  EXPECT_NE(text.out.find("PADRSTCFG PLTRST#"), std::string::npos) << text.out;
  EXPECT_NE(Fwsim("gpio GPP_D24").rc, 0);
  EXPECT_NE(Fwsim("gpio 0x04030017").rc, 0);
}

}  // namespace
