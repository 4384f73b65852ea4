// Register-access seam. Every hardware and physical-memory access of the drivers goes
// through these functions; platform/target/ executes the real instructions, platform/host/
// forwards each access to the simulated board. Nothing above this header knows which.
#pragma once

#include "uefi/UefiBaseType.h"

UINT8 MmioRead8(UINT64 Address);
UINT16 MmioRead16(UINT64 Address);
UINT32 MmioRead32(UINT64 Address);
UINT64 MmioRead64(UINT64 Address);
VOID MmioWrite8(UINT64 Address, UINT8 Value);
VOID MmioWrite16(UINT64 Address, UINT16 Value);
VOID MmioWrite32(UINT64 Address, UINT32 Value);
VOID MmioWrite64(UINT64 Address, UINT64 Value);

UINT8 IoRead8(UINT16 Port);
VOID IoWrite8(UINT16 Port, UINT8 Value);
UINT32 IoRead32(UINT16 Port);

UINT64 AsmReadMsr64(UINT32 Index);
VOID AsmWriteMsr64(UINT32 Index, UINT64 Value);

VOID CpuPause();
VOID AsmCpuid(UINT32 Leaf, UINT32* Eax, UINT32* Ebx, UINT32* Ecx, UINT32* Edx);
VOID AsmFlushCacheLine(UINT64 Address);
VOID AsmWbinvd();

// Write back and invalidate the data cache over [Address, Address + Length): CLFLUSH line
// by line when CPUID.01h:EDX[19] reports it, otherwise a full WBINVD.
VOID WriteBackInvalidateDataCacheRange(UINT64 Address, UINT64 Length);

// Busy wait on the ACPI PM timer (I/O port 0x1808, 3,579,545 Hz, 24-bit counter). A timer
// that does not run ends the wait after a bounded number of reads.
VOID MicroSecondDelay(UINTN Microseconds);

// Freestanding memory helpers (the compiler may also emit calls to memset/memcpy).
VOID ZeroMem(VOID* Buffer, UINTN Length);
VOID CopyMem(VOID* Destination, const VOID* Source, UINTN Length);
