// The built-in hardware-parameter EEPROM image.
#include <cstdint>

#include "common/number_text.h"
#include "common/run_state.h"
#include "image/image_source.h"

void SetHwParams(const char* argument) {
  HwParamBlock& image = run.hwParamImage;
  // 1. Characters 7 and 8 in place of the zeros of "0x00", read in base 16:
  // reading stops at a non-digit, so a non-digit in the 7th place gives 0.
  const char hexText[] = {'0', 'x', argument[6], argument[7], '\0'};
  image[0] = static_cast<uint8_t>(ParseUnsignedText(hexText, 16) & 0xFF);

  // 2. The rest from the 9th character on, in decimal, least significant
  // byte first.
  const uint32_t number = ParseUnsignedText(argument + 8, 10);
  for (size_t i = 0; i < 4; ++i) {
    image[1 + i] = static_cast<uint8_t>(number >> (8 * i));
  }
}
