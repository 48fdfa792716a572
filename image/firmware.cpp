// Recognising a firmware image by its version marker.
#include <cstdio>
#include <cstring>
#include <string>
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

  // The version line is one line of the run's output, which scripts read
  // line by line: a CR or LF inside the text would split it, and an escape
  // sequence would reach the technician's terminal. Control bytes print as
  // '?'; bytes from 0x80 on stay, so a UTF-8 version text still prints.
  std::string printable(version);
  for (char& c : printable) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  std::printf("Flashing firmware version %.*s.\n", static_cast<int>(printable.size()),
              printable.data());
  return 1;
}
