// Number text as arguments carry it: the activation baud and the hardware
// parameters read numbers the way strtoul does, with a 32-bit result.
#include "common/number_text.h"

#include <gtest/gtest.h>

namespace {

struct NumberCase {
  const char* text;
  int base;
  uint32_t value;
};

class ParseUnsignedTextTest : public testing::TestWithParam<NumberCase> {};

TEST_P(ParseUnsignedTextTest, ReadsLikeStrtoulWith32Bits) {
  const NumberCase& c = GetParam();
  EXPECT_EQ(ParseUnsignedText(c.text, c.base), c.value) << '"' << c.text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Decimal, ParseUnsignedTextTest,
    testing::Values(NumberCase{"9600", 10, 9600}, NumberCase{"3000000", 10, 3000000},
                    NumberCase{"  \t+42", 10, 42}, NumberCase{"12abc", 10, 12},
                    NumberCase{"abc", 10, 0}, NumberCase{"", 10, 0}, NumberCase{"-", 10, 0},
                    NumberCase{"4294967295", 10, 4294967295u},
                    NumberCase{"4294967296", 10, 4294967295u},
                    NumberCase{"99999999999999999999999", 10, 4294967295u},
                    NumberCase{"-1", 10, 4294967295u}, NumberCase{"-2", 10, 4294967294u},
                    // Saturated first, then negated modulo 2^32.
                    NumberCase{"-99999999999", 10, 1}, NumberCase{"+-1", 10, 0},
                    NumberCase{"1 2", 10, 1}));

INSTANTIATE_TEST_SUITE_P(
    Hexadecimal, ParseUnsignedTextTest,
    testing::Values(NumberCase{"0x01", 16, 1}, NumberCase{"0xA0", 16, 0xA0},
                    NumberCase{"0xff", 16, 0xFF}, NumberCase{"0xFf", 16, 0xFF},
                    // The prefix needs a digit after it; else the 0 is the number.
                    NumberCase{"0xG5", 16, 0}, NumberCase{"0x 1", 16, 0}, NumberCase{"0x5G", 16, 5},
                    NumberCase{"0x", 16, 0}, NumberCase{"0x-1", 16, 0}, NumberCase{"ff", 16, 0xFF},
                    NumberCase{"123456789", 16, 4294967295u}));

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
