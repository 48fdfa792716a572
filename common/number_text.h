// Reading numbers from argument text the way strtoul does, with a 32-bit
// result on every platform.
#pragma once

#include <cstdint>

// Leading white space is skipped, then one optional '+' or '-', then the
// digits of |base| (10 or 16; base 16 takes an optional "0x"/"0X" prefix).
// No digits give 0; a value beyond 32 bits gives 0xFFFFFFFF; a minus sign
// then negates the result modulo 2^32. Never reads past the terminating NUL.
uint32_t ParseUnsignedText(const char* text, int base);

// True when |text| begins with |upper| or with |lower|, compared over the
// length of the keyword with exact case ("STOPPED" is a STOP, "Stop" is not).
bool StartsWithKeyword(const char* text, const char* upper, const char* lower);
