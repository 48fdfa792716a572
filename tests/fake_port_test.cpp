// The tool's logic over a fake of the port's platform layer, linked in
// place of the real one: what no real line can show exactly. The fake
// counts the reads each message waits through (the erase gets 7 empty reads
// of 150 ms, a block 34), with either reply timing, and records the waits
// of fast reads, the purges and how a port is closed.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "bootloader/message.h"
#include "bootloader/programming.h"
#include "common/run_state.h"
#include "common/system.h"
#include "serial/serial_port.h"

namespace {

// What the fake port does and what it saw; each test sets it afresh.
struct FakePort {
  // The reply to each message in turn: the burst the first read after the
  // message returns. An empty one leaves every read of that message empty.
  std::deque<std::vector<uint8_t>> replies;
  std::vector<uint8_t> reply;  // of the current message, until read
  // Hands the reply over in reads of at most this many bytes; 0: at once.
  size_t piece = 0;
  // The size of every write call.
  std::vector<size_t> writeSizes;
  bool writtenSinceRead = false;
  std::vector<int> readsPerMessage;
  // Each message's waits for input in fast reads, in milliseconds.
  std::vector<std::vector<double>> waitsPerMessage;

  // What PortPendingOutput reports call by call, the last one for good;
  // none: the call fails.
  std::vector<uint32_t> pending;
  size_t pendingCalls = 0;
  // The calls of closing, in order; polls of the queue in a row are one
  // entry.
  std::vector<std::string> calls;

  // What each write call takes, call by call (1 or 0 bytes); every call
  // after these takes what it is offered.
  std::vector<uint32_t> takes;
  size_t writeCalls = 0;
};

FakePort fake;

}  // namespace

// --- The platform layer, faked ----------------------------------------------

PortTraits PortTraitsFor(const char*) {
  return PortTraits{};
}
PortHandle PortCreate(const char*) {
  return PortHandle{};
}
void PortSaveState(PortHandle, SavedPortState*) {}
void PortRestoreState(PortHandle, const SavedPortState&) {
  fake.calls.push_back("restore");
  SetLastSystemError(5);  // a failure of its own, which must not show
}
int PortSetTimeouts(PortHandle) {
  return 1;
}
int PortGetState(PortHandle, LineState*) {
  return 1;
}
int PortBuildState(LineState*) {
  return 1;
}
void PortSetLineFields(LineState*, uint32_t) {}
void PortSetBaud(LineState*, uint32_t) {}
int PortSetState(PortHandle, const LineState&) {
  return 1;
}
int PortPendingOutput(PortHandle, uint32_t* bytes) {
  if (fake.calls.empty() || fake.calls.back() != "pending") fake.calls.push_back("pending");
  if (fake.pending.empty()) return 0;
  *bytes = fake.pending[std::min(fake.pendingCalls++, fake.pending.size() - 1)];
  return 1;
}
int PortDrain(PortHandle) {
  fake.calls.push_back("drain");
  return 1;
}
void PortPurge(PortHandle, PurgeWhat what) {
  fake.calls.push_back(what == PurgeWhat::kBoth ? "purge both" : "purge receive");
}
int PortWrite(PortHandle, std::span<const uint8_t> bytes, uint32_t* written) {
  fake.writtenSinceRead = true;
  fake.writeSizes.push_back(bytes.size());
  const size_t call = fake.writeCalls++;
  *written = call < fake.takes.size()
                 ? std::min(fake.takes[call], static_cast<uint32_t>(bytes.size()))
                 : static_cast<uint32_t>(bytes.size());
  return 1;
}
namespace {

// A read call: the first after a write begins the next message's reads.
void BeginRead() {
  if (fake.writtenSinceRead || fake.readsPerMessage.empty()) {
    fake.writtenSinceRead = false;
    fake.readsPerMessage.push_back(0);
    fake.waitsPerMessage.emplace_back();
    fake.reply.clear();
    if (!fake.replies.empty()) {
      fake.reply = fake.replies.front();
      fake.replies.pop_front();
    }
  }
  ++fake.readsPerMessage.back();
}

// Hands over the current message's reply, once.
int TakeReply(std::span<uint8_t> buffer, uint32_t* got) {
  const size_t count =
      fake.piece == 0 ? fake.reply.size() : std::min(fake.piece, fake.reply.size());
  std::copy_n(fake.reply.begin(), count, buffer.begin());
  *got = static_cast<uint32_t>(count);
  fake.reply.erase(fake.reply.begin(), fake.reply.begin() + static_cast<long>(count));
  return 1;
}

}  // namespace

