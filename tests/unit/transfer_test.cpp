// Sending and receiving over a real pseudo-terminal: the burst rule of a
// receive, its budget, the stall rule of a send, and a line that hangs up,
// with standard and fast reply timing; where fast replies end a read; the
// port left as found at the close; and the tolerance for a rate the driver
// rounds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/message_frame.h"
#include "common/run_state.h"
#include "serial/line_control.h"
#include "serial/serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;

// The tool's port on the slave side of a fresh pseudo-terminal; the test
// plays the device on the master side.
class PortTest : public testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    port_ = OpenSerial(ptsname(master_), 115200, &saved_);
    ASSERT_NE(port_, kNoPort);
    run.traffic = TrafficCounters{};
    run.replyTailPossible = false;
  }
  void TearDown() override {
    if (port_ != kNoPort) CloseSerial(port_, saved_);
    if (master_ >= 0) close(master_);
  }

  void DeviceSends(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Runs |call| with standard output captured; returns what it printed.
  template <typename Call>
  static std::string Printed(Call call) {
    testing::internal::CaptureStdout();
    call();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }

  int master_ = -1;
  PortHandle port_ = kNoPort;
  SavedPortState saved_;
};

// Receiving, with either reply timing: bursts that hold no whole reply
// frame are read the same way by both.
class ReceiveTest : public PortTest, public testing::WithParamInterface<ReplyTiming> {
 protected:
  int Read(std::span<uint8_t> buffer, uint32_t budgetMs, uint32_t* received) {
    return MyReadFile(port_, buffer, budgetMs, GetParam(), received);
  }
};

std::string TimingName(const testing::TestParamInfo<ReplyTiming>& row) {
  return row.param == ReplyTiming::kFast ? "Fast" : "Standard";
}

TEST_P(ReceiveTest, BytesPassUnchangedBothWays) {
  // Every byte value, including CR, LF, XON/XOFF and NUL, in both directions.
  std::vector<uint8_t> all(256);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
  uint32_t sent = 0;
  ASSERT_EQ(MyWriteFile(port_, all, &sent), 1);
  EXPECT_EQ(sent, 256u);
  std::vector<uint8_t> seen;
  while (seen.size() < all.size()) {
    pollfd ready{master_, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 2000), 1);
    std::array<uint8_t, 512> chunk{};
    const ssize_t n = read(master_, chunk.data(), chunk.size());
    ASSERT_GT(n, 0);
    seen.insert(seen.end(), chunk.begin(), chunk.begin() + n);
  }
  EXPECT_EQ(seen, all);

  DeviceSends(std::vector<uint8_t>(all.begin(), all.begin() + 200));
  std::array<uint8_t, kReceiveSize> buffer{};
  uint32_t received = 0;
  ASSERT_EQ(Read(buffer, 1000, &received), 1);
  ASSERT_EQ(received, 200u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 200, all.begin()));
  EXPECT_EQ(run.traffic.written, 256);
  EXPECT_EQ(run.traffic.read, 200);
}

TEST_P(ReceiveTest, AReceiveCollectsOneBurstOfAtMost285Bytes) {
  // Two bursts further apart than the 20 ms gap: only the first is taken.
  std::thread device([this] {
    DeviceSends({1, 2, 3});
    std::this_thread::sleep_for(std::chrono::milliseconds(60));  // the gap itself
    DeviceSends({4, 5});
  });
  std::array<uint8_t, kReceiveSize> buffer{};
  uint32_t received = 0;
  EXPECT_EQ(Read(buffer, 1000, &received), 1);
  device.join();
  EXPECT_EQ(received, 3u);
  EXPECT_EQ(Read(buffer, 1000, &received), 1);
  EXPECT_EQ(received, 2u);

  // More than a receive holds: the first read takes 285, the next the rest.
  DeviceSends(std::vector<uint8_t>(300, 0x55));
  EXPECT_EQ(Read(buffer, 1000, &received), 1);
  EXPECT_EQ(received, kReceiveSize);
  EXPECT_EQ(Read(buffer, 1000, &received), 1);
  EXPECT_EQ(received, 15u);
  EXPECT_EQ(run.traffic.read, 305);
}

