#include "sim/board/BoardDescription.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "sim/board/MemoryMap.h"
#include "sim/devices/FlashCatalogue.h"

namespace sim {
namespace {

constexpr int64_t kCountMax = std::numeric_limits<int32_t>::max();  // fault counts

enum class Kind { kText, kInteger, kBoolean };

// One field the simulated board reads. Texts with `choices` ("a|b|c") take only those;
// integers lie in [min, max]: the width of the register they load, or what the board models.
struct FieldRule {
  const char* section;
  const char* key;
  Kind kind;
  int64_t min = 0;
  int64_t max = 0;
  const char* choices = nullptr;
};

constexpr const char* kStatusNames = "success|write-protected|out-of-resources|device-error|not-ready";

constexpr FieldRule kFieldRules[] = {
    {"board", "name", Kind::kText},
    {"board", "cpus", Kind::kInteger, 1, kBoardMaxCpus},
    {"cpu", "bios_guard", Kind::kText, 0, 0, "on|off|capable-off"},
    {"pch", "variant", Kind::kText, 0, 0, "h|lp|unknown"},
    {"pch", "lpc_device_id", Kind::kInteger, 0, 0xFFFF},
    {"pch", "pm_timer", Kind::kText, 0, 0, "running|stuck|absent"},
    {"pch", "pmc_hidden", Kind::kBoolean},
    {"flash", "part", Kind::kText},
    {"flash", "image", Kind::kText},
    {"flash", "status", Kind::kInteger, 0, 0xFF},  // status register 1
    {"flash", "cache", Kind::kText, 0, 0, "off|bios|window"},
    {"flash", "bios_control", Kind::kInteger, 0, 0xFFFFFFFF},  // BIOS_SPI_BC
    {"flash", "vscc", Kind::kInteger, 0, 0xFFFFFFFF},          // SFDPx_VSCCx
    {"flash", "flockdn", Kind::kBoolean},
    {"flash", "wrsdis", Kind::kBoolean},
    {"flash", "opcode_menu_locked", Kind::kBoolean},
    {"flash", "vscc_locked", Kind::kBoolean},
    {"firmware", "platform_flash", Kind::kText, 0, 0, "driver|stand-in|dxe-stand-in|none"},
    {"firmware", "smi_dispatchers", Kind::kText, 0, 0, "first|last"},
    {"firmware", "flash_update_prepare", Kind::kText, 0, 0, "present|late|absent"},
    {"firmware", "prepare_status", Kind::kText, 0, 0, kStatusNames},
    {"firmware", "frame_support", Kind::kBoolean},
    {"firmware", "memory_map", Kind::kBoolean},
    {"bios_guard", "protocol", Kind::kText, 0, 0, "present|late|absent"},
    {"bios_guard", "arrives_after", Kind::kText, 0, 0,
     "PlatformFlashSmm|SpiFlashSmm|BoardSmiServiceSmm|SleepGpioSmm|BiosGuardVarDxe"},
    {"bios_guard", "execute_failures", Kind::kText, 0, 0, "none|first|every"},
    {"me", "present", Kind::kBoolean},
    {"me", "device_id", Kind::kInteger, 0, 0xFFFF},
    {"me", "hfsts1", Kind::kInteger, 0, 0xFFFFFFFF},
    {"me", "bar0", Kind::kInteger, 0, 0xFFFFFFFF},
    {"me", "bar1", Kind::kInteger, 0, 0xFFFFFFFF},
    {"faults", "boot_pool_failures", Kind::kInteger, 0, kCountMax},
    {"faults", "set_variable_status", Kind::kText, 0, 0, kStatusNames},
    {"faults", "smm_install_protocol", Kind::kText, 0, 0, kStatusNames},
    {"faults", "smm_register_protocol_notify", Kind::kText, 0, 0, kStatusNames},
    {"faults", "platform_flash_read", Kind::kText, 0, 0, kStatusNames},
    {"faults", "platform_flash_erase", Kind::kText, 0, 0, kStatusNames},
    {"faults", "platform_flash_write", Kind::kText, 0, 0, kStatusNames},
    {"faults", "platform_flash_operation4", Kind::kText, 0, 0, kStatusNames},
    {"faults", "platform_flash_operation5", Kind::kText, 0, 0, kStatusNames},
    {"faults", "p2sb_hidden", Kind::kBoolean},
    {"faults", "p2sb_stuck_busy", Kind::kText, 0, 0, "entry|message"},
    {"faults", "p2sb_error_response", Kind::kInteger, 0, 0xFF},
    {"faults", "p2sb_error_after", Kind::kInteger, 0, kCountMax},
    {"faults.flash", "erase_failures", Kind::kInteger, 0, kCountMax},
    {"faults.flash", "program_failures", Kind::kInteger, 0, kCountMax},
    {"faults.flash", "hang_after_operations", Kind::kInteger, -1, kCountMax},
    {"power", "cut_at_ns", Kind::kInteger, 0, std::numeric_limits<int64_t>::max()},
    {"power", "cut_after_ops", Kind::kInteger, 0, std::numeric_limits<int64_t>::max()},
    {"power", "cut_inside_op", Kind::kInteger, 1, std::numeric_limits<int64_t>::max()},
    {"power", "cut_after_transactions", Kind::kInteger, 0, std::numeric_limits<int64_t>::max()},
    {"power", "cut_seed", Kind::kInteger, 0, std::numeric_limits<int64_t>::max()},
};

constexpr const char* kSections[] = {"board", "cpu",  "pch",    "flash", "firmware",
                                     "bios_guard", "gpio", "me", "faults", "power"};

// "board.toml line 3: " for a node parsed from a file, "board description: " otherwise.
std::string Where(const toml::source_region& at) {
  if (at.path && at.begin.line != 0)
    return *at.path + " line " + std::to_string(at.begin.line) + ": ";
  return "board description: ";
}

[[noreturn]] void Refuse(const toml::node& node, const std::string& what) {
  throw std::runtime_error(Where(node.source()) + what);
}

// "a|b|c" as "a, b or c".
std::string Choices(const char* choices) {
  std::string text, rest = choices;
  for (size_t bar; (bar = rest.find('|')) != std::string::npos; rest.erase(0, bar + 1))
    text += (text.empty() ? "" : ", ") + rest.substr(0, bar);
  return text.empty() ? rest : text + " or " + rest;
}

bool IsChoice(const char* choices, const std::string& value) {
  std::string_view rest = choices;
  while (!rest.empty()) {
    size_t bar = rest.find('|');
    if (rest.substr(0, bar) == value) return true;
    rest = bar == std::string_view::npos ? std::string_view{} : rest.substr(bar + 1);
  }
  return false;
}

std::string Hex(int64_t v) {
  std::ostringstream o;
  if (v < 0) return std::to_string(v);
  o << "0x" << std::uppercase << std::hex << v;
  return o.str();
}

std::string Range(int64_t min, int64_t max) {
  if (max > 0xFFFF) return Hex(min) + " to " + Hex(max);
  return std::to_string(min) + " to " + std::to_string(max);
}

void CheckField(const toml::node& node, const FieldRule& rule) {
  const std::string name = "[" + std::string(rule.section) + "] " + rule.key;
  switch (rule.kind) {
    case Kind::kText: {
      const auto* text = node.as_string();
      if (text == nullptr) Refuse(node, name + " must be a quoted text");
      if (rule.choices && !IsChoice(rule.choices, text->get()))
        Refuse(node, name + " must be " + Choices(rule.choices) + ", not '" + text->get() + "'");
      break;
    }
    case Kind::kInteger: {
      const auto* number = node.as_integer();
      if (number == nullptr) Refuse(node, name + " must be a whole number from " + Range(rule.min, rule.max));
      if (number->get() < rule.min || number->get() > rule.max)
        Refuse(node, name + " must be " + Range(rule.min, rule.max) + ", not " + std::to_string(number->get()));
      break;
    }
    case Kind::kBoolean:
      if (!node.is_boolean()) Refuse(node, name + " must be true or false");
      break;
  }
}

// [faults.flash] stuck_at_zero / stuck_at_one: [offset, mask] pairs inside the part;
// failing_erase_blocks: offsets inside the part.
void CheckFlashOffsets(const toml::table& faults, uint32_t part_size, const std::string& part) {
  const std::string limit = " (the " + part + " holds " + Hex(part_size) + " bytes)";
  for (const char* key : {"stuck_at_zero", "stuck_at_one"}) {
    const toml::node* list = faults.get(key);
    if (list == nullptr) continue;
    const std::string name = std::string("[faults.flash] ") + key;
    if (!list->is_array()) Refuse(*list, name + " must be a list of [offset, mask] pairs");
    for (const toml::node& entry : *list->as_array()) {
      const toml::array* pair = entry.as_array();
      if (pair == nullptr || pair->size() != 2 || !(*pair)[0].is_integer() || !(*pair)[1].is_integer())
        Refuse(entry, name + " must be a list of [offset, mask] pairs");
      const int64_t offset = (*pair)[0].as_integer()->get();
      const int64_t mask = (*pair)[1].as_integer()->get();
      if (offset < 0 || offset >= part_size) Refuse(entry, name + " offset " + Hex(offset) + " is outside the part" + limit);
      if (mask < 0 || mask > 0xFF) Refuse(entry, name + " mask must be 0 to 0xFF, not " + std::to_string(mask));
    }
  }
  if (const toml::node* list = faults.get("failing_erase_blocks")) {
    if (!list->is_array()) Refuse(*list, "[faults.flash] failing_erase_blocks must be a list of flash offsets");
    for (const toml::node& entry : *list->as_array()) {
      const auto* offset = entry.as_integer();
      if (offset == nullptr) Refuse(entry, "[faults.flash] failing_erase_blocks must be a list of flash offsets");
      if (offset->get() < 0 || offset->get() >= part_size)
        Refuse(entry, "[faults.flash] failing_erase_blocks offset " + Hex(offset->get()) + " is outside the part" + limit);
    }
  }
}

std::string Catalogue() {
  std::string known;
  for (const auto& p : FlashCatalogue()) known += (known.empty() ? "" : ", ") + p.name;
  return known;
}

}  // namespace

toml::table ParseBoardDescription(std::string_view text, const std::string& source) {
  try {
    return toml::parse(text, source);
  } catch (const toml::parse_error& e) {
    const auto& at = e.source().begin;
    // The parser quotes the text it stopped at, line breaks and all: an error stays one line.
    std::string what(e.description());
    std::replace_if(what.begin(), what.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
    throw std::runtime_error(source + " line " + std::to_string(at.line) + ", column " + std::to_string(at.column) +
                             ": damaged TOML: " + what);
  }
}

toml::table ReadBoardDescription(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return ParseBoardDescription(text, file.string());
}

void CheckBoardDescription(const toml::table& d, bool complete) {
  for (const char* section : kSections)
    if (const toml::node* s = d.get(section); s != nullptr && !s->is_table())
      Refuse(*s, "[" + std::string(section) + "] must be a section (a table)");
  if (const toml::node* f = d.at_path("faults.flash").node(); f != nullptr && !f->is_table())
    Refuse(*f, "[faults.flash] must be a section (a table)");
  for (const FieldRule& rule : kFieldRules)
    if (const toml::node* node = d.at_path(rule.section)[rule.key].node()) CheckField(*node, rule);

  const toml::node* part = d.at_path("flash.part").node();
  const std::string prefix = d.source().path ? *d.source().path + ": " : "board description: ";
  if (complete && part == nullptr)
    throw std::runtime_error(prefix + "no [flash] part: name one of " + Catalogue());
  if (complete && d.at_path("board.cpus").node() == nullptr)
    throw std::runtime_error(prefix + "no [board] cpus: say how many processors (1 to " +
                             std::to_string(kBoardMaxCpus) + ") the board has");
  const std::string part_name = part ? part->as_string()->get() : std::string("W25Q128JV");
  const FlashPartDatasheet* datasheet = LookupFlashPart(part_name);
  if (datasheet == nullptr) Refuse(*part, "[flash] part '" + part_name + "' is not in the catalogue (" + Catalogue() + ")");
  if (const toml::table* faults = d.at_path("faults.flash").as_table())
    CheckFlashOffsets(*faults, datasheet->size, datasheet->name);
}

std::filesystem::path FileInBoardFolder(const std::filesystem::path& dir, const std::string& name,
                                        const std::string& what) {
  namespace fs = std::filesystem;
  const fs::path relative(name);
  if (name.empty()) throw std::runtime_error(what + " names no file");
  if (relative.has_root_path())
    throw std::runtime_error(what + " '" + name + "' is an absolute path; name a file inside the board folder");
  for (const fs::path& part : relative)
    if (part == "..")
      throw std::runtime_error(what + " '" + name + "' leads out of the board folder ('..'); name a file inside it");
  const fs::path file = dir / relative;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(file, ec))) return file;
  const fs::path real = fs::canonical(file, ec);
  if (ec) throw std::runtime_error(what + " '" + name + "' is a link to nothing");
  const fs::path root = fs::canonical(dir, ec);
  if (ec) throw std::runtime_error("cannot resolve the board folder " + dir.string());
  auto [r, f] = std::mismatch(root.begin(), root.end(), real.begin(), real.end());
  if (r != root.end() || f == real.end())
    throw std::runtime_error(what + " '" + name + "' is a link that leads out of the board folder (to " +
                             real.string() + ")");
  return file;
}

}  // namespace sim
