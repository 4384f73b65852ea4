// `fwsim demo --json`: every step of the day in the life reports what it should.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

namespace {

struct Demo {
  int rc = -1;
  nlohmann::json out;
  std::map<std::string, nlohmann::json> steps;
};

Demo RunDemo(const std::string& args) {
  Demo d;
  std::string cmd = std::string(FWSIM_PATH) + " --json demo " + args + " 2>/dev/null";
  std::FILE* p = popen(cmd.c_str(), "r");
  std::string text;
  std::array<char, 4096> buf;
  while (size_t n = std::fread(buf.data(), 1, buf.size(), p)) text.append(buf.data(), n);
  d.rc = WEXITSTATUS(pclose(p));
  d.out = nlohmann::json::parse(text);
  for (auto& s : d.out.at("demo")) d.steps[s.at("step").get<std::string>()] = s;
  return d;
}

TEST(Demo, DefaultBoardPlaysEveryStepAndEachSucceeds) {
  Demo d = RunDemo("");
  ASSERT_EQ(d.rc, 0) << d.out.dump(2);
  EXPECT_TRUE(d.out.at("ok").get<bool>());
  for (const char* name : {"boot", "flash info", "flash update", "area lookup", "board service 0xE0",
                           "power button and S5", "variable store", "reboot"}) {
    ASSERT_TRUE(d.steps.count(name)) << name;
    EXPECT_TRUE(d.steps[name].at("ok").get<bool>()) << name << ": " << d.steps[name].dump(2);
    EXPECT_FALSE(d.steps[name].at("proves").get<std::string>().empty()) << name;
  }
  // Boot: all five images loaded and returned EFI_SUCCESS; SpiFlashSmm registered SMI 0x90.
  auto images = d.steps["boot"]["result"]["images"];
  ASSERT_EQ(images.size(), 5u);
  for (auto& i : images) EXPECT_EQ(i.at("status"), "0x0000000000000000") << i.dump();
  EXPECT_NE(images[1]["registered"].dump().find("software SMI 0x90"), std::string::npos);
  EXPECT_EQ(d.steps["flash info"]["result"]["part_name"], "Winbond 25X/Q Series");
  EXPECT_EQ(d.steps["flash info"]["result"]["flash_size"], 16u << 20);
  auto update = d.steps["flash update"]["result"];
  EXPECT_TRUE(update["flash_equals_new_image"].get<bool>());
  EXPECT_GT(update["blocks_erased"].get<int>() + update["blocks_programmed"].get<int>(), 0);
  EXPECT_GT(update["blocks_skipped"].get<int>(), 0);
  EXPECT_NE(d.steps["area lookup"]["result"]["text"].get<std::string>().find("revision 1.1"), std::string::npos)
      << "the lookup sees the updated image";
  EXPECT_EQ(d.steps["board service 0xE0"]["result"]["presence"]["bx"], "0xAA55");
  EXPECT_TRUE(d.steps["board service 0xE0"]["result"]["upper_halves_kept"].get<bool>());
  auto pads = d.steps["power button and S5"]["result"];
  EXPECT_EQ(pads["after_power_button"][0].get<uint32_t>() & 1, 1u);
  EXPECT_EQ(pads["after_power_button"][1].get<uint32_t>() & 1, 1u);
  EXPECT_EQ(pads["after_s5"][0].get<uint32_t>() & 1, 1u);
  EXPECT_TRUE(d.steps["variable store"]["result"].empty());
  EXPECT_LT(d.out["host_ms"].get<int>(), 60000);
}

TEST(Demo, PchLpLeavesThePadsAlone) {
  Demo d = RunDemo("--pch lp");
  ASSERT_EQ(d.rc, 0) << d.out.dump(2);
  auto pads = d.steps["power button and S5"]["result"];
  EXPECT_EQ(pads["before"], pads["after_power_button"]);
}

TEST(Demo, BiosGuardOnWritesTheVariableAndReportsNoPartName) {
  Demo d = RunDemo("--bios-guard on");
  ASSERT_EQ(d.rc, 0) << d.out.dump(2);
  EXPECT_TRUE(d.steps["flash info"]["result"]["part_name"].is_null());
  auto vars = d.steps["variable store"]["result"];
  ASSERT_EQ(vars.size(), 1u);
  EXPECT_EQ(vars[0]["name"], "BiosGuardCapsuleVariable");
  EXPECT_EQ(vars[0]["attributes"], 7);
  EXPECT_EQ(vars[0]["size"], 16);
}

}  // namespace
