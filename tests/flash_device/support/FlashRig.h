// A simulated processor with the PCH SPI controller, one flash part, the memory-mapped
// window and the ACPI PM timer, bound to this process's platform seam, for tests of the
// flash device layer. Every rig starts the device layer from fresh module state.
#pragma once

#include <memory>
#include <vector>

#include "flash/device/FlashDeviceLayer.h"
#include "sim/core/Bus.h"
#include "sim/core/Cpu.h"
#include "sim/devices/FlashCatalogue.h"
#include "sim/devices/FlashPart.h"
#include "sim/devices/FlashWindow.h"
#include "sim/devices/PmTimer.h"
#include "sim/devices/SpiController.h"
#include "tests/flash_device/support/FlashTestImage.h"

namespace flashtest {

struct RigOptions {
  sim::SpiControllerConfig controller;
  sim::WindowCacheMode cache = sim::WindowCacheMode::kOff;
  uint8_t status = 0;  // power-up status of parts with non-volatile status bits
};

class FlashRig {
 public:
  FlashRig(const sim::FlashPartDatasheet& datasheet, std::vector<uint8_t> image, RigOptions options = {});
  // A part from the catalogue with the default descriptor image for its size.
  explicit FlashRig(const char* part, RigOptions options = {});
  ~FlashRig();

  sim::Bus bus;
  sim::Cpu cpu{bus};
  sim::PmTimer pm_timer{bus.clock()};
  std::unique_ptr<sim::FlashPart> part;
  std::unique_ptr<sim::SpiController> controller;
  std::unique_ptr<sim::FlashWindow> window;

  uint64_t now() { return bus.clock().Now(); }
  // Runs driver code on the simulated processor; fails the test on a fault or reset.
  void Run(const std::function<void()>& code);
  // Register of the controller as the processor reads it.
  uint32_t Reg32(uint32_t offset) { return uint32_t(bus.MemRead(controller->bar() + offset, 4)); }
  uint8_t Reg8(uint32_t offset) { return uint8_t(bus.MemRead(controller->bar() + offset, 1)); }
  void SetReg8(uint32_t offset, uint8_t v) { bus.MemWrite(controller->bar() + offset, 1, v); }
  void SetReg16(uint32_t offset, uint16_t v) { bus.MemWrite(controller->bar() + offset, 2, v); }
  void SetReg32(uint32_t offset, uint32_t v) { bus.MemWrite(controller->bar() + offset, 4, v); }
  // Identifies the part the way the part-name report does.
  void Identify();
};

// The datasheet of a catalogue part with another JEDEC identifier (for table tests).
sim::FlashPartDatasheet WithJedecId(const char* part, uint32_t jedec_id);
// The default test image for a part: descriptor, ME region, BIOS region from 2 MiB (or
// from half the part for parts of 2 MiB and less).
ImageLayout DefaultLayout(uint32_t flash_size);

}  // namespace flashtest
