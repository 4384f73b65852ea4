// What makes a PE32+ image unfit for a UEFI loader as a driver of this project.
#pragma once

#include <string>
#include <vector>

#include "sim/cpu/PeImage.h"

namespace fwtest {

using sim::ParsePe;
using sim::PeImage;
using sim::PeDirectory;
using sim::PeSection;
using sim::kDirectoryBaseReloc;
using sim::kDirectoryIat;
using sim::kDirectoryImport;
using sim::kFileExecutable;
using sim::kFileRelocsStripped;
using sim::kSectionExecute;
using sim::kSectionWrite;

// Empty when fit.
std::vector<std::string> CheckFirmwareImage(const PeImage& pe, const std::vector<uint8_t>& file);

}  // namespace fwtest
