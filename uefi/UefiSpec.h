// EFI system table, boot services and runtime services (UEFI 2.x, x64 layout).
#pragma once

#include "uefi/UefiBaseType.h"

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24);

struct EFI_CONFIGURATION_TABLE {
  EFI_GUID VendorGuid;
  VOID* VendorTable;
};
static_assert(sizeof(EFI_CONFIGURATION_TABLE) == 24 && offsetof(EFI_CONFIGURATION_TABLE, VendorTable) == 16);

typedef VOID* EFI_UNUSED_SERVICE;  // slot present in the table, never called by these drivers

typedef EFI_STATUS(EFIAPI* EFI_ALLOCATE_POOL)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID** Buffer);
typedef EFI_STATUS(EFIAPI* EFI_FREE_POOL)(VOID* Buffer);
typedef EFI_STATUS(EFIAPI* EFI_INSTALL_PROTOCOL_INTERFACE)(EFI_HANDLE* Handle, EFI_GUID* Protocol,
                                                           EFI_INTERFACE_TYPE InterfaceType, VOID* Interface);
typedef EFI_STATUS(EFIAPI* EFI_LOCATE_PROTOCOL)(EFI_GUID* Protocol, VOID* Registration, VOID** Interface);
typedef EFI_STATUS(EFIAPI* EFI_STALL)(UINTN Microseconds);

// One entry of the UEFI memory map. Entries are DescriptorSize bytes apart, which may be
// more than sizeof (EFI_MEMORY_DESCRIPTOR).
struct EFI_MEMORY_DESCRIPTOR {
  UINT32 Type;  // EFI_MEMORY_TYPE
  UINT32 Pad;
  UINT64 PhysicalStart;
  UINT64 VirtualStart;
  UINT64 NumberOfPages;  // 4 KiB pages
  UINT64 Attribute;
};
static_assert(sizeof(EFI_MEMORY_DESCRIPTOR) == 40 && offsetof(EFI_MEMORY_DESCRIPTOR, PhysicalStart) == 8 &&
              offsetof(EFI_MEMORY_DESCRIPTOR, NumberOfPages) == 24);
constexpr UINT64 EFI_PAGE_SHIFT = 12;
typedef EFI_STATUS(EFIAPI* EFI_GET_MEMORY_MAP)(UINTN* MemoryMapSize, EFI_MEMORY_DESCRIPTOR* MemoryMap, UINTN* MapKey,
                                               UINTN* DescriptorSize, UINT32* DescriptorVersion);

struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_UNUSED_SERVICE RaiseTPL;
  EFI_UNUSED_SERVICE RestoreTPL;
  EFI_UNUSED_SERVICE AllocatePages;
  EFI_UNUSED_SERVICE FreePages;
  EFI_GET_MEMORY_MAP GetMemoryMap;
  EFI_ALLOCATE_POOL AllocatePool;
  EFI_FREE_POOL FreePool;
  EFI_UNUSED_SERVICE CreateEvent;
  EFI_UNUSED_SERVICE SetTimer;
  EFI_UNUSED_SERVICE WaitForEvent;
  EFI_UNUSED_SERVICE SignalEvent;
  EFI_UNUSED_SERVICE CloseEvent;
  EFI_UNUSED_SERVICE CheckEvent;
  EFI_INSTALL_PROTOCOL_INTERFACE InstallProtocolInterface;
  EFI_UNUSED_SERVICE ReinstallProtocolInterface;
  EFI_UNUSED_SERVICE UninstallProtocolInterface;
  EFI_UNUSED_SERVICE HandleProtocol;
  VOID* Reserved;
  EFI_UNUSED_SERVICE RegisterProtocolNotify;
  EFI_UNUSED_SERVICE LocateHandle;
  EFI_UNUSED_SERVICE LocateDevicePath;
  EFI_UNUSED_SERVICE InstallConfigurationTable;
  EFI_UNUSED_SERVICE LoadImage;
  EFI_UNUSED_SERVICE StartImage;
  EFI_UNUSED_SERVICE Exit;
  EFI_UNUSED_SERVICE UnloadImage;
  EFI_UNUSED_SERVICE ExitBootServices;
  EFI_UNUSED_SERVICE GetNextMonotonicCount;
  EFI_STALL Stall;
  EFI_UNUSED_SERVICE SetWatchdogTimer;
  EFI_UNUSED_SERVICE ConnectController;
  EFI_UNUSED_SERVICE DisconnectController;
  EFI_UNUSED_SERVICE OpenProtocol;
  EFI_UNUSED_SERVICE CloseProtocol;
  EFI_UNUSED_SERVICE OpenProtocolInformation;
  EFI_UNUSED_SERVICE ProtocolsPerHandle;
  EFI_UNUSED_SERVICE LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL LocateProtocol;
  EFI_UNUSED_SERVICE InstallMultipleProtocolInterfaces;
  EFI_UNUSED_SERVICE UninstallMultipleProtocolInterfaces;
  EFI_UNUSED_SERVICE CalculateCrc32;
  EFI_UNUSED_SERVICE CopyMem;
  EFI_UNUSED_SERVICE SetMem;
  EFI_UNUSED_SERVICE CreateEventEx;
};
static_assert(sizeof(EFI_BOOT_SERVICES) == 376);
static_assert(offsetof(EFI_BOOT_SERVICES, GetMemoryMap) == 0x38);
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePool) == 0x40);
static_assert(offsetof(EFI_BOOT_SERVICES, FreePool) == 0x48);
static_assert(offsetof(EFI_BOOT_SERVICES, InstallProtocolInterface) == 0x80);
static_assert(offsetof(EFI_BOOT_SERVICES, HandleProtocol) == 0x98);
static_assert(offsetof(EFI_BOOT_SERVICES, Stall) == 0xF8);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateHandleBuffer) == 0x138);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateProtocol) == 0x140);
static_assert(offsetof(EFI_BOOT_SERVICES, CreateEventEx) == 0x170);

