// fwsim init / boot: creating a board folder and booting it.
#include <CLI/CLI.hpp>
#include <fstream>
#include <sstream>

#include "sim/board/AtomicFile.h"
#include "sim/devices/FlashCatalogue.h"
#include "tools/fwsim/DefaultImage.h"
#include "tools/fwsim/FwsimContext.h"

namespace {

struct InitOptions {
  std::string bios_guard = "off";
  std::string pch = "h";
  std::string flash_part = "W25Q128JV";
  std::string image_file;
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
  std::vector<uint8_t> flash =
      o.image_file.empty() ? BuildDefaultFlashImage(part.size) : sim::ReadBinaryFile(o.image_file);
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
  ctx.Emit({{"board", ctx.board_dir.string()}, {"flash_bytes", flash.size()}, {"part", o.flash_part},
            {"pch", o.pch}, {"bios_guard", o.bios_guard}},
           "Created board in " + ctx.board_dir.string() + ": " + o.flash_part + " (" +
               std::to_string(flash.size() >> 20) + " MiB), PCH-" + o.pch + ", BIOS Guard " + o.bios_guard + "\n");
}

}  // namespace

void RegisterBoardCommands(CLI::App& app, FwsimContext& ctx) {
  auto opts = std::make_shared<InitOptions>();
  auto* init = app.add_subcommand("init", "Create a board folder (description, flash image, variable store)");
  init->add_option("--bios-guard", opts->bios_guard, "BIOS Guard in the processor")
      ->check(CLI::IsMember({"on", "off", "capable-off"}));
  init->add_option("--pch", opts->pch, "PCH variant")->check(CLI::IsMember({"h", "lp", "unknown"}));
  init->add_option("--flash", opts->flash_part, "flash part from the catalogue");
  init->add_option("--image", opts->image_file, "flash image file to start from (default: built-in image)");
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
