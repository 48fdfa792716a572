// The built-in hardware-parameter EEPROM image.
#include "image/hwparam.h"

#include <cstdint>

#include "common/number_text.h"
#include "common/run_state.h"

void ReadHwParams(const char* argument, HwParamReading* reading) {
  // 1. Characters 7 and 8 in place of the zeros of "0x00", read in base 16:
  // reading stops at a non-digit, so a non-digit in the 7th place gives 0.
  reading->parameterText = {'0', 'x', argument[6], argument[7]};
  const uint32_t parameter =
      ReadUnsignedText(reading->parameterText.c_str(), 16, &reading->parameter);
  reading->bytes[0] = static_cast<uint8_t>(parameter & 0xFF);

  // 2. The rest from the 9th character on, in decimal, least significant
  // byte first.
  const uint32_t number = ReadUnsignedText(argument + 8, 10, &reading->number);
  for (size_t i = 0; i < 4; ++i) {
    reading->bytes[1 + i] = static_cast<uint8_t>(number >> (8 * i));
  }
}

void FillHwParamImage(const HwParamReading& reading) {
  for (size_t i = 0; i < reading.bytes.size(); ++i) run.hwParamImage[i] = reading.bytes[i];
}

void SetHwParams(const char* argument) {
  HwParamReading reading;
  ReadHwParams(argument, &reading);
  FillHwParamImage(reading);
}
