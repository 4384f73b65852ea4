// PI 1.x SMM system table and the SMM protocols these drivers use (x64 layout).
#pragma once

#include "uefi/UefiSpec.h"

struct EFI_SMM_SYSTEM_TABLE2;

typedef EFI_STATUS(EFIAPI* EFI_SMM_HANDLER_ENTRY_POINT2)(EFI_HANDLE DispatchHandle, const VOID* Context,
                                                         VOID* CommBuffer, UINTN* CommBufferSize);
typedef EFI_STATUS(EFIAPI* EFI_SMM_NOTIFY_FN)(const EFI_GUID* Protocol, VOID* Interface, EFI_HANDLE Handle);

typedef EFI_STATUS(EFIAPI* EFI_SMM_IO_ACCESS_FN)(const VOID* This, UINT32 Width, UINT64 Address, UINTN Count,
                                                 VOID* Buffer);
struct EFI_SMM_IO_ACCESS2 {
  EFI_SMM_IO_ACCESS_FN Read;
  EFI_SMM_IO_ACCESS_FN Write;
};
struct EFI_SMM_CPU_IO2_PROTOCOL {
  EFI_SMM_IO_ACCESS2 Mem;
  EFI_SMM_IO_ACCESS2 Io;
};
static_assert(sizeof(EFI_SMM_CPU_IO2_PROTOCOL) == 32);

typedef EFI_STATUS(EFIAPI* EFI_SMM_ALLOCATE_POOL)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID** Buffer);
typedef EFI_STATUS(EFIAPI* EFI_SMM_FREE_POOL)(VOID* Buffer);
typedef EFI_STATUS(EFIAPI* EFI_SMM_INSTALL_PROTOCOL_INTERFACE)(EFI_HANDLE* Handle, EFI_GUID* Protocol,
                                                               EFI_INTERFACE_TYPE InterfaceType, VOID* Interface);
typedef EFI_STATUS(EFIAPI* EFI_SMM_REGISTER_PROTOCOL_NOTIFY)(const EFI_GUID* Protocol, EFI_SMM_NOTIFY_FN Function,
                                                             VOID** Registration);
typedef EFI_STATUS(EFIAPI* EFI_SMM_LOCATE_PROTOCOL)(EFI_GUID* Protocol, VOID* Registration, VOID** Interface);

struct EFI_SMM_SYSTEM_TABLE2 {
  EFI_TABLE_HEADER Hdr;
  CHAR16* SmmFirmwareVendor;
  UINT32 SmmFirmwareRevision;
  EFI_UNUSED_SERVICE SmmInstallConfigurationTable;
  EFI_SMM_CPU_IO2_PROTOCOL SmmIo;
  EFI_SMM_ALLOCATE_POOL SmmAllocatePool;
  EFI_SMM_FREE_POOL SmmFreePool;
  EFI_UNUSED_SERVICE SmmAllocatePages;
  EFI_UNUSED_SERVICE SmmFreePages;
  EFI_UNUSED_SERVICE SmmStartupThisAp;
  UINTN CurrentlyExecutingCpu;
  UINTN NumberOfCpus;
  UINTN* CpuSaveStateSize;
  VOID** CpuSaveState;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE* SmmConfigurationTable;
  EFI_SMM_INSTALL_PROTOCOL_INTERFACE SmmInstallProtocolInterface;
  EFI_UNUSED_SERVICE SmmUninstallProtocolInterface;
  EFI_UNUSED_SERVICE SmmHandleProtocol;
  EFI_SMM_REGISTER_PROTOCOL_NOTIFY SmmRegisterProtocolNotify;
  EFI_UNUSED_SERVICE SmmLocateHandle;
  EFI_SMM_LOCATE_PROTOCOL SmmLocateProtocol;
  EFI_UNUSED_SERVICE SmiManage;
  EFI_UNUSED_SERVICE SmiHandlerRegister;
  EFI_UNUSED_SERVICE SmiHandlerUnRegister;
};
static_assert(sizeof(EFI_SMM_SYSTEM_TABLE2) == 240);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmIo) == 0x30);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmAllocatePool) == 0x50);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmFreePool) == 0x58);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, CurrentlyExecutingCpu) == 0x78);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmInstallProtocolInterface) == 0xA8);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmRegisterProtocolNotify) == 0xC0);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmLocateProtocol) == 0xD0);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmiHandlerUnRegister) == 0xE8);

// ---- EFI_SMM_BASE2_PROTOCOL
struct EFI_SMM_BASE2_PROTOCOL;
typedef EFI_STATUS(EFIAPI* EFI_SMM_INSIDE_OUT2)(const EFI_SMM_BASE2_PROTOCOL* This, BOOLEAN* InSmram);
typedef EFI_STATUS(EFIAPI* EFI_SMM_GET_SMST_LOCATION2)(const EFI_SMM_BASE2_PROTOCOL* This,
                                                       EFI_SMM_SYSTEM_TABLE2** Smst);
