// JSON as the tools print it. Strings taken from a flash image or a board file may hold
// bytes that are not UTF-8; they come out as U+FFFD instead of stopping the tool.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

inline std::string JsonText(const nlohmann::json& j) {
  return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}
