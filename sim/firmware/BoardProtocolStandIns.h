// Board-side stand-ins for protocols that other firmware drivers provide on a real board.
// Each is observable and can fail on request.
#pragma once

#include <cstdint>

#include "uefi/BoardProtocols.h"

namespace sim {

class Firmware;

// SmmFrameSupportProtocol: only its presence matters to the drivers.
struct FrameSupportStandIn {
  SMM_FRAME_SUPPORT_PROTOCOL protocol{1};
  void Install(Firmware& firmware);
};

// FlashUpdatePrepareProtocol: counts Prepare calls and returns a chosen status.
struct FlashUpdatePrepareStandIn {
  FLASH_UPDATE_PREPARE_PROTOCOL protocol{};
  EFI_STATUS status = EFI_SUCCESS;  // what Prepare returns
  unsigned prepare_calls = 0;
  bool installed = false;
  void Install(Firmware& firmware);
  static FlashUpdatePrepareStandIn* Active();
};

}  // namespace sim
