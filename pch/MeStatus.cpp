#include "pch/MeStatus.h"

#include "frame/Frame.h"
#include "platform/Platform.h"

using heci::kHeci1;

constinit MeHeciState gMeHeci{};

namespace {
constexpr UINT8 kHeciBarSound = 1;
constexpr UINT8 kHeciBarRefused = 2;

using Bar = pci::MemoryBar;

BOOLEAN HeciAbsent() { return PciConfigRead<pci::DeviceId>(kHeci1) == pci::kAbsentId; }

VOID ReadHeciBar(UINT32* Bar0, UINT32* Bar1) {
  *Bar0 = PciConfigRead<pci::Bar0>(kHeci1);
  *Bar1 = Bar::Type::Get(*Bar0) == Bar::kType64 ? PciConfigRead<pci::Bar1>(kHeci1) : 0;
}
}  // namespace

VOID MePinHeciBar() {
  if (gMeHeci.PinState != 0) return;
  gMeHeci.PinState = kHeciBarRefused;
  if (HeciAbsent()) return;
  ReadHeciBar(&gMeHeci.Bar0, &gMeHeci.Bar1);
  UINT64 base = static_cast<UINT64>(gMeHeci.Bar1) << 32 | (gMeHeci.Bar0 & Bar::Base::kMask);
  // A BAR of 0 is kept as it is: there is nothing to enable.
  if (base == 0 || RangeIsPlatformMmio(base, heci::kMbarBytes)) gMeHeci.PinState = kHeciBarSound;
}

UINT32 MeHeciEnable() {
  if (HeciAbsent()) return 0;
  MePinHeciBar();
  UINT32 bar0 = 0, high = 0;
  ReadHeciBar(&bar0, &high);
  UINT32 low = bar0 & Bar::Base::kMask;
  if (low == 0 && high == 0) return 0;
  if (gMeHeci.PinState != kHeciBarSound || bar0 != gMeHeci.Bar0 || high != gMeHeci.Bar1) return 0;
  using CommandByte = pci::Command::LowByte;
  const UINT8 command = PciConfigRead<CommandByte>(kHeci1);
  PciConfigWrite<CommandByte>(
      kHeci1, static_cast<UINT8>(command | CommandByte::Of(pci::Command::Mse::kMask | pci::Command::Bme::kMask)));
  return low;
}

EFI_STATUS MeGetOperationMode(UINT32* Mode) {
  *Mode = kMeOperationModeFold[heci::Hfsts1::OperationMode::Get(PciConfigRead<heci::Hfsts1>(kHeci1))];
  return EFI_SUCCESS;
}

UINT32 MeIsManufacturingMode() { return heci::Hfsts1::ManufacturingMode::Get(PciConfigRead<heci::Hfsts1>(kHeci1)); }
