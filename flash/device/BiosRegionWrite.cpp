// BIOS-region write protection in BIOS_SPI_BC (configuration space of 0:31:5).
#include "flash/device/SpiController.h"
#include "flash/device/SpiRegisters.h"
#include "frame/Frame.h"
#include "platform/Platform.h"

using namespace spi;

namespace {

UINT64 ConfigAddress(UINT64 Register) {
  return PciExpressConfigAddress(PciConfigOffset(kPciBus, kPciDevice, kPciFunction, Register));
}

// Steps shared by both directions. With BIOS Guard in force and the lock set, writes go
// through BIOS Guard only and nothing may be changed here.
VOID ChangeBiosRegionWrite(BOOLEAN Enable) {
  UINT8 control = MmioRead8(ConfigAddress(kCfgBiosSpiBc));
  if ((control & kBcLe) != 0 && BiosGuardInForce()) return;
  if (Enable) {
    // SPI_SYNC_SS is write-1-to-clear: a stale synchronous-SMI status goes first.
    UINT64 byte1 = ConfigAddress(kCfgBiosSpiBcByte1);
    MmioWrite8(byte1, static_cast<UINT8>(MmioRead8(byte1) | kBcByte1SyncSs));
  }
  UINT64 byte0 = ConfigAddress(kCfgBiosSpiBc);
  UINT8 current = MmioRead8(byte0);
  MmioWrite8(byte0, static_cast<UINT8>(Enable ? (current | kBcWpd) : (current & ~kBcWpd)));
  control = MmioRead8(byte0);
  if ((control & kBcEiss) == 0 || !gFrame.InSmmFlag) return;
  if (BiosGuardInForce()) return;
  // With EISS set the BIOS region is writable only while the processor reports InSMM.STS.
  UINT32 source = MmioRead32(kInSmmStatusSource);
  UINT64 value = Enable ? (source | 1u) : (source & ~1u);
  AsmWriteMsr64(kMsrSpiWriteProtect, value);
  MmioRead32(kInSmmStatusSource);
}

}  // namespace

BOOLEAN BiosGuardInForce() {
  if ((AsmReadMsr64(kMsrPlatformInfo) & kPlatformInfoBiosGuard) == 0) return FALSE;
  return (AsmReadMsr64(kMsrBiosGuardConfig) & kBiosGuardConfigEnabled) != 0;
}

VOID EFIAPI EnableBiosRegionWrite() { ChangeBiosRegionWrite(TRUE); }
VOID EFIAPI DisableBiosRegionWrite() { ChangeBiosRegionWrite(FALSE); }

const BIOS_REGION_WRITE_ROUTINE EnableBiosRegionWriteList[] = {EnableBiosRegionWrite, nullptr};
const BIOS_REGION_WRITE_ROUTINE DisableBiosRegionWriteList[] = {DisableBiosRegionWrite, nullptr};
