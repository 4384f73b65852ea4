// Number formatting shared by the image listings and the flash map.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace fwimage {

inline std::string Hex(uint64_t v, int width = 0) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%0*llX", width, static_cast<unsigned long long>(v));
  return text;
}

// 16 MiB, 64 KiB, or the byte count with `byte_unit` ("B", "bytes").
inline std::string SizeWithUnit(uint64_t v, const char* byte_unit) {
  char text[48];
  if (v >= (1u << 20) && v % (1u << 20) == 0)
    std::snprintf(text, sizeof text, "%llu MiB", static_cast<unsigned long long>(v >> 20));
  else if (v >= 1024 && v % 1024 == 0)
    std::snprintf(text, sizeof text, "%llu KiB", static_cast<unsigned long long>(v >> 10));
  else
    std::snprintf(text, sizeof text, "%llu %s", static_cast<unsigned long long>(v), byte_unit);
  return text;
}

}  // namespace fwimage
