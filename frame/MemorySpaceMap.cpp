#include "frame/MemorySpaceMap.h"

#include "frame/Frame.h"
#include "uefi/DxeServices.h"

namespace {
constexpr UINT64 kFourGiB = 0x100000000ULL;

// Memory types SMM keeps mapped after ready-to-lock; a caller's record and buffers may
// only lie there.
constexpr BOOLEAN CallerMemoryType(UINT32 Type) {
  return Type == EfiReservedMemoryType || Type == EfiRuntimeServicesCode || Type == EfiRuntimeServicesData ||
         Type == EfiACPIMemoryNVS;
}

DXE_SERVICES* FindDxeServices() {
  EFI_SYSTEM_TABLE* st = gFrame.SystemTable;
  if (st == nullptr || st->ConfigurationTable == nullptr) return nullptr;
  for (UINTN i = 0; i < st->NumberOfTableEntries; ++i)
    if (GuidEquals(st->ConfigurationTable[i].VendorGuid, EFI_DXE_SERVICES_TABLE_GUID))
      return static_cast<DXE_SERVICES*>(st->ConfigurationTable[i].VendorTable);
  return nullptr;
}

// The range [Base, Base + Length) without wrap; Last is its last byte.
BOOLEAN LastByte(UINT64 Base, UINT64 Length, UINT64* Last) {
  if (Length == 0) return FALSE;
  *Last = Base + (Length - 1);
  return *Last >= Base;
}

BOOLEAN Inside(UINT64 Address, UINT64 Last, UINT64 Base, UINT64 Length) {
  UINT64 rangeLast = 0;
  return LastByte(Base, Length, &rangeLast) && Address >= Base && Last <= rangeLast;
}

BOOLEAN InsideSystemMemory(const EFI_GCD_MEMORY_SPACE_DESCRIPTOR* Gcd, UINTN GcdCount, UINT64 Base, UINT64 Length) {
  UINT64 last = 0;
  if (!LastByte(Base, Length, &last)) return FALSE;
  for (UINTN i = 0; i < GcdCount; ++i)
    if (Gcd[i].GcdMemoryType == EfiGcdMemoryTypeSystemMemory && Inside(Base, last, Gcd[i].BaseAddress, Gcd[i].Length))
      return TRUE;
  return FALSE;
}

// The UEFI memory map into a boot-services buffer; NULL when it cannot be had.
UINT8* ReadUefiMemoryMap(UINTN* Size, UINTN* DescriptorSize) {
  EFI_BOOT_SERVICES* bs = gFrame.BootServices;
  if (bs == nullptr || bs->GetMemoryMap == nullptr) return nullptr;
  UINTN key = 0;
  UINT32 version = 0;
  *Size = 0;
  bs->GetMemoryMap(Size, nullptr, &key, DescriptorSize, &version);
  if (*Size == 0) return nullptr;
  // Room for the descriptors the allocation itself may add.
  *Size += 4 * sizeof(EFI_MEMORY_DESCRIPTOR);
  VOID* buffer = nullptr;
  if (EFI_ERROR(bs->AllocatePool(EfiBootServicesData, *Size, &buffer)) || buffer == nullptr) return nullptr;
  if (EFI_ERROR(bs->GetMemoryMap(Size, static_cast<EFI_MEMORY_DESCRIPTOR*>(buffer), &key, DescriptorSize, &version)) ||
      *DescriptorSize < sizeof(EFI_MEMORY_DESCRIPTOR)) {
    bs->FreePool(buffer);
    return nullptr;
  }
  return static_cast<UINT8*>(buffer);
}

const MemoryRange* FindRange(UINT64 Address, UINT64 Length, UINT32 Kind) {
  UINT64 last = 0;
  if (!LastByte(Address, Length == 0 ? 1 : Length, &last)) return nullptr;
  for (UINT64 i = 0; i < gFrame.MemoryRangeCount; ++i) {
    const MemoryRange& r = gFrame.MemoryRanges[i];
    if (r.Kind == Kind && Inside(Address, last, r.Base, r.Length)) return &r;
  }
  return nullptr;
}
}  // namespace

