// LPC/eSPI controller (PCI 0:31:0): the device ID that names the PCH. Read by PchVariant.cpp.
#pragma once

#include "frame/PciConfig.h"

namespace lpc {

constexpr PciFunction kLpc{0, 31, 0};

// Fields of the controller's device ID (the configuration header's DID): bits 4:0 select
// the SKU within one PCH family, bits 15:5 name the family.
struct DeviceId : pci::DeviceId {
  using Family = RegisterField<15, 5>;
};

}  // namespace lpc