struct EFI_SMM_BASE2_PROTOCOL {
  EFI_SMM_INSIDE_OUT2 InSmm;
  EFI_SMM_GET_SMST_LOCATION2 GetSmstLocation;
};
static_assert(sizeof(EFI_SMM_BASE2_PROTOCOL) == 16 && offsetof(EFI_SMM_BASE2_PROTOCOL, GetSmstLocation) == 8);

// ---- EFI_SMM_ACCESS2_PROTOCOL
struct EFI_SMRAM_DESCRIPTOR {
  EFI_PHYSICAL_ADDRESS PhysicalStart;
  EFI_PHYSICAL_ADDRESS CpuStart;
  UINT64 PhysicalSize;
  UINT64 RegionState;
};
static_assert(sizeof(EFI_SMRAM_DESCRIPTOR) == 32);
static_assert(offsetof(EFI_SMRAM_DESCRIPTOR, CpuStart) == 8 && offsetof(EFI_SMRAM_DESCRIPTOR, PhysicalSize) == 16 &&
              offsetof(EFI_SMRAM_DESCRIPTOR, RegionState) == 24);

constexpr UINT64 EFI_SMRAM_OPEN = 0x1;
constexpr UINT64 EFI_SMRAM_CLOSED = 0x2;
constexpr UINT64 EFI_SMRAM_LOCKED = 0x4;
constexpr UINT64 EFI_CACHEABLE = 0x8;
constexpr UINT64 EFI_ALLOCATED = 0x10;

struct EFI_SMM_ACCESS2_PROTOCOL;
typedef EFI_STATUS(EFIAPI* EFI_SMM_OPEN2)(EFI_SMM_ACCESS2_PROTOCOL* This);
typedef EFI_STATUS(EFIAPI* EFI_SMM_CAPABILITIES2)(const EFI_SMM_ACCESS2_PROTOCOL* This, UINTN* SmramMapSize,
                                                  EFI_SMRAM_DESCRIPTOR* SmramMap);
struct EFI_SMM_ACCESS2_PROTOCOL {
  EFI_SMM_OPEN2 Open;
  EFI_SMM_OPEN2 Close;
  EFI_SMM_OPEN2 Lock;
  EFI_SMM_CAPABILITIES2 GetCapabilities;
  BOOLEAN LockState;
  BOOLEAN OpenState;
};
static_assert(sizeof(EFI_SMM_ACCESS2_PROTOCOL) == 40 && offsetof(EFI_SMM_ACCESS2_PROTOCOL, GetCapabilities) == 24 &&
              offsetof(EFI_SMM_ACCESS2_PROTOCOL, LockState) == 32 && offsetof(EFI_SMM_ACCESS2_PROTOCOL, OpenState) == 33);

// ---- EFI_SMM_SW_DISPATCH2_PROTOCOL
struct EFI_SMM_SW_REGISTER_CONTEXT {
  UINTN SwSmiInputValue;
};
static_assert(sizeof(EFI_SMM_SW_REGISTER_CONTEXT) == 8);

struct EFI_SMM_SW_CONTEXT {
  UINTN SwSmiCpuIndex;
  UINT8 CommandPort;
  UINT8 DataPort;
};
static_assert(sizeof(EFI_SMM_SW_CONTEXT) == 16 && offsetof(EFI_SMM_SW_CONTEXT, CommandPort) == 8 &&
              offsetof(EFI_SMM_SW_CONTEXT, DataPort) == 9);

struct EFI_SMM_SW_DISPATCH2_PROTOCOL;
typedef EFI_STATUS(EFIAPI* EFI_SMM_SW_REGISTER2)(const EFI_SMM_SW_DISPATCH2_PROTOCOL* This,
                                                 EFI_SMM_HANDLER_ENTRY_POINT2 DispatchFunction,
                                                 EFI_SMM_SW_REGISTER_CONTEXT* RegisterContext,
                                                 EFI_HANDLE* DispatchHandle);
typedef EFI_STATUS(EFIAPI* EFI_SMM_SW_UNREGISTER2)(const EFI_SMM_SW_DISPATCH2_PROTOCOL* This,
                                                   EFI_HANDLE DispatchHandle);