int PortRead(PortHandle, std::span<uint8_t> buffer, uint32_t* got) {
  BeginRead();
  return TakeReply(buffer, got);
}
int PortReadWaiting(PortHandle, std::span<uint8_t> buffer, std::chrono::nanoseconds wait,
                    uint32_t* got) {
  // A fast read begins with a wait of the whole read timeout; later waits
  // are shorter.
  if (wait == std::chrono::milliseconds(150)) BeginRead();
  fake.waitsPerMessage.back().push_back(std::chrono::duration<double, std::milli>(wait).count());
  // A stream's budget runs on the clock: a wait that finds nothing takes
  // its time.
  if (fake.reply.empty() && run.replyTiming == ReplyTiming::kStream) {
    std::this_thread::sleep_for(wait);
  }
  return TakeReply(buffer, got);
}
void PortClose(PortHandle) {
  fake.calls.push_back("close");
}

namespace {

// A well-formed reply with |body|.
std::vector<uint8_t> Reply(std::vector<uint8_t> body) {
  std::vector<uint8_t> frame = {0x1B, 0x01, 0x00, static_cast<uint8_t>(body.size()), 0x0E};
  frame.insert(frame.end(), body.begin(), body.end());
  uint8_t sum = 0;
  for (uint8_t byte : frame) sum ^= byte;
  frame.push_back(sum);
  return frame;
}

// --- Reply budgets ----------------------------------------------------------

struct BudgetCase {
  const char* name;
  bool firmware;
  std::deque<std::vector<uint8_t>> replies;  // the last message goes unanswered
  std::vector<int> readsPerMessage;
};

void PrintTo(const BudgetCase& c, std::ostream* out) {
  *out << c.name;
}

class ReplyBudgetTest : public testing::TestWithParam<std::tuple<BudgetCase, ReplyTiming>> {};

TEST_P(ReplyBudgetTest, AnUnansweredMessageWaitsExactlyItsReads) {
  const auto& [c, timing] = GetParam();
  fake = FakePort{};
  fake.replies = c.replies;
  fake.replies.push_back({});
  run.replyTiming = timing;
  run.replyTailPossible = false;
  // Three blocks: 64, 64 and 2 bytes.
  const std::vector<uint8_t> bytes(130, 0x5A);
  ImageBuffer image;
  image.bytes = bytes.data();
  image.length = static_cast<uint32_t>(bytes.size());

  testing::internal::CaptureStdout();
  EXPECT_EQ(FlashImage(PortHandle{}, image, c.firmware), 0);
  const std::string printed = testing::internal::GetCapturedStdout();
  run.replyTiming = ReplyTiming::kStandard;
  EXPECT_NE(printed.find(" / MyReadFile: ("), std::string::npos) << printed;
  EXPECT_EQ(fake.readsPerMessage, c.readsPerMessage);

  // Fast: a whole reply at once, then exactly 1 ms of quiet ends its read,
  // and its possible tail is dropped before the next message, once per
  // answered message. The standard timing never purges.
  const size_t answered = c.replies.size();
  const auto purges = std::count(fake.calls.begin(), fake.calls.end(), "purge receive");
  if (timing == ReplyTiming::kFast) {
    ASSERT_EQ(fake.waitsPerMessage.size(), answered + 1);
    for (size_t i = 0; i < answered; ++i) {
      EXPECT_EQ(fake.waitsPerMessage[i], (std::vector<double>{150, 1})) << "message " << i;
    }
    EXPECT_EQ(fake.waitsPerMessage.back(),
              std::vector<double>(static_cast<size_t>(c.readsPerMessage.back()), 150));
    EXPECT_EQ(purges, static_cast<long>(answered));
  } else {
    EXPECT_EQ(purges, 0);
  }
}

const std::vector<uint8_t> kEraseDone = Reply({kCommandChipErase, 0x00});
const std::vector<uint8_t> kFlashDone = Reply({kCommandProgramFlash, 0x00});
const std::vector<uint8_t> kEepromDone = Reply({kCommandProgramEeprom, 0x00});

// 1,000 ms of budget allow 7 reads of 150 ms; 5,000 ms allow 34, with
// either timing.
INSTANTIATE_TEST_SUITE_P(
    Budgets, ReplyBudgetTest,
    testing::Combine(
        testing::Values(BudgetCase{"Erase", true, {}, {7}},
                        BudgetCase{"FirstBlock", true, {kEraseDone}, {1, 34}},
                        BudgetCase{
                            "LastBlock", true, {kEraseDone, kFlashDone, kFlashDone}, {1, 1, 1, 34}},
                        BudgetCase{"EepromErase", false, {}, {7}},
                        BudgetCase{"EepromBlock", false, {kEraseDone, kEepromDone}, {1, 1, 34}}),
        testing::Values(ReplyTiming::kStandard, ReplyTiming::kFast)),
    [](const testing::TestParamInfo<std::tuple<BudgetCase, ReplyTiming>>& row) {
      return std::string(std::get<0>(row.param).name) +
             (std::get<1>(row.param) == ReplyTiming::kFast ? "Fast" : "Standard");
    });

// --- Replies through a stream -------------------------------------------------

struct StreamCase {
  const char* name;
  std::vector<uint8_t> reply;  // empty: none
  size_t piece;
  std::vector<double> waits;  // the reply's waits for input, in ms; none: not compared
  bool answered;
};

class StreamReplyTest : public testing::TestWithParam<StreamCase> {};

TEST_P(StreamReplyTest, EndsAtOnceOnTheFrameAndWaits250MsForAPartialOne) {
  const StreamCase& c = GetParam();
  fake = FakePort{};
  fake.replies = {c.reply};
  fake.piece = c.piece;
  fake.writtenSinceRead = true;
  run.replyTiming = ReplyTiming::kStream;
  std::array<uint8_t, kMaxReplyBody> body{};
  uint32_t size = 0;
  testing::internal::CaptureStdout();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(GetMessageAnswer(PortHandle{}, 1000, body, &size), c.answered ? 1 : 0);
  const auto took = std::chrono::steady_clock::now() - start;
  const std::string printed = testing::internal::GetCapturedStdout();
  run.replyTiming = ReplyTiming::kStandard;
  // "MyReadFile" only when nothing came at all.
  EXPECT_EQ(printed.find("MyReadFile") != std::string::npos, c.reply.empty()) << printed;
  if (!c.waits.empty()) {
    EXPECT_EQ(fake.waitsPerMessage.back(), c.waits);
    return;
  }
  // Nothing came: the budget's 1,000 ms on the clock, in waits of at most
  // 150 ms.
  double waited = 0;
  for (double wait : fake.waitsPerMessage.back()) {
    EXPECT_LE(wait, 150.0);
    waited += wait;
  }
  EXPECT_GE(waited, 950.0);
  EXPECT_GE(took, std::chrono::milliseconds(1000));
}

INSTANTIATE_TEST_SUITE_P(
    Stream, StreamReplyTest,
    testing::Values(StreamCase{"Whole", kEraseDone, 0, {150}, true},
                    StreamCase{"InPiecesOfThree", kEraseDone, 3, {150, 250, 250}, true},
                    StreamCase{"WithoutItsChecksum",
                               std::vector<uint8_t>{0x1B, 1, 0, 2, 0x0E, 0x12, 0x00},
                               4,
                               {150, 250, 250},
                               false},
                    StreamCase{"None", {}, 0, {}, false}),
    [](const testing::TestParamInfo<StreamCase>& row) { return std::string(row.param.name); });

TEST(StreamWriteTest, AMessageGoesOutInOneWriteCall) {
  for (const uint32_t bytesPerWrite : {1u, 1024u}) {
    fake = FakePort{};
    fake.replies = {kEraseDone, kFlashDone, kFlashDone, kFlashDone};
    run.bytesPerWrite = bytesPerWrite;
    const std::vector<uint8_t> bytes(130, 0xFF);
    ImageBuffer image;
    image.bytes = bytes.data();
    image.length = static_cast<uint32_t>(bytes.size());
    testing::internal::CaptureStdout();
    EXPECT_EQ(FlashImage(PortHandle{}, image, true), 1);
    testing::internal::GetCapturedStdout();
    run.bytesPerWrite = 1;
    const std::vector<size_t> messages = {7, 80, 80, 18};
    EXPECT_EQ(fake.writeSizes, bytesPerWrite == 1 ? std::vector<size_t>(185, 1) : messages);
  }
}

// --- The stall rule of a send --------------------------------------------------

struct StallCase {
  const char* name;
  std::vector<std::pair<size_t, uint32_t>> takes;  // runs of write calls: how many, what each takes
  int result;
  uint32_t sent;
  size_t calls;
};

void PrintTo(const StallCase& c, std::ostream* out) {
  *out << c.name;
}

class StallRuleTest : public testing::TestWithParam<StallCase> {};

// Three bytes to send. The send ends at the 101st empty write call in a
// row after a byte went out, or at the 102nd before any did.
TEST_P(StallRuleTest, GivesUpAtItsExactCountOfEmptyCalls) {
  const StallCase& c = GetParam();
  fake = FakePort{};
  for (const auto& [count, take] : c.takes) fake.takes.insert(fake.takes.end(), count, take);
  const std::array<uint8_t, 3> bytes = {1, 2, 3};
  uint32_t sent = 99;
  EXPECT_EQ(MyWriteFile(PortHandle{}, bytes, &sent), c.result);
  EXPECT_EQ(sent, c.sent);
  EXPECT_EQ(fake.writeCalls, c.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Sending, StallRuleTest,
    testing::Values(StallCase{"NothingEverTaken", {{200, 0}}, 0, 0, 102},
                    StallCase{"FirstByteAtTheHundredSecondCall", {{101, 0}}, 1, 3, 104},
                    StallCase{"StallAfterAByte", {{1, 1}, {200, 0}}, 0, 1, 102},
                    StallCase{"TakenAgainAtTheHundredFirstCall", {{1, 1}, {100, 0}}, 1, 3, 103},
                    StallCase{
                        "EachStallCountsAfresh", {{1, 1}, {100, 0}, {1, 1}, {100, 0}}, 1, 3, 203}),
    [](const testing::TestParamInfo<StallCase>& row) { return std::string(row.param.name); });

// --- Closing the port -------------------------------------------------------

struct CloseCase {
  const char* name;
  std::vector<uint32_t> pending;
  std::vector<std::string> calls;
  size_t polls;  // of the queue; 0: not counted
  std::chrono::milliseconds atLeast;
};

void PrintTo(const CloseCase& c, std::ostream* out) {
  *out << c.name;
}

class CloseSequenceTest : public testing::TestWithParam<CloseCase> {};

TEST_P(CloseSequenceTest, WhatWasWrittenLeavesBeforeTheSettingsGoBack) {
  const CloseCase& c = GetParam();
  fake = FakePort{};
  fake.pending = c.pending;
  SetLastSystemError(2);
  const auto start = std::chrono::steady_clock::now();
  CloseSerial(PortHandle{}, SavedPortState{});
  const auto took = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(fake.calls, c.calls);
  if (c.polls > 0) {
    EXPECT_EQ(fake.pendingCalls, c.polls);
  }
  EXPECT_EQ(LastSystemError(), 2u);  // a report after the close prints its own code
  EXPECT_GE(took, c.atLeast);
  EXPECT_LT(took, c.atLeast + std::chrono::milliseconds(400));
}

INSTANTIATE_TEST_SUITE_P(
    Closing, CloseSequenceTest,
    testing::Values(
        CloseCase{"NothingWaiting", {0}, {"pending", "drain", "restore", "close"}, 1, {}},
        // The queue is polled every millisecond until it is empty.
        CloseCase{"QueueDrains",
                  {7, 7, 3, 0},
                  {"pending", "drain", "restore", "close"},
                  4,
                  std::chrono::milliseconds(3)},
        // A line held by flow control: the wait gives up after 500 ms
        // without progress and drops the bytes, which the close itself
        // would wait for.
        CloseCase{"HeldLine",
                  {80},
                  {"pending", "purge both", "restore", "close"},
                  0,
                  std::chrono::milliseconds(500)},
        // A port that is gone: nothing to wait for.
        CloseCase{"PortGone", {}, {"pending", "purge both", "restore", "close"}, 0, {}}),
    [](const testing::TestParamInfo<CloseCase>& row) { return std::string(row.param.name); });

}  // namespace
