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
}

INSTANTIATE_TEST_SUITE_P(
    Decimal, ParseUnsignedTextTest,
    testing::Values(NumberCase{"Plain", "9600", 10, 9600},
                    NumberCase{"Rate3000000", "3000000", 10, 3000000},
                    NumberCase{"LeadingBlanksAndPlus", "  \t+42", 10, 42},
                    NumberCase{"TrailingLetters", "12abc", 10, 12},
                    NumberCase{"NoDigits", "abc", 10, 0}, NumberCase{"Empty", "", 10, 0},
                    NumberCase{"SignOnly", "-", 10, 0},
                    NumberCase{"Largest", "4294967295", 10, 4294967295u},
                    NumberCase{"OneAboveLargest", "4294967296", 10, 4294967295u},
                    NumberCase{"FarAboveLargest", "99999999999999999999999", 10, 4294967295u},
                    NumberCase{"MinusOne", "-1", 10, 4294967295u},
                    NumberCase{"MinusTwo", "-2", 10, 4294967294u},
                    // Saturated first, then negated modulo 2^32.
                    NumberCase{"MinusBeforeOverlong", "-99999999999", 10, 1},
                    NumberCase{"TwoSigns", "+-1", 10, 0}, NumberCase{"BlankInside", "1 2", 10, 1}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Hexadecimal, ParseUnsignedTextTest,
    testing::Values(
        NumberCase{"Prefixed01", "0x01", 16, 1}, NumberCase{"PrefixedA0", "0xA0", 16, 0xA0},
        NumberCase{"SmallLetters", "0xff", 16, 0xFF}, NumberCase{"MixedCase", "0xFf", 16, 0xFF},
        // The prefix needs a digit after it; else the 0 is the number.
        NumberCase{"PrefixWithoutDigit", "0xG5", 16, 0},
        NumberCase{"PrefixThenBlank", "0x 1", 16, 0}, NumberCase{"DigitThenLetter", "0x5G", 16, 5},
        NumberCase{"PrefixOnly", "0x", 16, 0}, NumberCase{"PrefixThenMinus", "0x-1", 16, 0},
        NumberCase{"NoPrefix", "ff", 16, 0xFF},
        NumberCase{"Overlong", "123456789", 16, 4294967295u}),
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
