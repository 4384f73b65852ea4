// fwsim demo: a day in the life of the default board, each step saying what it proves.
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <sstream>

#include "flash/service/FlashServiceRequest.h"
#include "sim/board/AtomicFile.h"
#include "sim/board/MemoryMap.h"
#include "sim/devices/GpioCommunity.h"
#include "sim/devices/PchDevices.h"
#include "tools/fwsim/CommandLine.h"
#include "tools/fwsim/DefaultImage.h"
#include "tools/fwsim/FlashDeviceTool.h"
#include "tools/fwsim/FwsimContext.h"
#include "tools/JsonText.h"

namespace {

constexpr uint8_t kFlashServiceSmi = 0x90;
constexpr uint8_t kBoardServiceSmi = 0xE0;
constexpr uint64_t kUpperBits = 0x0123456700000000ULL;  // must survive every 0xE0 call

struct DemoOptions {
  std::string bios_guard = "off";
  std::string pch = "h";
  std::string keep_dir;
};

class Demo {
 public:
  Demo(FwsimContext& ctx, const DemoOptions& o) : ctx_(ctx), o_(o) {}
  void Run();

 private:
  void Step(const std::string& name, const std::string& proves, const nlohmann::json& result, const std::string& text,
            bool ok) {
    all_ok_ &= ok;
    steps_.push_back({{"step", name}, {"proves", proves}, {"ok", ok}, {"result", result}});
    if (!ctx_.json) {
      std::cout << "\n== " << name << (ok ? "" : "   [FAILED]") << "\n   proves: " << proves << "\n" << text;
      std::cout.flush();
    }
  }
  void CreateBoard();
  void Boot();
  void FlashInfo();
  void FlashUpdate();
  void PowerCutDuringUpdate();
  void AreaLookup();
  void HostileOs();
  void BoardService();
  void PowerButtonAndS5();
  void Variables();
  void RebootKeepsFlash();

  std::pair<uint64_t, uint64_t> CallBoardService(uint16_t ax, uint16_t bx);
  uint32_t PadDw0(const std::string& pad);

