// Addresses and values in messages: 0x and upper-case hexadecimal digits.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace sim {

inline std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
  return text;
}

}  // namespace sim
