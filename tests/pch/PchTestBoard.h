// A bus with the simulated PCH only and the processor bound to the driver-side library.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <toml++/toml.h>

#include "frame/Frame.h"
#include "pch/MeStatus.h"
#include "pch/PchVariant.h"
#include "platform/host/HostBusOps.h"
#include "sim/core/Bus.h"
#include "sim/core/Cpu.h"
#include "sim/devices/PchDevices.h"
#include "tests/pch/AccessRecorder.h"

namespace pchtest {

struct Board {
  explicit Board(const std::string& description = "[pch]\nvariant = \"h\"\n")
      : desc(toml::parse(description)), pch(std::make_unique<sim::PchDevices>(bus, cpu, desc, pwrm)) {
    FwHostBindPlatform(cpu.ops());
    gPchLibrary = PchLibraryState{};
    gMeHeci = MeHeciState{};
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

  std::vector<std::string> Writes() const { return WritesOf(accesses); }
  size_t CountAccesses(const std::string& kind, uint64_t first, uint64_t last) const {
    return CountOf(accesses, kind, first, last);
  }
  size_t GpioAccesses() const { return GpioAccessesOf(accesses); }
  void Clear() { accesses.clear(); }

  sim::Bus bus;
  sim::Cpu cpu{bus};
  toml::table desc;
  sim::PowerManagement pwrm;
  std::unique_ptr<sim::PchDevices> pch;
  std::vector<sim::Bus::Access> accesses;
  int observer = 0;
};

}  // namespace pchtest
