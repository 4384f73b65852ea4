// variables.json as the board loads it. A store that loads must save and load back to the
// same variables; a damaged one is refused with one line and leaves the store as it was.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "sim/firmware/VariableStore.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

std::vector<std::tuple<std::u16string, std::string, uint32_t, std::vector<uint8_t>>> Contents(
    const sim::VariableStore& store) {
  std::vector<std::tuple<std::u16string, std::string, uint32_t, std::vector<uint8_t>>> out;
  for (const sim::Variable* v : store.All()) out.emplace_back(v->name, sim::GuidToString(v->guid), v->attributes, v->data);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  sim::VariableStore store;
  store.Set(u"Kept", {1, 2, 3, {4}}, 7, {1});
  const auto before = Contents(store);
  try {
    store.Parse(text, "variables.json");
  } catch (const std::runtime_error& e) {
    fuzz::OneLine(e.what());
    if (Contents(store) != before) fuzz::Finding("a refused file changed the store");
    return 0;
  }
  static const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("fuzz-variables-" + std::to_string(getpid()) + ".json");
  store.Save(file);
  sim::VariableStore again;
  try {
    again.Load(file);
  } catch (const std::runtime_error& e) {
    fuzz::Finding(std::string("a saved store does not load: ") + e.what());
  }
  // Only non-volatile variables are saved.
  sim::VariableStore nv = store;
  nv.DropVolatile();
  if (Contents(again) != Contents(nv)) fuzz::Finding("saving and loading changed the variables");
  return 0;
}
