// Parts of the seam built on the primitives, identical for target and host.
#include "platform/Platform.h"

namespace {
constexpr UINT16 kAcpiPmTimerPort = 0x1808;
constexpr UINT32 kAcpiPmTimerFrequencyHz = 3579545;
constexpr UINT32 kAcpiPmTimerMask = 0x00FFFFFF;  // 24-bit counter (TMR_VAL_EXT clear)
// Read budget of a wait: 4 reads per tick would need a port read faster than 70 ns.
constexpr UINT64 kTimerReadsPerTickBudget = 4;
constexpr UINT64 kTimerReadsMinimumBudget = 64;
constexpr UINT32 kCpuidVersionInfo = 1;
constexpr UINT32 kCpuidEdxClflush = 1u << 19;
}  // namespace

VOID MicroSecondDelay(UINTN Microseconds) {
  // Ticks are counted across wraps of the 24-bit counter, so waits longer than one
  // period (about 4.7 s) still end at the right time. The wait is also bounded by a count
  // of timer reads: a port read through the PMC takes far longer than a tick (279 ns),
  // so a running timer always ends the wait first, while a timer that is stuck, absent
  // (the port reads all ones when the ACPI base is elsewhere) or barely moving ends it
  // after the read budget: inexact then, never endless.
  UINT64 ticks = (static_cast<UINT64>(Microseconds) * kAcpiPmTimerFrequencyHz + 999999) / 1000000;
  UINT64 reads_left = ticks * kTimerReadsPerTickBudget + kTimerReadsMinimumBudget;
  UINT32 previous = IoRead32(kAcpiPmTimerPort) & kAcpiPmTimerMask;
  UINT64 elapsed = 0;
  while (elapsed < ticks && reads_left-- != 0) {
    CpuPause();
    UINT32 now = IoRead32(kAcpiPmTimerPort) & kAcpiPmTimerMask;
    elapsed += (now - previous) & kAcpiPmTimerMask;
    previous = now;
  }
}

VOID WriteBackInvalidateDataCacheRange(UINT64 Address, UINT64 Length) {
  if (Length == 0) return;
  UINT32 eax = 0, ebx = 0, ecx = 0, edx = 0;
  AsmCpuid(kCpuidVersionInfo, &eax, &ebx, &ecx, &edx);
  if ((edx & kCpuidEdxClflush) == 0) {
    AsmWbinvd();
    return;
  }
  UINT64 line = ((ebx >> 8) & 0xFF) * 8;  // CLFLUSH line size, in 8-byte units
  if (line == 0) line = 64;
  UINT64 start = Address & ~(line - 1);
  UINT64 last = Address + Length - 1;
  if (last < Address) last = ~0ULL;  // the range ends at the top of the address space
  for (UINT64 a = start;; a += line) {
    AsmFlushCacheLine(a);
    if (last - a < line) break;
  }
}

VOID ZeroMem(VOID* Buffer, UINTN Length) {
  volatile UINT8* p = static_cast<volatile UINT8*>(Buffer);
  for (UINTN i = 0; i < Length; ++i) p[i] = 0;
}

VOID CopyMem(VOID* Destination, const VOID* Source, UINTN Length) {
  volatile UINT8* d = static_cast<volatile UINT8*>(Destination);
  const volatile UINT8* s = static_cast<const volatile UINT8*>(Source);
  for (UINTN i = 0; i < Length; ++i) d[i] = s[i];
}
