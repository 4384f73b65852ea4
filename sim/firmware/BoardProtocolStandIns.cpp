#include "sim/firmware/BoardProtocolStandIns.h"

#include "sim/firmware/Firmware.h"

namespace sim {

namespace {
FlashUpdatePrepareStandIn* gPrepare = nullptr;

EFI_STATUS EFIAPI Prepare() {
  if (gPrepare == nullptr) return EFI_NOT_READY;
  ++gPrepare->prepare_calls;
  return gPrepare->status;
}
}  // namespace

void FrameSupportStandIn::Install(Firmware& firmware) {
  EFI_HANDLE h = nullptr;
  firmware.smm_protocols().current_owner = "board";
  firmware.smm_protocols().Install(&h, SMM_FRAME_SUPPORT_PROTOCOL_GUID, &protocol);
}

void FlashUpdatePrepareStandIn::Install(Firmware& firmware) {
  gPrepare = this;
  protocol.Prepare = &Prepare;
  EFI_HANDLE h = nullptr;
  firmware.smm_protocols().current_owner = "board";
  // Notifications of drivers waiting for it run here, inside SMM.
  firmware.smm_protocols().Install(&h, FLASH_UPDATE_PREPARE_PROTOCOL_GUID, &protocol);
  installed = true;
}

FlashUpdatePrepareStandIn* FlashUpdatePrepareStandIn::Active() { return gPrepare; }

}  // namespace sim
