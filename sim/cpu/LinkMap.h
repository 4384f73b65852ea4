// The linker's map of a firmware image (lld-link /map): the address of each public symbol.
// The emulator finds the image's register-access routines through it and names the
// function a fault happened in.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace sim {

class LinkMap {
 public:
  // Parses the text of a map file; lines that are not symbol lines are skipped.
  static LinkMap Parse(const std::string& text);

  // RVA of the first symbol whose readable name is `name` (e.g. "MmioRead32").
  std::optional<uint32_t> Find(const std::string& name) const;
  // The readable name of the symbol at or below `rva` and the distance to it.
  std::optional<std::pair<std::string, uint32_t>> Enclosing(uint32_t rva) const;
  bool empty() const { return by_rva_.empty(); }

  // "?MmioRead32@@YAI_K@Z" -> "MmioRead32", "?Read@Flash@@..." -> "Flash::Read".
  static std::string ReadableName(const std::string& decorated);

 private:
  std::map<uint32_t, std::string> by_rva_;
};

}  // namespace sim
