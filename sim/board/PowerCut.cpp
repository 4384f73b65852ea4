#include "sim/board/PowerCut.h"

#include <stdexcept>
#include <string>

namespace sim {
namespace {

std::optional<uint64_t> Count(const toml::table& power, const char* key) {
  const toml::node* node = power.get(key);
  if (node == nullptr) return std::nullopt;
  std::optional<int64_t> v = node->value<int64_t>();
  if (!node->is_integer() || !v || *v < 0)
    throw std::runtime_error(std::string("board.toml: [power] ") + key + " must be a whole number of 0 or more");
  return uint64_t(*v);
}

}  // namespace

PowerCut PowerCut::FromDescription(const toml::table& description) {
  PowerCut cut;
  const toml::node* node = description.get("power");
  if (node == nullptr) return cut;
  const toml::table* power = node->as_table();
  if (power == nullptr) throw std::runtime_error("board.toml: [power] must be a table");
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
