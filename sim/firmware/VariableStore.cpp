#include "sim/firmware/VariableStore.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "sim/board/AtomicFile.h"

namespace sim {

std::string GuidToString(const EFI_GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

std::optional<EFI_GUID> GuidFromString(const std::string& text) {
  unsigned d1, d2, d3, b[8];
  if (text.size() != 36 ||
      std::sscanf(text.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                  &b[4], &b[5], &b[6], &b[7]) != 11)
    return std::nullopt;
  EFI_GUID g{d1, static_cast<UINT16>(d2), static_cast<UINT16>(d3), {}};
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<UINT8>(b[i]);
  return g;
}

std::string Utf16ToUtf8(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = s[i];
    if (c < 0x80) {
      out += c;
      i += 1;
    } else if ((c >> 5) == 6 && i + 1 < s.size()) {
      out += static_cast<char16_t>(((c & 0x1F) << 6) | (s[i + 1] & 0x3F));
      i += 2;
    } else if (i + 2 < s.size()) {
      out += static_cast<char16_t>(((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F));
      i += 3;
    } else {
      break;
    }
  }
  return out;
}

EFI_STATUS VariableStore::Set(const std::u16string& name, const EFI_GUID& guid, uint32_t attributes,
                              const std::vector<uint8_t>& data) {
  ++set_calls_;
  if (fail_count_ > 0) {
    --fail_count_;
    return fail_status_;
  }
  if (name.empty()) return EFI_INVALID_PARAMETER;
  constexpr uint32_t kKnown = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
  if (attributes & ~kKnown) return EFI_INVALID_PARAMETER;
  Key key{name, GuidToString(guid)};
  if (attributes == 0 || data.empty()) {
    return vars_.erase(key) ? EFI_SUCCESS : EFI_NOT_FOUND;
  }
  if ((attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS) == 0) return EFI_INVALID_PARAMETER;
  auto it = vars_.find(key);
  if (it != vars_.end() && it->second.attributes != attributes) return EFI_INVALID_PARAMETER;
  vars_[key] = Variable{name, guid, attributes, data};
  return EFI_SUCCESS;
}

const Variable* VariableStore::Get(const std::u16string& name, const EFI_GUID& guid) const {
  auto it = vars_.find(Key{name, GuidToString(guid)});
  return it == vars_.end() ? nullptr : &it->second;
}

std::vector<const Variable*> VariableStore::All() const {
  std::vector<const Variable*> out;
  for (auto& [k, v] : vars_) out.push_back(&v);
  return out;
}

void VariableStore::DropVolatile() {
  std::erase_if(vars_, [](const auto& kv) { return (kv.second.attributes & EFI_VARIABLE_NON_VOLATILE) == 0; });
}

namespace {

// "line L, column C" of the byte at `offset` (0-based) of `text`.
std::string TextPosition(std::string_view text, size_t offset) {
  size_t line = 1, column = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

std::string Printable(char c) {
  if (c >= 0x20 && c < 0x7F) return std::string("'") + c + "'";
  char b[8];
  std::snprintf(b, sizeof b, "0x%02X", static_cast<unsigned char>(c));
  return std::string("byte ") + b;
}

constexpr uint32_t kStoredAttributes =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

// One entry of the "variables" list; `where` names it in errors.
Variable ParseEntry(const nlohmann::json& e, const std::string& where) {
  auto fail = [&](const std::string& what) { throw std::runtime_error(where + ": " + what); };
  if (!e.is_object()) fail("is not an object with name, guid, attributes and data");
  auto field = [&](const char* key) -> const nlohmann::json& {
    auto it = e.find(key);
    if (it == e.end()) fail(std::string("has no \"") + key + "\"");
    return *it;
  };
  Variable v;
  const nlohmann::json& name = field("name");
  if (!name.is_string() || name.get_ref<const std::string&>().empty()) fail("\"name\" must be a non-empty string");
  v.name = Utf8ToUtf16(name.get<std::string>());
  // A variable name is NUL-terminated UCS-2: a NUL inside it, or a character beyond U+FFFF,
  // would be loaded as another name than the file says.
  if (Utf16ToUtf8(v.name) != name.get_ref<const std::string&>() || v.name.find(u'\0') != std::u16string::npos)
    fail("\"name\" holds a character a UEFI variable name cannot (NUL, or one beyond U+FFFF)");
  const nlohmann::json& guid = field("guid");
  std::optional<EFI_GUID> g = guid.is_string() ? GuidFromString(guid.get<std::string>()) : std::nullopt;
  if (!g) fail("\"guid\" must be a GUID such as 368B3153-563D-4610-8D94-47A9FA8C4C16");
  v.guid = *g;
  const nlohmann::json& attributes = field("attributes");
  if (!attributes.is_number_unsigned() || attributes.get<uint64_t>() > kStoredAttributes ||
      (attributes.get<uint64_t>() & EFI_VARIABLE_BOOTSERVICE_ACCESS) == 0)
    fail("\"attributes\" must be a number from 2 to 7 with boot-services access (2) set");
  v.attributes = attributes.get<uint32_t>();
  const nlohmann::json& data = field("data");
  if (!data.is_array() || data.empty()) fail("\"data\" must be a non-empty list of bytes");
  v.data.reserve(data.size());
  for (const nlohmann::json& b : data) {
    if (!b.is_number_unsigned() || b.get<uint64_t>() > 0xFF) fail("\"data\" holds " + b.dump() + ", not a byte (0 to 255)");
    v.data.push_back(b.get<uint8_t>());
  }
  return v;
}

}  // namespace

void VariableStore::Load(const std::filesystem::path& file) {
  if (!std::filesystem::exists(file)) {
    vars_.clear();
    return;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Parse(text, file.string());
}

void VariableStore::Parse(std::string_view text, const std::string& source) {
  nlohmann::json j;
  try {
    j = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& e) {
    // e.byte counts from 1 and points at the byte the parser stopped on.
    const size_t at = e.byte == 0 ? 0 : e.byte - 1;
    std::string what = at < text.size() ? "not valid JSON at " + Printable(text[at]) : "the JSON ends too early";
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) what = "empty, not a variable store";
    throw std::runtime_error(source + " " + TextPosition(text, at) + ": " + what);
  } catch (const nlohmann::json::exception&) {
    // A number the parser cannot hold (out_of_range 406): the text is JSON, the value is not.
    throw std::runtime_error(source + ": a number too large to be a variable's field");
  }
  auto list = j.is_object() ? j.find("variables") : j.end();
  if (!j.is_object() || list == j.end() || !list->is_array())
    throw std::runtime_error(source + ": not a variable store (it needs a \"variables\" list)");
  std::map<Key, Variable> loaded;
  for (size_t i = 0; i < list->size(); ++i) {
    const nlohmann::json& e = (*list)[i];
    std::string where = source + ": variable " + std::to_string(i + 1);
    if (e.is_object() && e.contains("name") && e["name"].is_string()) {
      const std::string& name = e["name"].get_ref<const std::string&>();
      if (std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x20; }))
        where += " (" + name + ")";
    }
    Variable v = ParseEntry(e, where);
    Key key{v.name, GuidToString(v.guid)};
    if (loaded.count(key)) throw std::runtime_error(where + ": a variable of that name and GUID comes earlier");
    loaded.emplace(std::move(key), std::move(v));
  }
  vars_ = std::move(loaded);
}

void VariableStore::Save(const std::filesystem::path& file) const {
  nlohmann::json j;
  j["variables"] = nlohmann::json::array();
  for (auto& [k, v] : vars_) {
    if ((v.attributes & EFI_VARIABLE_NON_VOLATILE) == 0) continue;
    j["variables"].push_back({{"name", Utf16ToUtf8(v.name)},
                              {"guid", GuidToString(v.guid)},
                              {"attributes", v.attributes},
                              {"data", v.data}});
  }
  WriteFileAtomically(file, j.dump(2) + "\n");
}

}  // namespace sim
