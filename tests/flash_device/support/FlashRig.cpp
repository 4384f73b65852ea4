#include "tests/flash_device/support/FlashRig.h"

#include <gtest/gtest.h>

#include "flash/device/FlashIdentification.h"
#include "frame/Frame.h"
#include "platform/host/HostBusOps.h"

namespace flashtest {

ImageLayout DefaultLayout(uint32_t flash_size) {
  ImageLayout l;
  l.flash_size = flash_size;
  uint32_t bios = flash_size > kBiosBase ? kBiosBase : flash_size / 2;
  l.regions = {{0, 0, 0xFFF}, {2, 0x1000, bios - 1}, {1, bios, flash_size - 1}};
  return l;
}

FlashRig::FlashRig(const sim::FlashPartDatasheet& datasheet, std::vector<uint8_t> image, RigOptions options) {
  FwHostBindPlatform(cpu.ops());
  bus.MapIo(0x1808, 0x180B, &pm_timer);
  bus.DefineMsr(0xCE, 0);
  bus.DefineMsr(0x1FE, 0);
  part = std::make_unique<sim::FlashPart>(datasheet, std::move(image), options.status);
  controller = std::make_unique<sim::SpiController>(bus, *part, options.controller);
  bus.AttachPci(0, 31, 5, controller.get());
  window = std::make_unique<sim::FlashWindow>(bus, cpu, *controller, options.cache);
  gSpiFlashDeviceLayer = SpiFlashDeviceLayer{};
  gFrame = FrameState{};
}

FlashRig::FlashRig(const char* name, RigOptions options)
    : FlashRig(sim::FindFlashPart(name), BuildImage(DefaultLayout(sim::FindFlashPart(name).size)), options) {}

FlashRig::~FlashRig() {
  bus.AttachPci(0, 31, 5, nullptr);
  window.reset();
  controller.reset();
}

void FlashRig::Run(const std::function<void()>& code) {
  auto r = cpu.Run(code);
  ASSERT_EQ(r.outcome, sim::Cpu::Outcome::kReturned) << r.fault;
}

void FlashRig::Identify() {
  Run([] { IdentifyFlashPart(gSpiFlashDeviceLayer.FlashWindowBase); });
}

sim::FlashPartDatasheet WithJedecId(const char* part, uint32_t jedec_id) {
  sim::FlashPartDatasheet s = sim::FindFlashPart(part);
  s.jedec_id = jedec_id;
  s.id_reply.clear();
  return s;
}

}  // namespace flashtest
