#include "sim/devices/SpiFlash.h"

#include <stdexcept>

#include "sim/devices/FlashCatalogue.h"

namespace sim {
namespace {

constexpr unsigned kSpiBus = 0, kSpiDevice = 31, kSpiFunction = 5;

std::vector<FlashFaults::StuckBits> StuckBitList(const toml::node_view<const toml::node>& node, const char* key) {
  std::vector<FlashFaults::StuckBits> out;
  const toml::array* list = node.as_array();
  if (list == nullptr) return out;
  for (const toml::node& entry : *list) {
    const toml::array* pair = entry.as_array();
    if (pair == nullptr || pair->size() != 2 || !(*pair)[0].is_integer() || !(*pair)[1].is_integer())
      throw std::runtime_error(std::string("board.toml: [faults.flash] ") + key + " takes [offset, mask] pairs");
    out.push_back({uint32_t((*pair)[0].value_or(int64_t(0))), uint8_t((*pair)[1].value_or(int64_t(0)))});
  }
  return out;
}

WindowCacheMode CacheMode(const std::string& name) {
  if (name == "off") return WindowCacheMode::kOff;
  if (name == "bios") return WindowCacheMode::kBiosRegion;
  if (name == "window") return WindowCacheMode::kWholeWindow;
  throw std::runtime_error("board.toml: [flash] cache must be off, bios or window");
}

}  // namespace

SpiControllerConfig SpiFlash::ControllerConfig(const toml::table& d) {
  SpiControllerConfig c;
  std::string variant = d["pch"]["variant"].value_or(std::string("h"));
  c.device_id = variant == "lp" ? 0x9DA4 : 0xA324;
  auto flash = d["flash"];
  c.bios_control = uint32_t(flash["bios_control"].value_or(int64_t(c.bios_control)));
  c.flockdn = flash["flockdn"].value_or(false);
  c.wrsdis = flash["wrsdis"].value_or(false);
  c.opcode_menu_locked = flash["opcode_menu_locked"].value_or(false);
  if (auto v = flash["vscc"].value<int64_t>()) c.vscc = uint32_t(*v);
  c.vscc_locked = flash["vscc_locked"].value_or(false);
  return c;
}

FlashFaults SpiFlash::Faults(const toml::table& d) {
  FlashFaults f;
  auto faults = d["faults"]["flash"];
  f.stuck_at_zero = StuckBitList(faults["stuck_at_zero"], "stuck_at_zero");
  f.stuck_at_one = StuckBitList(faults["stuck_at_one"], "stuck_at_one");
  if (const toml::array* blocks = faults["failing_erase_blocks"].as_array())
    for (const toml::node& b : *blocks) f.failing_erase_blocks.insert(uint32_t(b.value_or(int64_t(0))));
  f.erase_failures = unsigned(faults["erase_failures"].value_or(int64_t(0)));
  f.program_failures = unsigned(faults["program_failures"].value_or(int64_t(0)));
  f.hang_after_operations = int(faults["hang_after_operations"].value_or(int64_t(-1)));
  return f;
}

SpiFlash::SpiFlash(Bus& bus, Cpu& cpu, const toml::table& description, std::vector<uint8_t> contents) : bus_(bus) {
  const FlashPartDatasheet& datasheet = FindFlashPart(description["flash"]["part"].value_or(std::string("W25Q128JV")));
  uint8_t status = uint8_t(description["flash"]["status"].value_or(int64_t(0)));
  // A shorter image is what a programmer leaves when it writes a file from offset 0 into
  // an erased part: the rest reads erased (boards built in memory use this; a board folder's
  // flash.bin must be exactly the part's size). A longer one belongs to another part.
  if (contents.size() > datasheet.size)
    throw std::runtime_error("a flash image of " + std::to_string(contents.size()) + " bytes does not fit the " +
                             datasheet.name + ", which holds " + std::to_string(datasheet.size) + " bytes");
  contents.resize(datasheet.size, 0xFF);
  part_ = std::make_unique<FlashPart>(datasheet, std::move(contents), status);
  part_->faults() = Faults(description);
  controller_ = std::make_unique<SpiController>(bus, *part_, ControllerConfig(description));
  bus_.AttachPci(kSpiBus, kSpiDevice, kSpiFunction, controller_.get());
  window_ = std::make_unique<FlashWindow>(bus, cpu, *controller_,
                                          CacheMode(description["flash"]["cache"].value_or(std::string("off"))));
}

SpiFlash::~SpiFlash() {
  bus_.AttachPci(kSpiBus, kSpiDevice, kSpiFunction, nullptr);
  window_.reset();
  controller_.reset();
}

std::vector<uint8_t>& SpiFlash::mutable_contents() {
  controller_->InvalidateReadBuffer();
  if (window_->cache()) window_->cache()->FlushAll();
  return part_->mutable_contents();
}

void SpiFlash::OnReset() {
  controller_->Reset();
  window_->Remap();
}

}  // namespace sim
