// Number text and the hardware parameters: ParseUnsignedText in bases 10 and
// 16 against the C library's reading with 32-bit semantics (value and where
// reading stops), and SetHwParams
// on arguments of at least 9 characters. The text sits in a heap block that
// ends with its NUL, so reading past the terminator is a finding.
#include <cstdint>
#include <cstring>
#include <memory>

#include "common/number_text.h"
#include "common/run_state.h"
#include "fuzz/fuzz_support.h"
#include "image/hwparam.h"

namespace {

// The value of a hexadecimal digit, or -1.
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Byte 0 from characters 7 and 8: a hexadecimal byte read up to the first
// non-digit, so a non-digit in the 7th place gives 0 and one in the 8th
// place leaves the 7th alone.
uint8_t ExpectedParameterByte(const char* argument) {
  const int high = HexDigit(argument[6]);
  if (high < 0) return 0;
  const int low = HexDigit(argument[7]);
  return static_cast<uint8_t>(low < 0 ? high : high * 16 + low);
}

void CheckHwParams(const char* argument) {
  // Start each run from the initial image, so a byte left behind by an
  // earlier run can't hide a wrong write in this one.
  HwParamBlock& image = run.hwParamImage;
  for (size_t i = 0; i < image.size(); ++i) image[i] = i < 256 ? 0xFF : 0x00;
  SetHwParams(argument);

  FuzzCheck(image[0] == ExpectedParameterByte(argument), "parameter byte");
  const uint32_t number = ReferenceUnsigned(argument + 8, 10);
  for (size_t i = 0; i < 4; ++i) {
    FuzzCheck(image[1 + i] == static_cast<uint8_t>(number >> (8 * i)),
              "number, least significant byte first");
  }
  for (size_t i = 5; i < image.size(); ++i) {
    FuzzCheck(image[i] == (i < 256 ? 0xFF : 0x00), "rest of the image untouched");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Arguments are C strings: the text ends at the first NUL.
  const size_t length = strnlen(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<char[]> text(new char[length + 1]);
  std::memcpy(text.get(), data, length);
  text[length] = '\0';

  FuzzCheck(ParseUnsignedText(text.get(), 10) == ReferenceUnsigned(text.get(), 10),
            "decimal reads as strtoul with 32 bits");
  FuzzCheck(ParseUnsignedText(text.get(), 16) == ReferenceUnsigned(text.get(), 16),
            "hexadecimal reads as strtoul with 32 bits");
  // Where reading stops, which korvel-check's warnings rest on.
  for (const int base : {10, 16}) {
    NumberReading reading;
    ReadUnsignedText(text.get(), base, &reading);
    FuzzCheck(reading.end == ReferenceEnd(text.get(), base), "stops where strtoul stops");
  }

  // The programming run refuses shorter HWPARM arguments before this.
  if (length >= 9) CheckHwParams(text.get());
  return 0;
}
