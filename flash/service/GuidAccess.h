// GUIDs in caller memory.
#pragma once

#include "uefi/UefiBaseType.h"

// Reads the 16 bytes at Address (each once) and compares them with Guid.
BOOLEAN GuidEqualsAt(UINT64 Address, const EFI_GUID& Guid);
