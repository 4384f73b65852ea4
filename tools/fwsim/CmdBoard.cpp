// fwsim init / boot: creating a board folder and booting it.
#include <fstream>
#include <sstream>

#include "sim/board/AtomicFile.h"
#include "sim/devices/FlashCatalogue.h"
#include "sim/devices/SpiControllerDescriptor.h"
#include "tools/fwsim/CommandLine.h"
#include "tools/fwsim/DefaultImage.h"
#include "tools/fwsim/FwsimContext.h"

namespace {

struct InitOptions {
  std::string bios_guard = "off";
  std::string pch = "h";
  std::string flash_part = "W25Q128JV";
  std::string image_file;
  std::string spi_clock;  // MHz; empty: the default image's
  std::string read_mode;
  bool force = false;
};

void RunInit(FwsimContext& ctx, const InitOptions& o) {
  namespace fs = std::filesystem;
  if (fs::exists(ctx.board_dir / "board.toml") && !o.force)
    throw FwsimError("a board already exists in " + ctx.board_dir.string() + " (use --force to replace it)");
  toml::table d = sim::Board::DefaultDescription();
  d.insert_or_assign("cpu", toml::table{{"bios_guard", o.bios_guard}});
  d.insert_or_assign("pch", toml::table{{"variant", o.pch}});
  d.insert_or_assign("flash", toml::table{{"part", o.flash_part}, {"image", "flash.bin"}});
  const sim::FlashPartDatasheet& part = sim::FindFlashPart(o.flash_part);
  if (!o.image_file.empty() && !(o.spi_clock.empty() && o.read_mode.empty()))
    throw FwsimError("--spi-clock and --read choose the built-in image's descriptor; " + o.image_file +
                     " carries its own");
  DefaultImageBus bus{part.max_clock_mhz, o.spi_clock.empty() ? 0u : uint32_t(std::stoul(o.spi_clock)), o.read_mode};
  std::vector<uint8_t> flash =
      o.image_file.empty() ? BuildDefaultFlashImage(part.size, bus) : sim::ReadBinaryFile(o.image_file);
  if (flash.size() != part.size)
    throw FwsimError(o.image_file + " holds " + std::to_string(flash.size()) + " bytes, the " + part.name + " " +
                     std::to_string(part.size) + ": a flash image must be exactly as large as the part");
  // Validate by building the board in memory before anything is written.
  { auto probe = sim::Board::CreateInMemory(d, flash); }
  fs::create_directories(ctx.board_dir);
  std::ostringstream text;
  text << "# fwsim board description\n" << d << "\n";
  sim::WriteFileAtomically(ctx.board_dir / "flash.bin", flash);
  sim::WriteFileAtomically(ctx.board_dir / "variables.json", std::string("{\n  \"variables\": []\n}\n"));
  sim::WriteFileAtomically(ctx.board_dir / "board.toml", text.str());
  // The SPI controller's own reading of the descriptor: the clock the board now runs at.
  sim::SpiControllerDescriptor fd = sim::SpiControllerDescriptor::Load(flash);
  std::string spi = !fd.valid ? "no descriptor (17 MHz)"
                    : fd.fast_read ? "fast read at " + std::to_string(fd.fast_read_hz / 1'000'000) + " MHz"
                                   : "read at " + std::to_string(fd.read_hz / 1'000'000) + " MHz";
  ctx.Emit({{"board", ctx.board_dir.string()}, {"flash_bytes", flash.size()}, {"part", o.flash_part},
            {"pch", o.pch}, {"bios_guard", o.bios_guard}, {"spi", spi}},
           "Created board in " + ctx.board_dir.string() + ": " + o.flash_part + " (" +
               std::to_string(flash.size() >> 20) + " MiB), PCH-" + o.pch + ", BIOS Guard " + o.bios_guard +
               ", SPI " + spi + "\n");
}

}  // namespace

void RegisterBoardCommands(cli::App& app, FwsimContext& ctx) {
  auto opts = std::make_shared<InitOptions>();
  auto* init = app.add_subcommand("init", "Create a board folder (description, flash image, variable store)");
  init->add_option("--bios-guard", opts->bios_guard, "BIOS Guard in the processor")
      ->check(cli::IsMember({"on", "off", "capable-off"}));
  init->add_option("--pch", opts->pch, "PCH variant")->check(cli::IsMember({"h", "lp", "unknown"}));
  init->add_option("--flash", opts->flash_part, "flash part from the catalogue");
  init->add_option("--image", opts->image_file, "flash image file to start from (default: built-in image)");
  init->add_option("--spi-clock", opts->spi_clock, "SPI clock in MHz the built-in image's descriptor gives the PCH "
                   "(default: 48, or the fastest the part takes)")
      ->check(cli::IsMember({"17", "30", "48"}));
  init->add_option("--read", opts->read_mode, "read cycles of the built-in image's descriptor: fast (0Bh, default) "
                   "or normal (03h)")
      ->check(cli::IsMember({"fast", "normal"}));
  init->add_flag("--force", opts->force, "replace an existing board");
  init->callback([&ctx, opts] { RunInit(ctx, *opts); });

  auto* boot = app.add_subcommand("boot", "Boot the board and print what each driver registered");
  boot->callback([&ctx] {
    sim::BootReport report;
    auto board = ctx.OpenBoard(&report);
    board->Save();
    ctx.Emit(BootReportJson(report), BootReportText(report));
  });
}
