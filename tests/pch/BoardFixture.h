// A whole simulated board (SMM core, devices, the built driver images) for the driver tests,
// with a recorder of bus writes in the terms of the PCH datasheet sequences.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <toml++/toml.h>

#include "platform/host/HostBusOps.h"
#include "sim/board/Board.h"
#include "tests/pch/AccessRecorder.h"

namespace pchtest {

// The default board description with `extra` (TOML) merged over it, section by section.
inline toml::table Description(const std::string& extra) {
  toml::table d = sim::Board::DefaultDescription();
  // These boards carry no flash image: no board flash driver, so a reset's reboot does not
  // run flash identification cycles into the recorded accesses.
  d["firmware"].as_table()->insert_or_assign("platform_flash", "none");
  toml::table more = toml::parse(extra);
  for (auto& [key, node] : more) {
    if (auto* t = d[key].as_table(); t && node.is_table()) {
      for (auto& [k, v] : *node.as_table()) t->insert_or_assign(k, v);
    } else {
      d.insert_or_assign(key, node);
    }
  }
  return d;
}

struct WholeBoard {
  explicit WholeBoard(const std::string& extra = "", bool boot = true)
      : board(sim::Board::CreateInMemory(Description(extra), std::vector<uint8_t>(4096, 0xFF))) {
    if (boot) board->Boot();
    FwHostBindPlatform(board->cpu().ops());
    observer = board->bus().AddObserver([this](const sim::Bus::Access& a) { accesses.push_back(a); });
  }
  ~WholeBoard() { board->bus().RemoveObserver(observer); }

  sim::GpioCommunity::Pad& Pad(const char* name) {
    auto ref = board->pch().FindPad(name);
    EXPECT_TRUE(ref.has_value()) << name;
    return ref->community->state(ref->group).pads[ref->pad];
  }
  sim::GpioCommunity::GroupState& Group(const char* name) {
    auto ref = board->pch().FindPad(name);
    return ref->community->state(ref->group);
  }

  std::vector<std::string> Writes() const { return WritesOf(accesses); }
  size_t GpioAccesses() const { return GpioAccessesOf(accesses); }
  void Clear() { accesses.clear(); }

  std::unique_ptr<sim::Board> board;
  std::vector<sim::Bus::Access> accesses;
  int observer = 0;
};

}  // namespace pchtest
