#include "tests/campaigns/PowerCutCampaign.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <sstream>

#include "sim/board/Board.h"
#include "tools/fwsim/DefaultImage.h"
#include "tools/fwsim/FlashDeviceTool.h"

namespace campaign {
namespace {

struct Outcome {
  bool booted = false;       // flash drivers started and the part identified
  bool succeeded = false;    // the update said it was done
  bool power_lost = false;
  std::string error;
  std::vector<uint8_t> flash;  // what the part holds afterwards
};

struct Recording {
  std::vector<sim::FlashOperationRecord> operations;  // times counted from the arming instant
  uint64_t update_ns = 0;
  uint64_t brick_window_ns = 0;
};

bool FlashDriversStarted(const sim::BootReport& report) {
  unsigned started = 0;
  for (const sim::ImageReport& i : report.images)
    if ((i.name == "SpiFlashSmm" || i.name == "PlatformFlashSmm") && i.loaded && !EFI_ERROR(i.status) &&
        i.outcome.rfind("returned", 0) == 0)
      ++started;
  return started == 2;
}

// Powers the board up from `flash`, checks that it boots, arms `cut` and runs the update.
Outcome PowerUpAndUpdate(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& image, const sim::PowerCut& cut,
                         Recording* recording = nullptr) {
  Outcome out;
  auto board = sim::Board::CreateInMemory(sim::Board::DefaultDescription(), flash);
  const sim::BootReport report = board->Boot();
  fwsim::FlashDeviceTool tool(*board);
  try {
    const fwsim::PartReport part = tool.ReportPart();
    out.booted = FlashDriversStarted(report) && part.named && part.flash_size == flash.size();
  } catch (const fwsim::FlashToolError& e) {
    out.error = e.what();
  }
  const uint64_t armed_ns = board->bus().clock().Now();
  if (recording != nullptr)
    board->flash().part().on_operation = [&](const sim::FlashOperationRecord& r) {
      sim::FlashOperationRecord rel = r;
      rel.start_ns -= armed_ns;
      rel.end_ns -= armed_ns;
      recording->operations.push_back(rel);
    };
  board->ArmPowerCut(cut);
  try {
    const fwsim::UpdateReport r = tool.Update(image);
    out.succeeded = true;
    if (recording != nullptr) {
      recording->update_ns = board->bus().clock().Now() - armed_ns;
      recording->brick_window_ns = r.brick_window_ns;
    }
  } catch (const fwsim::PowerLostError&) {
    out.power_lost = true;
  } catch (const fwsim::FlashToolError& e) {
    out.error = e.what();
  }
  out.power_lost = out.power_lost || board->power_lost();
  board->flash().part().on_operation = nullptr;
  out.flash = board->flash().contents();
  return out;
}

bool RangesHold(const std::vector<fwsim::FlashRange>& ranges, const std::vector<uint8_t>& a,
                const std::vector<uint8_t>& b) {
  for (const fwsim::FlashRange& r : ranges)
    if (!std::equal(a.begin() + r.base, a.begin() + r.limit + 1, b.begin() + r.base)) return false;
  return true;
}

std::string Describe(const sim::PowerCut& cut) {
  std::ostringstream o;
  if (cut.at_ns) o << "cut at " << *cut.at_ns << " ns";
  if (cut.on_part.after_operations) o << "cut after operation " << *cut.on_part.after_operations;
  return o.str();
}

PowerCutFigures RunOne(const std::string& name, const std::vector<uint8_t>& old_image,
                       const std::vector<uint8_t>& new_image, const PowerCutOptions& options) {
  const auto started = std::chrono::steady_clock::now();
  PowerCutFigures f;
  f.update = name;
  Recording reference;
  const Outcome clean = PowerUpAndUpdate(old_image, new_image, {}, &reference);
  if (!clean.succeeded || clean.flash != new_image)
    throw std::runtime_error(name + ": the uninterrupted update fails: " + clean.error);
  f.operations = reference.operations.size();
  f.update_ns = reference.update_ns;
  f.brick_window_ns = reference.brick_window_ns;
  const auto boot_ranges = fwsim::BootCriticalRanges(old_image, new_image);

  std::vector<sim::PowerCut> cuts;
  const size_t count = reference.operations.size();
  const size_t stride = options.operations_sampled == 0 ? 1 : std::max<size_t>(1, count / options.operations_sampled);
  for (size_t i = stride / 2; i < count; i += stride) {
    const auto& op = reference.operations[i];
    sim::PowerCut after;
    after.on_part.after_operations = i + 1;
    cuts.push_back(after);
    for (unsigned q = 1; q <= 3; ++q) {
      sim::PowerCut inside;
      inside.at_ns = op.start_ns + (op.end_ns - op.start_ns) * q / 4;
      cuts.push_back(inside);
    }
  }
  std::mt19937_64 random(options.seed);
  for (uint64_t i = 0; i < options.random_cuts; ++i) {
    sim::PowerCut at;
    at.at_ns = random() % reference.update_ns;
    cuts.push_back(at);
  }

  auto fail = [&](const std::string& what) {
    ++f.not_recovered;
    if (f.failures.size() < 5) f.failures.push_back(what);
  };
  for (size_t c = 0; c < cuts.size(); ++c) {
    sim::PowerCut cut = cuts[c];
    cut.on_part.seed = options.seed + c;
    ++f.cut_points;
    const Outcome first = PowerUpAndUpdate(old_image, new_image, cut);
    if (first.succeeded && first.flash != new_image) ++f.false_successes;
    if (!first.booted) ++f.failed_boots;
    if (!first.power_lost && !first.succeeded) {
      fail(Describe(cut) + ": the update failed without a cut: " + first.error);
      continue;
    }
    if (!RangesHold(boot_ranges, first.flash, old_image) && !RangesHold(boot_ranges, first.flash, new_image))
      ++f.boot_blocks_hit;
    sim::PowerCut recut;
    const bool again = c % options.recut_every == 0;
    if (again) {
      recut.at_ns = random() % reference.update_ns;
      recut.on_part.seed = cut.on_part.seed ^ 0x5A5A;
      ++f.recut_points;
    }
    Outcome last = PowerUpAndUpdate(first.flash, new_image, recut);
    if (!last.booted) ++f.failed_boots;
    if (last.succeeded && last.flash != new_image) ++f.false_successes;
    if (last.power_lost) {
      if (!RangesHold(boot_ranges, last.flash, old_image) && !RangesHold(boot_ranges, last.flash, new_image) &&
          !RangesHold(boot_ranges, last.flash, first.flash))
        ++f.boot_blocks_hit;
      last = PowerUpAndUpdate(last.flash, new_image, {});
      if (!last.booted) ++f.failed_boots;
      if (last.succeeded && last.flash != new_image) ++f.false_successes;
    }
    if (last.succeeded && last.flash == new_image)
      ++f.recovered;
    else
      fail(Describe(cut) + ": the re-run did not leave the new image: " + last.error);
    if (options.log && (c + 1) % 100 == 0)
      options.log(name + ": " + std::to_string(c + 1) + "/" + std::to_string(cuts.size()) + " cuts");
  }
  f.host_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return f;
}

// The default image with 16 blocks of new data: twelve across the BIOS region, three inside
// the volume named at 0xFFFFFFFC and part of the top block (the reset vector's).
std::vector<uint8_t> SixteenBlockUpdate(const std::vector<uint8_t>& old_image) {
  std::vector<uint8_t> image = old_image;
  std::mt19937 random(16);
  auto fill = [&](uint32_t from, uint32_t bytes) {
    for (uint32_t i = 0; i < bytes; ++i) image[from + i] = uint8_t(random());
  };
  for (uint32_t i = 0; i < 12; ++i) fill(0x200000 + i * 0x100000, 0x10000);
  for (uint32_t block : {0xF10000u, 0xF80000u, 0xFE0000u}) fill(block, 0x10000);
  fill(0xFF8000, 0x4000);
  return image;
}

}  // namespace

PowerCutFigures RunPowerCutUpdate(unsigned which, const PowerCutOptions& options) {
  const std::vector<uint8_t> old_image = BuildDefaultFlashImage();
  if (which == 0) return RunOne("default update", old_image, BuildDefaultUpdateImage(), options);
  return RunOne("16-block update", old_image, SixteenBlockUpdate(old_image), options);
}

std::string FormatFigures(const PowerCutFigures& f) {
  std::ostringstream o;
  char line[160];
  o << f.update << ": " << f.operations << " erases and programs, " << double(f.update_ns) / 1e9
    << " s simulated, brick window " << double(f.brick_window_ns) / 1e6 << " ms\n";
  std::snprintf(line, sizeof line,
                "  cut points %llu (and %llu cuts during a re-run); recovered %llu; false successes %llu; "
                "boots that failed %llu; not recovered %llu\n",
                (unsigned long long)f.cut_points, (unsigned long long)f.recut_points, (unsigned long long)f.recovered,
                (unsigned long long)f.false_successes, (unsigned long long)f.failed_boots,
                (unsigned long long)f.not_recovered);
  o << line;
  std::snprintf(line, sizeof line,
                "  cuts that left the boot blocks neither old nor new: %llu (a real board would not start from "
                "those; the simulated one loads its drivers from the host)\n",
                (unsigned long long)f.boot_blocks_hit);
  o << line;
  std::snprintf(line, sizeof line, "  host time %.1f s\n", f.host_seconds);
  o << line;
  for (const std::string& s : f.failures) o << "  FAILED: " << s << "\n";
  return o.str();
}

}  // namespace campaign
