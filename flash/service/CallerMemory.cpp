#include "flash/service/CallerMemory.h"

#include "frame/Frame.h"

BOOLEAN CallerRangeUsable(UINT64 Address, UINT64 Length) { return RangeIsCallerMemory(Address, Length); }

BOOLEAN VolumeRangeUsable(UINT64 Address, UINT64 Length) {
  return RangeIsCallerMemory(Address, Length) || RangeIsFlashWindow(Address, Length);
}

BOOLEAN CallerRangeUsableBelow4GiB(UINT64 Address, UINT64 Length) {
  if (Address > kFourGiB || Length > kFourGiB - Address) return FALSE;
  return CallerRangeUsable(Address, Length);
}