struct EFI_SMM_SW_DISPATCH2_PROTOCOL {
  EFI_SMM_SW_REGISTER2 Register;
  EFI_SMM_SW_UNREGISTER2 UnRegister;
  UINTN MaximumSwiValue;
};
static_assert(sizeof(EFI_SMM_SW_DISPATCH2_PROTOCOL) == 24 && offsetof(EFI_SMM_SW_DISPATCH2_PROTOCOL, MaximumSwiValue) == 16);

// ---- EFI_SMM_CPU_PROTOCOL
enum EFI_SMM_SAVE_STATE_REGISTER : UINT32 {
  EFI_SMM_SAVE_STATE_REGISTER_GDTBASE = 4,
  EFI_SMM_SAVE_STATE_REGISTER_IDTBASE = 5,
  EFI_SMM_SAVE_STATE_REGISTER_LDTBASE = 6,
  EFI_SMM_SAVE_STATE_REGISTER_GDTLIMIT = 7,
  EFI_SMM_SAVE_STATE_REGISTER_IDTLIMIT = 8,
  EFI_SMM_SAVE_STATE_REGISTER_LDTLIMIT = 9,
  EFI_SMM_SAVE_STATE_REGISTER_LDTINFO = 10,
  EFI_SMM_SAVE_STATE_REGISTER_ES = 20,
  EFI_SMM_SAVE_STATE_REGISTER_CS = 21,
  EFI_SMM_SAVE_STATE_REGISTER_SS = 22,
  EFI_SMM_SAVE_STATE_REGISTER_DS = 23,
  EFI_SMM_SAVE_STATE_REGISTER_FS = 24,
  EFI_SMM_SAVE_STATE_REGISTER_GS = 25,
  EFI_SMM_SAVE_STATE_REGISTER_LDTR_SEL = 26,
  EFI_SMM_SAVE_STATE_REGISTER_TR_SEL = 27,
  EFI_SMM_SAVE_STATE_REGISTER_DR7 = 28,
  EFI_SMM_SAVE_STATE_REGISTER_DR6 = 29,
  EFI_SMM_SAVE_STATE_REGISTER_R8 = 30,
  EFI_SMM_SAVE_STATE_REGISTER_R9 = 31,
  EFI_SMM_SAVE_STATE_REGISTER_R10 = 32,
  EFI_SMM_SAVE_STATE_REGISTER_R11 = 33,
  EFI_SMM_SAVE_STATE_REGISTER_R12 = 34,
  EFI_SMM_SAVE_STATE_REGISTER_R13 = 35,
  EFI_SMM_SAVE_STATE_REGISTER_R14 = 36,
  EFI_SMM_SAVE_STATE_REGISTER_R15 = 37,
  EFI_SMM_SAVE_STATE_REGISTER_RAX = 38,
  EFI_SMM_SAVE_STATE_REGISTER_RBX = 39,
  EFI_SMM_SAVE_STATE_REGISTER_RCX = 40,
  EFI_SMM_SAVE_STATE_REGISTER_RDX = 41,
  EFI_SMM_SAVE_STATE_REGISTER_RSP = 42,
  EFI_SMM_SAVE_STATE_REGISTER_RBP = 43,
  EFI_SMM_SAVE_STATE_REGISTER_RSI = 44,
  EFI_SMM_SAVE_STATE_REGISTER_RDI = 45,
  EFI_SMM_SAVE_STATE_REGISTER_RIP = 46,
  EFI_SMM_SAVE_STATE_REGISTER_RFLAGS = 51,
  EFI_SMM_SAVE_STATE_REGISTER_CR0 = 52,
  EFI_SMM_SAVE_STATE_REGISTER_CR3 = 53,
  EFI_SMM_SAVE_STATE_REGISTER_CR4 = 54,
  EFI_SMM_SAVE_STATE_REGISTER_IO = 512,
  EFI_SMM_SAVE_STATE_REGISTER_LMA = 513,
  EFI_SMM_SAVE_STATE_REGISTER_PROCESSOR_ID = 514,
};
static_assert(sizeof(EFI_SMM_SAVE_STATE_REGISTER) == 4);

struct EFI_SMM_CPU_PROTOCOL;
typedef EFI_STATUS(EFIAPI* EFI_SMM_READ_SAVE_STATE)(const EFI_SMM_CPU_PROTOCOL* This, UINTN Width,
                                                    EFI_SMM_SAVE_STATE_REGISTER Register, UINTN CpuIndex,
                                                    VOID* Buffer);
typedef EFI_STATUS(EFIAPI* EFI_SMM_WRITE_SAVE_STATE)(const EFI_SMM_CPU_PROTOCOL* This, UINTN Width,
                                                     EFI_SMM_SAVE_STATE_REGISTER Register, UINTN CpuIndex,
                                                     const VOID* Buffer);
