// Firmware volumes broken in one way each, for the hostile-request campaign.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hostile {

struct MalformedVolume {
  std::string what;
  std::vector<uint8_t> bytes;
};

// At least sixty volumes. Some hold a file named with the "$TPM" area GUID that a correct
// walk must not report (it lies past FvLength, or is too short, or follows corrupt data).
std::vector<MalformedVolume> MalformedVolumes();

// FvLength as the volume header states it.
uint64_t StatedFvLength(const std::vector<uint8_t>& volume);

}  // namespace hostile
