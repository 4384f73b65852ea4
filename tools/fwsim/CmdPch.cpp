// fwsim smi 0xe0 / gpio PAD / event power-button / event sleep s3|s4|s5: the board
// software-SMI service, the GPIO pads, and the platform events that reach SleepGpioSmm.
#include <CLI/CLI.hpp>
#include <sstream>

#include "tools/fwsim/FwsimContext.h"

namespace {

constexpr uint8_t kBoardSwSmi = 0xE0;

struct SmiOptions {
  std::string ax, bx, rax, rbx;
  unsigned cpu = 0;
};

// AX and BX are 16-bit registers; the whole RAX/RBX (upper halves included) come from
// --rax/--rbx, so a mistyped wide --ax is refused instead of silently setting RAX[63:16].
uint64_t RegisterValue(const std::string& narrow, const std::string& wide, const char* name) {
  if (!wide.empty()) return ParseNumber(wide);
  if (narrow.empty()) throw FwsimError(std::string("give --") + name + " (or --r" + name + ")");
  const uint64_t v = ParseNumber(narrow);
  if (v > 0xFFFF)
    throw FwsimError(std::string("--") + name + " " + narrow + " does not fit in 16 bits (use --r" + name +
                     " for the whole 64-bit register)");
  return v;
}

// ---- pad state as the datasheet names it

struct PadView {
  std::string name;
  uint32_t id = 0;
  uint8_t port = 0;
  uint16_t dw0_offset = 0;
  uint32_t dw0 = 0, dw1 = 0;
  unsigned owner = 0;
  bool lock = false, lock_tx = false, hostsw_own = false, gpi_ie = false;
  // -1: the group has no such register.
  int gpe_en = -1, smi_en = -1, nmi_en = -1;
};

PadView ViewPad(const sim::GpioPadRef& ref) {
  const auto& group = ref.community->groups()[ref.group];
  const auto& st = ref.community->state(ref.group);
  auto bit = [&](const std::vector<uint32_t>& reg) { return ((reg[ref.pad / 32] >> (ref.pad % 32)) & 1) != 0; };
  PadView v;
  v.name = ref.name;
  v.id = ref.pad_id;
  v.port = ref.community->port();
  v.dw0_offset = static_cast<uint16_t>(group.layout.pad_cfg_dw0 + 16 * ref.pad);
  v.dw0 = ref.community->WindowRead(v.dw0_offset);  // with the live GPIORXSTATE
  v.dw1 = st.pads[ref.pad].dw1;
  v.owner = st.pads[ref.pad].owner;
  v.lock = bit(st.lock);
  v.lock_tx = bit(st.lock_tx);
  v.hostsw_own = bit(st.hostsw_own);
  v.gpi_ie = bit(st.gpi_ie);
  if (group.layout.gpi_gpe_en != sim::kGpioAbsentRegister) v.gpe_en = bit(st.gpe_en);
  if (group.layout.gpi_smi_en != sim::kGpioAbsentRegister) v.smi_en = bit(st.smi_en);
  if (group.layout.gpi_nmi_en != sim::kGpioAbsentRegister) v.nmi_en = bit(st.nmi_en);
  return v;
}

const char* OwnerName(unsigned owner) {
  switch (owner) {
    case 0: return "host";
    case 1: return "CSME";
    case 2: return "ISH";
    default: return "IE";
  }
}

const char* ResetDomainName(unsigned padrstcfg) {
  switch (padrstcfg) {
    case 0: return "RSMRST#";
    case 1: return "host deep reset";
    case 2: return "PLTRST#";
    default: return "global reset";
  }
}

std::string Dw0Text(uint32_t dw0) {
  std::ostringstream o;
  const unsigned pmode = (dw0 >> 10) & 7;
  o << (pmode == 0 ? "GPIO" : "native function " + std::to_string(pmode));
  o << ", output " << ((dw0 & (1u << 8)) ? "disabled" : "enabled") << ", input "
    << ((dw0 & (1u << 9)) ? "disabled" : "enabled");
  o << ", GPIOTXSTATE " << (dw0 & 1) << ", GPIORXSTATE " << ((dw0 >> 1) & 1);
  std::string routes;
  const std::pair<unsigned, const char*> r[] = {{17, "NMI"}, {18, "SMI"}, {19, "SCI"}, {20, "IOxAPIC"}};
  for (auto [b, name] : r)
    if (dw0 & (1u << b)) routes += std::string(routes.empty() ? "" : "+") + name;
  o << ", routed to " << (routes.empty() ? "nothing" : routes);
  if (dw0 & (1u << 23)) o << ", RXINV";
  o << ", RXEVCFG " << ((dw0 >> 25) & 3);
  if (dw0 & (1u << 28)) o << ", RXRAW1";
  o << ", PADRSTCFG " << ResetDomainName(dw0 >> 30);
  return o.str();
}

std::string YesNo(int v) { return v < 0 ? "n/a" : (v ? "set" : "clear"); }

nlohmann::json PadJson(const PadView& v) {
  auto opt = [](int x) -> nlohmann::json { return x < 0 ? nlohmann::json(nullptr) : nlohmann::json(x != 0); };
  return {{"pad", v.name},
          {"pad_id", HexString(v.id, 8)},
          {"port", HexString(v.port, 2)},
          {"pad_cfg_dw0", HexString(v.dw0, 8)},
          {"pad_cfg_dw1", HexString(v.dw1, 8)},
          {"gpiotxstate", v.dw0 & 1},
          {"owner", v.owner},
          {"owner_name", OwnerName(v.owner)},
          {"padcfglock", v.lock},
          {"padcfglocktx", v.lock_tx},
          {"hostsw_own", v.hostsw_own},
          {"gpi_ie", v.gpi_ie},
          {"gpi_gpe_en", opt(v.gpe_en)},
          {"gpi_smi_en", opt(v.smi_en)},
          {"gpi_nmi_en", opt(v.nmi_en)}};
}

std::string PadText(const PadView& v) {
  std::ostringstream o;
  o << v.name << " (pad ID " << HexString(v.id, 8) << "), community port " << HexString(v.port, 2)
    << ", PAD_CFG_DW0 at " << HexString(0xFD000000u | (uint32_t(v.port) << 16) | v.dw0_offset, 8) << "\n";
  o << "  PAD_CFG_DW0 " << HexString(v.dw0, 8) << ": " << Dw0Text(v.dw0) << "\n";
  o << "  PAD_CFG_DW1 " << HexString(v.dw1, 8) << ": TERM " << ((v.dw1 >> 10) & 0xF) << "\n";
  o << "  owner: " << OwnerName(v.owner) << " (PAD_OWN " << v.owner << ")\n";
  o << "  locks: PADCFGLOCK " << (v.lock ? "locked" : "unlocked") << ", PADCFGLOCKTX "
    << (v.lock_tx ? "locked" : "unlocked") << "\n";
  o << "  HOSTSW_OWN " << (v.hostsw_own ? "set (GPIO driver)" : "clear (ACPI)") << ", GPI_IE " << YesNo(v.gpi_ie)
    << ", GPI_GPE_EN " << YesNo(v.gpe_en) << ", GPI_SMI_EN " << YesNo(v.smi_en) << ", GPI_NMI_EN " << YesNo(v.nmi_en)
    << "\n";
  return o.str();
}

std::vector<PadView> AllPads(sim::PchDevices& pch) {
  std::vector<PadView> out;
  for (const sim::GpioGroupLayout& group : pch.group_layouts())
    for (unsigned n = 0; n < group.pads; ++n) {
      auto ref = pch.FindPad(group.name + std::to_string(n));
      if (ref) out.push_back(ViewPad(*ref));
    }
  return out;
}

// ---- commands

void RunBoardSmi(FwsimContext& ctx, const SmiOptions& o) {
  const uint64_t rax_in = RegisterValue(o.ax, o.rax, "ax");
  const uint64_t rbx_in = RegisterValue(o.bx, o.rbx, "bx");
  auto board = ctx.OpenBoard();
  if (o.cpu >= board->firmware().cpu_count())
    throw FwsimError("the board has no processor " + std::to_string(o.cpu));
  board->SetCpuRegister(o.cpu, EFI_SMM_SAVE_STATE_REGISTER_RAX, rax_in);
  board->SetCpuRegister(o.cpu, EFI_SMM_SAVE_STATE_REGISTER_RBX, rbx_in);
  sim::SmiResult r = board->RaiseSoftwareSmi(o.cpu, kBoardSwSmi);
  if (!r.fault.empty()) throw FwsimError("software SMI 0xE0: the handler faulted: " + r.fault);
  if (!r.handled) throw FwsimError("no handler for software SMI 0xE0 (is BoardSmiServiceSmm loaded? try `fwsim boot`)");
  nlohmann::json j{{"smi", "0xE0"}, {"cpu", o.cpu}, {"handled", true}, {"reset", r.reset},
                   {"handler_status", HexString(r.handler_status, 16)}, {"device_ns", r.device_ns}};
  std::ostringstream text;
  text << "Software SMI 0xE0 on processor " << o.cpu << ": ";
  if (r.reset) {
    j["reset_kind"] = r.reset_kind;
    j["boot"] = board->last_boot().boot_count;
    text << "the board reset (" << r.reset_kind << ") and booted again; flash and variables kept\n";
  } else {
    const uint64_t rax = board->CpuRegister(o.cpu, EFI_SMM_SAVE_STATE_REGISTER_RAX);
    const uint64_t rbx = board->CpuRegister(o.cpu, EFI_SMM_SAVE_STATE_REGISTER_RBX);
    j["ax"] = HexString(rax & 0xFFFF, 4);
    j["bx"] = HexString(rbx & 0xFFFF, 4);
    j["rax"] = HexString(rax, 16);
    j["rbx"] = HexString(rbx, 16);
    text << "handler returned " << HexString(r.handler_status, 16) << "\n  AX=" << HexString(rax & 0xFFFF, 4)
         << " BX=" << HexString(rbx & 0xFFFF, 4) << "\n  RAX=" << HexString(rax, 16) << " RBX=" << HexString(rbx, 16)
         << "\n";
  }
  board->Save();
  ctx.Emit(j, text.str());
}

void RunGpio(FwsimContext& ctx, const std::string& pad) {
  auto board = ctx.OpenBoard();
  auto ref = board->pch().FindPad(pad);
  if (!ref)
    throw FwsimError("this board's PCH has no pad '" + pad + "' (name it like GPP_D9, or by pad ID like " +
                     HexString(uint32_t(board->pch().chipset_id()) << 24 | 0x30009, 8) + ")");
  PadView v = ViewPad(*ref);
  ctx.Emit(PadJson(v), PadText(v));
}

void RunEvent(FwsimContext& ctx, const std::string& name, const std::function<sim::SmiResult(sim::Board&)>& event) {
  auto board = ctx.OpenBoard();
  std::vector<PadView> before = AllPads(board->pch());
  sim::SmiResult r = event(*board);
  if (!r.fault.empty()) throw FwsimError(name + ": a handler faulted: " + r.fault);
  std::vector<PadView> after = AllPads(board->pch());
  nlohmann::json changes = nlohmann::json::array();
  std::ostringstream text;
  text << name << ": ";
  if (!r.smi)
    text << "the chipset raised no SMI (source not enabled in PM1_EN/SMI_EN, or SCI_EN gives it to the OS)\n";
  else if (!r.handled)
    text << "no handler registered\n";
  else
    text << "handled, status " << HexString(r.handler_status, 16) << "\n";
  if (r.reset) text << "  the board reset (" << r.reset_kind << ") and booted again\n";
  for (size_t i = 0; i < before.size() && i < after.size(); ++i) {
    if (PadJson(before[i]) == PadJson(after[i])) continue;
    changes.push_back({{"pad", after[i].name}, {"before", PadJson(before[i])}, {"after", PadJson(after[i])}});
    text << "  " << after[i].name << ": PAD_CFG_DW0 " << HexString(before[i].dw0, 8) << " -> "
         << HexString(after[i].dw0, 8) << " (GPIOTXSTATE " << (before[i].dw0 & 1) << " -> " << (after[i].dw0 & 1)
         << ")";
    if (before[i].lock_tx != after[i].lock_tx || before[i].lock != after[i].lock) text << ", locks changed";
    text << "\n";
  }
  if (changes.empty()) text << "  no GPIO pad changed\n";
  board->Save();
  ctx.Emit({{"event", name}, {"smi", r.smi}, {"handled", r.handled}, {"handler_status", HexString(r.handler_status, 16)},
            {"reset", r.reset}, {"gpio_changes", changes}},
           text.str());
}

}  // namespace

