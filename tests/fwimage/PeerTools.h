// Running UEFIExtract (UEFITool NE) and flashrom on an image and reading what they found.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/fwimage/TestImage.h"

namespace fwtest {

struct ReportRow {
  std::string type;     // Image, Region, Volume, File, Section, Padding
  std::string subtype;  // BIOS, FFSv2, Freeform, Raw, ...
  uint64_t base = 0;
  uint64_t size = 0;
  std::string name;  // GUID or description, without the tree dashes
  std::string text;  // the column after the name (UI name, "Volume Top File")
};

inline std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  size_t b = s.find_last_not_of(" \t\r\n");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

inline std::vector<std::string> SplitColumns(const std::string& line) {
  std::vector<std::string> cols;
  std::stringstream ss(line);
  std::string c;
  while (std::getline(ss, c, '|')) cols.push_back(Trim(c));
  return cols;
}

// IMG.report.txt: "Type | Subtype | Base | Size | CRC32 | Name [| Text]".
inline std::vector<ReportRow> ReadUefiExtractReport(const std::filesystem::path& report) {
  std::vector<ReportRow> rows;
  std::ifstream in(report);
  std::string line;
  std::getline(in, line);  // column titles
  while (std::getline(in, line)) {
    auto cols = SplitColumns(line);
    if (cols.size() < 6) continue;
    ReportRow r;
    r.type = cols[0];
    r.subtype = cols[1];
    r.base = std::stoull(cols[2], nullptr, 16);
    r.size = std::stoull(cols[3], nullptr, 16);
    r.name = cols[5];
    r.name.erase(0, r.name.find_first_not_of("- "));
    if (cols.size() > 6) r.text = cols[6];
    rows.push_back(r);
  }
  return rows;
}

// Every info.txt of an "all" dump, as key/value pairs, with the item's folder.
struct DumpItem {
  std::filesystem::path dir;
  std::map<std::string, std::string> fields;
};

inline std::vector<DumpItem> ReadUefiExtractDump(const std::filesystem::path& dump) {
  std::vector<DumpItem> items;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dump)) {
    if (e.path().filename() != "info.txt") continue;
    DumpItem item;
    item.dir = e.path().parent_path();
    std::ifstream in(e.path());
    std::string line;
    std::string open_key;  // "Parsed expression:" and the like continue on the next lines
    while (std::getline(in, line)) {
      line = Trim(line);
      size_t colon = line.find(": ");
      if (colon != std::string::npos) {
        // The first "Type:" names the item kind; a later one is the file or section type byte.
        item.fields.emplace(line.substr(0, colon), Trim(line.substr(colon + 2)));
        open_key.clear();
      } else if (!line.empty() && line.back() == ':') {
        open_key = line.substr(0, line.size() - 1);
        item.fields.emplace(open_key, "");
      } else if (!open_key.empty() && !line.empty()) {
        std::string& v = item.fields[open_key];
        v += (v.empty() ? "" : " ") + line;
      }
    }
    items.push_back(item);
  }
  return items;
}

// Runs UEFIExtract IMG all in a scratch copy; returns its stdout.
inline std::string RunUefiExtract(const std::filesystem::path& image, std::vector<ReportRow>* rows,
                                  std::vector<DumpItem>* items) {
  auto r = Run("cd '" + image.parent_path().string() + "' && UEFIExtract '" + image.filename().string() + "' all");
  EXPECT_EQ(r.status, 0) << r.output;
  if (rows) *rows = ReadUefiExtractReport(image.string() + ".report.txt");
  if (items) *items = ReadUefiExtractDump(image.string() + ".dump");
  return r.output;
}

struct FlashromRegion {
  std::string name;
  uint64_t start = 0;
  uint64_t end = 0;
};

// flashrom's view of the descriptor, read from an emulated 16 MiB W25Q128FV chip
// holding the image.
inline std::vector<FlashromRegion> RunFlashromIfd(const std::filesystem::path& image, std::string* chipset) {
  auto r = Run("flashrom -p dummy:bus=spi,emulate=W25Q128FV,image='" + image.string() + "' -c W25Q128.V --ifd -i fd -r /dev/null -VV");
  EXPECT_EQ(r.status, 0) << r.output;
  std::vector<FlashromRegion> regions;
  std::regex entry(R"(Added layout entry ([0-9a-f]+) - ([0-9a-f]+) named (\S+))");
  std::regex chip(R"(Assuming chipset '([^']+)')");
  std::smatch m;
  std::istringstream in(r.output);
  std::string line;
  while (std::getline(in, line)) {
    if (std::regex_search(line, m, entry) && m[3] != "complete")
      regions.push_back({m[3], std::stoull(m[1], nullptr, 16), std::stoull(m[2], nullptr, 16)});
    if (chipset && std::regex_search(line, m, chip)) *chipset = m[1];
  }
  return regions;
}

}  // namespace fwtest