TEST_P(ReceiveTest, ASilentDeviceUsesUpTheBudgetWithoutAReport) {
  std::array<uint8_t, kReceiveSize> buffer{};
  uint32_t received = 7;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Printed([&] { EXPECT_EQ(Read(buffer, 1000, &received), 0); }), "");
  // Seven empty reads of 150 ms each: never less than the budget.
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_EQ(received, 0u);

  // A budget of 0 does not read at all: a waiting byte stays unread.
  DeviceSends({0x42});
  EXPECT_EQ(Read(buffer, 0, &received), 0);
  EXPECT_EQ(Read(buffer, 150, &received), 1);
  EXPECT_EQ(buffer[0], 0x42);
}

TEST_P(ReceiveTest, AHungUpLineFailsTheReadWithAReport) {
  close(master_);
  master_ = -1;
  std::array<uint8_t, kReceiveSize> buffer{};
  uint32_t received = 0;
  const Clock::time_point start = Clock::now();
  const std::string printed = Printed([&] { EXPECT_EQ(Read(buffer, 5000, &received), 0); });
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));      // no run of empty reads
  EXPECT_EQ(printed.substr(printed.find(" / ")), " / ReadFile: (5)\n");  // EIO
}

INSTANTIATE_TEST_SUITE_P(Timings, ReceiveTest,
                         testing::Values(ReplyTiming::kStandard, ReplyTiming::kFast), TimingName);

// --- Where a reply read ends ------------------------------------------------

// Bytes the device sends, |afterMs| after the chunk before (or the start).
struct Chunk {
  int afterMs;
  std::vector<uint8_t> bytes;
};

// A well-formed reply frame with |body|, as the tool's own rule checks it.
std::vector<uint8_t> Frame(std::vector<uint8_t> body) {
  std::vector<uint8_t> frame = {kMessageStart, 0x07, 0x00, static_cast<uint8_t>(body.size()),
                                kMessageToken};
  frame.insert(frame.end(), body.begin(), body.end());
  frame.push_back(MessageChecksum(frame));
  return frame;
}

std::vector<uint8_t> Cut(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
  return std::vector<uint8_t>(bytes.begin() + static_cast<long>(from),
                              bytes.begin() + static_cast<long>(std::min(to, bytes.size())));
}

const std::vector<uint8_t> kAck = Frame({0x13, 0x00});
const std::vector<uint8_t> kTail = {'\r', 0x00, kMessageStart};

struct ReplyReadCase {
  const char* name;
  std::vector<Chunk> device;
  // The first read's length with each timing.
  uint32_t standardBurst;
  uint32_t fastBurst;
  // The burst begins with a whole frame: the quiet after it ends a fast read.
  bool frameFirst;
};

void PrintTo(const ReplyReadCase& c, std::ostream* out) {
  *out << c.name;
}

class ReplyReadTest : public PortTest,
                      public testing::WithParamInterface<std::tuple<ReplyReadCase, ReplyTiming>> {};

