// Recognising a firmware image by its version marker.
#include "image/firmware.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "common/printable_text.h"

namespace {

constexpr std::string_view kFirmwareMarker = "!Tavlo ";

}  // namespace

int FindFirmwareVersion(const ImageBuffer& image, std::string* version) {
  if (image.bytes == nullptr || image.length < kFirmwareMarker.size()) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(image.bytes), image.length);
  // The first occurrence wins; the marker must lie wholly inside the image.
  const size_t at = bytes.find(kFirmwareMarker);
  if (at == std::string_view::npos) return 0;

  // The version text runs to the first NUL, or to the image's end when no
  // NUL comes: never read past the image.
  std::string_view text = bytes.substr(at + kFirmwareMarker.size());
  text = text.substr(0, text.find('\0'));

  // The version is printed as one line of the run's output.
  *version = PrintableText(text);
  return 1;
}

int CheckFirmwareImage(const ImageBuffer& image) {
  std::string version;
  if (!FindFirmwareVersion(image, &version)) return 0;
  // Printed with its length: the text holds no NUL, but says so here too.
  std::printf("Flashing firmware version %.*s.\n", static_cast<int>(version.size()),
              version.data());
  return 1;
}
