// Caller memory: the request record and every range it names (data buffers, firmware
// volumes, layout tables). It belongs to whoever raised the SMI, so the service touches
// it only through platform/ accessors and only in ranges that pass these tests: SMRAM is
// never read or written on a caller's behalf.
#pragma once

#include "uefi/UefiBaseType.h"

constexpr UINT64 kFourGiB = 0x100000000ULL;

// TRUE when [Address, Address + Length) lies wholly outside SMRAM and does not wrap the
// 64-bit address space. An empty range is tested as its first byte, so that no address
// inside SMRAM is ever handed on, whatever the length.
BOOLEAN CallerRangeUsable(UINT64 Address, UINT64 Length);

// CallerRangeUsable, and the range also ends at or below 4 GiB: for addresses carried in
// the request's 32-bit fields, which the service must not let run on past 4 GiB.
BOOLEAN CallerRangeUsableBelow4GiB(UINT64 Address, UINT64 Length);
