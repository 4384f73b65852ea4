// GUID text forms and the GUIDs the image tools know by name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "uefi/UefiBaseType.h"

namespace fwimage {

// "8C8CE578-8A3D-4F1C-9935-896185C32DD3" (either case); nullopt when malformed.
std::optional<EFI_GUID> ParseGuidText(std::string_view text);
// Upper-case registry form.
std::string FormatGuid(const EFI_GUID& guid);
// A registry-form GUID or one of the protocol names of KnownGuidName (e.g.
// "EFI_SMM_CPU_PROTOCOL_GUID"); throws DescriptionError when neither.
EFI_GUID ResolveGuid(std::string_view text);
// The protocol or file name of a GUID the tools know, else empty.
std::string KnownGuidName(const EFI_GUID& guid);

}  // namespace fwimage
