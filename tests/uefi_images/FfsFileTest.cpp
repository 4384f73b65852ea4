// The .ffs files of the uefi build, placed in a volume by fwimage and read back by
// UEFIExtract: every file, section, checksum and GUID as packaged.
#include <map>

#include <toml++/toml.h>

#include "tests/fwimage/PeerTools.h"
#include "tests/uefi_images/UefiBuild.h"
#include "tools/fwimage/Guid.h"

namespace {

namespace fs = std::filesystem;

struct Packaged {
  fs::path ffs;
  std::string type;  // smm | driver
  std::string guid;
  std::string ui;
  fs::path pe;
  std::vector<std::string> depex;  // registry-form GUIDs; empty with has_depex = TRUE
  bool has_depex = false;
};

Packaged ReadLayout(const fs::path& ffs) {
  Packaged p;
  p.ffs = ffs;
  toml::table t = toml::parse_file((fs::path(ffs).replace_extension(".toml")).string());
  p.type = t["file"]["type"].value_or(std::string());
  p.guid = t["file"]["guid"].value_or(std::string());
  p.ui = t["file"]["ui"].value_or(std::string());
  p.pe = t["file"]["pe"].value_or(std::string());
  if (const toml::array* d = t["file"]["depex"].as_array()) {
    p.has_depex = true;
    for (const auto& e : *d) {
      std::string s = e.value_or(std::string());
      if (s != "TRUE") p.depex.push_back(fwimage::FormatGuid(fwimage::ResolveGuid(s)));
    }
  }
  return p;
}

// What each driver needs installed before it may start, by its start-up code: the SMM
// protocols it locates with SmmLocateProtocol (protocols found through the boot
// services cannot stand in an SMM dependency), or the variable write service.
const std::map<std::string, std::vector<std::string>> kDriverDepex = {
    {"SpiFlashSmm",
     {"EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID", "EFI_SMM_CPU_PROTOCOL_GUID", "SMM_FRAME_SUPPORT_PROTOCOL_GUID",
      "PLATFORM_FLASH_PROTOCOL_GUID"}},
    {"BoardSmiServiceSmm", {"EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID", "EFI_SMM_CPU_PROTOCOL_GUID", "SMM_FRAME_SUPPORT_PROTOCOL_GUID"}},
    {"SleepGpioSmm", {}},
    {"BiosGuardVarDxe", {"EFI_VARIABLE_WRITE_ARCH_PROTOCOL_GUID"}},
};

std::string Expression(const Packaged& p) {
  if (p.depex.empty()) return "TRUE END";
  std::string e;
  for (size_t i = 0; i < p.depex.size(); ++i) {
    e += "PUSH " + p.depex[i] + " ";
    if (i > 0) e += "AND ";
  }
  return e + "END";
}

TEST(FfsFiles, EachDriverDeclaresWhatItNeedsBeforeStarting) {
  auto files = fwtest::UefiOutputs("ffs", ".ffs");
  FW_REQUIRE_UEFI_OUTPUTS(files);
  for (const fs::path& ffs : files) {
    Packaged p = ReadLayout(ffs);
    SCOPED_TRACE(p.ui);
    EXPECT_EQ(p.ui, ffs.stem().string());
    auto known = kDriverDepex.find(p.ui);
    if (known == kDriverDepex.end()) continue;
    std::vector<std::string> expected;
    for (const std::string& name : known->second) expected.push_back(fwimage::FormatGuid(fwimage::ResolveGuid(name)));
    EXPECT_EQ(p.depex, expected);
    EXPECT_TRUE(p.has_depex);
    EXPECT_EQ(p.type, p.ui == "BiosGuardVarDxe" ? "driver" : "smm");
  }
}

TEST(FfsFiles, UefiExtractReadsEveryFileSectionAndChecksum) {
  auto files = fwtest::UefiOutputs("ffs", ".ffs");
  FW_REQUIRE_UEFI_OUTPUTS(files);
  FW_REQUIRE_PROGRAM("UEFIExtract", "uefitool-cli");
  auto dir = fwtest::ScratchDir("ffs-volume");
  std::string description =
      "[flash]\nsize = \"16MiB\"\n[descriptor.regions]\ndescriptor = { base = 0, limit = 0xFFF }\n"
      "me = { base = 0x1000, limit = 0x1FFFFF }\nbios = { base = 0x200000, limit = 0xFFFFFF }\n"
      "[[volume]]\noffset = 0xC00000\nsize = 0x400000\n";
  std::vector<Packaged> packaged;
  for (const fs::path& ffs : files) {
    packaged.push_back(ReadLayout(ffs));
    description += "[[volume.file]]\nffs = \"" + ffs.string() + "\"\n";
  }
  auto image = fwimage::BuildImage(fwimage::ParseDescription(description, dir, "ffs-volume.toml"));
  fwtest::WriteFile(dir / "image.bin", image);
  std::vector<fwtest::ReportRow> rows;
  std::vector<fwtest::DumpItem> items;
  std::string messages = fwtest::RunUefiExtract(dir / "image.bin", &rows, &items);
  EXPECT_EQ(messages.find("invalid"), std::string::npos) << messages;

  for (const Packaged& p : packaged) {
    SCOPED_TRACE(p.ui);
    auto file = std::find_if(items.begin(), items.end(), [&](const fwtest::DumpItem& i) {
      return i.fields.count("File GUID") && i.fields.at("File GUID") == p.guid;
    });
    ASSERT_NE(file, items.end()) << "UEFIExtract did not find " << p.guid;
    EXPECT_EQ(file->fields.at("Type"), "File");
    EXPECT_EQ(file->fields.at("Text"), p.ui);
    EXPECT_EQ(file->fields.at("State"), "F8h");
    EXPECT_NE(file->fields.at("Header checksum").find(", valid"), std::string::npos);
    EXPECT_NE(file->fields.at("Data checksum").find(", valid"), std::string::npos);
    auto in_file = [&](const fwtest::DumpItem& i) { return i.dir.parent_path() == file->dir; };
    std::vector<fwtest::DumpItem> sections;
    std::copy_if(items.begin(), items.end(), std::back_inserter(sections), in_file);
    std::sort(sections.begin(), sections.end(), [](const auto& a, const auto& b) {
      return std::stoi(a.dir.filename().string()) < std::stoi(b.dir.filename().string());
    });
    // Dependency expression (SMM always, DXE when declared), image, name.
    size_t next = 0;
    if (p.has_depex) {
      ASSERT_GT(sections.size(), next);
      EXPECT_EQ(sections[next].fields.at("Subtype"), p.type == "smm" ? "MM dependency" : "DXE dependency");
      EXPECT_EQ(sections[next].fields.at("Parsed expression"), Expression(p));
      ++next;
    }
    ASSERT_EQ(sections.size(), next + 2);
    EXPECT_EQ(sections[next].fields.at("Subtype"), "PE32 image");
    EXPECT_EQ(sections[next].fields.at("Machine type"), "x86-64");
    EXPECT_EQ(sections[next].fields.at("Subsystem"), "000Bh");
    EXPECT_EQ(fwtest::ReadBytes(sections[next].dir / "body.bin"), fwtest::ReadBytes(p.pe)) << "PE32 section holds the .efi";
    EXPECT_EQ(sections[next + 1].fields.at("Subtype"), "UI");
    EXPECT_EQ(sections[next + 1].fields.at("Text"), p.ui);
    auto row = std::find_if(rows.begin(), rows.end(), [&](const fwtest::ReportRow& r) { return r.type == "File" && r.name == p.guid; });
    ASSERT_NE(row, rows.end());
    EXPECT_EQ(row->subtype, p.type == "smm" ? "SMM module" : "DXE driver");
  }
  fs::remove_all(dir);
}

}  // namespace
