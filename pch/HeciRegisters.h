// ME host interface HECI #1 (PCI 0:22:0): its memory BAR and the firmware status register
// HFSTS1 in configuration space. Owned by MeStatus.cpp.
#pragma once

#include "frame/PciConfig.h"

namespace heci {

constexpr PciFunction kHeci1{0, 22, 0};

// HECI1_MBAR: a 64-bit memory BAR in BAR 0 and BAR 1 of the configuration header,
// decoding 4 KiB.
constexpr UINT64 kMbarBytes = 0x1000;

// HFSTS1, host firmware status 1 (32 bits).
struct Hfsts1 : Register<0x40, 4> {
  using ManufacturingMode = RegisterBit<4>;
  using OperationMode = RegisterField<19, 16>;
};

}  // namespace heci
