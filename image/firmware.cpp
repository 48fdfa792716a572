// Recognising a firmware image by its version marker.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "image/image_source.h"

namespace {

constexpr std::string_view kFirmwareMarker = "!Tavlo ";

}  // namespace

int CheckFirmwareImage(const ImageBuffer& image) {
  if (image.bytes == nullptr || image.length < kFirmwareMarker.size()) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(image.bytes), image.length);
  // The first occurrence wins; the marker must lie wholly inside the image.
  const size_t at = bytes.find(kFirmwareMarker);
  if (at == std::string_view::npos) return 0;

  // The version text runs to the first NUL, or to the image's end when no
  // NUL comes: printed with a bounded length, never read past the image.
  std::string_view version = bytes.substr(at + kFirmwareMarker.size());
  version = version.substr(0, version.find('\0'));
  std::printf("Flashing firmware version %.*s.\n", static_cast<int>(version.size()),
              version.data());
  return 1;
}