TEST_P(ReplyReadTest, EndsWhereItsTimingSaysAndTheNextReadStartsWithTheNextAnswer) {
  const ReplyReadCase& c = std::get<0>(GetParam());
  const ReplyTiming timing = std::get<1>(GetParam());
  std::thread device([this, &c] {
    for (const Chunk& chunk : c.device) {
      std::this_thread::sleep_for(std::chrono::milliseconds(chunk.afterMs));
      DeviceSends(chunk.bytes);
    }
  });
  std::array<uint8_t, kReceiveSize> buffer{};
  uint32_t received = 0;
  ASSERT_EQ(MyReadFile(port_, buffer, 1000, timing, &received), 1);
  device.join();
  const uint32_t expected = timing == ReplyTiming::kFast ? c.fastBurst : c.standardBurst;
  EXPECT_EQ(received, expected);
  // Only a read that the frame rule ended may leave a tail to drop.
  EXPECT_EQ(run.replyTailPossible, timing == ReplyTiming::kFast && c.frameFirst);

  // Whatever the device sent after the frame has come by now; the next
  // message goes out, and its answer is all the next read gets.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  DropReplyTail(port_);
  EXPECT_FALSE(run.replyTailPossible);
  DeviceSends(kAck);
  ASSERT_EQ(MyReadFile(port_, buffer, 1000, timing, &received), 1);
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + received), kAck);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyReadTest,
    testing::Combine(
        testing::Values(
            ReplyReadCase{"WholeFrame", {{0, kAck}}, 8, 8, true},
            // At line speed the tail follows within the 1 ms: one burst either way.
            ReplyReadCase{"TrailingBytesRightAfterTheFrame",
                          {{0, kAck}, {0, {'\r'}}, {0, {0x00}}, {0, {kMessageStart}}},
                          11,
                          11,
                          true},
            // Until the frame is whole the 20 ms rule holds.
            ReplyReadCase{"LastByteAfterAPauseOf10ms",
                          {{0, Cut(kAck, 0, 7)}, {10, Cut(kAck, 7, 8)}},
                          8,
                          8,
                          true},
            ReplyReadCase{"HeaderThenBodyAfterAPauseOf12ms",
                          {{0, Cut(kAck, 0, 5)}, {12, Cut(kAck, 5, 8)}},
                          8,
                          8,
                          true},
            // The one difference: a tail 10 ms after the frame joins the burst
            // with the standard timing only; fast replies drop it instead. Half
            // the standard 20 ms: a busy machine may stretch either side.
            ReplyReadCase{"TrailingBytes10msAfterTheFrame", {{0, kAck}, {10, kTail}}, 11, 8, true},
            // Never a whole frame at the burst's start: the standard rule.
            ReplyReadCase{
                "StrayByteBeforeTheFrame", {{0, {'\r'}}, {0, kAck}, {5, kTail}}, 12, 12, false},
            ReplyReadCase{"WrongChecksumThenMore",
                          {{0, Cut(kAck, 0, 7)}, {0, {0x55}}, {5, kTail}},
                          11,
                          11,
                          false}),
        testing::Values(ReplyTiming::kStandard, ReplyTiming::kFast)),
    [](const testing::TestParamInfo<std::tuple<ReplyReadCase, ReplyTiming>>& row) {
      return std::string(std::get<0>(row.param).name) +
             (std::get<1>(row.param) == ReplyTiming::kFast ? "Fast" : "Standard");
    });

TEST_F(PortTest, AFastReadOfAWholeFrameEndsBeforeTheStandardGap) {
  // A whole reply waiting: the fast read ends 1 ms after it, where the
  // standard one waits its 20 ms.
  for (ReplyTiming timing : {ReplyTiming::kStandard, ReplyTiming::kFast}) {
    DeviceSends(kAck);
    std::array<uint8_t, kReceiveSize> buffer{};
    uint32_t received = 0;
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(MyReadFile(port_, buffer, 1000, timing, &received), 1);
    const Clock::duration took = Clock::now() - start;
    EXPECT_EQ(received, kAck.size());
    if (timing == ReplyTiming::kFast) {
      EXPECT_GE(took, std::chrono::milliseconds(1));
      EXPECT_LT(took, std::chrono::milliseconds(20));
    } else {
      EXPECT_GE(took, std::chrono::milliseconds(20));
    }
  }
}

TEST_F(PortTest, ASendToADeviceThatStopsReadingStalls) {
  // Nobody reads the master: the line's queue fills up and the send gives
  // up through the stall rule instead of blocking.
  const std::vector<uint8_t> lots(256 * 1024, 0xA5);
  uint32_t sent = 0;
  EXPECT_EQ(MyWriteFile(port_, lots, &sent), 0);
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, lots.size());
  EXPECT_EQ(run.traffic.written, static_cast<int32_t>(sent));

  uint32_t none = 9;
  EXPECT_EQ(MyWriteFile(port_, {}, &none), 1);
  EXPECT_EQ(none, 0u);
}

TEST_F(PortTest, LowLatencyIsAskedForWithoutTouchingTheErrorCode) {
  // The port's setup let the thread's timed waits end on time.
  EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL), 1);
  // A pseudo-terminal has no serial driver settings: the request is
  // refused, and a later report must still print the error before it.
  errno = EDOM;
  RequestLowLatency(port_);
  TightenTimerSlack();
  EXPECT_EQ(errno, EDOM);
}

