// `fwsim demo --json`: every step of the day in the life reports what it should.
#include <gtest/gtest.h>

#include <array>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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
  for (const char* name : {"boot", "flash info", "flash update", "area lookup", "hostile OS",
                           "power cut during an update", "board service 0xE0", "power button and S5",
                           "variable store", "reboot"}) {
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
  auto hostile = d.steps["hostile OS"]["result"];
  EXPECT_EQ(hostile["write_status"], "0x800000000000000F");  // EFI_ACCESS_DENIED
  EXPECT_TRUE(hostile["smram_unchanged"].get<bool>());
  EXPECT_TRUE(hostile["protection_registers_unchanged"].get<bool>());
  EXPECT_TRUE(hostile["flash_intact"].get<bool>());
  auto cut = d.steps["power cut during an update"]["result"];
  EXPECT_TRUE(cut["power_lost"].get<bool>());
  EXPECT_FALSE(cut["neither_old_nor_new"].empty()) << "the erase was cut half way";
  EXPECT_TRUE(cut["booted_after_cut"].get<bool>());
  EXPECT_TRUE(cut["recovered"].get<bool>());
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

namespace {

int Shell(const std::string& cmd) { return WEXITSTATUS(std::system((cmd + " >/dev/null 2>&1").c_str())); }

TEST(FlashUpdateMap, DrawsTheBlocksTheUpdateTouched) {
  auto dir = std::filesystem::temp_directory_path() / ("fwsim-map-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string fwsim = std::string(FWSIM_PATH) + " --board " + (dir / "board").string();
  ASSERT_EQ(Shell(fwsim + " init"), 0);
  // Setting bits of one programmed byte in the BIOS region needs exactly one block erased.
  std::ifstream in(dir / "board" / "flash.bin", std::ios::binary);
  std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t at = 0xF00000;
  while (at < image.size() && static_cast<uint8_t>(image[at]) == 0xFF) ++at;
  ASSERT_LT(at, image.size());
  image[at] = static_cast<char>(0xFF);
  std::ofstream(dir / "new.bin", std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
  ASSERT_EQ(Shell(fwsim + " flash update " + (dir / "new.bin").string() + " --svg " + (dir / "map.svg").string()), 0);
  std::ifstream svg(dir / "map.svg");
  std::string text((std::istreambuf_iterator<char>(svg)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.rfind("<?xml", 0) == 0 || text.rfind("<svg", 0) == 0, true);
  EXPECT_NE(text.find("erased and programmed: 1<"), std::string::npos);
  // The legend counts every unit it draws, the unchanged ones too.
  EXPECT_EQ(text.find("skipped: 0<"), std::string::npos);
  EXPECT_NE(text.find("skipped: 2"), std::string::npos);
  for (const char* region : {"Descriptor", "ME", "BIOS"}) EXPECT_NE(text.find(region), std::string::npos) << region;
  std::filesystem::remove_all(dir);
}

}  // namespace
