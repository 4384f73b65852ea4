#include "sim/firmware/VariableStore.h"

#include <cstdio>
#include <fstream>
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

void VariableStore::Load(const std::filesystem::path& file) {
  vars_.clear();
  if (!std::filesystem::exists(file)) return;
  std::ifstream in(file);
  nlohmann::json j = nlohmann::json::parse(in);
  for (auto& e : j.at("variables")) {
    Variable v;
    v.name = Utf8ToUtf16(e.at("name").get<std::string>());
    auto g = GuidFromString(e.at("guid").get<std::string>());
    if (!g) throw std::runtime_error("variable store: bad GUID in " + file.string());
    v.guid = *g;
    v.attributes = e.at("attributes").get<uint32_t>();
    v.data = e.at("data").get<std::vector<uint8_t>>();
    vars_[Key{v.name, GuidToString(v.guid)}] = v;
  }
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
