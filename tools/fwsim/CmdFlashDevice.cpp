// fwsim flash info / flash update: the flash part as the operating system's tool learns it
// through the part-name report, and a whole-image update through software SMI 0x90.
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "sim/board/AtomicFile.h"
#include "tools/fwimage/ImageBuilder.h"
#include "tools/fwsim/CommandLine.h"
#include "tools/fwsim/FlashDeviceTool.h"
#include "tools/fwsim/FlashFailure.h"
#include "tools/fwsim/FwsimContext.h"

namespace {

std::string Size(uint64_t bytes) {
  char b[48];
  if (bytes % (1u << 20) == 0)
    std::snprintf(b, sizeof b, "%llu MiB", static_cast<unsigned long long>(bytes >> 20));
  else
    std::snprintf(b, sizeof b, "%llu KiB", static_cast<unsigned long long>(bytes >> 10));
  return b;
}

std::string Seconds(double s) {
  char b[32];
  std::snprintf(b, sizeof b, "%.3f s", s);
  return b;
}

void RunInfo(FwsimContext& ctx, unsigned cpu) {
  auto board = ctx.OpenBoard();
  fwsim::PartReport p;
  try {
    p = fwsim::FlashDeviceTool(*board, cpu).ReportPart();
  } catch (const fwsim::FlashToolError& e) {
    throw FwsimError(e.what());
  }
  board->Save();
  std::string fitted = board->description()["flash"]["part"].value_or(std::string("W25Q128JV"));
  nlohmann::json j{{"part_name", p.named ? nlohmann::json(p.part_name) : nlohmann::json(nullptr)},
                   {"flash_size", p.flash_size},
                   {"fitted_part", fitted}};
  std::ostringstream o;
  if (p.named)
    o << "Flash part: " << p.part_name << ", " << Size(p.flash_size) << " (" << HexString(p.flash_size, 8) << " bytes)\n";
  else
    // Also the answer while BIOS Guard stands in front of the part: a size but no name.
    o << "Flash part: no part name reported, size " << Size(p.flash_size) << " (" << HexString(p.flash_size, 8)
      << " bytes)\n";
  o << "Fitted part: " << fitted << "\n";
  ctx.Emit(j, o.str());
}

struct UpdateArgs {
  std::string file;
  unsigned cpu = 0;
  std::string block = "0x10000";
  std::string svg;
  std::vector<std::string> regions;
  std::string verify = "changed";
  std::string strategy = "planned";
  bool force = false;
};

std::string Milliseconds(uint64_t ns) {
  char b[32];
  std::snprintf(b, sizeof b, "%.1f ms", double(ns) / 1e6);
  return b;
}

void RunUpdate(FwsimContext& ctx, const UpdateArgs& a) {
  const uint64_t block = ParseNumber(a.block);
  if (block > 0x40000) throw FwsimError("--block " + a.block + " is larger than 256 KiB");
  std::vector<uint8_t> image;
  try {
    image = sim::ReadBinaryFile(a.file);
  } catch (const std::exception& e) {
    throw FwsimError(std::string("cannot read ") + a.file + ": " + e.what());
  }
  auto board = ctx.OpenBoard();
  const std::vector<uint8_t> before = board->flash().contents();
  const bool bar = !ctx.json && isatty(STDERR_FILENO);
  fwsim::UpdateOptions options;
  options.block_bytes = uint32_t(block);
  options.regions = a.regions;
  options.verify = a.verify == "full" ? fwsim::VerifyMode::kFull : fwsim::VerifyMode::kChanged;
  options.strategy = a.strategy == "flashrom" ? fwsim::UpdateStrategy::kFlashrom : fwsim::UpdateStrategy::kPlanned;
  options.force = a.force;
  options.progress = [bar](uint32_t done, uint32_t total) {
    if (!bar || (done != total && done % 8 != 0)) return;
    constexpr int kWidth = 40;
    int filled = static_cast<int>(uint64_t(done) * kWidth / total);
    std::fprintf(stderr, "\r[%s%s] %u/%u blocks", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), done, total);
    if (done == total) std::fprintf(stderr, "\n");
    std::fflush(stderr);
  };
  fwsim::UpdateReport r;
  try {
    r = fwsim::FlashDeviceTool(*board, a.cpu).Update(image, options);
  } catch (const fwsim::FlashToolError& e) {
    if (bar) std::fprintf(stderr, "\n");
    FailFlashCommand(ctx, *board, "flash update", before, image, uint32_t(block), std::string("flash update: ") + e.what(),
                     "run the same update again");
  }
  board->Save();
  if (!a.svg.empty()) {
    fwimage::SvgOptions svg;
    svg.title = "Flash update of " + a.file;
    for (const auto& b : r.units) svg.blocks.push_back({b.offset, b.size, b.erased, b.programmed});
    sim::WriteFileAtomically(a.svg, fwimage::RenderSvgMap(fwimage::InspectImage(board->flash().contents()), svg));
  }
  double device_s = double(r.device_ns) / 1e9;
  nlohmann::json boot = nlohmann::json::array();
  for (const auto& b : r.boot_critical) boot.push_back(fwsim::HexRange(b));
  nlohmann::json j{{"flash_bytes", r.flash_bytes},       {"block_bytes", r.block_bytes},
                   {"blocks", r.blocks},                 {"blocks_skipped", r.skipped},
                   {"blocks_programmed", r.programmed},  {"blocks_erased", r.erased},
                   {"erase_requests", r.erase_requests}, {"write_requests", r.write_requests},
                   {"read_requests", r.read_requests},   {"device_seconds", device_s},
                   {"host_seconds", r.host_seconds},     {"verified", true},
                   {"verify", a.verify},                 {"strategy", a.strategy},
                   {"boot_critical", boot},              {"brick_window_ns", r.brick_window_ns},
                   {"longest_request_ns", r.longest_request_ns}, {"notes", r.notes}};
  std::ostringstream o;
  o << "Updated " << Size(r.flash_bytes) << " in " << r.blocks << " units of up to " << Size(r.block_bytes) << ": "
    << r.erased << " erased and written, " << r.programmed << " written without erase, " << r.skipped
    << " unchanged; verified (" << (a.verify == "full" || a.strategy == "flashrom" ? "whole flash" : "changed blocks")
    << ").\n";
  for (const auto& n : r.notes) o << "Note: " << n << "\n";
  o << "Simulated device time " << Seconds(device_s) << ", host time " << Seconds(r.host_seconds)
    << "; longest SMI " << Milliseconds(r.longest_request_ns) << "\n"
    << "Brick window (boot blocks neither old nor new) " << Milliseconds(r.brick_window_ns) << "\n";
  ctx.Emit(j, o.str());
}

}  // namespace

