// Bad inputs to fwsim, as an operator or a tampering program leaves them: a board folder whose
// description, flash image or variable store is wrong, and command-line numbers out of range.
// Every one must end with one line "fwsim: ..." on stderr, nothing on stdout, a non-zero exit,
// and the board folder (and the files beside it) exactly as they were.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {
namespace fs = std::filesystem;

constexpr const char* kDescription =
    "[board]\nname = \"default\"\ncpus = 4\n"
    "[cpu]\nbios_guard = \"off\"\n"
    "[pch]\nvariant = \"h\"\n"
    "[flash]\npart = \"W25Q16JV\"\nimage = \"flash.bin\"\n"
    "[firmware]\nplatform_flash = \"driver\"\nflash_update_prepare = \"present\"\nframe_support = true\n";
constexpr size_t kPartSize = 2u << 20;  // W25Q16JV: small folders keep the cases quick

std::string ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::ostringstream o;
  o << f.rdbuf();
  return o.str();
}
void WriteFile(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }

// Every entry under `root`: regular files by contents, links by target, folders by name.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = fs::relative(it->path(), root).string();
    if (it->is_symlink())
      out[rel] = "link -> " + fs::read_symlink(it->path()).string();
    else if (it->is_directory())
      out[rel] = "folder";
    else
      out[rel] = ReadFile(it->path());
  }
  return out;
}

// How a case spoils the good board folder `board` (its parent holds victim.bin, 16 MiB).
using Spoil = std::function<void(const fs::path& board)>;

Spoil Replace(const std::string& from, const std::string& to) {
  return [=](const fs::path& board) {
    std::string text = kDescription;
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    WriteFile(board / "board.toml", text);
  };
}
Spoil Append(const std::string& toml) {
  return [=](const fs::path& board) { WriteFile(board / "board.toml", kDescription + toml); };
}
Spoil Description(const std::string& text) {
  return [=](const fs::path& board) { WriteFile(board / "board.toml", text); };
}
Spoil Variables(const std::string& json) {
  return [=](const fs::path& board) { WriteFile(board / "variables.json", json); };
}
Spoil FlashBytes(size_t n) {
  return [=](const fs::path& board) { WriteFile(board / "flash.bin", std::string(n, '\xFF')); };
}
Spoil Link(const std::string& name, const std::string& target) {
  return [=](const fs::path& board) {
    fs::remove(board / name);
    fs::create_symlink(target, board / name);
  };
}
Spoil Nothing() {
  return [](const fs::path&) {};
}
Spoil Both(Spoil a, Spoil b) {
  return [=](const fs::path& board) {
    a(board);
    b(board);
  };
}

struct BadInput {
  const char* name;
  Spoil spoil;
  std::string command;  // fwsim arguments after --board
  std::string says;     // a phrase the one-line error must hold
};

std::string Var(const std::string& entry) { return "{\"variables\": [" + entry + "]}"; }
const std::string kGoodVar =
    R"({"name": "V", "guid": "368B3153-563D-4610-8D94-47A9FA8C4C16", "attributes": 7, "data": [1, 2]})";

