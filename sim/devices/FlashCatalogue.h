// The catalogue of SPI flash parts the simulated board can carry.
#pragma once

#include <string>
#include <vector>

#include "sim/devices/FlashPartDatasheet.h"

namespace sim {

// Every part in the catalogue, in a fixed order.
const std::vector<FlashPartDatasheet>& FlashCatalogue();
// The part named `name` (case-insensitive); throws std::runtime_error naming the known
// parts when there is none.
const FlashPartDatasheet& FindFlashPart(const std::string& name);
// Nullptr instead of an exception.
const FlashPartDatasheet* LookupFlashPart(const std::string& name);

}  // namespace sim
