#include "sim/devices/PchDevices.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <limits>
#include <cstring>
#include <stdexcept>

#include "sim/board/MemoryMap.h"

namespace sim {

namespace {
constexpr uint8_t kGpioPorts[] = {0x6A, 0x6B, 0x6C, 0x6D, 0x6E};

constexpr PchFamily kFamilies[] = {
    {"300-series PCH-H", 0xA300, 0xA31F, PchKind::kH, 0xA320, 0xA360, 0xA321},
    {"300-series PCH-LP", 0x9D80, 0x9D9F, PchKind::kLp, 0x9DA0, 0x9DE0, 0x9DA1},
    {"400-series PCH-H", 0x0680, 0x069F, PchKind::kH, 0x06A0, 0x06E0, 0x06A1},
    {"400-series PCH-LP", 0x0280, 0x029F, PchKind::kLp, 0x02A0, 0x02E0, 0x02A1},
    {"200-series PCH-H", 0xA2C0, 0xA2DF, PchKind::kUnknown, 0xA2A0, 0xA2BA, 0xA2A1},
};
constexpr PchFamily kUnlistedFamily = {"unlisted PCH", 0, 0, PchKind::kUnknown, 0xA320, 0xA360, 0xA321};

template <typename T>
T Integer(const toml::node_view<const toml::node>& node, T fallback, const char* what) {
  if (!node) return fallback;
  auto v = node.value<int64_t>();
  if (!v || *v < 0 || static_cast<uint64_t>(*v) > std::numeric_limits<T>::max())
    throw std::invalid_argument(std::string("board description: ") + what + " must be an integer in range");
  return static_cast<T>(*v);
}

bool Boolean(const toml::node_view<const toml::node>& node, bool fallback, const char* what) {
  if (!node) return fallback;
  auto v = node.value<bool>();
  if (!v) throw std::invalid_argument(std::string("board description: ") + what + " must be true or false");
  return *v;
}

void SetBit(std::vector<uint32_t>& reg, unsigned pad, bool on) {
  if (on) reg[pad / 32] |= 1u << (pad % 32);
  else reg[pad / 32] &= ~(1u << (pad % 32));
}
}  // namespace

const PchFamily* PchFamilyOfLpcDeviceId(uint16_t lpc_device_id) {
  for (const PchFamily& f : kFamilies)
    if (lpc_device_id >= f.lpc_first && lpc_device_id <= f.lpc_last) return &f;
  return nullptr;
}

PchDevices::PchDevices(Bus& bus, Cpu&, const toml::table& description, PowerManagement& pwrm) : bus_(bus) {
  const auto pch = description["pch"];
  const std::string variant = pch["variant"].value_or(std::string("h"));
  uint16_t default_id = kLpcDeviceIdPchH;
  if (variant == "h") {
    default_id = kLpcDeviceIdPchH;
  } else if (variant == "lp") {
    default_id = kLpcDeviceIdPchLp;
  } else if (variant == "unknown") {
    default_id = kLpcDeviceIdUnknown;
  } else {
    throw std::invalid_argument("board description: [pch] variant must be h, lp or unknown, not '" + variant + "'");
  }
  const uint16_t lpc_id = Integer<uint16_t>(pch["lpc_device_id"], default_id, "[pch] lpc_device_id");
  const PchFamily* listed = PchFamilyOfLpcDeviceId(lpc_id);
  const PchFamily& family = listed != nullptr ? *listed : kUnlistedFamily;
  kind_ = family.kind;

  lpc_ = std::make_unique<PchLpc>(lpc_id);
  bus.AttachPci(0, 31, 0, lpc_.get());

  for (uint8_t port : kGpioPorts) {
    communities_.push_back(std::make_unique<GpioCommunity>(port, group_layouts()));
    sideband_.Attach(port, communities_.back().get());
  }
  // P2SB's SBREG_BAR places the window.
  p2sb_ = std::make_unique<P2sb>(bus, sideband_, family.p2sb);
  sideband_.before_access = [this] { p2sb_->Sync(); };
  bus.AttachPci(0, 31, 1, p2sb_.get());

  if (const toml::table* gpio = description["gpio"].as_table()) {
    for (const auto& [key, node] : *gpio) {
      const toml::table* pad = node.as_table();
      if (pad == nullptr) throw std::invalid_argument("board description: [gpio] " + std::string(key.str()) + " must be a table");
      ApplyPadDescription(std::string(key.str()), *pad);
    }
  }

  const auto me = description["me"];
  if (Boolean(me["present"], true, "[me] present")) {
    Heci::Config config;
    config.device_id = Integer<uint16_t>(me["device_id"], family.heci, "[me] device_id");
    config.hfsts1 = Integer<uint32_t>(me["hfsts1"], 0x90000245, "[me] hfsts1");
    config.bar0 = Integer<uint32_t>(me["bar0"], 0xFED1A004, "[me] bar0");
    config.bar1 = Integer<uint32_t>(me["bar1"], 0, "[me] bar1");
    heci_ = std::make_unique<Heci>(config);
    bus.AttachPci(0, 22, 0, heci_.get());
  }

  // PWRMBASE lives in the PMC's configuration space; firmware may have hidden it.
  pmc_ = std::make_unique<PmcFunction>(bus, pwrm, family.pmc, Boolean(pch["pmc_hidden"], false, "[pch] pmc_hidden"));
  bus.AttachPci(0, 31, 2, pmc_.get());

  const auto faults = description["faults"];
  p2sb_->SetHidden(Boolean(faults["p2sb_hidden"], false, "[faults] p2sb_hidden"));
  if (auto stuck = faults["p2sb_stuck_busy"].value<std::string>()) {
    if (*stuck == "entry") p2sb_->SetStuckBusy(P2sb::StuckBusy::kAlways);
    else if (*stuck == "message") p2sb_->SetStuckBusy(P2sb::StuckBusy::kAfterStart);
    else throw std::invalid_argument("board description: [faults] p2sb_stuck_busy must be entry or message");
  }
  p2sb_->SetForcedResponse(Integer<uint8_t>(faults["p2sb_error_response"], 0, "[faults] p2sb_error_response"),
                           Integer<unsigned>(faults["p2sb_error_after"], 0, "[faults] p2sb_error_after"));
}

PchDevices::~PchDevices() {
  bus_.AttachPci(0, 31, 0, nullptr);
  bus_.AttachPci(0, 31, 1, nullptr);
  bus_.AttachPci(0, 31, 2, nullptr);
  if (heci_) bus_.AttachPci(0, 22, 0, nullptr);
}

void PchDevices::OnPlatformReset() {
  for (auto& c : communities_) c->OnPlatformReset();
  p2sb_->OnPlatformReset();
  pmc_->OnPlatformReset();
  if (heci_) heci_->OnPlatformReset();
}

const std::vector<GpioGroupLayout>& PchDevices::group_layouts() const {
  return GpioGroupLayouts(kind_ == PchKind::kLp ? GpioFamily::kPchLp : GpioFamily::kPchH);
}

uint8_t PchDevices::chipset_id() const {
  return kind_ == PchKind::kLp ? kGpioPadIdChipsetPchLp : kGpioPadIdChipsetPchH;
}

GpioCommunity* PchDevices::community(uint8_t port) {
  for (auto& c : communities_)
    if (c->port() == port) return c.get();
  return nullptr;
}

std::optional<GpioPadRef> PchDevices::FindPad(const std::string& text) {
  const std::vector<GpioGroupLayout>& groups = group_layouts();
  const unsigned rows = static_cast<unsigned>(groups.size());
  unsigned index = rows;
  unsigned long pad = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    size_t used = 0;
    unsigned long id = 0;
    try {
      id = std::stoul(text, &used, 16);
    } catch (const std::exception&) {
      return std::nullopt;
    }
    if (used != text.size() || id > 0xFFFFFFFFul || (id >> 24) != chipset_id()) return std::nullopt;
    index = (id >> 16) & 0xFF;
    pad = id & 0xFFFF;
  } else {
    size_t best = 0;
    for (unsigned i = 0; i < rows; ++i) {
      const size_t len = groups[i].name.size();
      if (len > best && text.size() > len && text.compare(0, len, groups[i].name) == 0 &&
          std::all_of(text.begin() + len, text.end(), [](unsigned char c) { return std::isdigit(c); })) {
        best = len;
        index = i;
      }
    }
    if (index == rows || text.size() - best > 5) return std::nullopt;
    pad = std::stoul(text.substr(best));
  }
  if (index >= rows || pad >= groups[index].pads) return std::nullopt;
  GpioCommunity* c = community(groups[index].port);
  if (c == nullptr) return std::nullopt;
  GpioPadRef ref{c, static_cast<unsigned>(c->FindGroup(index)), index, static_cast<unsigned>(pad), 0, ""};
  ref.pad_id = (uint32_t(chipset_id()) << 24) | (index << 16) | static_cast<uint32_t>(pad);
  ref.name = groups[index].name + std::to_string(pad);
  return ref;
}

