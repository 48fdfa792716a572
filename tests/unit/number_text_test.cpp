// Number text as arguments carry it: the activation baud and the hardware
// parameters read numbers the way strtoul does, with a 32-bit result.
#include "common/number_text.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct NumberCase {
  const char* name;
  const char* text;
  int base;
  uint32_t value;
  size_t end;  // where reading stopped (0 when no digit was read)
  bool sign = false;
  bool saturated = false;
};

void PrintTo(const NumberCase& c, std::ostream* out) {
  *out << c.name;
}

std::string CaseName(const testing::TestParamInfo<NumberCase>& row) {
  return row.param.name;
}

class ParseUnsignedTextTest : public testing::TestWithParam<NumberCase> {};

TEST_P(ParseUnsignedTextTest, ReadsLikeStrtoulWith32Bits) {
  const NumberCase& c = GetParam();
  EXPECT_EQ(ParseUnsignedText(c.text, c.base), c.value) << '"' << c.text << '"';
  // How the reading went, which korvel-check's warnings are made of.
  NumberReading reading;
  EXPECT_EQ(ReadUnsignedText(c.text, c.base, &reading), c.value);
  EXPECT_EQ(reading.end, c.end);
  EXPECT_EQ(reading.sign, c.sign);
  EXPECT_EQ(reading.saturated, c.saturated);
}

INSTANTIATE_TEST_SUITE_P(
    Decimal, ParseUnsignedTextTest,
    testing::Values(
        NumberCase{"Plain", "9600", 10, 9600, 4},
        NumberCase{"Rate3000000", "3000000", 10, 3000000, 7},
        NumberCase{"LeadingBlanksAndPlus", "  \t+42", 10, 42, 6, true},
        NumberCase{"TrailingLetters", "12abc", 10, 12, 2}, NumberCase{"NoDigits", "abc", 10, 0, 0},
        NumberCase{"Empty", "", 10, 0, 0}, NumberCase{"SignOnly", "-", 10, 0, 0, true},
        NumberCase{"Largest", "4294967295", 10, 4294967295u, 10},
        NumberCase{"OneAboveLargest", "4294967296", 10, 4294967295u, 10, false, true},
        NumberCase{"FarAboveLargest", "99999999999999999999999", 10, 4294967295u, 23, false, true},
        NumberCase{"MinusOne", "-1", 10, 4294967295u, 2, true},
        NumberCase{"MinusTwo", "-2", 10, 4294967294u, 2, true},
        // Saturated first, then negated modulo 2^32.
        NumberCase{"MinusBeforeOverlong", "-99999999999", 10, 1, 12, true, true},
        NumberCase{"TwoSigns", "+-1", 10, 0, 0, true}, NumberCase{"BlankInside", "1 2", 10, 1, 1}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Hexadecimal, ParseUnsignedTextTest,
    testing::Values(
        NumberCase{"Prefixed01", "0x01", 16, 1, 4}, NumberCase{"PrefixedA0", "0xA0", 16, 0xA0, 4},
        NumberCase{"SmallLetters", "0xff", 16, 0xFF, 4},
        NumberCase{"MixedCase", "0xFf", 16, 0xFF, 4},
        // The prefix needs a digit after it; else the 0 is the number.
        NumberCase{"PrefixWithoutDigit", "0xG5", 16, 0, 1},
        NumberCase{"PrefixThenBlank", "0x 1", 16, 0, 1},
        NumberCase{"DigitThenLetter", "0x5G", 16, 5, 3}, NumberCase{"PrefixOnly", "0x", 16, 0, 1},
        NumberCase{"PrefixThenMinus", "0x-1", 16, 0, 1}, NumberCase{"NoPrefix", "ff", 16, 0xFF, 2},
        NumberCase{"Overlong", "123456789", 16, 4294967295u, 9, false, true}),
    CaseName);

TEST(StartsWithKeywordTest, MatchesOnlyAllCapitalOrAllSmallPrefixes) {
  EXPECT_TRUE(StartsWithKeyword("STOP", "STOP", "stop"));
  EXPECT_TRUE(StartsWithKeyword("stop", "STOP", "stop"));
  EXPECT_TRUE(StartsWithKeyword("STOPPED", "STOP", "stop"));
  EXPECT_TRUE(StartsWithKeyword("stopwatch.img", "STOP", "stop"));
  EXPECT_FALSE(StartsWithKeyword("Stop", "STOP", "stop"));
  EXPECT_FALSE(StartsWithKeyword("STO", "STOP", "stop"));
  EXPECT_FALSE(StartsWithKeyword("", "STOP", "stop"));
  EXPECT_TRUE(StartsWithKeyword("FORCEFUL", "FORCE", "force"));
  EXPECT_FALSE(StartsWithKeyword("Force", "FORCE", "force"));
}

}  // namespace
