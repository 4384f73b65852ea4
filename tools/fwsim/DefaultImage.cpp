#include "tools/fwsim/DefaultImage.h"

// Until the image builder is wired in: an erased 16 MiB part.
std::vector<uint8_t> BuildDefaultFlashImage(const std::string&) { return std::vector<uint8_t>(16u << 20, 0xFF); }
