// CheckFirmwareImage on arbitrary images, each in a heap block of exactly
// its size so that reading past the image is a finding. What it prints must
// be the version line with the text that lies inside the image, and nothing
// when the marker is not wholly inside it.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "image/firmware.h"
#include "image/image_file.h"

namespace {

constexpr char kMarker[] = "!Tavlo ";
constexpr size_t kMarkerLength = sizeof kMarker - 1;

// The version line the image calls for, or "" when it carries no marker.
std::string ExpectedLine(const uint8_t* data, size_t size) {
  for (size_t at = 0; at + kMarkerLength <= size; ++at) {
    if (std::memcmp(data + at, kMarker, kMarkerLength) != 0) continue;
    const size_t start = at + kMarkerLength;
    size_t end = start;
    while (end < size && data[end] != 0) ++end;
    // Control bytes print as '?', every other byte as it is.
    std::string version(reinterpret_cast<const char*>(data + start), end - start);
    for (char& c : version) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return "Flashing firmware version " + version + ".\n";
  }
  return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxImageSize) return 0;
  CaptureStdout();
  std::unique_ptr<uint8_t[]> block(new uint8_t[size]);
  if (size > 0) std::memcpy(block.get(), data, size);
  ImageBuffer image;
  image.bytes = block.get();
  image.length = static_cast<uint32_t>(size);

  ClearStdout();
  const int found = CheckFirmwareImage(image);
  const std::string printed = PrintedStdout();

  const std::string expected = ExpectedLine(data, size);
  FuzzCheck(found == (expected.empty() ? 0 : 1), "found exactly when the marker is inside");
  FuzzCheck(printed == expected, "version line from inside the image only");
  return 0;
}
