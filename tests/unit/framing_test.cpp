// The message frame on the wire, the judgement of replies, and the time a
// run takes on the line.
#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <string>
#include <vector>

#include "bootloader/message.h"
#include "bootloader/programming.h"
#include "bootloader/run_time.h"
#include "common/run_state.h"

namespace {

std::vector<uint8_t> Frame(uint8_t sequence, std::vector<uint8_t> body, uint8_t token = 0x0E) {
  std::vector<uint8_t> frame = {0x1B, sequence, static_cast<uint8_t>(body.size() >> 8),
                                static_cast<uint8_t>(body.size()), token};
  frame.insert(frame.end(), body.begin(), body.end());
  uint8_t sum = 0;
  for (uint8_t byte : frame) sum ^= byte;
  frame.push_back(sum);
  return frame;
}

class BuildMessageTest : public testing::Test {
 protected:
  void SetUp() override { run.sequenceNumber = 1; }
};

TEST_F(BuildMessageTest, FirstEraseOfARunIsTheSevenKnownBytes) {
  std::array<uint8_t, 7> message{};
  message[5] = 0x12;
  ASSERT_EQ(BuildMessage(message, 1), 7u);
  EXPECT_EQ(message, (std::array<uint8_t, 7>{0x1B, 0x01, 0x00, 0x01, 0x0E, 0x12, 0x07}));
}

TEST_F(BuildMessageTest, FramesAProgramBlockAroundItsBody) {
  std::array<uint8_t, 80> message{};
  for (size_t i = 0; i < 74; ++i) message[5 + i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(BuildMessage(message, 74), 80u);
  const std::vector<uint8_t> body(message.begin() + 5, message.begin() + 79);
  EXPECT_EQ(std::vector<uint8_t>(message.begin(), message.end()), Frame(1, body));
}

TEST_F(BuildMessageTest, SequenceNumberCountsUpAndWrapsFrom255To0) {
  std::array<uint8_t, 7> message{};
  std::vector<uint8_t> sequences;
  for (int i = 0; i < 257; ++i) {
    BuildMessage(message, 1);
    sequences.push_back(message[1]);
  }
  EXPECT_EQ(sequences[0], 1);
  EXPECT_EQ(sequences[254], 255);
  EXPECT_EQ(sequences[255], 0);  // the 256th message
  EXPECT_EQ(sequences[256], 1);  // the 257th
}

struct ReplyCase {
  const char* name;
  std::vector<uint8_t> burst;
  bool accepted;
  std::vector<uint8_t> body;
};

void PrintTo(const ReplyCase& c, std::ostream* out) {
  *out << c.name;
}

class ParseMessageTest : public testing::TestWithParam<ReplyCase> {};

TEST_P(ParseMessageTest, AcceptsOnlyAWholeWellFormedMessageAtTheBurstStart) {
  const ReplyCase& c = GetParam();
  std::span<const uint8_t> body;
  ASSERT_EQ(ParseMessage(c.burst, &body), c.accepted ? 1 : 0);
  if (c.accepted) {
    EXPECT_EQ(std::vector<uint8_t>(body.begin(), body.end()), c.body);
  }
}

std::vector<uint8_t> With(std::vector<uint8_t> bytes, size_t index, uint8_t value) {
  bytes[index] = value;
  return bytes;
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<uint8_t> kAck = Frame(5, {0x12, 0x00});

INSTANTIATE_TEST_SUITE_P(
    Replies, ParseMessageTest,
    testing::Values(
        ReplyCase{"UnrelatedSequence",
                  {0x1B, 0x05, 0x00, 0x02, 0x0E, 0x12, 0x00, 0x00},
                  true,
                  {0x12, 0x00}},
        ReplyCase{"WrongTokenRightChecksum", Frame(1, {0x12, 0x00}, 0x0F), true, {0x12, 0x00}},
        ReplyCase{"TrailingBytesDropped", Concat(kAck, {0xAA, 0x1B, 0x00}), true, {0x12, 0x00}},
        ReplyCase{"EmptyBody", Frame(3, {}), true, {}},
        ReplyCase{"LargestBody", Frame(3, std::vector<uint8_t>(279, 0x5A)), true,
                  std::vector<uint8_t>(279, 0x5A)},
        ReplyCase{"WrongChecksum", With(kAck, 7, 0x01), false, {}},
        ReplyCase{"OneByteShort", std::vector<uint8_t>(kAck.begin(), kAck.end() - 1), false, {}},
        ReplyCase{"FewerThanSixBytes", {0x1B, 0x01, 0x00, 0x00, 0x0E}, false, {}},
        ReplyCase{"StrayCarriageReturnFirst", Concat({0x0D}, kAck), false, {}},
        ReplyCase{"NotAFrame", {0x00, 0x01, 0x00, 0x00, 0x0E, 0x00}, false, {}},
        // A size that claims more than the burst holds is never believed.
        ReplyCase{
            "SizeClaimBeyondBurst", {0x1B, 0x01, 0xFF, 0xFF, 0x0E, 0x12, 0x00, 0x00}, false, {}},
        ReplyCase{"SizeClaimOneMore", With(kAck, 3, 0x03), false, {}}),
    [](const testing::TestParamInfo<ReplyCase>& row) { return std::string(row.param.name); });

struct AckCase {
  const char* name;
  std::vector<uint8_t> body;
  uint8_t code;
  bool acknowledged;
};

void PrintTo(const AckCase& c, std::ostream* out) {
  *out << c.name;
}

class AcknowledgementTest : public testing::TestWithParam<AckCase> {};

TEST_P(AcknowledgementTest, TwoByteBodyWithTheCodeFirstOrZeroSecond) {
  const AckCase& c = GetParam();
  EXPECT_EQ(IsAcknowledgement(c.body, c.code), c.acknowledged);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, AcknowledgementTest,
    testing::Values(AckCase{"CodeAndStatusZero", {0x12, 0x00}, 0x12, true},
                    AckCase{"CodeAndFailureStatus", {0x12, 0xC0}, 0x12, true},
                    AckCase{"OtherCodeAndStatusZero", {0x05, 0x00}, 0x12, true},
                    AckCase{"OtherCodeAndFailureStatus", {0x05, 0xC0}, 0x12, false},
                    AckCase{"ThreeByteBody", {0x12, 0x00, 0x00}, 0x12, false},
                    AckCase{"OneByteBody", {0x12}, 0x12, false},
                    AckCase{"EmptyBody", {}, 0x12, false},
                    AckCase{"FlashCodeAndAnyStatus", {0x13, 0x01}, 0x13, true},
                    AckCase{"FlashCodeForAnEepromBlock", {0x13, 0x01}, 0x15, false},
                    AckCase{"EepromCodeAndAnyStatus", {0x15, 0x80}, 0x15, true}),
    [](const testing::TestParamInfo<AckCase>& row) { return std::string(row.param.name); });

// --- The time a run takes on the line ----------------------------------------

TEST(EstimateRunTimeTest, CountsEveryByteEveryWriteAndTheSilenceAfterEachReply) {
  struct Case {
    uint32_t imageLength;
    uint32_t activationBaud;
    uint32_t writeTimeUs;
    ReplyTiming timing;
    uint32_t bytesOut, bytesBack, blocks;
    double totalSeconds;
  };
  // Out: probe, erase (7) and reset (7), and 16 + n per block; back: the
  // sync answer and 8 per reply. 10 bits a byte; 20 ms (fast: 1 ms) after
  // each reply.
  const Case cases[] = {
      // 1,024 blocks, the last of 63 bytes: 28.325 s, 20.5 s of it silence.
      {65535, 115200, 0, ReplyTiming::kStandard, 81934, 8201, 1024,
       10 * 10 / 115200.0 + (81934 + 8201) * 10 / 115200.0 + 1025 * 0.020},
      {65535, 115200, 5000, ReplyTiming::kFast, 81934, 8201, 1024,
       10 * 10 / 115200.0 + (81934 + 8201) * 10 / 115200.0 + 1024 * 0.005 + 1025 * 0.001},
      // Blocks of 64 and 36 bytes, woken at the adapter rate.
      {100, 3000000, 2000, ReplyTiming::kStandard, 15 + 80 + 52, 1 + 3 * 8, 2,
       10 * 10 / 3e6 + (147 + 25) * 10 / 115200.0 + 2 * 0.002 + 3 * 0.020},
      {64, 9600, 0, ReplyTiming::kFast, 15 + 80, 1 + 2 * 8, 1,
       10 * 10 / 9600.0 + (95 + 17) * 10 / 115200.0 + 2 * 0.001},
  };
  for (const Case& c : cases) {
    const RunTimeEstimate estimate =
        EstimateRunTime(c.imageLength, c.activationBaud, c.writeTimeUs, c.timing);
    SCOPED_TRACE(std::to_string(c.imageLength) + " bytes, " + std::to_string(c.writeTimeUs) +
                 " us");
    EXPECT_EQ(estimate.bytesOut, c.bytesOut);
    EXPECT_EQ(estimate.bytesBack, c.bytesBack);
    EXPECT_EQ(estimate.blocks, c.blocks);
    EXPECT_EQ(estimate.replies, c.blocks + 1);
    EXPECT_NEAR(estimate.TotalSeconds(), c.totalSeconds, 1e-9);
  }
  // The figures of docs/performance.md for a full image: wire time and silence.
  const RunTimeEstimate full = EstimateRunTime(65535, 115200, 0, ReplyTiming::kStandard);
  EXPECT_NEAR(full.wireSeconds, 7.8242, 1e-4);
  EXPECT_NEAR(full.replyEndSeconds, 20.5, 1e-9);
  EXPECT_NEAR(full.TotalSeconds(), 28.325, 1e-3);
}

}  // namespace