struct EFI_SMM_CPU_PROTOCOL {
  EFI_SMM_READ_SAVE_STATE ReadSaveState;
  EFI_SMM_WRITE_SAVE_STATE WriteSaveState;
};
static_assert(sizeof(EFI_SMM_CPU_PROTOCOL) == 16);

// ---- EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL
enum EFI_POWER_BUTTON_PHASE : UINT32 { EfiPowerButtonEntry = 0, EfiPowerButtonExit = 1, EfiPowerButtonMax = 2 };
struct EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT {
  EFI_POWER_BUTTON_PHASE Phase;
};
static_assert(sizeof(EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT) == 4);

struct EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL;
typedef EFI_STATUS(EFIAPI* EFI_SMM_POWER_BUTTON_REGISTER2)(const EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL* This,
                                                           EFI_SMM_HANDLER_ENTRY_POINT2 DispatchFunction,
                                                           EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT* RegisterContext,
                                                           EFI_HANDLE* DispatchHandle);
typedef EFI_STATUS(EFIAPI* EFI_SMM_POWER_BUTTON_UNREGISTER2)(const EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL* This,
                                                             EFI_HANDLE DispatchHandle);
struct EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL {
  EFI_SMM_POWER_BUTTON_REGISTER2 Register;
  EFI_SMM_POWER_BUTTON_UNREGISTER2 UnRegister;
};
static_assert(sizeof(EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL) == 16);

// ---- EFI_SMM_SX_DISPATCH2_PROTOCOL
enum EFI_SLEEP_TYPE : UINT32 { SxS0 = 0, SxS1 = 1, SxS2 = 2, SxS3 = 3, SxS4 = 4, SxS5 = 5, EfiMaximumSleepType = 6 };
enum EFI_SLEEP_PHASE : UINT32 { SxEntry = 0, SxExit = 1, EfiMaximumPhase = 2 };
struct EFI_SMM_SX_REGISTER_CONTEXT {
  EFI_SLEEP_TYPE Type;
  EFI_SLEEP_PHASE Phase;
};
static_assert(sizeof(EFI_SMM_SX_REGISTER_CONTEXT) == 8 && offsetof(EFI_SMM_SX_REGISTER_CONTEXT, Phase) == 4);

struct EFI_SMM_SX_DISPATCH2_PROTOCOL;
typedef EFI_STATUS(EFIAPI* EFI_SMM_SX_REGISTER2)(const EFI_SMM_SX_DISPATCH2_PROTOCOL* This,
                                                 EFI_SMM_HANDLER_ENTRY_POINT2 DispatchFunction,
                                                 const EFI_SMM_SX_REGISTER_CONTEXT* RegisterContext,
                                                 EFI_HANDLE* DispatchHandle);
typedef EFI_STATUS(EFIAPI* EFI_SMM_SX_UNREGISTER2)(const EFI_SMM_SX_DISPATCH2_PROTOCOL* This,
                                                   EFI_HANDLE DispatchHandle);
struct EFI_SMM_SX_DISPATCH2_PROTOCOL {
  EFI_SMM_SX_REGISTER2 Register;
  EFI_SMM_SX_UNREGISTER2 UnRegister;
};
static_assert(sizeof(EFI_SMM_SX_DISPATCH2_PROTOCOL) == 16);

// ---- GUIDs
constexpr EFI_GUID EFI_SMM_BASE2_PROTOCOL_GUID = {0xF4CCBFB7, 0xF6E0, 0x47FD, {0x9D, 0xD4, 0x10, 0xA8, 0xF1, 0x50, 0xC1, 0x91}};
constexpr EFI_GUID EFI_SMM_ACCESS2_PROTOCOL_GUID = {0xC2702B74, 0x800C, 0x4131, {0x87, 0x46, 0x8F, 0xB5, 0xB8, 0x9C, 0xE4, 0xAC}};
constexpr EFI_GUID EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID = {0x18A3C6DC, 0x5EEA, 0x48C8, {0xA1, 0xC1, 0xB5, 0x33, 0x89, 0xF9, 0x89, 0x99}};
constexpr EFI_GUID EFI_SMM_CPU_PROTOCOL_GUID = {0xEB346B97, 0x975F, 0x4A9F, {0x8B, 0x22, 0xF8, 0xE9, 0x2B, 0xB3, 0xD5, 0x69}};
constexpr EFI_GUID EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID = {0x1B1183FA, 0x1823, 0x46A7, {0x88, 0x72, 0x9C, 0x57, 0x87, 0x55, 0x40, 0x9D}};
constexpr EFI_GUID EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID = {0x456D2859, 0xA84B, 0x4E47, {0xA2, 0xEE, 0x32, 0x76, 0xD8, 0x86, 0x99, 0x7D}};