void RegisterPchCommands(CLI::App& app, CLI::App& smi, CLI::App& event, FwsimContext& ctx) {
  auto opts = std::make_shared<SmiOptions>();
  auto* e0 = smi.add_subcommand("0xe0", "Board service: function code in AH, argument in BX; prints AX and BX");
  auto* ax = e0->add_option("--ax", opts->ax, "AX: function code in AH (16 bits; RAX[63:16] are 0)");
  auto* bx = e0->add_option("--bx", opts->bx, "BX (16 bits; RBX[63:16] are 0)");
  e0->add_option("--rax", opts->rax, "the whole RAX instead of --ax")->excludes(ax);
  e0->add_option("--rbx", opts->rbx, "the whole RBX instead of --bx")->excludes(bx);
  e0->add_option("--cpu", opts->cpu, "processor that raises the SMI (default 0)");
  e0->callback([&ctx, opts] { RunBoardSmi(ctx, *opts); });

  auto pad = std::make_shared<std::string>();
  auto* gpio = app.add_subcommand("gpio", "Show a GPIO pad: configuration, owner, locks and enables");
  gpio->add_option("PAD", *pad, "pad name (GPP_D9) or pad ID (0x03030009)")->required();
  gpio->callback([&ctx, pad] { RunGpio(ctx, *pad); });

  auto* power = event.add_subcommand("power-button", "Press the power button (power-button SMI, entry phase)");
  power->callback([&ctx] { RunEvent(ctx, "power button", [](sim::Board& b) { return b.PressPowerButton(); }); });
  auto state = std::make_shared<std::string>();
  auto* sleep = event.add_subcommand("sleep", "Enter a sleep state (Sx SMI, entry phase)");
  sleep->add_option("STATE", *state, "s3, s4 or s5")->required()->check(CLI::IsMember({"s3", "s4", "s5"}));
  sleep->callback([&ctx, state] {
    const EFI_SLEEP_TYPE type = *state == "s3" ? SxS3 : (*state == "s4" ? SxS4 : SxS5);
    std::string name = "sleep " + *state + " entry";
    RunEvent(ctx, name, [type](sim::Board& b) { return b.EnterSleep(type); });
  });
}
