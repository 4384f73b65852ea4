// ./fw campaign power-cut [--reduced] [--random N] [--stride N] [--recut-every N] [--seed S]
// Prints, per update, the cut points, how many recovered, the false successes and failed
// boots (both must be 0) and how long it took; exits 1 when any of those is wrong.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "tests/campaigns/PowerCutCampaign.h"

int main(int argc, char** argv) {
  campaign::PowerCutOptions options;
  options.log = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto number = [&]() -> uint64_t {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "power-cut campaign: %s needs a number\n", a.c_str());
        std::exit(2);
      }
      return std::strtoull(argv[++i], nullptr, 0);
    };
    if (a == "--reduced") {
      // The CI set: every 8th erase and program (the instant it ends and three inside it),
      // 100 random instants per update.
      options.operation_stride = 8;
      options.random_cuts = 100;
    } else if (a == "--random") {
      options.random_cuts = number();
    } else if (a == "--stride") {
      options.operation_stride = uint32_t(std::max<uint64_t>(1, number()));
    } else if (a == "--recut-every") {
      options.recut_every = uint32_t(std::max<uint64_t>(1, number()));
    } else if (a == "--seed") {
      options.seed = number();
    } else {
      std::fprintf(stderr, "usage: power-cut [--reduced] [--random N] [--stride N] [--recut-every N] [--seed S]\n");
      return 2;
    }
  }
  const auto started = std::chrono::steady_clock::now();
  bool ok = true;
  try {
    for (const campaign::PowerCutFigures& f : campaign::RunPowerCutCampaign(options)) {
      std::cout << campaign::FormatFigures(f);
      ok = ok && f.false_successes == 0 && f.failed_boots == 0 && f.not_recovered == 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "power-cut campaign: %s\n", e.what());
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("power-cut campaign %s in %.1f s of host time\n", ok ? "passed" : "FAILED", seconds);
  return ok ? 0 : 1;
}
