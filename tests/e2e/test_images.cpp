#include "tests/e2e/test_images.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace korvel_e2e {

namespace {

constexpr size_t kBlockSize = 64;

// CR, LF, XON, XOFF, NUL, start byte, token, then the terminal's
// interrupt, quit, end-of-file, suspend, erase and lnext characters, and
// CR with bit 7 set.
const Bytes kTroubleBytes = {0x0D, 0x0A, 0x11, 0x13, 0x00, 0x1B, 0x0E, 0x03,
                             0x1C, 0x04, 0x1A, 0x7F, 0x16, 0x8D, 0xFF, 0x0D};

}  // namespace

Bytes PatternImage(size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) {
    // An odd step runs through all 256 values; an arithmetic sequence never
    // spells the marker by chance.
    bytes[i] = i < kTroubleBytes.size() ? kTroubleBytes[i] : static_cast<uint8_t>(i * 151 + 7);
  }
  return bytes;
}

Bytes Overwrite(Bytes bytes, size_t offset, const std::string& text) {
  if (offset + text.size() > bytes.size()) throw std::out_of_range("text does not fit the image");
  std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
  return bytes;
}

Bytes FirmwareImage(size_t size, const std::string& version, size_t markerAt) {
  const std::string marker = kMarker + version + std::string(1, '\0');
  // An image just big enough for the marker has it at its start.
  return Overwrite(PatternImage(size), std::min(markerAt, size - marker.size()), marker);
}

Bytes HwParamImageWith(uint8_t parameter, uint32_t number) {
  Bytes image(512, 0x00);
  std::fill(image.begin(), image.begin() + 256, uint8_t{0xFF});
  image[0] = parameter;
  for (size_t i = 0; i < 4; ++i) image[1 + i] = static_cast<uint8_t>(number >> (8 * i));
  return image;
}

Bytes BlockBody(uint8_t code, const Bytes& image, size_t offset, size_t length) {
  // Sized up front: GCC 12 at -O3 misjudges a growing resize of a short
  // vector as an out-of-bounds copy.
  Bytes body(10 + length, 0x00);
  body[0] = code;
  body[1] = static_cast<uint8_t>(length >> 8);
  body[2] = static_cast<uint8_t>(length);
  const auto from = image.begin() + static_cast<std::ptrdiff_t>(offset);
  std::copy(from, from + static_cast<std::ptrdiff_t>(length), body.begin() + 10);
  return body;
}

std::vector<ReceivedFrame> RunFrames(const Bytes& image, uint8_t code) {
  std::vector<ReceivedFrame> frames;
  uint8_t sequence = 1;
  frames.push_back({sequence++, {kErase}});
  for (size_t offset = 0; offset < image.size(); offset += kBlockSize) {
    const size_t length = std::min(kBlockSize, image.size() - offset);
    frames.push_back({sequence++, BlockBody(code, image, offset, length)});
  }
  frames.push_back({sequence, {kReset}});
  return frames;
}

::testing::AssertionResult FramesAre(const std::vector<ReceivedFrame>& actual,
                                     const std::vector<ReceivedFrame>& expected) {
  const auto show = [](const ReceivedFrame& frame) {
    std::string text = "sequence " + std::to_string(frame.sequence) + ", body";
    for (size_t i = 0; i < frame.body.size() && i < 16; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02X", frame.body[i]);
      text += hex;
    }
    if (frame.body.size() > 16) text += " ... (" + std::to_string(frame.body.size()) + " bytes)";
    return text;
  };
  for (size_t i = 0; i < std::min(actual.size(), expected.size()); ++i) {
    if (actual[i].sequence != expected[i].sequence || actual[i].body != expected[i].body) {
      return ::testing::AssertionFailure()
             << "frame " << i << " differs\n  expected " << show(expected[i]) << "\n  actual   "
             << show(actual[i]);
    }
  }
  if (actual.size() != expected.size()) {
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << actual.size() << " frames, expected " << expected.size();
    if (actual.size() > expected.size())
      failure << "; the first extra: " << show(actual[expected.size()]);
    return failure;
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult HoldsImage(const std::vector<uint8_t>& memory, const Bytes& image) {
  if (memory.size() < image.size()) return ::testing::AssertionFailure() << "memory too small";
  const auto end = memory.begin() + static_cast<std::ptrdiff_t>(image.size());
  const auto differs = std::mismatch(memory.begin(), end, image.begin());
  if (differs.first != end) {
    return ::testing::AssertionFailure()
           << "first difference at offset " << (differs.first - memory.begin());
  }
  if (!std::all_of(end, memory.end(), [](uint8_t byte) { return byte == 0xFF; })) {
    return ::testing::AssertionFailure() << "bytes after the image were written";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace korvel_e2e
