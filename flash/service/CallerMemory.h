// Caller memory: the request record and every range it names (data buffers, firmware
// volumes, layout tables). It belongs to whoever raised the SMI, so the service touches
// it only through platform/ accessors and only in ranges that pass these tests: SMRAM, a
// device's registers and memory the operating system owns are never read or written on a
// caller's behalf.
#pragma once

#include "uefi/UefiBaseType.h"

constexpr UINT64 kFourGiB = 0x100000000ULL;

// TRUE when [Address, Address + Length) lies wholly in memory a caller may hand to SMM
// (see frame/MemorySpaceMap.h; outside SMRAM, not wrapping). An empty range is tested as
// its first byte, so that no address is ever handed on unjudged, whatever the length.
BOOLEAN CallerRangeUsable(UINT64 Address, UINT64 Length);
// Firmware volumes and the layout table in them are only read: caller memory, or the
// flash decode window.
BOOLEAN VolumeRangeUsable(UINT64 Address, UINT64 Length);

// CallerRangeUsable, and the range also ends at or below 4 GiB: for addresses carried in
// the request's 32-bit fields, which the service must not let run on past 4 GiB.
BOOLEAN CallerRangeUsableBelow4GiB(UINT64 Address, UINT64 Length);
