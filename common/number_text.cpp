#include "common/number_text.h"

#include <cstring>

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The value of |c| as a digit of |base|, or -1 when it is none.
int DigitValue(char c, int base) {
  int value = -1;
  if (c >= '0' && c <= '9') {
    value = c - '0';
  } else if (c >= 'a' && c <= 'z') {
    value = c - 'a' + 10;
  } else if (c >= 'A' && c <= 'Z') {
    value = c - 'A' + 10;
  }
  return value < base ? value : -1;
}

}  // namespace

uint32_t ReadUnsignedText(const char* text, int base, NumberReading* reading) {
  *reading = NumberReading{};
  const char* p = text;
  while (IsSpace(*p)) ++p;
  reading->blanks = static_cast<size_t>(p - text);

  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = (*p == '-');
    reading->sign = true;
    ++p;
  }
  // A "0x" prefix counts only when a hexadecimal digit follows it; otherwise
  // the '0' is the number and reading stops at the 'x'.
  if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && DigitValue(p[2], 16) >= 0) {
    p += 2;
  }

  uint64_t value = 0;
  for (int digit = DigitValue(*p, base); digit >= 0; digit = DigitValue(*++p, base)) {
    ++reading->digits;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (value > UINT32_MAX) {
      reading->saturated = true;
      value = UINT32_MAX;  // keeps the product in range on the next digit
    }
  }
  // Like strtoul, a text without digits counts as not read at all.
  reading->end = reading->digits > 0 ? static_cast<size_t>(p - text) : 0;
  const auto result = static_cast<uint32_t>(value);
  reading->value = negative ? static_cast<uint32_t>(0u - result) : result;
  return reading->value;
}

uint32_t ParseUnsignedText(const char* text, int base) {
  NumberReading reading;
  return ReadUnsignedText(text, base, &reading);
}

bool StartsWithKeyword(const char* text, const char* upper, const char* lower) {
  const size_t length = std::strlen(upper);
  return std::strncmp(text, upper, length) == 0 || std::strncmp(text, lower, length) == 0;
}
