// fwsim: the simulated board's command-line tool.
#include <iostream>
#include <optional>

#include "sim/firmware/ImageLoader.h"
#include "tools/fwsim/CommandLine.h"
#include "tools/fwsim/FwsimContext.h"

void RegisterBoardCommands(cli::App& app, FwsimContext& ctx);
void RegisterVarCommands(cli::App& app, FwsimContext& ctx);
void RegisterDemoCommand(cli::App& app, FwsimContext& ctx);
void RegisterPchCommands(cli::App& app, cli::App& smi, cli::App& event, FwsimContext& ctx);
void RegisterFlashServiceCommands(cli::App& flash, cli::App& smi, FwsimContext& ctx);
void RegisterFlashDeviceCommands(cli::App& flash, FwsimContext& ctx);

int main(int argc, char** argv) {
  cli::Program app{"fwsim - a simulated Intel 300/400-series PCH board running the firmware drivers"};
  FwsimContext ctx;
  std::string board_dir = "board";
  app.add_option("--board", board_dir, "board folder (default ./board)");
  app.add_option("--trace", ctx.trace_path, "write every bus access of the drivers to FILE");
  app.add_flag("--json", ctx.json, "print machine-readable results");
  // Power cuts, counted from the end of the boot. The board keeps what its flash part
  // holds at that instant (an erase in flight leaves a sector partly erased).
  auto cut_count = [&](const char* name, const char* help, std::optional<uint64_t>* into) {
    app.add_option(name, *into, help);
  };
  cut_count("--cut-at-ns", "cut the power this many simulated nanoseconds after the boot", &ctx.cut.at_ns);
  cut_count("--cut-after-ops", "cut the power the instant the N-th flash erase or program finishes",
            &ctx.cut.on_part.after_operations);
  cut_count("--cut-inside-op", "cut the power half way through the N-th flash erase or program",
            &ctx.cut.on_part.inside_operation);
  cut_count("--cut-after-transactions", "cut the power the instant the N-th SPI transaction ends",
            &ctx.cut.on_part.after_transactions);
  app.add_option("--cut-seed", ctx.cut.on_part.seed, "which bits an interrupted erase had reached (default 1)");
  std::string images = sim::DriverImages().kind == sim::ImageKind::kEfi ? "efi" : "host";
  app.add_option("--images", images,
                 "driver images to boot: host (shared objects, the default) or efi (the uefi build's .efi files "
                 "on the x86-64 emulator)")
      ->check(cli::IsMember({"host", "efi"}));
  std::string efi_dir = sim::DriverImages().efi_dir.string();
  app.add_option("--efi-dir", efi_dir, "folder of the .efi images (default: the uefi preset's build/uefi/efi)");
  app.require_subcommand(1);
  app.parse_complete_callback([&] {
    ctx.board_dir = board_dir;
    sim::DriverImages().kind = images == "efi" ? sim::ImageKind::kEfi : sim::ImageKind::kHost;
    sim::DriverImages().efi_dir = efi_dir;
    if (images == "efi" && !sim::EmulatorAvailable())
      throw cli::UsageError("--images: this fwsim was built without the x86-64 emulator (libunicorn-dev)");
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
    rc = app.Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "fwsim: " << e.what() << "\n";
    rc = 1;
  }
  if (ctx.trace) std::fclose(ctx.trace);
  return rc;
}
