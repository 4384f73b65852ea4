// Identification of the SPI flash part from its JEDEC identifier: the family routines
// with their tables, and the configuration of the controller and the part that follows.
#pragma once

#include "flash/device/FlashDeviceRecord.h"

// Reads the 3-byte JEDEC identifier (manufacturer in bits 7:0, memory type 15:8,
// capacity 23:16). Always TRUE.
BOOLEAN SpiReadJedecId(UINT32* Id);

// Runs the routines of IdentifyRoutineList in order, stopping at the first that accepts
// the part. Whether a part was found shows only in SelectedFlashDevice.
EFI_STATUS IdentifyFlashPart(UINT64 FlashBase);
// Runs the routines from First (inclusive) to the end of the list with Device as output.
BOOLEAN RunIdentifyRoutines(const IDENTIFY_ROUTINE* First, UINT64 FlashBase, FlashDeviceRecord** Device);

BOOLEAN IdentifyByteProgramParts(UINT64 FlashBase, FlashDeviceRecord** Device);
BOOLEAN IdentifyCommonParts(UINT64 FlashBase, FlashDeviceRecord** Device);
BOOLEAN IdentifyAtmelParts(UINT64 FlashBase, FlashDeviceRecord** Device);
BOOLEAN IdentifyLegacySstParts(UINT64 FlashBase, FlashDeviceRecord** Device);

// NULL-terminated, in the order the routines are tried.
extern const IDENTIFY_ROUTINE IdentifyRoutineList[];

// Component capabilities, SST 26 global unlock, and the status-register protection of
// the part under the bottom of the default BIOS window.
VOID ConfigureIdentifiedPart();
