// BIOS-region write protection in BIOS_SPI_BC (configuration space of 0:31:5).
#include "flash/device/SpiController.h"
#include "flash/device/SpiRegisters.h"
#include "frame/Frame.h"
#include "platform/Platform.h"
#include "platform/ProcessorMsrs.h"

using namespace spi;

namespace {

UINT64 ConfigAddress(UINT64 Register) {
  return PciExpressConfigAddress(kSpi.ConfigOffset(Register));
}

// Steps shared by both directions. With BIOS Guard in force and the lock set, writes go
// through BIOS Guard only and nothing may be changed here.
VOID ChangeBiosRegionWrite(BOOLEAN Enable) {
  using Byte0 = BiosSpiBc::Byte0;
  using Byte1 = BiosSpiBc::Byte1;
  const UINT64 byte0 = ConfigAddress(Byte0::kOffset);
  UINT8 control = MmioRead8(byte0);
  if (BiosSpiBc::Le::Get(Byte0::Into(control)) && BiosGuardInForce()) return;
  if (Enable) {
    // SPI_SYNC_SS is write-1-to-clear: a stale synchronous-SMI status goes first.
    const UINT64 byte1 = ConfigAddress(Byte1::kOffset);
    MmioWrite8(byte1, static_cast<UINT8>(MmioRead8(byte1) | Byte1::Of(BiosSpiBc::SyncSs::kMask)));
  }
  const UINT8 wpd = static_cast<UINT8>(Byte0::Of(BiosSpiBc::Wpd::kMask));
  UINT8 current = MmioRead8(byte0);
  MmioWrite8(byte0, static_cast<UINT8>(Enable ? (current | wpd) : (current & ~wpd)));
  control = MmioRead8(byte0);
  if (!BiosSpiBc::Eiss::Get(Byte0::Into(control)) || !gFrame.InSmmFlag) return;
  if (BiosGuardInForce()) return;
  // With EISS set the BIOS region is writable only while the processor reports InSMM.STS;
  // the value given to MSR 0x1FE is the word at kInSmmStatusWord with that bit.
  UINT32 source = MmioRead32(kInSmmStatusWord);
  UINT64 value = Enable ? (source | kSpiWriteProtectInSmmStatus) : (source & ~kSpiWriteProtectInSmmStatus);
  AsmWriteMsr64(kMsrSpiWriteProtect, value);
  MmioRead32(kInSmmStatusWord);
}

}  // namespace

VOID EFIAPI EnableBiosRegionWrite() { ChangeBiosRegionWrite(TRUE); }
VOID EFIAPI DisableBiosRegionWrite() { ChangeBiosRegionWrite(FALSE); }

const BIOS_REGION_WRITE_ROUTINE EnableBiosRegionWriteList[] = {EnableBiosRegionWrite, nullptr};
const BIOS_REGION_WRITE_ROUTINE DisableBiosRegionWriteList[] = {DisableBiosRegionWrite, nullptr};