// What a run leaves on a pseudo-terminal: its settings and rates as found,
// whatever they were and whichever way the run ended, but HUPCL, which
// stays off.
TEST(CloseSerialTest, LeavesThePortAsFound) {
  struct Case {
    const char* name;
    bool cooked;       // line editing, echo, translation, flow control
    speed_t code;      // the rate found as a standard code, or B0: only as
    uint32_t found;    // a number (termios2), as the rate found
    uint32_t runBaud;  // 0: OpenSerial fails (at SetCommState) after changes
  };
  const Case cases[] = {
      {"RawAtAStandardRate", false, B9600, 9600, 115200},
      {"CookedAtACustomRate", true, B0, 250000, 3000000},
      {"OpenFailsAfterChangingTheTimeouts", true, B38400, 38400, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    // Held open throughout, as a device's own end would be: the settings
    // outlive the tool's descriptor.
    const int holder = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    termios found{};
    ASSERT_EQ(tcgetattr(holder, &found), 0);
    if (c.cooked) {
      found.c_iflag |= ICRNL | IXON | ISTRIP;
      found.c_oflag |= OPOST | ONLCR;
      found.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
    } else {
      cfmakeraw(&found);
    }
    found.c_cflag |= HUPCL;
    found.c_cc[VMIN] = 4;
    found.c_cc[VTIME] = 7;
    ASSERT_EQ(cfsetspeed(&found, c.code == B0 ? B38400 : c.code), 0);
    ASSERT_EQ(tcsetattr(holder, TCSANOW, &found), 0);
    if (c.code == B0) {
      ASSERT_EQ(ApplyLineSpeed(holder, c.found), 1);
    }
    ASSERT_EQ(tcgetattr(holder, &found), 0);

    // A run: open, bytes out, the switch to the bootloader's rate, close.
    errno = EDOM;
    SavedPortState saved;
    testing::internal::CaptureStdout();
    const PortHandle port = OpenSerial(ptsname(master), c.runBaud, &saved);
    const std::string printed = testing::internal::GetCapturedStdout();
    if (c.runBaud == 0) {
      EXPECT_EQ(port, kNoPort);
      EXPECT_NE(printed.find(" / SetCommState: (22)"), std::string::npos) << printed;
      EXPECT_EQ(errno, EINVAL);  // the report's code, untouched by the restore
    } else {
      ASSERT_NE(port, kNoPort) << printed;
      uint32_t sent = 0;
      EXPECT_EQ(MyWriteFile(port, std::vector<uint8_t>{1, 2, 3}, &sent), 1);
      LineState state;
      ASSERT_EQ(PortGetState(port, &state), 1);
      PortSetBaud(&state, 115200);
      ASSERT_EQ(PortSetState(port, state), 1);
      errno = EDOM;
      CloseSerial(port, saved);
      EXPECT_EQ(errno, EDOM);
    }

    termios after{};
    ASSERT_EQ(tcgetattr(holder, &after), 0);
    EXPECT_EQ(after.c_iflag, found.c_iflag);
    EXPECT_EQ(after.c_oflag, found.c_oflag);
    EXPECT_EQ(after.c_lflag, found.c_lflag);
    EXPECT_EQ(after.c_cflag, found.c_cflag & ~static_cast<tcflag_t>(HUPCL));
    EXPECT_TRUE(std::equal(std::begin(after.c_cc), std::end(after.c_cc), std::begin(found.c_cc)));
    uint32_t input = 0;
    uint32_t output = 0;
    ASSERT_EQ(ReadLineSpeeds(holder, &input, &output), 1);
    EXPECT_EQ(input, c.found);
    EXPECT_EQ(output, c.found);
    close(holder);
    close(master);
  }
}

TEST(RateWithinToleranceTest, RoundedRatesAreTakenClampedOnesRefused) {
  struct Case {
    uint32_t requested;
    uint32_t readBack;
    bool taken;
  };
  const Case cases[] = {
      {115200, 115200, true},    // exact
      {115200, 115384, true},    // +0.16 %: what cp210x makes of 115,200
      {100000, 97100, true},     // -2.9 %
      {100000, 103100, false},   // +3.1 %
      {100000, 96900, false},    // -3.1 %
      {100000, 103000, true},    // exactly +3 %: still taken
      {100000, 97000, true},     // exactly -3 %
      {3000000, 3090000, true},  // exactly +3 % of the adapter rate
      {3000000, 115200, false},  // clamped far lower (the 8250 driver)
      {9600, 0, false},          // a driver that reads back no rate
      {4294967295u, 0, false},   // products beyond 32 bits do not wrap
      {4294967295u, 4294967295u, true},
  };

  for (const Case& c : cases) {
    EXPECT_EQ(RateWithinTolerance(c.requested, c.readBack), c.taken)
        << c.requested << " read back as " << c.readBack;
  }
}

}  // namespace
