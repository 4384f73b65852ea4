// Fundamental UEFI types, status codes and GUIDs. Binary-exact for x64; shared by the
// firmware build (clang, PE32+ target) and the Linux host build (g++), so every
// function type crossing an image boundary carries EFIAPI.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define EFIAPI __attribute__((ms_abi))

typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int8_t INT8;
typedef int16_t INT16;
typedef int32_t INT32;
typedef int64_t INT64;
typedef uint64_t UINTN;
typedef int64_t INTN;
typedef uint8_t BOOLEAN;
typedef char16_t CHAR16;
typedef char CHAR8;
typedef void VOID;

#ifndef TRUE
#define TRUE ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)
#endif

typedef UINTN EFI_STATUS;
typedef VOID* EFI_HANDLE;
typedef VOID* EFI_EVENT;
typedef UINTN EFI_TPL;
typedef UINT64 EFI_PHYSICAL_ADDRESS;
typedef UINT64 EFI_VIRTUAL_ADDRESS;

struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16 && alignof(EFI_GUID) == 4);

constexpr bool GuidEquals(const EFI_GUID& a, const EFI_GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}

constexpr UINTN kEfiErrorBit = 0x8000000000000000ULL;
constexpr bool EFI_ERROR(EFI_STATUS s) { return (s & kEfiErrorBit) != 0; }

constexpr EFI_STATUS EFI_SUCCESS = 0;
constexpr EFI_STATUS EFI_LOAD_ERROR = kEfiErrorBit | 1;
constexpr EFI_STATUS EFI_INVALID_PARAMETER = kEfiErrorBit | 2;
constexpr EFI_STATUS EFI_UNSUPPORTED = kEfiErrorBit | 3;
constexpr EFI_STATUS EFI_BAD_BUFFER_SIZE = kEfiErrorBit | 4;
constexpr EFI_STATUS EFI_BUFFER_TOO_SMALL = kEfiErrorBit | 5;
constexpr EFI_STATUS EFI_NOT_READY = kEfiErrorBit | 6;
constexpr EFI_STATUS EFI_DEVICE_ERROR = kEfiErrorBit | 7;
constexpr EFI_STATUS EFI_WRITE_PROTECTED = kEfiErrorBit | 8;
constexpr EFI_STATUS EFI_OUT_OF_RESOURCES = kEfiErrorBit | 9;
constexpr EFI_STATUS EFI_NOT_FOUND = kEfiErrorBit | 14;
constexpr EFI_STATUS EFI_ACCESS_DENIED = kEfiErrorBit | 15;
constexpr EFI_STATUS EFI_TIMEOUT = kEfiErrorBit | 18;
constexpr EFI_STATUS EFI_ALREADY_STARTED = kEfiErrorBit | 20;

enum EFI_MEMORY_TYPE : UINT32 {
  EfiReservedMemoryType = 0,
  EfiLoaderCode = 1,
  EfiLoaderData = 2,
  EfiBootServicesCode = 3,
  EfiBootServicesData = 4,
  EfiRuntimeServicesCode = 5,
  EfiRuntimeServicesData = 6,
  EfiConventionalMemory = 7,
  EfiUnusableMemory = 8,
  EfiACPIReclaimMemory = 9,
  EfiACPIMemoryNVS = 10,
  EfiMemoryMappedIO = 11,
  EfiMemoryMappedIOPortSpace = 12,
  EfiPalCode = 13,
  EfiPersistentMemory = 14,
};
static_assert(sizeof(EFI_MEMORY_TYPE) == 4);

enum EFI_INTERFACE_TYPE : UINT32 { EFI_NATIVE_INTERFACE = 0 };
enum EFI_LOCATE_SEARCH_TYPE : UINT32 { AllHandles = 0, ByRegisterNotify = 1, ByProtocol = 2 };

constexpr UINT32 EFI_VARIABLE_NON_VOLATILE = 0x1;
constexpr UINT32 EFI_VARIABLE_BOOTSERVICE_ACCESS = 0x2;
constexpr UINT32 EFI_VARIABLE_RUNTIME_ACCESS = 0x4;
