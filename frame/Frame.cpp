#include "frame/Frame.h"

#include "platform/Platform.h"
#include "uefi/BoardProtocols.h"

constinit FrameState gFrame{};

namespace {
constexpr UINT64 kPciExpressBase = 0xE0000000;
constexpr UINTN kSmramDescriptorShift = 5;  // 32-byte EFI_SMRAM_DESCRIPTOR

EFI_SMM_BASE2_PROTOCOL* LocateSmmBase2() {
  VOID* interface = nullptr;
  EFI_GUID guid = EFI_SMM_BASE2_PROTOCOL_GUID;
  if (gFrame.BootServices == nullptr || EFI_ERROR(gFrame.BootServices->LocateProtocol(&guid, nullptr, &interface)))
    return nullptr;
  return static_cast<EFI_SMM_BASE2_PROTOCOL*>(interface);
}

VOID LoadSmramMap() {
  VOID* interface = nullptr;
  EFI_GUID guid = EFI_SMM_ACCESS2_PROTOCOL_GUID;
  if (EFI_ERROR(gFrame.BootServices->LocateProtocol(&guid, nullptr, &interface)) || interface == nullptr) return;
  auto* access = static_cast<EFI_SMM_ACCESS2_PROTOCOL*>(interface);
  UINTN size = 0;
  access->GetCapabilities(access, &size, nullptr);
  if (size == 0) return;
  // Outside SMM there is no SMM system table and so no SMRAM pool: the map stays empty.
  auto* table = static_cast<EFI_SMRAM_DESCRIPTOR*>(AllocatePool(size));
  if (table == nullptr) return;
  if (EFI_ERROR(access->GetCapabilities(access, &size, table))) {
    FreePool(table);
    return;
  }
  gFrame.SmramRangeTable = table;
  gFrame.SmramRangeCount = size >> kSmramDescriptorShift;
}
}  // namespace

VOID FrameRunConstructors(EFI_HANDLE, EFI_SYSTEM_TABLE* SystemTable) {
  gFrame.SystemTable = SystemTable;
  gFrame.BootServices = SystemTable->BootServices;

  if (EFI_SMM_BASE2_PROTOCOL* base2 = LocateSmmBase2()) {
    EFI_SMM_SYSTEM_TABLE2* smst = nullptr;
    if (!EFI_ERROR(base2->GetSmstLocation(base2, &smst))) gFrame.Smst = smst;
  }
  LoadSmramMap();
  LoadMemorySpaceMap();
  gFrame.PciExpressBase = kPciExpressBase;
  gFrame.PciExpressBaseSet = TRUE;

  if (gFrameDriverProfile.ReadsInSmmFlag) {
    if (gFrame.InSmmBase2 == nullptr) gFrame.InSmmBase2 = LocateSmmBase2();
    if (gFrame.InSmmBase2 != nullptr) gFrame.InSmmBase2->InSmm(gFrame.InSmmBase2, &gFrame.InSmmFlag);
  }
  if (gFrameDriverProfile.ConstructorHook != nullptr) gFrameDriverProfile.ConstructorHook();
}

