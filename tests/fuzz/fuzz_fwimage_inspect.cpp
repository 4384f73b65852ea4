// fwimage show on any bytes: the flash descriptor and its VSCC table, firmware volumes and
// FFS files, the layout file. Whatever the image holds, the inspector reports it (text,
// JSON, SVG map) without reading outside it, and never throws on image contents.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>

#include "tools/fwimage/ImageBuilder.h"
#include "tools/JsonText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly `size` bytes, so that the address sanitizer sees any read past the end.
  std::vector<uint8_t> image(data, data + size);
  const fwimage::ImageInfo info = fwimage::InspectImage(std::span<const uint8_t>(image));
  (void)fwimage::FormatImageInfo(info);
  (void)JsonText(fwimage::ImageInfoToJson(info));
  (void)fwimage::RenderSvgMap(info);
  return 0;
}