std::vector<BadInput> Cases() {
  std::string catalogue = "W25Q128JV";  // the catalogue list names the default part
  return {
      // ---- files the description names stay inside the board folder
      {"ImageUpOneFolder", Replace("\"flash.bin\"", "\"../victim.bin\""), "boot", "leads out of the board folder"},
      {"ImageDeeperThenOut", Replace("\"flash.bin\"", "\"sub/../../victim.bin\""), "boot", "leads out"},
      {"ImageAbsolute", Replace("\"flash.bin\"", "\"/etc/passwd\""), "boot", "absolute path"},
      {"ImageEmptyName", Replace("\"flash.bin\"", "\"\""), "boot", "names no file"},
      {"ImageLinkOut", Both(Link("out.bin", "../victim.bin"), Replace("\"flash.bin\"", "\"out.bin\"")), "boot",
       "link that leads out"},
      {"ImageLinkToNothing", Both(Link("gone.bin", "nowhere.bin"), Replace("\"flash.bin\"", "\"gone.bin\"")), "boot",
       "link to nothing"},
      {"FlashBinLinksOut", Link("flash.bin", "../victim.bin"), "boot", "link that leads out"},
      {"VariablesLinkOut", Link("variables.json", "../victim.bin"), "boot", "link that leads out"},
      {"DescriptionLinksOut", Link("board.toml", "../victim.bin"), "boot", "link that leads out"},
      {"ImageMissing", Replace("\"flash.bin\"", "\"missing.bin\""), "boot", "cannot read"},
      {"ImageNotText", Replace("\"flash.bin\"", "12"), "boot", "[flash] image must be a quoted text"},
      // ---- numbers within what the board models
      {"NoProcessors", Replace("cpus = 4", "cpus = 0"), "boot", "[board] cpus must be 1 to 32"},
      {"NegativeProcessors", Replace("cpus = 4", "cpus = -3"), "boot", "not -3"},
      {"HugeProcessorCount", Replace("cpus = 4", "cpus = 99999999999"), "boot", "[board] cpus"},
      {"MoreProcessorsThanSaveStates", Replace("cpus = 4", "cpus = 33"), "boot", "1 to 32"},
      {"ProcessorsAsText", Replace("cpus = 4", "cpus = \"4\""), "boot", "whole number"},
      {"ProcessorsFractional", Replace("cpus = 4", "cpus = 4.0"), "boot", "whole number"},
      {"StatusRegisterWider", Replace("image = \"flash.bin\"", "image = \"flash.bin\"\nstatus = 256"), "boot",
       "[flash] status must be 0 to 255"},
      {"BiosControlWider", Replace("image = \"flash.bin\"", "image = \"flash.bin\"\nbios_control = 0x100000000"),
       "boot", "[flash] bios_control"},
      {"VsccNegative", Replace("image = \"flash.bin\"", "image = \"flash.bin\"\nvscc = -1"), "boot", "[flash] vscc"},
      {"LpcDeviceIdWider", Replace("variant = \"h\"", "variant = \"h\"\nlpc_device_id = 0x10000"), "boot",
       "lpc_device_id"},
      {"MeStatusWider", Append("[me]\nhfsts1 = 0x100000000\n"), "boot", "[me] hfsts1"},
      {"MeBarNegative", Append("[me]\nbar0 = -5\n"), "boot", "[me] bar0"},
      {"PoolFailuresNegative", Append("[faults]\nboot_pool_failures = -1\n"), "boot", "boot_pool_failures"},
      {"SidebandResponseWider", Append("[faults]\np2sb_error_response = 256\n"), "boot", "p2sb_error_response"},
      {"StuckOffsetPastThePart", Append("[faults.flash]\nstuck_at_zero = [[0xFFFFFFFF, 1]]\n"), "boot",
       "outside the part"},
      {"StuckOffsetAtThePartEnd", Append("[faults.flash]\nstuck_at_one = [[0x200000, 1]]\n"), "boot",
       "outside the part"},
      {"StuckMaskWider", Append("[faults.flash]\nstuck_at_zero = [[0, 0x100]]\n"), "boot", "mask must be 0 to 0xFF"},
      {"StuckEntryNotAPair", Append("[faults.flash]\nstuck_at_zero = [[1, 2, 3]]\n"), "boot", "[offset, mask] pairs"},
      {"FailingBlockPastThePart", Append("[faults.flash]\nfailing_erase_blocks = [0x200000]\n"), "boot",
       "outside the part"},
      {"HangCountBelowNever", Append("[faults.flash]\nhang_after_operations = -2\n"), "boot", "hang_after_operations"},
      {"EraseFailuresHuge", Append("[faults.flash]\nerase_failures = 3000000000\n"), "boot", "erase_failures"},
      {"PadNameUnknown", Append("[gpio]\nGPP_Z99 = { owner = 0 }\n"), "boot", "names no pad"},
      {"PadIdOfNoGroup", Append("[gpio]\n0x03FF0009 = { owner = 0 }\n"), "boot", "names no pad"},
      {"PadIdOfAnotherChipset", Append("[gpio]\n0x07030009 = { owner = 0 }\n"), "boot", "names no pad"},
      {"PadOwnerWider", Append("[gpio]\nGPP_D9 = { owner = 4 }\n"), "boot", "owner must be 0 to 3"},
      {"PadDw0Wider", Append("[gpio]\nGPP_D9 = { dw0 = 0x100000000 }\n"), "boot", "dw0"},
      {"PadFieldMisspelt", Append("[gpio]\nGPP_D9 = { lokc = true }\n"), "boot", "has no field lokc"},
      // ---- names of parts, modes and statuses
      {"PartAsNumber", Replace("part = \"W25Q16JV\"", "part = 12"), "boot", "[flash] part must be a quoted text"},
      {"PartUnknown", Replace("part = \"W25Q16JV\"", "part = \"W25Q999\""), "boot", catalogue},
      {"PartEmpty", Replace("part = \"W25Q16JV\"", "part = \"\""), "boot", "not in the catalogue"},
      {"BiosGuardMode", Replace("bios_guard = \"off\"", "bios_guard = \"maybe\""), "boot", "on, off or capable-off"},
      {"BiosGuardBoolean", Replace("bios_guard = \"off\"", "bios_guard = true"), "boot", "quoted text"},
      {"PchVariant", Replace("variant = \"h\"", "variant = \"x\""), "boot", "h, lp or unknown"},
      {"CacheMode", Replace("image = \"flash.bin\"", "image = \"flash.bin\"\ncache = \"sometimes\""), "boot",
       "off, bios or window"},
      {"LockAsText", Replace("image = \"flash.bin\"", "image = \"flash.bin\"\nflockdn = \"yes\""), "boot",
       "true or false"},
      {"PlatformFlashMode", Replace("platform_flash = \"driver\"", "platform_flash = \"other\""), "boot",
       "driver, stand-in, dxe-stand-in or none"},
      {"PrepareMode", Replace("flash_update_prepare = \"present\"", "flash_update_prepare = \"soon\""), "boot",
       "present, late or absent"},
      {"FrameSupportNumber", Replace("frame_support = true", "frame_support = 1"), "boot", "true or false"},
      {"PrepareStatus", Append("[faults]\nset_variable_status = \"broken\"\n"), "boot", "not 'broken'"},
      {"BiosGuardProtocolMode", Append("[bios_guard]\nprotocol = \"never\"\n"), "boot", "present, late or absent"},
      {"BiosGuardFailures", Append("[bios_guard]\nexecute_failures = \"some\"\n"), "boot", "none, first or every"},
      {"StuckBusyMode", Append("[faults]\np2sb_stuck_busy = \"always\"\n"), "boot", "entry or message"},
      {"MePresentText", Append("[me]\npresent = \"no\"\n"), "boot", "true or false"},
      {"SectionNotATable", Description(std::string("board = 5\n") + "[flash]\npart = \"W25Q128JV\"\n"), "boot",
       "[board] must be a section"},
      // ---- what a board description must say
      {"DescriptionEmpty", Description(""), "boot", "no [flash] part"},
      {"DescriptionWithoutProcessors", Replace("cpus = 4\n", ""), "boot", "no [board] cpus"},
      {"DescriptionWithoutPart", Replace("part = \"W25Q16JV\"\n", ""), "boot", "no [flash] part"},
      // ---- damaged TOML: file and line in plain words
      {"TomlValueMissing", Replace("cpus = 4", "cpus = "), "boot", "board.toml line 3"},
      {"TomlHeaderUnclosed", Replace("[flash]", "[flash"), "boot", "board.toml line 8"},
      {"TomlStringUnclosed", Replace("\"W25Q16JV\"", "\"W25Q16JV"), "boot", "board.toml line 9"},
      {"TomlKeyTwice", Replace("cpus = 4", "cpus = 4\ncpus = 2"), "boot", "board.toml line 4"},
      {"TomlBinaryGarbage", Description(std::string("\x00\xFF\xFE[[", 5)), "boot", "damaged TOML"},
      // ---- flash.bin is exactly the part
      {"FlashEmpty", FlashBytes(0), "boot", "exactly as large as the part"},
      {"FlashOneMiB", FlashBytes(1u << 20), "boot", "holds 1048576 bytes"},
      {"FlashOneByteLong", FlashBytes(kPartSize + 1), "boot", "exactly as large as the part"},
      {"FlashMissing", [](const fs::path& b) { fs::remove(b / "flash.bin"); }, "boot", "cannot read"},
      {"FlashIsAFolder", [](const fs::path& b) { fs::remove(b / "flash.bin"), fs::create_directory(b / "flash.bin"); },
       "boot", "it is a folder"},
      // ---- variables.json: damaged JSON with its line, malformed entries by number
      {"JsonListUnclosed", Variables("{\n  \"variables\": [\n"), "boot", "variables.json line 3"},
      {"JsonGarbage", Variables("not json"), "boot", "variables.json line 1, column 2: not valid JSON"},
      {"JsonEmpty", Variables(""), "boot", "empty, not a variable store"},
      {"JsonBadComma", Variables("{\"variables\": [],\n}\n"), "var list", "variables.json line 2"},
      {"JsonListIsNumber", Variables("{\"variables\": 5}"), "boot", "needs a \"variables\" list"},
      {"JsonNumberTooLarge", Variables("{\"variables\": [1e999]}"), "boot", "a number too large"},
      {"JsonTopIsList", Variables("[]"), "var list", "needs a \"variables\" list"},
      {"VariableWithoutGuid", Variables(Var(R"({"name": "V", "attributes": 7, "data": [1]})")), "boot",
       "variable 1 (V): has no \"guid\""},
      {"VariableGuidDamaged",
       Variables(Var(R"({"name": "V", "guid": "368B3153-563D", "attributes": 7, "data": [1]})")), "boot",
       "\"guid\" must be a GUID"},
      {"VariableAttributesUnknownBit",
       Variables(Var(R"({"name": "V", "guid": "368B3153-563D-4610-8D94-47A9FA8C4C16", "attributes": 8, "data": [1]})")),
       "boot", "\"attributes\""},
      {"VariableAttributesText",
       Variables(Var(R"({"name": "V", "guid": "368B3153-563D-4610-8D94-47A9FA8C4C16", "attributes": "7", "data": [1]})")),
       "var list", "\"attributes\""},
      {"VariableByteWider",
       Variables(Var(R"({"name": "V", "guid": "368B3153-563D-4610-8D94-47A9FA8C4C16", "attributes": 7, "data": [256]})")),
       "boot", "holds 256, not a byte"},
      {"VariableByteNegative",
       Variables(Var(R"({"name": "V", "guid": "368B3153-563D-4610-8D94-47A9FA8C4C16", "attributes": 7, "data": [-1]})")),
       "var get V", "not a byte"},
      {"VariableWithoutData",
       Variables(Var(R"({"name": "V", "guid": "368B3153-563D-4610-8D94-47A9FA8C4C16", "attributes": 7, "data": []})")),
       "boot", "non-empty list of bytes"},
      {"VariableTwice", Variables(Var(kGoodVar + ", " + kGoodVar)), "boot", "variable 2 (V): a variable of that name"},
      {"VariableNameEmpty",
       Variables(Var(R"({"name": "", "guid": "368B3153-563D-4610-8D94-47A9FA8C4C16", "attributes": 7, "data": [1]})")),
       "boot", "\"name\" must be a non-empty string"},
      {"VariableNameBeyondUcs2",
       Variables(Var(R"({"name": "A\ud83d\ude00", "guid": "368B3153-563D-4610-8D94-47A9FA8C4C16", "attributes": 7, "data": [1]})")),
       "boot", "beyond U+FFFF"},
      {"VariableNameWithNul",
       Variables(Var(R"({"name": "A\u0000B", "guid": "368B3153-563D-4610-8D94-47A9FA8C4C16", "attributes": 7, "data": [1]})")),
       "var list", "NUL"},
      // ---- command-line numbers
      {"AxWider", Nothing(), "smi 0xe0 --ax 0x10000 --bx 0", "does not fit in 16 bits"},
      {"BxWider", Nothing(), "smi 0xe0 --ax 0 --bx 0x10000", "does not fit in 16 bits"},
      {"AxNegative", Nothing(), "smi 0xe0 --ax -1 --bx 0", "not a number"},
      {"AxNotANumber", Nothing(), "smi 0xe0 --ax zz --bx 0", "not a number"},
      {"ProcessorPastTheBoard", Nothing(), "smi 0xe0 --ax 0 --bx 0 --cpu 4", "no processor 4"},
      {"ProcessorNegative", Nothing(), "smi 0xe0 --ax 0 --bx 0 --cpu -1", "--cpu"},
      {"ReadSizeNegative", Nothing(), "flash read 0xFF000000 -3", "not a number"},
      {"ReadSizeZero", Nothing(), "flash read 0xFF000000 0", "must not be 0"},
      {"ReadBelowTheWindow", Nothing(), "flash read 0xFD000000 16", "not inside the flash window"},
      {"RawFunctionWider", Nothing(), "smi 0x90 --signature '$GB1' --function 0x100000000", "does not fit in 32 bits"},
      {"GpioPadUnknown", Nothing(), "gpio GPP_Z99", "has no pad"},
      {"GpioPadIdOfNoGroup", Nothing(), "gpio 0x03FF0009", "has no pad"},
      {"PartInfoProcessorPastTheBoard", Nothing(), "flash info --cpu 99", "processor"},
      {"InitUnknownPart", Nothing(), "init --force --flash W25Q999", catalogue},
      {"InitImageOfAnotherSize", Nothing(), "init --force --image victim.bin --flash W25Q128JV",
       "exactly as large as the part"},
  };
}

