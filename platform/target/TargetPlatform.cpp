// Real instructions, for the PE32+ firmware build.
#include "platform/Platform.h"

template <typename T>
static inline T Load(UINT64 Address) {
  return *reinterpret_cast<volatile T*>(static_cast<UINTN>(Address));
}
template <typename T>
static inline VOID Store(UINT64 Address, T Value) {
  *reinterpret_cast<volatile T*>(static_cast<UINTN>(Address)) = Value;
}

UINT8 MmioRead8(UINT64 Address) { return Load<UINT8>(Address); }
UINT16 MmioRead16(UINT64 Address) { return Load<UINT16>(Address); }
UINT32 MmioRead32(UINT64 Address) { return Load<UINT32>(Address); }
UINT64 MmioRead64(UINT64 Address) { return Load<UINT64>(Address); }
VOID MmioWrite8(UINT64 Address, UINT8 Value) { Store(Address, Value); }
VOID MmioWrite16(UINT64 Address, UINT16 Value) { Store(Address, Value); }
VOID MmioWrite32(UINT64 Address, UINT32 Value) { Store(Address, Value); }
VOID MmioWrite64(UINT64 Address, UINT64 Value) { Store(Address, Value); }

UINT8 IoRead8(UINT16 Port) {
  UINT8 v;
  __asm__ __volatile__("inb %1, %0" : "=a"(v) : "Nd"(Port));
  return v;
}
VOID IoWrite8(UINT16 Port, UINT8 Value) { __asm__ __volatile__("outb %0, %1" : : "a"(Value), "Nd"(Port)); }
UINT32 IoRead32(UINT16 Port) {
  UINT32 v;
  __asm__ __volatile__("inl %1, %0" : "=a"(v) : "Nd"(Port));
  return v;
}

UINT64 AsmReadMsr64(UINT32 Index) {
  UINT32 lo, hi;
  __asm__ __volatile__("rdmsr" : "=a"(lo), "=d"(hi) : "c"(Index));
  return (static_cast<UINT64>(hi) << 32) | lo;
}
VOID AsmWriteMsr64(UINT32 Index, UINT64 Value) {
  __asm__ __volatile__("wrmsr" : : "c"(Index), "a"(static_cast<UINT32>(Value)), "d"(static_cast<UINT32>(Value >> 32)));
}

VOID CpuPause() { __asm__ __volatile__("pause"); }
VOID AsmCpuid(UINT32 Leaf, UINT32* Eax, UINT32* Ebx, UINT32* Ecx, UINT32* Edx) {
  UINT32 a, b, c, d;
  __asm__ __volatile__("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(Leaf), "c"(0));
  if (Eax) *Eax = a;
  if (Ebx) *Ebx = b;
  if (Ecx) *Ecx = c;
  if (Edx) *Edx = d;
}
VOID AsmFlushCacheLine(UINT64 Address) {
  __asm__ __volatile__("clflush (%0)" : : "r"(static_cast<UINTN>(Address)) : "memory");
}
VOID AsmWbinvd() { __asm__ __volatile__("wbinvd" : : : "memory"); }

// No C runtime on the firmware target: the compiler may still emit these for struct
// copies and zero-initialised locals. rep movsb/stosb keep the optimiser from turning
// them back into calls to themselves.
extern "C" void* memcpy(void* d, const void* s, size_t n) {
  void* r = d;
  __asm__ __volatile__("rep movsb" : "+D"(d), "+S"(s), "+c"(n) : : "memory");
  return r;
}
extern "C" void* memset(void* d, int c, size_t n) {
  void* r = d;
  __asm__ __volatile__("rep stosb" : "+D"(d), "+c"(n) : "a"(c) : "memory");
  return r;
}
