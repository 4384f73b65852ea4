// fwsim demo: a day in the life of the default board, each step saying what it proves.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <sstream>

#include "sim/board/AtomicFile.h"
#include "tools/fwsim/DefaultImage.h"
#include "tools/fwsim/FwsimContext.h"

namespace {

struct DemoOptions {
  std::string bios_guard = "off";
  std::string pch = "h";
  std::string keep_dir;
};

struct DemoLog {
  const FwsimContext& ctx;
  nlohmann::json steps = nlohmann::json::array();
  void Step(const std::string& name, const std::string& proves, const nlohmann::json& result, const std::string& text,
            bool ok) {
    steps.push_back({{"step", name}, {"proves", proves}, {"ok", ok}, {"result", result}});
    if (!ctx.json) {
      std::cout << "\n== " << name << (ok ? "" : "  [FAILED]") << "\n   " << proves << "\n" << text;
      std::cout.flush();
    }
  }
};

void RunDemo(FwsimContext& ctx, const DemoOptions& o) {
  namespace fs = std::filesystem;
  auto started = std::chrono::steady_clock::now();
  fs::path dir = o.keep_dir.empty() ? fs::temp_directory_path() / ("fwsim-demo-" + std::to_string(getpid()))
                                    : fs::path(o.keep_dir);
  fs::remove_all(dir);
  fs::create_directories(dir);
  DemoLog log{ctx};
  bool all_ok = true;

  // 1. A fresh default board.
  toml::table d = sim::Board::DefaultDescription();
  d.insert_or_assign("cpu", toml::table{{"bios_guard", o.bios_guard}});
  d.insert_or_assign("pch", toml::table{{"variant", o.pch}});
  auto flash = BuildDefaultFlashImage();
  {
    std::ostringstream text;
    text << d << "\n";
    sim::WriteFileAtomically(dir / "board.toml", text.str());
    sim::WriteFileAtomically(dir / "flash.bin", flash);
    sim::WriteFileAtomically(dir / "variables.json", std::string("{\"variables\": []}\n"));
  }
  FwsimContext board_ctx = ctx;
  board_ctx.board_dir = dir;

  // 2. Boot.
  sim::BootReport report;
  auto board = board_ctx.OpenBoard(&report);
  bool boot_ok = true;
  for (auto& i : report.images)
    if (i.loaded && EFI_ERROR(i.status)) boot_ok = false;
  all_ok &= boot_ok;
  log.Step("boot", "the dispatcher starts every driver image with its own module state, inside SMM for the SMM drivers",
           BootReportJson(report), BootReportText(report), boot_ok);

  // 3. The variable store.
  {
    nlohmann::json vars = nlohmann::json::array();
    std::ostringstream t;
    for (const auto* v : board->firmware().variables().All()) {
      vars.push_back({{"name", sim::Utf16ToUtf8(v->name)}, {"guid", sim::GuidToString(v->guid)},
                      {"attributes", v->attributes}, {"size", v->data.size()}});
      t << "   " << sim::GuidToString(v->guid) << ":" << sim::Utf16ToUtf8(v->name) << " attributes "
        << HexString(v->attributes) << ", " << v->data.size() << " bytes\n";
    }
    if (vars.empty()) t << "   (empty)\n";
    bool expect = report.bios_guard_active;
    bool ok = report.capsule_variable_present == expect;
    all_ok &= ok;
    log.Step("variable store",
             expect ? "BIOS Guard is on, so BiosGuardVarDxe wrote BiosGuardCapsuleVariable (NV+BS+RT, 16 zero bytes)"
                    : "BIOS Guard is off, so BiosGuardVarDxe wrote nothing (and never read MSR 0x110)",
             vars, t.str(), ok);
  }

  // 4. Reboot keeps flash and variables.
  {
    board->Save();
    auto before = board->flash().contents();
    auto vars_before = board->firmware().variables().All().size();
    auto again = board->Reboot();
    bool ok = board->flash().contents() == before && board->firmware().variables().All().size() == vars_before;
    all_ok &= ok;
    log.Step("reboot", "a reboot reloads every image from scratch and keeps the flash and the non-volatile variables",
             BootReportJson(again), "   boot " + std::to_string(again.boot_count) + ": flash and variables kept\n", ok);
    board->Save();
  }

  auto host_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
  if (ctx.json) {
    std::cout << nlohmann::json{{"demo", log.steps}, {"ok", all_ok}, {"host_ms", host_ms}, {"board", dir.string()}}.dump(2)
              << "\n";
  } else {
    std::cout << "\nDemo " << (all_ok ? "finished" : "FAILED") << " in " << host_ms << " ms of host time";
    if (!o.keep_dir.empty()) std::cout << "; board kept in " << dir.string();
    std::cout << "\n";
  }
  board.reset();
  if (o.keep_dir.empty()) fs::remove_all(dir);
  if (!all_ok) throw FwsimError("demo step failed");
}

}  // namespace

void RegisterDemoCommand(CLI::App& app, FwsimContext& ctx) {
  auto opts = std::make_shared<DemoOptions>();
  auto* demo = app.add_subcommand("demo", "Boot the built-in default board and play a day in its life");
  demo->add_option("--bios-guard", opts->bios_guard, "BIOS Guard in the processor")
      ->check(CLI::IsMember({"on", "off", "capable-off"}));
  demo->add_option("--pch", opts->pch, "PCH variant")->check(CLI::IsMember({"h", "lp", "unknown"}));
  demo->add_option("--keep", opts->keep_dir, "keep the demo board in this folder");
  demo->callback([&ctx, opts] { RunDemo(ctx, *opts); });
}
