#include "sim/cpu/LinkMap.h"

#include <cctype>
#include <sstream>
#include <vector>

namespace sim {

namespace {
bool IsHex(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}
}  // namespace

// Symbol lines read "<section>:<offset>  <symbol>  <Rva+Base>  [f] [i] <lib:object>".
LinkMap LinkMap::Parse(const std::string& text) {
  LinkMap map;
  uint64_t preferred_base = 0;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string t; words >> t;) w.push_back(t);
    if (w.size() >= 5 && w[0] == "Preferred" && w[1] == "load" && IsHex(w.back())) {
      preferred_base = std::stoull(w.back(), nullptr, 16);
      continue;
    }
    if (w.size() < 3 || w[0].size() != 13 || w[0][4] != ':') continue;
    if (!IsHex(w[0].substr(0, 4)) || !IsHex(w[0].substr(5)) || !IsHex(w[2]) || w[2].size() != 16) continue;
    uint64_t address = std::stoull(w[2], nullptr, 16);
    if (address < preferred_base || address - preferred_base > UINT32_MAX) continue;
    map.by_rva_.emplace(static_cast<uint32_t>(address - preferred_base), ReadableName(w[1]));
  }
  return map;
}

std::string LinkMap::ReadableName(const std::string& decorated) {
  if (decorated.empty() || decorated[0] != '?') return decorated;
  size_t end = decorated.find("@@");
  std::string scoped = decorated.substr(1, end == std::string::npos ? std::string::npos : end - 1);
  // Scopes follow the name innermost first, separated by '@'.
  std::vector<std::string> parts;
  std::istringstream in(scoped);
  for (std::string p; std::getline(in, p, '@');) parts.push_back(p);
  std::string out;
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) out += (out.empty() ? "" : "::") + *it;
  return out;
}

std::optional<uint32_t> LinkMap::Find(const std::string& name) const {
  for (const auto& [rva, n] : by_rva_)
    if (n == name) return rva;
  return std::nullopt;
}

std::optional<std::pair<std::string, uint32_t>> LinkMap::Enclosing(uint32_t rva) const {
  auto it = by_rva_.upper_bound(rva);
  if (it == by_rva_.begin()) return std::nullopt;
  --it;
  return std::make_pair(it->second, rva - it->first);
}

}  // namespace sim
