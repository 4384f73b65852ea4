#include "flash/device/FlashIdentification.h"

#include "flash/device/ComponentCapabilities.h"
#include "flash/device/FlashDeviceLayer.h"
#include "flash/device/SpiBarAccess.h"
#include "flash/device/BiosGuardFlashDevice.h"
#include "platform/Platform.h"

using namespace spi;

namespace {

constexpr UINT32 kJedecIdMask = 0x00FFFFFF;
constexpr UINT32 kJedecReadStallUs = 10;
constexpr UINT32 kMicronSectorBytes = 262144;
constexpr UINT32 kMicronSectorPartSize = 16 * kMiB;
constexpr UINT32 kPageProgramUnit = 256;
constexpr UINT32 kPageUnitFromSize = 8 * kMiB;

struct FamilyRoutine {
  const IdentificationTable* Table;
  FlashPartProfile SpiFlashDeviceLayer::*Profile;
  BOOLEAN Configure;
};

// Writes the row's per-part values into the family profile itself (a field the row does
// not name keeps the profile's current value).
VOID ApplyRow(const IdentificationRow& Row, UINT32 Size, FlashPartProfile& Profile) {
  if (Row.EraseUnit != 0) Profile.EraseUnit = Row.EraseUnit;
  if (Row.EraseOpcode != 0) Profile.EraseOpcode = Row.EraseOpcode;
  if (Row.ClearStatusWriteEnable) Profile.StatusWriteEnableOpcode = 0;
  switch (Row.Special) {
    case RowSpecial::kSectorBySize:
      Profile.EraseUnit = Size == kMicronSectorPartSize ? kMicronSectorBytes : 65536;
      break;
    case RowSpecial::kPageUnitFrom8MiB:
      if (Size >= kPageUnitFromSize) Profile.ProgramUnit = kPageProgramUnit;
      break;
    case RowSpecial::kSst26Unlock:
      gSpiFlashDeviceLayer.Sst26UnlockFlag = TRUE;
      break;
    case RowSpecial::kNone:
      break;
  }
}

BOOLEAN IdentifyFamily(const FamilyRoutine& Family, FlashDeviceRecord** Device) {
  UINT32 id = 0;
  if (!SpiReadJedecId(&id)) return FALSE;
  const IdentificationRow* row = FindIdentificationRow(*Family.Table, id);
  if (row == nullptr) return FALSE;
  SpiFlashDeviceLayer& s = gSpiFlashDeviceLayer;
  UINT8 capacity = static_cast<UINT8>(id >> 16);
  UINT32 size = row->Rule == CapacityRule::kFixed ? row->FixedSize : CapacitySize(row->Rule, capacity);
  FlashPartProfile& profile = s.*Family.Profile;
  ApplyRow(*row, size, profile);

  s.FlashSize = size;
  // The name is copied without its terminator, so the buffer is cleared first: a shorter
  // name must not keep the tail of a longer one identified before it.
  ZeroMem(s.PartNameBuffer, sizeof s.PartNameBuffer);
  for (UINT32 i = 0; row->Name[i] != '\0' && i < kPartNameBufferBytes - 1; ++i) s.PartNameBuffer[i] = row->Name[i];
  *Device = &s.SpiFlashDevice;
  s.CurrentPartProfile = profile;
  s.FlashJedecId = id;
  s.SpiFlashDevice.ProgramUnit = profile.ProgramUnit;
  s.SpiFlashDevice.EraseUnit = profile.EraseUnit;
  s.SpiFlashDevice.PartName = s.PartNameBuffer;
  if (Family.Configure) ConfigureIdentifiedPart();
  return TRUE;
}

constexpr FamilyRoutine kByteProgramFamily = {&kByteProgramTable, &SpiFlashDeviceLayer::ProfileByteProgram, TRUE};
constexpr FamilyRoutine kCommonFamily = {&kCommonTable, &SpiFlashDeviceLayer::ProfileCommon, TRUE};
constexpr FamilyRoutine kAtmelFamily = {&kAtmelTable, &SpiFlashDeviceLayer::ProfileAtmel, TRUE};
constexpr FamilyRoutine kLegacySstFamily = {&kLegacySstTable, &SpiFlashDeviceLayer::ProfileLegacySst, FALSE};

}  // namespace

BOOLEAN SpiReadJedecId(UINT32* Id) {
  SpiRefreshBar();
  // A refused read gives no identifier: FDATA0 would hold an earlier transfer.
  if (EFI_ERROR(SpiAddressedCycle(kFcycleReadJedecId, 0, 3))) return FALSE;
  MicroSecondDelay(kJedecReadStallUs);
  *Id = SpiRead32(kFdata0) & kJedecIdMask;
  return TRUE;
}

BOOLEAN IdentifyByteProgramParts(UINT64, FlashDeviceRecord** Device) { return IdentifyFamily(kByteProgramFamily, Device); }
BOOLEAN IdentifyCommonParts(UINT64, FlashDeviceRecord** Device) { return IdentifyFamily(kCommonFamily, Device); }
BOOLEAN IdentifyAtmelParts(UINT64, FlashDeviceRecord** Device) { return IdentifyFamily(kAtmelFamily, Device); }
BOOLEAN IdentifyLegacySstParts(UINT64, FlashDeviceRecord** Device) { return IdentifyFamily(kLegacySstFamily, Device); }

// The BIOS Guard selection goes first: with BIOS Guard in force it runs the routines after
// it itself, once, for the part behind the BIOS Guard device.
const IDENTIFY_ROUTINE IdentifyRoutineList[] = {SelectBiosGuardDevice,  IdentifyByteProgramParts, IdentifyCommonParts,
                                                IdentifyAtmelParts,     IdentifyLegacySstParts,   nullptr};

BOOLEAN RunIdentifyRoutines(const IDENTIFY_ROUTINE* First, UINT64 FlashBase, FlashDeviceRecord** Device) {
  for (const IDENTIFY_ROUTINE* routine = First; *routine != nullptr; ++routine)
    if ((*routine)(FlashBase, Device)) return TRUE;
  return FALSE;
}

EFI_STATUS IdentifyFlashPart(UINT64 FlashBase) {
  RunIdentifyRoutines(IdentifyRoutineList, FlashBase, &gSpiFlashDeviceLayer.SelectedFlashDevice);
  return EFI_SUCCESS;
}

VOID ConfigureIdentifiedPart() {
  SpiRefreshBar();
  if (EFI_ERROR(ProgramCapabilitiesFromDescriptor())) ProgramCapabilitiesFromProfile(gSpiFlashDeviceLayer.CurrentPartProfile);
  if (gSpiFlashDeviceLayer.Sst26UnlockFlag) GlobalBlockUnlock();
  ClearStatusProtection(kBiosWindowBase);
}