void PchDevices::ApplyPadDescription(const std::string& key, const toml::table& desc) {
  std::optional<GpioPadRef> ref = FindPad(key);
  if (!ref) throw std::invalid_argument("board description: [gpio] names no pad of this PCH: " + key);
  GpioCommunity::GroupState& s = ref->community->state(ref->group);
  GpioCommunity::Pad& pad = s.pads[ref->pad];
  const std::string where = "[gpio] " + key + " ";
  const toml::node_view<const toml::node> d{desc};
  pad.owner = Integer<uint8_t>(d["owner"], pad.owner, (where + "owner").c_str());
  if (pad.owner > 3) throw std::invalid_argument("board description: " + where + "owner must be 0 to 3");
  pad.dw0 = Integer<uint32_t>(d["dw0"], pad.dw0, (where + "dw0").c_str());
  pad.dw1 = Integer<uint32_t>(d["dw1"], pad.dw1, (where + "dw1").c_str());
  pad.reset_dw0 = pad.dw0;
  pad.reset_dw1 = pad.dw1;
  const unsigned n = ref->pad;
  const std::pair<const char*, std::vector<uint32_t>*> bits[] = {
      {"lock", &s.lock},     {"lock_tx", &s.lock_tx}, {"hostsw_own", &s.hostsw_own}, {"gpi_ie", &s.gpi_ie},
      {"gpe_en", &s.gpe_en}, {"smi_en", &s.smi_en},   {"nmi_en", &s.nmi_en},
  };
  for (auto [name, reg] : bits) {
    const bool current = (((*reg)[n / 32] >> (n % 32)) & 1) != 0;
    SetBit(*reg, n, Boolean(d[name], current, (where + name).c_str()));
  }
  for (const auto& entry : desc) {
    const toml::key& k = entry.first;  // a named key: clang 14 cannot capture a structured binding
    static const char* const known[] = {"owner", "dw0", "dw1", "lock", "lock_tx", "hostsw_own",
                                        "gpi_ie", "gpe_en", "smi_en", "nmi_en"};
    if (std::none_of(std::begin(known), std::end(known), [&](const char* s) { return k.str() == s; }))
      throw std::invalid_argument("board description: " + where + "has no field " + std::string(k.str()));
  }
}

}  // namespace sim
