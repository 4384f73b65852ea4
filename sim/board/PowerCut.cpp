#include "sim/board/PowerCut.h"

#include <stdexcept>
#include <string>

namespace sim {
namespace {

// Types and ranges are checked with the rest of the description (BoardDescription.cpp).
std::optional<uint64_t> Count(const toml::table& power, const char* key) {
  std::optional<int64_t> v = power[key].value<int64_t>();
  if (!v) return std::nullopt;
  return uint64_t(*v);
}

}  // namespace

PowerCut PowerCut::FromDescription(const toml::table& description) {
  PowerCut cut;
  const toml::node* node = description.get("power");
  if (node == nullptr) return cut;
  const toml::table* power = node->as_table();
  if (power == nullptr) return cut;
  for (const auto& [key, value] : *power) {
    const std::string_view k = key.str();
    if (k != "cut_at_ns" && k != "cut_after_ops" && k != "cut_inside_op" && k != "cut_after_transactions" &&
        k != "cut_seed")
      throw std::runtime_error("board.toml: [power] has no setting '" + std::string(k) +
                               "' (cut_at_ns, cut_after_ops, cut_inside_op, cut_after_transactions, cut_seed)");
  }
  cut.at_ns = Count(*power, "cut_at_ns");
  cut.on_part.after_operations = Count(*power, "cut_after_ops");
  cut.on_part.inside_operation = Count(*power, "cut_inside_op");
  cut.on_part.after_transactions = Count(*power, "cut_after_transactions");
  if (auto seed = Count(*power, "cut_seed")) cut.on_part.seed = *seed;
  return cut;
}

}  // namespace sim
