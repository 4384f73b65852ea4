// fwsim: the simulated board's command-line tool.
#include <CLI/CLI.hpp>
#include <iostream>

#include "sim/firmware/ImageLoader.h"
#include "tools/fwsim/FwsimContext.h"

void RegisterBoardCommands(CLI::App& app, FwsimContext& ctx);
void RegisterVarCommands(CLI::App& app, FwsimContext& ctx);
void RegisterDemoCommand(CLI::App& app, FwsimContext& ctx);
void RegisterPchCommands(CLI::App& app, CLI::App& smi, CLI::App& event, FwsimContext& ctx);
void RegisterFlashServiceCommands(CLI::App& flash, CLI::App& smi, FwsimContext& ctx);
void RegisterFlashDeviceCommands(CLI::App& flash, FwsimContext& ctx);

int main(int argc, char** argv) {
  CLI::App app{"fwsim - a simulated Intel 300/400-series PCH board running the firmware drivers"};
  FwsimContext ctx;
  std::string board_dir = "board";
  app.add_option("--board", board_dir, "board folder (default ./board)");
  app.add_option("--trace", ctx.trace_path, "write every bus access of the drivers to FILE");
  app.add_flag("--json", ctx.json, "print machine-readable results");
  std::string images = sim::DriverImages().kind == sim::ImageKind::kEfi ? "efi" : "host";
  app.add_option("--images", images,
                 "driver images to boot: host (shared objects, the default) or efi (the uefi build's .efi files "
                 "on the x86-64 emulator)")
      ->check(CLI::IsMember({"host", "efi"}));
  std::string efi_dir = sim::DriverImages().efi_dir.string();
  app.add_option("--efi-dir", efi_dir, "folder of the .efi images (default: the uefi preset's build/uefi/efi)");
  app.require_subcommand(1);
  app.parse_complete_callback([&] {
    ctx.board_dir = board_dir;
    sim::DriverImages().kind = images == "efi" ? sim::ImageKind::kEfi : sim::ImageKind::kHost;
    sim::DriverImages().efi_dir = efi_dir;
    if (images == "efi" && !sim::EmulatorAvailable())
      throw CLI::ValidationError("--images", "this fwsim was built without the x86-64 emulator (libunicorn-dev)");
  });

  RegisterBoardCommands(app, ctx);
  RegisterVarCommands(app, ctx);
  RegisterDemoCommand(app, ctx);
  auto* smi = app.add_subcommand("smi", "Raise a software SMI as the operating system does");
  smi->require_subcommand(1);
  auto* event = app.add_subcommand("event", "Raise a platform event that SMM handles");
  event->require_subcommand(1);
  RegisterPchCommands(app, *smi, *event, ctx);
  auto* flash = app.add_subcommand("flash", "The board's flash, as the operating system's flash tool reaches it");
  flash->require_subcommand(1);
  RegisterFlashServiceCommands(*flash, *smi, ctx);
  RegisterFlashDeviceCommands(*flash, ctx);

  int rc = 0;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and version texts go out as CLI11 prints them; a bad command line is one error line.
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
      rc = app.exit(e);
    } else {
      std::cerr << "fwsim: " << e.what() << " (fwsim --help lists the commands)\n";
      rc = e.get_exit_code();
    }
  } catch (const std::exception& e) {
    std::cerr << "fwsim: " << e.what() << "\n";
    rc = 1;
  }
  if (ctx.trace) std::fclose(ctx.trace);
  return rc;
}