void RegisterFlashDeviceCommands(cli::App& flash, FwsimContext& ctx) {
  auto cpu = std::make_shared<unsigned>(0);
  auto* info = flash.add_subcommand("info", "Name the flash part and its size, as the flash service reports them");
  info->add_option("--cpu", *cpu, "processor that raises the SMI (default 0)");
  info->callback([&ctx, cpu] { RunInfo(ctx, *cpu); });

  auto u = std::make_shared<UpdateArgs>();
  auto* update = flash.add_subcommand("update", "Write a whole flash image: erase and write only what changed, then verify");
  update->add_option("image", u->file, "the new flash image (as large as the flash)")->required();
  update->add_option("--cpu", u->cpu, "processor that raises the SMIs (default 0)");
  update->add_option("--block", u->block, "erase block size in bytes, 4 KiB to 256 KiB (default 0x10000)");
  update->add_option("--svg", u->svg, "draw the flash map with the blocks erased, programmed and skipped into FILE");
  update->add_option("--region", u->regions, "update only this region (bios, me, gbe, pd, ec, fd; may repeat)");
  update->add_option("--verify", u->verify, "changed: read back what changed (default); full: the whole flash")
      ->check(cli::IsMember({"changed", "full"}));
  update->add_option("--strategy", u->strategy,
                     "planned (default), or flashrom: 4 KiB sectors, 256-byte pages, whole-flash verify")
      ->check(cli::IsMember({"planned", "flashrom"}));
  update->add_flag("--force", u->force, "write an image even when the tool's own checks find it broken");
  update->callback([&ctx, u] { RunUpdate(ctx, *u); });
}