EFI_STATUS FrameSmmGate(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable) {
  if (!gFrame.GateTablesStored) {
    gFrame.SystemTable = SystemTable;
    gFrame.BootServices = SystemTable->BootServices;
    gFrame.RuntimeServices = SystemTable->RuntimeServices;
    gFrame.GateTablesStored = TRUE;
  }
  VOID* interface = nullptr;
  EFI_GUID base2Guid = EFI_SMM_BASE2_PROTOCOL_GUID;
  EFI_STATUS status = gFrame.BootServices->LocateProtocol(&base2Guid, nullptr, &interface);
  if (EFI_ERROR(status)) return status;
  auto* base2 = static_cast<EFI_SMM_BASE2_PROTOCOL*>(interface);
  BOOLEAN inside = FALSE;
  base2->InSmm(base2, &inside);
  if (!inside) return EFI_SUCCESS;
  EFI_SMM_SYSTEM_TABLE2* smst = nullptr;
  status = base2->GetSmstLocation(base2, &smst);
  if (EFI_ERROR(status)) return status;
  gFrame.Smst = smst;

  status = EFI_SUCCESS;
  if (gFrame.FrameSupport == nullptr) {
    EFI_GUID supportGuid = SMM_FRAME_SUPPORT_PROTOCOL_GUID;
    VOID* support = nullptr;
    status = smst->SmmLocateProtocol(&supportGuid, nullptr, &support);
    gFrame.FrameSupport = EFI_ERROR(status) ? nullptr : support;
  }
  if (gFrameDriverProfile.RequiresFrameSupport && EFI_ERROR(status)) return status;
  gFrame.BodyStarted = TRUE;
  return FrameDriverBody(ImageHandle, SystemTable);
}

VOID FrameRunDestructor() {
  // A body that failed part-way may have left a handler registered (the SMI handler
  // before a failed protocol installation): the maps its checks need stay for good.
  if (gFrame.BodyStarted) return;
  FreeMemorySpaceMap();
  if (gFrame.SmramRangeTable != nullptr) {
    FreePool(gFrame.SmramRangeTable);
    gFrame.SmramRangeTable = nullptr;
    gFrame.SmramRangeCount = 0;
  }
}

extern "C" EFI_STATUS EFIAPI _ModuleEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable) {
  FrameRunConstructors(ImageHandle, SystemTable);
  gFrame.EntryStatus = EFI_LOAD_ERROR;
  gFrame.EntryStatus = FrameSmmGate(ImageHandle, SystemTable);
  if (EFI_ERROR(gFrame.EntryStatus)) FrameRunDestructor();
  return gFrame.EntryStatus;
}

VOID* AllocatePool(UINTN Size) {
  if (gFrame.Smst == nullptr) return nullptr;
  VOID* buffer = nullptr;
  if (EFI_ERROR(gFrame.Smst->SmmAllocatePool(EfiRuntimeServicesData, Size, &buffer))) return nullptr;
  return buffer;
}

VOID FreePool(VOID* Buffer) {
  if (Buffer == nullptr) return;
  if (AddressInSmram(reinterpret_cast<UINTN>(Buffer))) {
    if (gFrame.Smst != nullptr) gFrame.Smst->SmmFreePool(Buffer);
  } else if (gFrame.BootServices != nullptr) {
    gFrame.BootServices->FreePool(Buffer);
  }
}

BOOLEAN AddressInSmram(UINT64 Address) {
  for (UINT64 i = 0; i < gFrame.SmramRangeCount; ++i) {
    const EFI_SMRAM_DESCRIPTOR& d = gFrame.SmramRangeTable[i];
    if (d.CpuStart <= Address && Address - d.CpuStart < d.PhysicalSize) return TRUE;
  }
  return FALSE;
}

BOOLEAN RangeOverlapsSmram(UINT64 Address, UINT64 Length) {
  if (Length == 0) return FALSE;
  UINT64 last = Address + (Length - 1);
  if (last < Address) return TRUE;
  for (UINT64 i = 0; i < gFrame.SmramRangeCount; ++i) {
    const EFI_SMRAM_DESCRIPTOR& d = gFrame.SmramRangeTable[i];
    if (d.PhysicalSize == 0) continue;
    UINT64 rangeLast = d.CpuStart + (d.PhysicalSize - 1);
    if (Address <= rangeLast && d.CpuStart <= last) return TRUE;
  }
  return FALSE;
}

UINT64 PciExpressConfigAddress(UINT64 Offset) {
  if (!gFrame.PciExpressBaseSet) {
    gFrame.PciExpressBase = kPciExpressBase;
    gFrame.PciExpressBaseSet = TRUE;
  }
  return gFrame.PciExpressBase + Offset;
}
