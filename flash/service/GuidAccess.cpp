#include "flash/service/GuidAccess.h"

#include "platform/Platform.h"

BOOLEAN GuidEqualsAt(UINT64 Address, const EFI_GUID& Guid) {
  UINT8 bytes[sizeof(EFI_GUID)];
  if ((Address & 3) == 0) {
    for (UINT64 i = 0; i < sizeof bytes; i += 4) {
      UINT32 v = MmioRead32(Address + i);
      for (UINT64 b = 0; b < 4; ++b) bytes[i + b] = static_cast<UINT8>(v >> (8 * b));
    }
  } else {
    for (UINT64 i = 0; i < sizeof bytes; ++i) bytes[i] = MmioRead8(Address + i);
  }
  EFI_GUID read{};
  CopyMem(&read, bytes, sizeof read);
  return GuidEquals(read, Guid) ? TRUE : FALSE;
}
