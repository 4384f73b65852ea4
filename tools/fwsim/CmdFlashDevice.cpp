// fwsim flash info / flash update: the flash part as the operating system's tool learns it
// through the part-name report, and a whole-image update through software SMI 0x90.
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "sim/board/AtomicFile.h"
#include "tools/fwimage/ImageBuilder.h"
#include "tools/fwsim/CommandLine.h"
#include "tools/fwsim/FlashDeviceTool.h"
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

void RunUpdate(FwsimContext& ctx, const std::string& file, unsigned cpu, uint32_t block, const std::string& svg) {
  std::vector<uint8_t> image;
  try {
    image = sim::ReadBinaryFile(file);
  } catch (const std::exception& e) {
    throw FwsimError(std::string("cannot read ") + file + ": " + e.what());
  }
  auto board = ctx.OpenBoard();
  const bool bar = !ctx.json && isatty(STDERR_FILENO);
  auto progress = [bar](uint32_t done, uint32_t total) {
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
    r = fwsim::FlashDeviceTool(*board, cpu).Update(image, progress, block);
  } catch (const fwsim::FlashToolError& e) {
    if (bar) std::fprintf(stderr, "\n");
    throw FwsimError(std::string("flash update: ") + e.what() + " (the board folder is unchanged)");
  }
  board->Save();
  if (!svg.empty()) {
    fwimage::SvgOptions options;
    options.title = "Flash update of " + file;
    for (const auto& b : r.changed) options.blocks.push_back({b.offset, b.size, b.erased, true});
    sim::WriteFileAtomically(svg, fwimage::RenderSvgMap(fwimage::InspectImage(board->flash().contents()), options));
  }
  double device_s = double(r.device_ns) / 1e9;
  nlohmann::json j{{"flash_bytes", r.flash_bytes},     {"block_bytes", r.block_bytes},
                   {"blocks", r.blocks},               {"blocks_skipped", r.skipped},
                   {"blocks_programmed", r.programmed}, {"blocks_erased", r.erased},
                   {"erase_requests", r.erase_requests}, {"write_requests", r.write_requests},
                   {"read_requests", r.read_requests}, {"device_seconds", device_s},
                   {"host_seconds", r.host_seconds},   {"verified", true}};
  std::ostringstream o;
  o << "Updated " << Size(r.flash_bytes) << " in " << r.blocks << " blocks of " << Size(r.block_bytes) << ": "
    << r.erased << " erased and written, " << r.programmed << " written without erase, " << r.skipped
    << " unchanged; verified.\n"
    << "Simulated device time " << Seconds(device_s) << ", host time " << Seconds(r.host_seconds) << "\n";
  ctx.Emit(j, o.str());
}

}  // namespace

void RegisterFlashDeviceCommands(cli::App& flash, FwsimContext& ctx) {
  auto cpu = std::make_shared<unsigned>(0);
  auto* info = flash.add_subcommand("info", "Name the flash part and its size, as the flash service reports them");
  info->add_option("--cpu", *cpu, "processor that raises the SMI (default 0)");
  info->callback([&ctx, cpu] { RunInfo(ctx, *cpu); });

  auto file = std::make_shared<std::string>();
  auto* update = flash.add_subcommand("update", "Write a whole flash image: erase and write only what changed, then verify");
  update->add_option("image", *file, "the new flash image (as large as the flash)")->required();
  update->add_option("--cpu", *cpu, "processor that raises the SMIs (default 0)");
  auto block = std::make_shared<std::string>("0x10000");
  update->add_option("--block", *block, "erase block size in bytes, 4 KiB to 256 KiB (default 0x10000)");
  auto svg = std::make_shared<std::string>();
  update->add_option("--svg", *svg, "draw the flash map with the blocks erased, programmed and skipped into FILE");
  update->callback([&ctx, file, cpu, block, svg] {
    uint64_t bytes = ParseNumber(*block);
    if (bytes > 0x40000) throw FwsimError("--block " + *block + " is larger than 256 KiB");
    RunUpdate(ctx, *file, *cpu, uint32_t(bytes), *svg);
  });
}
