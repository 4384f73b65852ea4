// Power cuts during flash updates on the default board: for each update, a cut the instant
// each erase and program finishes and at three instants inside each, plus seeded random
// instants; after every cut the board is powered up from what its flash holds, must boot
// with its flash drivers started and the part identified, and the same update, run again
// (and cut again during that run, then run once more), must leave the new image exactly.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace campaign {

struct PowerCutOptions {
  // Every erase and program of each update (the instant it finishes and three inside it);
  // with a number here only that many, spread evenly over the update.
  uint32_t operations_sampled = 0;
  uint64_t random_cuts = 2000;  // per update
  // A second cut during the re-run for one cut point in this many.
  uint32_t recut_every = 4;
  uint64_t seed = 1;
  std::function<void(const std::string&)> log;  // progress lines
};

struct PowerCutFigures {
  std::string update;
  uint64_t operations = 0;         // erases and programs of the uninterrupted update
  uint64_t update_ns = 0;          // its simulated duration after the boot
  uint64_t brick_window_ns = 0;    // boot blocks neither old nor new, uninterrupted run
  uint64_t cut_points = 0;
  uint64_t recut_points = 0;       // cuts during a re-run
  uint64_t recovered = 0;          // the re-run (or the run after a re-cut) left the new image
  uint64_t false_successes = 0;    // an update that said it succeeded with the wrong flash
  uint64_t failed_boots = 0;       // flash drivers not started or part not identified
  uint64_t boot_blocks_hit = 0;    // cuts that left the boot blocks neither old nor new
  uint64_t not_recovered = 0;
  std::vector<std::string> failures;  // the first few, described
  double host_seconds = 0;
};

// The campaign's updates: 0 the default board's update, 1 a 16-block update.
constexpr unsigned kPowerCutUpdates = 2;
PowerCutFigures RunPowerCutUpdate(unsigned which, const PowerCutOptions& options);
std::string FormatFigures(const PowerCutFigures& f);

}  // namespace campaign
