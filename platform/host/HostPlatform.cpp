// Host build of the seam: every access goes to the simulated board through HostBusOps.
#include "platform/Platform.h"
#include "platform/host/HostBusOps.h"

namespace {
const HostBusOps* gBus = nullptr;
}

extern "C" void FwHostBindPlatform(const HostBusOps* ops) { gBus = ops; }

UINT8 MmioRead8(UINT64 Address) { return static_cast<UINT8>(gBus->mem_read(gBus->context, Address, 1)); }
UINT16 MmioRead16(UINT64 Address) { return static_cast<UINT16>(gBus->mem_read(gBus->context, Address, 2)); }
UINT32 MmioRead32(UINT64 Address) { return static_cast<UINT32>(gBus->mem_read(gBus->context, Address, 4)); }
UINT64 MmioRead64(UINT64 Address) { return gBus->mem_read(gBus->context, Address, 8); }
VOID MmioWrite8(UINT64 Address, UINT8 Value) { gBus->mem_write(gBus->context, Address, 1, Value); }
VOID MmioWrite16(UINT64 Address, UINT16 Value) { gBus->mem_write(gBus->context, Address, 2, Value); }
VOID MmioWrite32(UINT64 Address, UINT32 Value) { gBus->mem_write(gBus->context, Address, 4, Value); }
VOID MmioWrite64(UINT64 Address, UINT64 Value) { gBus->mem_write(gBus->context, Address, 8, Value); }

UINT8 IoRead8(UINT16 Port) { return static_cast<UINT8>(gBus->io_read(gBus->context, Port, 1)); }
VOID IoWrite8(UINT16 Port, UINT8 Value) { gBus->io_write(gBus->context, Port, 1, Value); }
UINT32 IoRead32(UINT16 Port) { return gBus->io_read(gBus->context, Port, 4); }

UINT64 AsmReadMsr64(UINT32 Index) { return gBus->msr_read(gBus->context, Index); }
VOID AsmWriteMsr64(UINT32 Index, UINT64 Value) { gBus->msr_write(gBus->context, Index, Value); }

VOID CpuPause() { gBus->pause(gBus->context); }
VOID AsmCpuid(UINT32 Leaf, UINT32* Eax, UINT32* Ebx, UINT32* Ecx, UINT32* Edx) {
  uint32_t out[4] = {0, 0, 0, 0};
  gBus->cpuid(gBus->context, Leaf, out);
  if (Eax) *Eax = out[0];
  if (Ebx) *Ebx = out[1];
  if (Ecx) *Ecx = out[2];
  if (Edx) *Edx = out[3];
}
VOID AsmFlushCacheLine(UINT64 Address) { gBus->flush_line(gBus->context, Address); }
VOID AsmWbinvd() { gBus->wbinvd(gBus->context); }
