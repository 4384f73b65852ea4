// DXE services table (PI volume 2): the global coherency domain's memory-space map.
#pragma once

#include "uefi/UefiSpec.h"

enum EFI_GCD_MEMORY_TYPE : UINT32 {
  EfiGcdMemoryTypeNonExistent = 0,
  EfiGcdMemoryTypeReserved = 1,
  EfiGcdMemoryTypeSystemMemory = 2,
  EfiGcdMemoryTypeMemoryMappedIo = 3,
  EfiGcdMemoryTypePersistent = 4,
  EfiGcdMemoryTypeMoreReliable = 5,
};

struct EFI_GCD_MEMORY_SPACE_DESCRIPTOR {
  UINT64 BaseAddress;
  UINT64 Length;
  UINT64 Capabilities;
  UINT64 Attributes;
  EFI_GCD_MEMORY_TYPE GcdMemoryType;
  EFI_HANDLE ImageHandle;
  EFI_HANDLE DeviceHandle;
};
static_assert(sizeof(EFI_GCD_MEMORY_SPACE_DESCRIPTOR) == 56 &&
              offsetof(EFI_GCD_MEMORY_SPACE_DESCRIPTOR, GcdMemoryType) == 32 &&
              offsetof(EFI_GCD_MEMORY_SPACE_DESCRIPTOR, ImageHandle) == 40);

// The map is allocated from boot-services pool; the caller frees it with FreePool.
typedef EFI_STATUS(EFIAPI* EFI_GET_MEMORY_SPACE_MAP)(UINTN* NumberOfDescriptors,
                                                     EFI_GCD_MEMORY_SPACE_DESCRIPTOR** MemorySpaceMap);

struct DXE_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_UNUSED_SERVICE AddMemorySpace;
  EFI_UNUSED_SERVICE AllocateMemorySpace;
  EFI_UNUSED_SERVICE FreeMemorySpace;
  EFI_UNUSED_SERVICE RemoveMemorySpace;
  EFI_UNUSED_SERVICE GetMemorySpaceDescriptor;
  EFI_UNUSED_SERVICE SetMemorySpaceAttributes;
  EFI_GET_MEMORY_SPACE_MAP GetMemorySpaceMap;
};
static_assert(offsetof(DXE_SERVICES, GetMemorySpaceMap) == 0x48);

constexpr UINT64 DXE_SERVICES_SIGNATURE = 0x565245535f455844ULL;  // "DXE_SERV"
