// A bus with the simulated PCH only, the processor bound to the driver-side library, and a
// recorder that turns the bus accesses into what a datasheet sequence speaks of: window
// reads and writes, and sideband messages assembled from the P2SB register writes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <toml++/toml.h>

#include "frame/Frame.h"
#include "pch/PchVariant.h"
#include "platform/host/HostBusOps.h"
#include "sim/core/Bus.h"
#include "sim/core/Cpu.h"
#include "sim/devices/PchDevices.h"

namespace pchtest {

constexpr uint64_t kP2sbCfg = 0xE00F9000;  // 0:31:1
constexpr uint64_t kLpcCfg = 0xE00F8000;   // 0:31:0
constexpr uint64_t kHeciCfg = 0xE00B0000;  // 0:22:0

struct Board {
  explicit Board(const std::string& description = "[pch]\nvariant = \"h\"\n")
      : desc(toml::parse(description)), pch(std::make_unique<sim::PchDevices>(bus, cpu, desc)) {
    FwHostBindPlatform(cpu.ops());
    gPchLibrary = PchLibraryState{};
    gFrame = FrameState{};
    observer = bus.AddObserver([this](const sim::Bus::Access& a) { accesses.push_back(a); });
  }
  ~Board() { bus.RemoveObserver(observer); }

  sim::GpioCommunity::GroupState& Group(const char* pad) {
    auto ref = pch->FindPad(pad);
    EXPECT_TRUE(ref.has_value()) << pad;
    return ref->community->state(ref->group);
  }
  sim::GpioCommunity::Pad& Pad(const char* pad) {
    auto ref = pch->FindPad(pad);
    return ref->community->state(ref->group).pads[ref->pad];
  }
  static bool Bit(const std::vector<uint32_t>& reg, unsigned pad) { return (reg[pad / 32] >> (pad % 32)) & 1; }

  // Writes in order: "W FD6D0810=00000201" for a window write, "MSG 6D:008C op=13 data=..."
  // for a sideband message (assembled from the P2SB writes), "IO CF9=0E", other memory
  // writes as "W <address>=<value>".
  std::vector<std::string> Writes() const {
    std::vector<std::string> out;
    uint32_t addr = 0, ext = 0, data = 0, op = 0;
    char b[96];
    for (const auto& a : accesses) {
      if (a.kind == "IW") {
        std::snprintf(b, sizeof b, "IO %X=%02llX", unsigned(a.address), (unsigned long long)a.value);
        out.push_back(b);
      }
      if (a.kind != "MW") continue;
      if (a.address >= kP2sbCfg && a.address < kP2sbCfg + 0x1000) {
        uint64_t reg = a.address - kP2sbCfg;
        if (reg == 0xD0) addr = uint32_t(a.value);
        else if (reg == 0xDC) ext = uint32_t(a.value);
        else if (reg == 0xD4) data = uint32_t(a.value);
        else if (reg == 0xD8 && (a.value & 1) == 0) op = uint32_t(a.value >> 8) & 0xFF;
        else if (reg == 0xD8 && (a.value & 1)) {
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
  size_t CountAccesses(const std::string& kind, uint64_t first, uint64_t last) const {
    size_t n = 0;
    for (const auto& a : accesses)
      if (a.kind == kind && a.address >= first && a.address <= last) ++n;
    return n;
  }
  // Accesses of GPIO registers (the sideband window) and of the P2SB bridge.
  size_t GpioAccesses() const {
    return CountAccesses("MR", 0xFD000000, 0xFDFFFFFF) + CountAccesses("MW", 0xFD000000, 0xFDFFFFFF) +
           CountAccesses("MR", kP2sbCfg, kP2sbCfg + 0xFFF) + CountAccesses("MW", kP2sbCfg, kP2sbCfg + 0xFFF);
  }
  void Clear() { accesses.clear(); }

  sim::Bus bus;
  sim::Cpu cpu{bus};
  toml::table desc;
  std::unique_ptr<sim::PchDevices> pch;
  std::vector<sim::Bus::Access> accesses;
  int observer = 0;
};

inline std::string Join(const std::vector<std::string>& v) {
  std::ostringstream o;
  for (auto& s : v) o << s << "\n";
  return o.str();
}

}  // namespace pchtest
