// Reading numbers from argument text the way strtoul does, with a 32-bit
// result on every platform.
#pragma once

#include <cstddef>
#include <cstdint>

// How one reading of number text went: its value, and what a checker needs
// to tell a clean number from one the reading made the best of.
struct NumberReading {
  uint32_t value = 0;
  size_t blanks = 0;       // white space skipped before the number
  bool sign = false;       // a '+' or '-' was read
  size_t digits = 0;       // digits read (a "0x" prefix is not counted)
  size_t end = 0;          // where reading stopped: the first character not read
  bool saturated = false;  // the digits' value was beyond 32 bits
};

// Leading white space is skipped, then one optional '+' or '-', then the
// digits of |base| (10 or 16; base 16 takes an optional "0x"/"0X" prefix).
// No digits give 0; a value beyond 32 bits gives 0xFFFFFFFF; a minus sign
// then negates the result modulo 2^32. Never reads past the terminating NUL.
// Returns the value and, in |reading|, how the reading went.
uint32_t ReadUnsignedText(const char* text, int base, NumberReading* reading);

// The value alone.
uint32_t ParseUnsignedText(const char* text, int base);

// True when |text| begins with |upper| or with |lower|, compared over the
// length of the keyword with exact case ("STOPPED" is a STOP, "Stop" is not).
bool StartsWithKeyword(const char* text, const char* upper, const char* lower);
