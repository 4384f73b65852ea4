// The catalogue of SPI flash parts the simulated board can carry.
#pragma once

#include <string>
#include <vector>

#include "sim/devices/FlashPartSpec.h"

namespace sim {

// Every part in the catalogue, in a fixed order.
const std::vector<FlashPartSpec>& FlashCatalogue();
// The part named `name` (case-insensitive); throws std::runtime_error naming the known
// parts when there is none.
const FlashPartSpec& FindFlashPart(const std::string& name);
// Nullptr instead of an exception.
const FlashPartSpec* LookupFlashPart(const std::string& name);

}  // namespace sim
