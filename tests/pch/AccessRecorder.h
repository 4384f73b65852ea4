// Turns recorded bus accesses into what a datasheet sequence speaks of: window writes,
// sideband messages (assembled from the P2SB register writes) and I/O port writes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sim/core/Bus.h"

namespace pchtest {

constexpr uint64_t kP2sbCfg = 0xE00F9000;  // 0:31:1
constexpr uint64_t kLpcCfg = 0xE00F8000;   // 0:31:0
constexpr uint64_t kHeciCfg = 0xE00B0000;  // 0:22:0

// In order: "W FD6D0810=00000201" for a memory-mapped register write, "MSG 6D:008C op=13
// data=..." for a sideband message, "IO CF9=0E" for an I/O write. RAM writes, the
// operating system's APM port writes (0xB2/0xB3) and the PMC's ACPI block (ABASE 0x1800-0x187F:
// the OS's sleep request and the SMM core's SMI source handling) are left out.
inline std::vector<std::string> WritesOf(const std::vector<sim::Bus::Access>& accesses) {
  std::vector<std::string> out;
  uint32_t addr = 0, ext = 0, data = 0, op = 0;
  char b[96];
  for (const auto& a : accesses) {
    if (a.kind == "IW") {
      if (a.address == 0xB2 || a.address == 0xB3) continue;
      if (a.address >= 0x1800 && a.address <= 0x187F) continue;
      std::snprintf(b, sizeof b, "IO %X=%02llX", unsigned(a.address), (unsigned long long)a.value);
      out.push_back(b);
    }
    if (a.kind != "MW" || a.address < 0xE0000000 || a.address > 0xFFFFFFFF) continue;
    if (a.address >= kP2sbCfg && a.address < kP2sbCfg + 0x1000) {
      const uint64_t reg = a.address - kP2sbCfg;
      if (reg == 0xD0) addr = uint32_t(a.value);
      else if (reg == 0xDC) ext = uint32_t(a.value);
      else if (reg == 0xD4) data = uint32_t(a.value);
      else if (reg == 0xD8 && (a.value & 1) == 0) op = uint32_t(a.value >> 8) & 0xFF;
      else if (reg == 0xD8) {
        std::snprintf(b, sizeof b, "MSG %02X:%04X%s op=%02X data=%08X", addr >> 24, addr & 0xFFFF,
                      ext ? ("+ext" + std::to_string(ext)).c_str() : "", op, data);
        out.push_back(b);
      }
      continue;
    }
    std::snprintf(b, sizeof b, "W %llX=%08llX", (unsigned long long)a.address, (unsigned long long)a.value);
    out.push_back(b);
  }
  return out;
}

inline size_t CountOf(const std::vector<sim::Bus::Access>& accesses, const std::string& kind, uint64_t first,
                      uint64_t last) {
  size_t n = 0;
  for (const auto& a : accesses)
    if (a.kind == kind && a.address >= first && a.address <= last) ++n;
  return n;
}

// Accesses of GPIO registers (the sideband window) and of the P2SB bridge.
inline size_t GpioAccessesOf(const std::vector<sim::Bus::Access>& accesses) {
  size_t n = 0;
  for (const char* kind : {"MR", "MW"})
    n += CountOf(accesses, kind, 0xFD000000, 0xFDFFFFFF) + CountOf(accesses, kind, kP2sbCfg, kP2sbCfg + 0xFFF);
  return n;
}

// Configuration register offset of the function at Base -> the widths (bits) of every
// memory access made to it.
inline std::map<uint64_t, std::set<unsigned>> ConfigWidthsOf(const std::vector<sim::Bus::Access>& accesses,
                                                             uint64_t base) {
  std::map<uint64_t, std::set<unsigned>> widths;
  for (const auto& a : accesses)
    if ((a.kind == "MR" || a.kind == "MW") && a.address >= base && a.address < base + 0x1000)
      widths[a.address - base].insert(a.bits);
  return widths;
}

inline std::string Join(const std::vector<std::string>& v) {
  std::ostringstream o;
  for (auto& s : v) o << s << "\n";
  return o.str();
}

}  // namespace pchtest