typedef EFI_STATUS(EFIAPI* EFI_CONVERT_POINTER)(UINTN DebugDisposition, VOID** Address);
typedef EFI_STATUS(EFIAPI* EFI_GET_VARIABLE)(CHAR16* VariableName, EFI_GUID* VendorGuid, UINT32* Attributes,
                                             UINTN* DataSize, VOID* Data);
typedef EFI_STATUS(EFIAPI* EFI_SET_VARIABLE)(CHAR16* VariableName, EFI_GUID* VendorGuid, UINT32 Attributes,
                                             UINTN DataSize, VOID* Data);

struct EFI_RUNTIME_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_UNUSED_SERVICE GetTime;
  EFI_UNUSED_SERVICE SetTime;
  EFI_UNUSED_SERVICE GetWakeupTime;
  EFI_UNUSED_SERVICE SetWakeupTime;
  EFI_UNUSED_SERVICE SetVirtualAddressMap;
  EFI_CONVERT_POINTER ConvertPointer;
  EFI_GET_VARIABLE GetVariable;
  EFI_UNUSED_SERVICE GetNextVariableName;
  EFI_SET_VARIABLE SetVariable;
  EFI_UNUSED_SERVICE GetNextHighMonotonicCount;
  EFI_UNUSED_SERVICE ResetSystem;
  EFI_UNUSED_SERVICE UpdateCapsule;
  EFI_UNUSED_SERVICE QueryCapsuleCapabilities;
  EFI_UNUSED_SERVICE QueryVariableInfo;
};
static_assert(sizeof(EFI_RUNTIME_SERVICES) == 136);
static_assert(offsetof(EFI_RUNTIME_SERVICES, ConvertPointer) == 0x40);
static_assert(offsetof(EFI_RUNTIME_SERVICES, GetVariable) == 0x48);
static_assert(offsetof(EFI_RUNTIME_SERVICES, SetVariable) == 0x58);
static_assert(offsetof(EFI_RUNTIME_SERVICES, QueryVariableInfo) == 0x80);

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16* FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  VOID* ConIn;
  EFI_HANDLE ConsoleOutHandle;
  VOID* ConOut;
  EFI_HANDLE StandardErrorHandle;
  VOID* StdErr;
  EFI_RUNTIME_SERVICES* RuntimeServices;
  EFI_BOOT_SERVICES* BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE* ConfigurationTable;
};
static_assert(sizeof(EFI_SYSTEM_TABLE) == 120);
static_assert(offsetof(EFI_SYSTEM_TABLE, FirmwareRevision) == 32);
static_assert(offsetof(EFI_SYSTEM_TABLE, ConOut) == 64);
static_assert(offsetof(EFI_SYSTEM_TABLE, RuntimeServices) == 88);
static_assert(offsetof(EFI_SYSTEM_TABLE, BootServices) == 96);
static_assert(offsetof(EFI_SYSTEM_TABLE, ConfigurationTable) == 112);

typedef EFI_STATUS(EFIAPI* EFI_IMAGE_ENTRY_POINT)(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable);

constexpr UINT64 EFI_SYSTEM_TABLE_SIGNATURE = 0x5453595320494249ULL;   // "IBI SYST"
constexpr UINT64 EFI_BOOT_SERVICES_SIGNATURE = 0x56524553544f4f42ULL;  // "BOOTSERV"
constexpr UINT64 EFI_RUNTIME_SERVICES_SIGNATURE = 0x56524553544e5552ULL;  // "RUNTSERV"

constexpr EFI_GUID EFI_HOB_LIST_GUID = {0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};
constexpr EFI_GUID EFI_DXE_SERVICES_TABLE_GUID = {0x05AD34BA, 0x6F02, 0x4214, {0x95, 0x2E, 0x4D, 0xA0, 0x39, 0x8E, 0x2B, 0xB9}};
constexpr EFI_GUID EFI_VARIABLE_ARCH_PROTOCOL_GUID = {0x1E5668E2, 0x8481, 0x11D4, {0xBC, 0xF1, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}};
constexpr EFI_GUID EFI_VARIABLE_WRITE_ARCH_PROTOCOL_GUID = {0x6441F818, 0x6362, 0x4E44, {0xB5, 0x70, 0x7D, 0xBA, 0x31, 0xDD, 0x24, 0x53}};
