// Recognising a firmware image by its version marker.
#include <cstdio>
#include <string>
#include <string_view>

#include "image/image_source.h"

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

  // The version is printed as one line of the run's output, which scripts
  // read line by line: a CR or LF inside the text would split it, and an
  // escape sequence would reach the technician's terminal. Control bytes
  // become '?'; bytes from 0x80 on stay, so a UTF-8 version text still
  // prints.
  version->assign(text);
  for (char& c : *version) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
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