class ToolInputs : public ::testing::TestWithParam<BadInput> {
 protected:
  static void SetUpTestSuite() {
    root_ = fs::temp_directory_path() / ("tool-inputs-" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    const int rc = std::system((std::string(FWSIM_PATH) + " --board " + (root_ / "good").string() +
                                " init --flash W25Q16JV >/dev/null 2>&1")
                                   .c_str());
    ASSERT_EQ(rc, 0);
    WriteFile(root_ / "good" / "board.toml", kDescription);
  }
  static void TearDownTestSuite() { fs::remove_all(root_); }

  static fs::path root_;
};
fs::path ToolInputs::root_;

TEST_P(ToolInputs, OneLineErrorAndTheFolderUnchanged) {
  const BadInput& c = GetParam();
  const fs::path place = root_ / c.name;
  const fs::path board = place / "board";
  fs::create_directories(place);
  fs::copy(root_ / "good", board, fs::copy_options::recursive);
  WriteFile(place / "victim.bin", std::string(kPartSize, '\x5A'));
  c.spoil(board);
  const auto before = Snapshot(place);

  const fs::path out = root_ / (std::string(c.name) + ".out"), err = root_ / (std::string(c.name) + ".err");
  // The command runs in the case's folder so that relative paths in it mean the same to every case.
  const std::string cmd = "cd " + place.string() + " && " + FWSIM_PATH + " --board board " + c.command + " >" +
                          out.string() + " 2>" + err.string();
  const int status = std::system(cmd.c_str());
  const std::string stdout_text = ReadFile(out), stderr_text = ReadFile(err);

  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0) << stdout_text;
  EXPECT_EQ(stdout_text, "");
  EXPECT_EQ(stderr_text.rfind("fwsim: ", 0), 0u) << stderr_text;
  ASSERT_FALSE(stderr_text.empty());
  EXPECT_EQ(stderr_text.find('\n'), stderr_text.size() - 1) << "one line: " << stderr_text;
  EXPECT_NE(stderr_text.find(c.says), std::string::npos) << stderr_text;
  EXPECT_TRUE(Snapshot(place) == before) << "the board folder or the files beside it changed";
  fs::remove_all(place);
}

INSTANTIATE_TEST_SUITE_P(Fwsim, ToolInputs, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<BadInput>& info) { return std::string(info.param.name); });

// The same board folder, unspoilt, is accepted: the cases above fail for their one fault.
TEST(ToolInputsBaseline, TheGoodFolderBootsAndTheWholeRegistersStillReachTheService) {
  const fs::path dir = fs::temp_directory_path() / ("tool-inputs-good-" + std::to_string(getpid()));
  fs::remove_all(dir);
  const std::string fwsim = std::string(FWSIM_PATH) + " --board " + dir.string() + " ";
  ASSERT_EQ(std::system((fwsim + "init --flash W25Q16JV >/dev/null").c_str()), 0);
  WriteFile(dir / "board.toml", kDescription);
  EXPECT_EQ(std::system((fwsim + "boot >/dev/null").c_str()), 0);
  EXPECT_EQ(std::system((fwsim + "smi 0xe0 --rax 0xFFFF000000000000 --bx 0x55AA >/dev/null").c_str()), 0);
  WriteFile(dir / "variables.json", Var(kGoodVar));
  EXPECT_EQ(std::system((fwsim + "var get V >/dev/null").c_str()), 0);
  fs::remove_all(dir);
}

}  // namespace