VOID LoadMemorySpaceMap() {
  DXE_SERVICES* dxe = FindDxeServices();
  if (dxe == nullptr || dxe->GetMemorySpaceMap == nullptr || gFrame.BootServices == nullptr) return;
  UINTN gcdCount = 0;
  EFI_GCD_MEMORY_SPACE_DESCRIPTOR* gcd = nullptr;
  if (EFI_ERROR(dxe->GetMemorySpaceMap(&gcdCount, &gcd)) || gcd == nullptr) return;
  UINTN mapSize = 0, descriptorSize = 0;
  UINT8* uefiMap = ReadUefiMemoryMap(&mapSize, &descriptorSize);
  if (uefiMap != nullptr) {
    UINTN uefiCount = mapSize / descriptorSize;
    auto* table = static_cast<MemoryRange*>(AllocatePool((gcdCount + uefiCount) * sizeof(MemoryRange)));
    if (table != nullptr) {
      UINT64 count = 0;
      for (UINTN i = 0; i < uefiCount; ++i) {
        const auto* d = reinterpret_cast<const EFI_MEMORY_DESCRIPTOR*>(uefiMap + i * descriptorSize);
        if (!CallerMemoryType(d->Type) || d->NumberOfPages > (~0ULL >> EFI_PAGE_SHIFT)) continue;
        UINT64 length = d->NumberOfPages << EFI_PAGE_SHIFT;
        // Reserved allocations of the memory map may also describe MMIO or holes: only
        // what the memory-space map calls system memory is memory.
        if (InsideSystemMemory(gcd, gcdCount, d->PhysicalStart, length))
          table[count++] = {d->PhysicalStart, length, kMemoryRangeCaller};
      }
      for (UINTN i = 0; i < gcdCount; ++i) {
        if (gcd[i].GcdMemoryType != EfiGcdMemoryTypeMemoryMappedIo || gcd[i].Length == 0) continue;
        const BOOLEAN endsAt4GiB = gcd[i].BaseAddress < kFourGiB && gcd[i].Length == kFourGiB - gcd[i].BaseAddress;
        table[count++] = {gcd[i].BaseAddress, gcd[i].Length, endsAt4GiB ? kMemoryRangeFlashWindow : kMemoryRangeMmio};
      }
      gFrame.MemoryRanges = table;
      gFrame.MemoryRangeCount = count;
    }
    gFrame.BootServices->FreePool(uefiMap);
  }
  gFrame.BootServices->FreePool(gcd);
}

VOID FreeMemorySpaceMap() {
  if (gFrame.MemoryRanges == nullptr) return;
  FreePool(gFrame.MemoryRanges);
  gFrame.MemoryRanges = nullptr;
  gFrame.MemoryRangeCount = 0;
}

BOOLEAN MemorySpaceMapAvailable() { return gFrame.MemoryRanges != nullptr; }

BOOLEAN RangeIsCallerMemory(UINT64 Address, UINT64 Length) {
  UINT64 span = Length == 0 ? 1 : Length;
  if (RangeOverlapsSmram(Address, span)) return FALSE;
  if (!MemorySpaceMapAvailable()) return TRUE;
  return FindRange(Address, span, kMemoryRangeCaller) != nullptr;
}

BOOLEAN RangeIsFlashWindow(UINT64 Address, UINT64 Length) {
  UINT64 span = Length == 0 ? 1 : Length;
  if (RangeOverlapsSmram(Address, span)) return FALSE;
  return FindRange(Address, span, kMemoryRangeFlashWindow) != nullptr;
}

BOOLEAN RangeIsPlatformMmio(UINT64 Address, UINT64 Length) {
  UINT64 span = Length == 0 ? 1 : Length;
  if (RangeOverlapsSmram(Address, span)) return FALSE;
  if (!MemorySpaceMapAvailable()) return TRUE;
  return FindRange(Address, span, kMemoryRangeMmio) != nullptr;
}
