// The hardware parameters of a HWPARM word and the built-in EEPROM image
// they go into (run.hwParamImage).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/number_text.h"

// The shortest HWPARM argument: the word, two hex digits, one more character.
inline constexpr size_t kMinHwParamLength = 9;

// The five hardware-parameter bytes a HWPARM argument reads as, and how
// their two readings went.
struct HwParamReading {
  std::array<uint8_t, 5> bytes{};  // parameter byte, then the number LSB first
  std::string parameterText;       // "0x" and characters 7-8, as read in base 16
  NumberReading parameter;         // of parameterText
  NumberReading number;            // of the text from character 9 on
};

// Reads a HWPARM argument of at least 9 characters: characters 7-8 as a
// hexadecimal byte, the rest as a decimal number. Writes only |reading|.
void ReadHwParams(const char* argument, HwParamReading* reading);

// Fills bytes 0-4 of run.hwParamImage with the bytes of |reading|.
void FillHwParamImage(const HwParamReading& reading);

// Fills bytes 0-4 of run.hwParamImage as ReadHwParams reads |argument|.
void SetHwParams(const char* argument);
