#include "pch/Sideband.h"

#include "frame/Frame.h"
#include "pch/PchVariant.h"
#include "platform/Platform.h"

using namespace p2sb;

namespace {
// Polls SBI_STAT while BUSY is set; *Last receives the last value read.
BOOLEAN WaitSidebandIdle(UINT16* Last) {
  UINT16 status = 0;
  for (UINT32 reads = 0; reads < gPchLibrary.SidebandBusyPollLimit; ++reads) {
    status = PciConfigRead<SbiStat>(kP2sb);
    if (!SbiStat::Busy::Get(status)) {
      *Last = status;
      return TRUE;
    }
  }
  *Last = status;
  return FALSE;
}
}  // namespace

BOOLEAN SidebandWindowInPlace() {
  using HideByte = P2sbc::HideByte;
  const BOOLEAN hidden = PciConfigRead<pci::VendorId>(kP2sb) == pci::kAbsentId;
  if (hidden) PciConfigWrite<HideByte>(kP2sb, 0);
  const BOOLEAN present = PciConfigRead<pci::VendorId>(kP2sb) != pci::kAbsentId;
  const UINT32 low = PciConfigRead<SbregBarLow>(kP2sb);
  const UINT32 high = PciConfigRead<SbregBarHigh>(kP2sb);
  const UINT16 command = PciConfigRead<pci::Command>(kP2sb);
  if (hidden) PciConfigWrite<HideByte>(kP2sb, static_cast<UINT8>(HideByte::Of(P2sbc::Hide::kMask)));
  return present && high == 0 && SbregBarLow::Rba::Get(low) == SbregBarLow::Rba::Get(static_cast<UINT32>(kSbregBar)) &&
         pci::Command::Mse::Get(command);
}

EFI_STATUS SidebandMessageWrite(UINT8 Port, UINT64 Offset, const UINT32* Data, UINT8* Response, UINT32 Opcode) {
  if (!SidebandOpcodeAccepted(Opcode)) return EFI_INVALID_PARAMETER;
  if (PciConfigRead<pci::VendorId>(kP2sb) == pci::kAbsentId) return EFI_DEVICE_ERROR;  // P2SB hidden

  UINT16 status = 0;
  if (!WaitSidebandIdle(&status)) return EFI_TIMEOUT;
  *Response = kSidebandNoResponse;

  PciConfigWrite<SbiAddr>(kP2sb, SbiAddr::DestId::Make(Port) | SbiAddr::Offset::Make(static_cast<UINT32>(Offset)));
  PciConfigWrite<SbiExtAddr>(kP2sb, static_cast<UINT32>(Offset >> SbiAddr::Offset::kWidth));
  // Non-posted: the posted bit is cleared so that the response status comes back.
  status = PciConfigRead<SbiStat>(kP2sb);
  PciConfigWrite<SbiStat>(kP2sb, static_cast<UINT16>((status & ~(SbiStat::Posted::kMask | SbiStat::Opcode::kMask)) |
                                                     SbiStat::Opcode::Make(Opcode)));
  // All four byte enables, BAR 0, function 0.
  PciConfigWrite<SbiRid>(kP2sb, static_cast<UINT16>(SbiRid::Fbe::Make(0xF) | SbiRid::Bar::Make(0) | SbiRid::Fid::Make(0)));
  PciConfigWrite<SbiData>(kP2sb, *Data);
  status = PciConfigRead<SbiStat>(kP2sb);
  PciConfigWrite<SbiStat>(kP2sb, static_cast<UINT16>(status | SbiStat::Busy::kMask));

  if (!WaitSidebandIdle(&status)) return EFI_TIMEOUT;
  *Response = static_cast<UINT8>(SbiStat::Response::Get(status));
  return *Response == 0 ? EFI_SUCCESS : EFI_DEVICE_ERROR;
}