  FwsimContext& ctx_;
  DemoOptions o_;
  std::filesystem::path dir_;
  std::unique_ptr<sim::Board> board_;
  nlohmann::json steps_ = nlohmann::json::array();
  bool all_ok_ = true;
  std::vector<uint8_t> update_image_;
  std::vector<uint8_t> first_image_;
  std::vector<uint8_t> expected_flash_;  // what the flash should hold after the steps so far
};

void Demo::CreateBoard() {
  namespace fs = std::filesystem;
  dir_ = o_.keep_dir.empty() ? fs::temp_directory_path() / ("fwsim-demo-" + std::to_string(getpid())) : fs::path(o_.keep_dir);
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  toml::table d = sim::Board::DefaultDescription();
  d.insert_or_assign("cpu", toml::table{{"bios_guard", o_.bios_guard}});
  d.insert_or_assign("pch", toml::table{{"variant", o_.pch}});
  std::ostringstream text;
  text << d << "\n";
  sim::WriteFileAtomically(dir_ / "board.toml", text.str());
  first_image_ = BuildDefaultFlashImage();
  sim::WriteFileAtomically(dir_ / "flash.bin", first_image_);
  sim::WriteFileAtomically(dir_ / "variables.json", std::string("{\"variables\": []}\n"));
  update_image_ = BuildDefaultUpdateImage();
}

void Demo::Boot() {
  FwsimContext board_ctx = ctx_;
  board_ctx.board_dir = dir_;
  sim::BootReport report;
  board_ = board_ctx.OpenBoard(&report);
  ctx_.trace = board_ctx.trace;
  bool ok = true;
  for (auto& i : report.images) ok &= i.loaded && !EFI_ERROR(i.status);
  Step("boot", "the dispatcher starts the board's flash driver, the three SMM drivers (inside SMM) and the DXE driver, "
       "each as its own image with its own module state",
       BootReportJson(report), BootReportText(report), ok);
}

void Demo::FlashInfo() {
  auto p = fwsim::FlashDeviceTool(*board_).ReportPart();
  bool guard = board_->last_boot().bios_guard_active;
  bool ok = p.flash_size == board_->flash().contents().size() && (guard ? !p.named : p.named);
  nlohmann::json j{{"part_name", p.named ? nlohmann::json(p.part_name) : nlohmann::json(nullptr)},
                   {"flash_size", p.flash_size}};
  std::ostringstream t;
  if (p.named)
    t << "   \"$BDR\" function 0: " << p.part_name << ", " << (p.flash_size >> 20) << " MiB\n";
  else
    t << "   \"$BDR\" function 0: size " << (p.flash_size >> 20) << " MiB, no part name (BIOS Guard device selected)\n";
  Step("flash info",
       guard ? "with BIOS Guard active the selected flash device is the BIOS Guard device, which reports no part name"
             : "SpiFlashSmm reads the JEDEC id through the PCH SPI controller and finds the part in its tables",
       j, t.str(), ok);
}

void Demo::FlashUpdate() {
  const bool bar = !ctx_.json && isatty(STDERR_FILENO);
  auto progress = [bar](uint32_t done, uint32_t total) {
    if (!bar || (done != total && done % 8 != 0)) return;
    int filled = static_cast<int>(uint64_t(done) * 40 / total);
    std::fprintf(stderr, "\r   [%s%s] %u/%u blocks", std::string(filled, '#').c_str(), std::string(40 - filled, '.').c_str(),
                 done, total);
    if (done == total) std::fprintf(stderr, "\n");
  };
  nlohmann::json j;
  std::ostringstream t;
  bool ok = false;
  try {
    auto r = fwsim::FlashDeviceTool(*board_).Update(update_image_, progress);
    ok = board_->flash().contents() == update_image_;
    expected_flash_ = update_image_;
    j = {{"blocks", r.blocks},          {"blocks_erased", r.erased},         {"blocks_programmed", r.programmed},
         {"blocks_skipped", r.skipped}, {"device_seconds", r.device_ns / 1e9}, {"host_seconds", r.host_seconds},
         {"flash_equals_new_image", ok}};
    char b[256];
    std::snprintf(b, sizeof b,
                  "   %u blocks of %u KiB: %u erased and written, %u written without erase, %u unchanged; verified\n"
                  "   simulated device time %.3f s, host time %.3f s\n",
                  r.blocks, r.block_bytes >> 10, r.erased, r.programmed, r.skipped, r.device_ns / 1e9, r.host_seconds);
    t << b;
  } catch (const std::exception& e) {
    j = {{"error", e.what()}};
    t << "   " << e.what() << "\n";
  }
  board_->Save();
  Step("flash update",
       "an OS tool rewrites the BIOS region through SMI 0x90 (\"$GB1\" read, erase, write); the writes travel through "
       "PlatformFlashProtocol and real SPI controller cycles to the simulated part",
       j, t.str(), ok);
}

// The board goes back to its first image, and the power goes half way through the first
// erase of that update. The folder keeps what the part holds; the board powers up from it,
// the tool names the blocks that are neither old nor new and runs the same update again.
void Demo::PowerCutDuringUpdate() {
  FwsimContext board_ctx = ctx_;
  board_ctx.board_dir = dir_;
  board_->Save();
  board_.reset();
  board_ctx.cut = {};
  board_ctx.cut.on_part.inside_operation = 1;
  board_ = board_ctx.OpenBoard();
  const std::vector<uint8_t> before = board_->flash().contents();
  nlohmann::json j;
  std::ostringstream t;
  bool cut = false;
  try {
    fwsim::FlashDeviceTool(*board_).Update(first_image_);
  } catch (const fwsim::PowerLostError& e) {
    cut = true;
    t << "   " << e.what() << "\n";
  } catch (const std::exception& e) {
    t << "   " << e.what() << "\n";
  }
  board_->Save();
  const auto mixed = fwsim::RangesNeitherOldNorNew(before, first_image_, board_->flash().contents(), 0x10000);
  nlohmann::json ranges = nlohmann::json::array();
  for (const auto& r : mixed) ranges.push_back(fwsim::HexRange(r));
  t << "   power lost inside the first erase; the folder keeps the flash as the part holds it\n"
    << "   neither old nor new:";
  for (const auto& r : mixed) t << " " << fwsim::HexRange(r);
  t << "\n   the board powers up from its folder";
  board_.reset();
  board_ctx.cut = {};
  sim::BootReport report;
  board_ = board_ctx.OpenBoard(&report);
  bool booted = true;
  for (auto& i : report.images) booted &= i.loaded && !EFI_ERROR(i.status);
  auto part = fwsim::FlashDeviceTool(*board_).ReportPart();
  booted &= part.named || report.bios_guard_active;
  t << (booted ? " and boots; the part is identified again\n" : " but does NOT boot cleanly\n");
  bool recovered = false;
  try {
    auto r = fwsim::FlashDeviceTool(*board_).Update(first_image_);
    recovered = board_->flash().contents() == first_image_;
    t << "   the same update run again: " << r.erased << " blocks erased and written, " << r.programmed
      << " written, verified\n";
    j["rerun_device_seconds"] = r.device_ns / 1e9;
  } catch (const std::exception& e) {
    t << "   the same update run again failed: " << e.what() << "\n";
  }
  board_->Save();
  expected_flash_ = first_image_;
  j["power_lost"] = cut;
  j["neither_old_nor_new"] = ranges;
  j["booted_after_cut"] = booted;
  j["recovered"] = recovered;
  Step("power cut during an update",
       "power lost half way through an erase leaves a block neither old nor new; the board still boots, the tool "
       "names that block and the same update, run again, finishes and verifies",
       j, t.str(), cut && !mixed.empty() && booted && recovered);
}

void Demo::AreaLookup() {
  FlashServiceRequest r{};
  std::memcpy(&r.Signature, "$SDB", 4);
  r.Function = 3;
  uint64_t at = board_->OsAlloc(sizeof r, 8);
  board_->bus().PokeBytes(at, &r, sizeof r);
  board_->SetCpuRegister(0, EFI_SMM_SAVE_STATE_REGISTER_RBX, at & 0xFFFFFFFF);
  board_->SetCpuRegister(0, EFI_SMM_SAVE_STATE_REGISTER_RCX, at >> 32);
  board_->RaiseSoftwareSmi(0, kFlashServiceSmi);
  board_->bus().PeekBytes(at, &r, sizeof r);
  std::string text;
  if (r.Status == EFI_SUCCESS && r.Size > 0) {
    auto data = fwsim::FlashDeviceTool(*board_).Read(r.Address, std::min<uint32_t>(r.Size, 64));
    for (uint8_t c : data) {
      if (c == 0) break;
      text += (c >= 32 && c < 127) ? static_cast<char>(c) : '.';
    }
  }
  bool ok = r.Status == EFI_SUCCESS && text.rfind("SDB area", 0) == 0;
  Step("area lookup",
       "\"$SDB\" function 3 walks the firmware volume named at 0xFFFFFFFC and finds the area file by its GUID",
       {{"status", HexString(r.Status, 16)}, {"address", HexString(r.Address, 8)}, {"size", r.Size}, {"text", text}},
       "   \"$SDB\" area at " + HexString(r.Address, 8) + ", " + std::to_string(r.Size) + " bytes: \"" + text + "\"\n",
       ok);
}

std::pair<uint64_t, uint64_t> Demo::CallBoardService(uint16_t ax, uint16_t bx) {
  board_->SetCpuRegister(1, EFI_SMM_SAVE_STATE_REGISTER_RAX, kUpperBits | ax);
  board_->SetCpuRegister(1, EFI_SMM_SAVE_STATE_REGISTER_RBX, kUpperBits | bx);
  board_->RaiseSoftwareSmi(1, kBoardServiceSmi);
  return {board_->CpuRegister(1, EFI_SMM_SAVE_STATE_REGISTER_RAX), board_->CpuRegister(1, EFI_SMM_SAVE_STATE_REGISTER_RBX)};
}

// The operating system turns against the board: it moves the SPI controller's BAR into
// SMRAM before a flash write, and hands SMM a request record that lies over BIOS_SPI_BC (so
// that the Status written back would set the write-protect disable bit).
void Demo::HostileOs() {
  constexpr uint64_t kSpiBar0 = 0xE00FD010;
  constexpr uint64_t kBiosSpiBc = 0xE00FD0DC;
  constexpr uint64_t kSmramLastPage = sim::kTsegBase + sim::kTsegSize - 0x1000;
  sim::SpiController& spi = board_->flash().controller();
  auto protection = [&] {
    std::vector<uint32_t> v = {spi.ConfigRead(0xDC, 4), spi.ConfigRead(0x10, 4), spi.ConfigRead(0x04, 2),
                               uint32_t(spi.MmioRead(0x04, 2)) & 0x8800};
    for (unsigned i = 0; i < 5; ++i) v.push_back(uint32_t(spi.MmioRead(0x84 + 4 * i, 4)));
    return v;
  };
  const uint64_t smram_before = board_->SmramDigest();
  const std::vector<uint32_t> protection_before = protection();
  const std::vector<uint8_t> flash_before = board_->flash().contents();
  auto raise = [&](uint64_t record) {
    board_->SetCpuRegister(0, EFI_SMM_SAVE_STATE_REGISTER_RBX, record & 0xFFFFFFFF);
    board_->SetCpuRegister(0, EFI_SMM_SAVE_STATE_REGISTER_RCX, record >> 32);
    return board_->RaiseSoftwareSmi(0, kFlashServiceSmi);
  };

  // 1. BAR0 into SMRAM, then a 64-byte write.
  FlashServiceRequest r{};
  std::memcpy(&r.Signature, "$GB1", 4);
  r.Function = 6;
  r.Address = 0xFFF10000;
  r.Size = 64;
  const std::vector<uint8_t> data(64, 0xA5);
  r.Buffer = uint32_t(board_->OsAlloc(data.size(), 16));
  board_->bus().PokeBytes(r.Buffer, data.data(), data.size());
  const uint64_t at = board_->OsAlloc(sizeof r, 8);
  board_->bus().PokeBytes(at, &r, sizeof r);
  const uint32_t home = spi.ConfigRead(0x10, 4);
  board_->bus().MemWrite(kSpiBar0, 4, kSmramLastPage);
  auto moved = raise(at);
  board_->bus().PeekBytes(at, &r, sizeof r);
  board_->bus().MemWrite(kSpiBar0, 4, home);

  // 2. A record whose Status field (offset 8) is BIOS_SPI_BC.
  auto over_bc = raise(kBiosSpiBc - 8);

  const bool smram_same = board_->SmramDigest() == smram_before;
  const bool protection_same = protection() == protection_before;
  const bool flash_same = board_->flash().contents() == flash_before;
  const bool ok = r.Status == EFI_ACCESS_DENIED && moved.fault.empty() && over_bc.fault.empty() && smram_same &&
                  protection_same && flash_same;
  std::ostringstream text;
  text << "   BAR0 moved to " << HexString(kSmramLastPage, 8) << " (SMRAM), \"$GB1\" write of 64 bytes: status "
       << HexString(r.Status, 16) << (r.Status == EFI_ACCESS_DENIED ? " (EFI_ACCESS_DENIED)" : "") << "\n"
       << "   record at " << HexString(kBiosSpiBc - 8, 8) << " (Status over BIOS_SPI_BC): "
       << (protection_same ? "refused, BIOS_SPI_BC still " + HexString(protection_before[0], 8) : "BIOS_SPI_BC CHANGED")
       << "\n   SMRAM " << (smram_same ? "unchanged" : "CHANGED") << ", protection registers (BIOS_SPI_BC, BAR0, "
       << "PCICMD, FLOCKDN/WRSDIS, PR0-PR4) " << (protection_same ? "unchanged" : "CHANGED") << ", flash "
       << (flash_same ? "intact" : "CHANGED") << "\n";
  Step("hostile OS",
       "the flash drivers took the SPI controller's base and the memory maps at start-up: an OS that moves BAR0 into "
       "SMRAM or places a record over BIOS_SPI_BC is refused, and SMRAM, the protection registers and the flash stay "
       "as they were",
       {{"bar0_moved_to", HexString(kSmramLastPage, 8)},
        {"write_status", HexString(r.Status, 16)},
        {"record_over_bios_spi_bc", HexString(kBiosSpiBc - 8, 8)},
        {"bios_spi_bc", HexString(protection()[0], 8)},
        {"smram_unchanged", smram_same},
        {"protection_registers_unchanged", protection_same},
        {"flash_intact", flash_same}},
       text.str(), ok);
}

void Demo::BoardService() {
  auto [rax0, rbx0] = CallBoardService(0x0000, 0x55AA);
  auto [rax2, rbx2] = CallBoardService(0x0200, 0x0000);
  auto [rax3, rbx3] = CallBoardService(0x0300, 0x0000);
  bool upper = ((rax0 | rbx0 | rax2 | rbx2 | rax3 | rbx3) >> 32) == (kUpperBits >> 32);
  bool ok = (rax0 & 0xFFFF) == 0 && (rbx0 & 0xFFFF) == 0xAA55 && (rbx2 & 0xFFFF) <= 1 && upper;
  std::ostringstream t;
  t << "   presence check (AH=0, BX=0x55AA) on processor 1: AX=" << HexString(rax0 & 0xFFFF, 4)
    << " BX=" << HexString(rbx0 & 0xFFFF, 4) << "\n   ME manufacturing mode (AH=2): BX=" << HexString(rbx2 & 0xFFFF, 4)
    << "\n   ME operation mode (AH=3): BL=" << HexString(rbx3 & 0xFF, 2) << "\n   upper halves of RAX/RBX "
    << (upper ? "kept" : "CHANGED") << " (" << HexString(kUpperBits >> 32, 8) << ")\n";
  Step("board service 0xE0",
       "BoardSmiServiceSmm answers AH/BX from the calling processor's saved registers and touches only AX and BX",
       {{"presence", {{"ax", HexString(rax0 & 0xFFFF, 4)}, {"bx", HexString(rbx0 & 0xFFFF, 4)}}},
        {"me_manufacturing_mode", rbx2 & 0xFFFF},
        {"me_operation_mode", rbx3 & 0xFF},
        {"upper_halves_kept", upper}},
       t.str(), ok);
}

uint32_t Demo::PadDw0(const std::string& pad) {
  auto ref = board_->pch().FindPad(pad);
  if (!ref) return 0;
  const auto& group = ref->community->groups()[ref->group];
  return ref->community->WindowRead(static_cast<uint16_t>(group.layout.pad_cfg_dw0 + 16 * ref->pad));
}

void Demo::PowerButtonAndS5() {
  const bool lp = o_.pch == "lp";
  auto pads = [&] { return std::pair{PadDw0("GPP_D9"), PadDw0("GPP_D19")}; };
  auto before = pads();
  board_->PressPowerButton();
  auto after_button = pads();
  // A reboot puts the pads back to their power-on state; then the platform enters S5.
  board_->Reboot();
  auto after_reboot = pads();
  board_->EnterSleep(SxS5);
  auto after_s5 = pads();
  auto high = [](std::pair<uint32_t, uint32_t> p) { return (p.first & p.second & 1) != 0; };
  auto rest_kept = [](uint32_t a, uint32_t b) { return (a & ~1u) == (b & ~1u); };
  bool ok = lp ? (before == after_button && after_reboot == after_s5)
               : (!high(before) && high(after_button) && high(after_s5) && rest_kept(before.first, after_button.first) &&
                  rest_kept(before.second, after_button.second));
  std::ostringstream t;
  auto line = [&](const char* when, std::pair<uint32_t, uint32_t> p) {
    t << "   " << when << ": GPP_D9 DW0=" << HexString(p.first, 8) << " (TX " << (p.first & 1) << "), GPP_D19 DW0="
      << HexString(p.second, 8) << " (TX " << (p.second & 1) << ")\n";
  };
  line("before            ", before);
  line("after power button", after_button);
  line("after reboot      ", after_reboot);
  line("after S5 entry    ", after_s5);
  Step("power button and S5",
       lp ? "on a PCH-LP the two PCH-H pad ids are not valid, so SleepGpioSmm touches no GPIO register"
          : "SleepGpioSmm drives GPP_D9 and GPP_D19 high on power button and S5 entry, changing only GPIOTXSTATE",
       {{"before", {before.first, before.second}},
        {"after_power_button", {after_button.first, after_button.second}},
        {"after_s5", {after_s5.first, after_s5.second}}},
       t.str(), ok);
}

void Demo::Variables() {
  nlohmann::json vars = nlohmann::json::array();
  std::ostringstream t;
  for (const auto* v : board_->firmware().variables().All()) {
    vars.push_back({{"name", sim::Utf16ToUtf8(v->name)}, {"guid", sim::GuidToString(v->guid)},
                    {"attributes", v->attributes}, {"size", v->data.size()}});
    t << "   " << sim::GuidToString(v->guid) << ":" << sim::Utf16ToUtf8(v->name) << " attributes "
      << HexString(v->attributes) << ", " << v->data.size() << " bytes\n";
  }
  if (vars.empty()) t << "   (empty)\n";
  bool expect = board_->last_boot().bios_guard_active;
  Step("variable store",
       expect ? "BIOS Guard is on, so BiosGuardVarDxe wrote BiosGuardCapsuleVariable (NV+BS+RT, 16 zero bytes)"
              : "BIOS Guard is off, so BiosGuardVarDxe wrote nothing (and never read MSR 0x110)",
       vars, t.str(), board_->last_boot().capsule_variable_present == expect);
}

void Demo::RebootKeepsFlash() {
  board_->Save();
  auto vars_before = board_->firmware().variables().All().size();
  auto again = board_->Reboot();
  bool ok = board_->flash().contents() == expected_flash_ && board_->firmware().variables().All().size() == vars_before;
  auto p = fwsim::FlashDeviceTool(*board_).ReportPart();
  ok &= p.flash_size == expected_flash_.size();
  board_->Save();
  Step("reboot", "a reboot reloads every image from scratch and keeps the updated flash and the non-volatile variables",
       BootReportJson(again),
       "   boot " + std::to_string(again.boot_count) + ": flash still holds the last image written; variables kept\n", ok);
}

void Demo::Run() {
  auto started = std::chrono::steady_clock::now();
  CreateBoard();
  Boot();
  FlashInfo();
  FlashUpdate();
  AreaLookup();
  HostileOs();
  PowerCutDuringUpdate();
  BoardService();
  PowerButtonAndS5();
  Variables();
  RebootKeepsFlash();
  auto host_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
  if (ctx_.json) {
    std::cout << JsonText(nlohmann::json{{"demo", steps_}, {"ok", all_ok_}, {"host_ms", host_ms}, {"board", dir_.string()}})
              << "\n";
  } else {
    std::cout << "\nDemo " << (all_ok_ ? "finished" : "FAILED") << " in " << host_ms << " ms of host time";
    if (!o_.keep_dir.empty()) std::cout << "; board kept in " << dir_.string();
    std::cout << "\n";
  }
  board_.reset();
  if (o_.keep_dir.empty()) std::filesystem::remove_all(dir_);
  if (!all_ok_) throw FwsimError("a demo step failed");
}

}  // namespace

void RegisterDemoCommand(cli::App& app, FwsimContext& ctx) {
  auto opts = std::make_shared<DemoOptions>();
  auto* demo = app.add_subcommand("demo", "Boot the built-in default board and play a day in its life");
  demo->add_option("--bios-guard", opts->bios_guard, "BIOS Guard in the processor")
      ->check(cli::IsMember({"on", "off", "capable-off"}));
  demo->add_option("--pch", opts->pch, "PCH variant")->check(cli::IsMember({"h", "lp", "unknown"}));
  demo->add_option("--keep", opts->keep_dir, "keep the demo board in this folder");
  demo->callback([&ctx, opts] { Demo(ctx, *opts).Run(); });
}
