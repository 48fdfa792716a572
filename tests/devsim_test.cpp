// The simulated device on its own: its frame parser, the shapes of its
// faulty replies as korvel's receive rule judges them, its command set, and
// whole exchanges over a real pseudo-terminal.
#include "devsim/devsim.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "devsim/commands.h"
#include "devsim/frames.h"
#include "devsim/pacing.h"
#include "gtest/gtest.h"

namespace {

using namespace devsim_internal;

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const Bytes kActivation = {'4', '1', '8', '\r', 'K', 'W', 'O', 'L', 'P', '\r'};

// A message as korvel frames it, checksum included. (Sized up front: GCC 12
// at -O3 misjudges a growing insert into a short vector as out of bounds.)
Bytes Message(uint8_t sequence, const Bytes& body) {
  Bytes message(5 + body.size() + 1);
  message[0] = 0x1B;
  message[1] = sequence;
  message[2] = static_cast<uint8_t>(body.size() >> 8);
  message[3] = static_cast<uint8_t>(body.size());
  message[4] = 0x0E;
  std::copy(body.begin(), body.end(), message.begin() + 5);
  uint8_t sum = 0;
  for (size_t i = 0; i + 1 < message.size(); ++i) sum ^= message[i];
  message.back() = sum;
  return message;
}

Bytes ProgramBody(uint8_t code, const Bytes& data) {
  // Code, size, and seven bytes the bootloader must not act on; then data.
  Bytes body(10 + data.size(), 0xA5);
  body[0] = code;
  body[1] = static_cast<uint8_t>(data.size() >> 8);
  body[2] = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), body.begin() + 10);
  return body;
}

// korvel's receive rule, restated from the wire contract: a burst is a
// reply when it starts with a whole frame whose checksum holds.
bool ToolAccepts(const Bytes& burst, Bytes* body) {
  if (burst.size() < 6 || burst[0] != 0x1B) return false;
  const size_t size = burst[2] * 256u + burst[3];
  if (burst.size() < size + 6) return false;
  uint8_t sum = 0;
  for (size_t i = 0; i < size + 5; ++i) sum ^= burst[i];
  if (sum != burst[size + 5]) return false;
  body->assign(burst.begin() + 5, burst.begin() + 5 + static_cast<ptrdiff_t>(size));
  return true;
}

bool Acknowledges(const Bytes& body, uint8_t code) {
  return body.size() == 2 && (body[0] == code || body[1] == 0x00);
}

// --- Frame parser -----------------------------------------------------------

std::vector<FrameEvent> FeedAll(FrameParser* parser, const Bytes& bytes,
                                std::vector<ReceivedFrame>* frames) {
  std::vector<FrameEvent> events;
  for (uint8_t byte : bytes) {
    ReceivedFrame frame;
    events.push_back(FeedFrameByte(parser, byte, &frame));
    if (events.back() == FrameEvent::kComplete) frames->push_back(frame);
  }
  return events;
}

TEST(DevsimFrameParser, TakesFramesByteByByteAmongProbesAndStrayBytes) {
  FrameParser parser;
  std::vector<ReceivedFrame> frames;
  // A probe and a '\n' outside, then a frame whose body holds a '!' and a
  // start byte, which belong to the body.
  Bytes input = {'!', '\n'};
  const Bytes message = Message(7, {0x13, '!', 0x1B});
  input.insert(input.end(), message.begin(), message.end());
  const std::vector<FrameEvent> events = FeedAll(&parser, input, &frames);

  EXPECT_EQ(events[0], FrameEvent::kProbe);
  EXPECT_EQ(events[1], FrameEvent::kStray);
  for (size_t i = 2; i + 1 < events.size(); ++i) EXPECT_EQ(events[i], FrameEvent::kTaken) << i;
  EXPECT_EQ(events.back(), FrameEvent::kComplete);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].sequence, 7);
  EXPECT_EQ(frames[0].body, (Bytes{0x13, '!', 0x1B}));
  EXPECT_FALSE(FrameInProgress(parser));
}

TEST(DevsimFrameParser, DropsMalformedFramesAndRecovers) {
  struct Case {
    const char* what;
    Bytes bad;
  };
  Bytes badChecksum = Message(1, {0x12});
  badChecksum.back() ^= 0x01;
  Bytes badToken = Message(1, {0x12});
  badToken[4] = 0x0F;
  badToken.back() ^= 0x0E ^ 0x0F;  // checksum right for the wrong token
  const Case cases[] = {{"checksum", badChecksum},
                        {"token", badToken},
                        {"size beyond the buffer", {0x1B, 0x01, 0xFF, 0xFF}}};
  for (const Case& c : cases) {
    FrameParser parser;
    std::vector<ReceivedFrame> frames;
    Bytes input = c.bad;
    const Bytes good = Message(2, {0x12});
    input.insert(input.end(), good.begin(), good.end());
    const std::vector<FrameEvent> events = FeedAll(&parser, input, &frames);
    EXPECT_EQ(events[c.bad.size() - 1], FrameEvent::kCorrupt) << c.what;
    ASSERT_EQ(frames.size(), 1u) << c.what;
    EXPECT_EQ(frames[0].sequence, 2) << c.what;
  }
}

// --- Reply shapes ---------------------------------------------------------

TEST(DevsimReplyShapes, EachFaultBreaksOrKeepsTheReplyAsItsNameSays) {
  const Bytes ok = {0x13, 0x00};
  struct Case {
    ReplyFault fault;
    bool accepted;      // korvel's receive rule takes the (joined) bursts
    bool acknowledges;  // and the body passes the acknowledgement rule
  };
  const Case cases[] = {
      {ReplyFault::kNone, true, true},
      {ReplyFault::kThreeByteBody, true, false},
      {ReplyFault::kWrongChecksum, false, false},
      {ReplyFault::kOneByteShort, false, false},
      {ReplyFault::kStrayLeadingByte, false, false},
      {ReplyFault::kTrailingBytes, true, true},
      {ReplyFault::kWrongToken, true, true},
      {ReplyFault::kOtherSequence, true, true},
      {ReplyFault::kEmptyBody, true, false},
      {ReplyFault::kNoise, false, false},
      {ReplyFault::kHugeSizeClaim, false, false},
      // The loop's own behaviours come after a plain reply.
      {ReplyFault::kReplyThenVanish, true, true},
      {ReplyFault::kReplyThenHold, true, true},
  };
  for (const Case& c : cases) {
    const std::vector<Burst> bursts = ShapeReply(9, ok, ReplyPlan{c.fault, {}});
    ASSERT_EQ(bursts.size(), 1u) << ReplyFaultName(c.fault);
    Bytes body;
    EXPECT_EQ(ToolAccepts(bursts[0].bytes, &body), c.accepted) << ReplyFaultName(c.fault);
    if (c.accepted) {
      EXPECT_EQ(Acknowledges(body, 0x13), c.acknowledges) << ReplyFaultName(c.fault);
    }
  }

  // The names korvel-devsim's --fault takes.
  for (const char* name : {"reply-then-vanish", "reply-then-hold", "vanish-mid-message"}) {
    ReplyFault fault = ReplyFault::kNone;
    ASSERT_TRUE(ParseReplyFault(name, &fault)) << name;
    EXPECT_STREQ(ReplyFaultName(fault), name);
  }

  EXPECT_TRUE(ShapeReply(9, ok, ReplyPlan{ReplyFault::kNoReply, {}}).empty());
  Bytes body;
  const Bytes noise = ShapeReply(9, ok, ReplyPlan{ReplyFault::kNoise, {}})[0].bytes;
  EXPECT_EQ(noise.size(), kToolReceiveSize);
  const Bytes huge = ShapeReply(9, ok, ReplyPlan{ReplyFault::kHugeSizeClaim, {}})[0].bytes;
  EXPECT_EQ(huge.size(), kToolReceiveSize);
  EXPECT_EQ(huge[2] * 256 + huge[3], 65535);
  ASSERT_TRUE(ToolAccepts(ShapeReply(9, ok, {ReplyFault::kOtherSequence, {}})[0].bytes, &body));
  ASSERT_TRUE(
      ToolAccepts(ShapeReply(9, ok, {ReplyFault::kCustomBody, {0x05, 0xC0}})[0].bytes, &body));
  EXPECT_EQ(body, (Bytes{0x05, 0xC0}));

  // Two bursts far enough apart to be two reads; neither half is a reply.
  // A plan may set the pause.
  const std::vector<Burst> split = ShapeReply(9, ok, ReplyPlan{ReplyFault::kSplitBurst, {}});
  ASSERT_EQ(split.size(), 2u);
  EXPECT_GT(split[1].delayMs, 20);
  ReplyPlan shortPause{ReplyFault::kSplitBurst, {}};
  shortPause.splitGapMs = 12;
  EXPECT_EQ(ShapeReply(9, ok, shortPause)[1].delayMs, 12);
  EXPECT_FALSE(ToolAccepts(split[0].bytes, &body));
  Bytes joined = split[0].bytes;
  joined.insert(joined.end(), split[1].bytes.begin(), split[1].bytes.end());
  EXPECT_EQ(joined, ShapeReply(9, ok, ReplyPlan{})[0].bytes);
  // A cut before the checksum, and one past the reply's end, which keeps
  // the last byte back all the same.
  for (uint32_t at : {7u, 30u}) {
    ReplyPlan lastByteLate{ReplyFault::kSplitBurst, {}};
    lastByteLate.splitAt = at;
    const std::vector<Burst> late = ShapeReply(9, ok, lastByteLate);
    ASSERT_EQ(late.size(), 2u) << at;
    EXPECT_EQ(late[0].bytes.size(), 7u) << at;
    EXPECT_EQ(late[1].bytes.size(), 1u) << at;
  }
}

// --- Commands ---------------------------------------------------------------

TEST(DevsimCommands, ProgramsBlocksInOrderAndRefusesWhatDoesNotFit) {
  DevsimRecord record;
  ResetMemories(&record, 100, 16);
  EXPECT_EQ(PerformCommand(&record, ProgramBody(0x13, Bytes(64, 0x11))), (Bytes{0x13, 0x00}));
  EXPECT_EQ(PerformCommand(&record, ProgramBody(0x13, Bytes(36, 0x22))), (Bytes{0x13, 0x00}));
  EXPECT_EQ(PerformCommand(&record, ProgramBody(0x15, Bytes(16, 0x33))), (Bytes{0x15, 0x00}));
  EXPECT_EQ(record.flashWritten, 100u);
  EXPECT_EQ(record.flash[63], 0x11);
  EXPECT_EQ(record.flash[64], 0x22);
  EXPECT_EQ(record.eeprom, Bytes(16, 0x33));

  Bytes sizeMismatch = ProgramBody(0x15, {1, 2});
  sizeMismatch.pop_back();
  const Bytes refused[] = {
      ProgramBody(0x13, {0x44}),        // past the end of the flash
      ProgramBody(0x15, {0x44}),        // past the end of the EEPROM
      ProgramBody(0x13, {}),            // no data
      ProgramBody(0x13, Bytes(65, 0)),  // more than a block
      sizeMismatch,
      {0x12, 0x00},  // erase with a stray byte
      {0x42},        // unknown
      {},
  };
  for (const Bytes& body : refused) {
    const Bytes reply = PerformCommand(&record, body);
    EXPECT_FALSE(Acknowledges(reply, body.empty() ? 0x00 : body[0])) << body.size();
  }
  EXPECT_EQ(record.flashWritten, 100u);

  // The erase clears both memories and starts both positions again.
  EXPECT_EQ(PerformCommand(&record, Bytes{0x12}), (Bytes{0x12, 0x00}));
  EXPECT_EQ(record.flash, Bytes(100, 0xFF));
  EXPECT_EQ(record.eeprom, Bytes(16, 0xFF));
  EXPECT_EQ(record.flashWritten + record.eepromWritten, 0u);
}

// --- Over the pseudo-terminal -------------------------------------------------

// The tool's end of the line, kept minimal: raw at a given rate, bytes out,
// one burst in (ended by 20 ms of silence, as korvel reads).
struct Client {
  int fd = -1;
  ~Client() {
    if (fd >= 0) close(fd);
  }
};

void OpenClient(Devsim* devsim, speed_t speed, Client* client) {
  client->fd = open(DevsimPortPath(devsim).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(client->fd, 0);
  termios tio{};
  ASSERT_EQ(tcgetattr(client->fd, &tio), 0);
  cfmakeraw(&tio);
  cfsetspeed(&tio, speed);
  ASSERT_EQ(tcsetattr(client->fd, TCSANOW, &tio), 0);
}

void SetSpeed(const Client& client, speed_t speed) {
  termios tio{};
  ASSERT_EQ(tcgetattr(client.fd, &tio), 0);
  cfsetspeed(&tio, speed);
  ASSERT_EQ(tcsetattr(client.fd, TCSANOW, &tio), 0);
}

// Writes |bytes| one per write() call, as korvel does, waiting for room.
void Send(const Client& client, const Bytes& bytes) {
  for (uint8_t byte : bytes) {
    pollfd ready{client.fd, POLLOUT, 0};
    ASSERT_EQ(poll(&ready, 1, 2000), 1) << "the device took no byte";
    ASSERT_EQ(write(client.fd, &byte, 1), 1);
  }
}

// One burst as korvel collects it: the first byte within |waitMs|, then
// until 20 ms pass without a byte or 150 ms after the first. Empty when
// nothing came; |hungUp| tells a closed line, |lastAt| when the last byte
// was read.
Bytes ReceiveBurst(const Client& client, int waitMs, bool* hungUp = nullptr,
                   Clock::time_point* lastAt = nullptr) {
  Bytes burst;
  Clock::time_point end = Clock::now() + std::chrono::milliseconds(waitMs);
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    pollfd ready{client.fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) != 1) break;
    uint8_t chunk[512];
    const ssize_t count = read(client.fd, chunk, sizeof chunk);
    if (count <= 0) {
      if (hungUp != nullptr) *hungUp = count == 0 || errno == EIO;
      break;
    }
    if (burst.empty()) end = Clock::now() + std::chrono::milliseconds(150);
    const Clock::time_point gapEnd = Clock::now() + std::chrono::milliseconds(20);
    if (gapEnd < end) end = gapEnd;
    burst.insert(burst.end(), chunk, chunk + count);
    if (lastAt != nullptr) *lastAt = Clock::now();
  }
  return burst;
}

// The activation string on an open line, the switch to 115,200 and one
// answered probe.
void Activate(Devsim* devsim, Client* client) {
  Send(*client, kActivation);
  ASSERT_TRUE(DevsimWaitUntil(
      devsim, [](const DevsimRecord& record) { return record.bootloaderEntries > 0; }, 2000));
  SetSpeed(*client, B115200);
  Send(*client, {'!'});
  ASSERT_EQ(ReceiveBurst(*client, 500), Bytes{'\r'});
}

TEST(DevsimSession, ActivatesProgramsAndResets) {
  const std::filesystem::path flashOut =
      std::filesystem::temp_directory_path() / ("devsim_test_flash_" + std::to_string(getpid()));
  DevsimConfig config;
  config.flashOutPath = flashOut.string();
  // The firmware lets bytes through only once the settings have been quiet
  // this long.
  config.settleTimeMs = 100;
  DevsimPtr devsim(StartDevsim(config));
  ASSERT_TRUE(devsim);
  EXPECT_TRUE(DevsimSnapshot(devsim.get()).gateShut);
  Client client;
  const Clock::time_point setUp = Clock::now();
  OpenClient(devsim.get(), B9600, &client);
  // Noise before the string, which the firmware ignores.
  Send(client, {'x', '4', '1'});
  EXPECT_GE(Clock::now() - setUp, std::chrono::milliseconds(config.settleTimeMs));
  EXPECT_FALSE(DevsimSnapshot(devsim.get()).gateShut);
  Activate(devsim.get(), &client);

  Bytes reply;
  Send(client, Message(1, {0x12}));
  ASSERT_TRUE(ToolAccepts(ReceiveBurst(client, 500), &reply));
  EXPECT_EQ(reply, (Bytes{0x12, 0x00}));
  // Two blocks in one write: two replies, the block data in order.
  Bytes twoBlocks = Message(2, ProgramBody(0x13, {1, 2, 3}));
  const Bytes second = Message(3, ProgramBody(0x13, {4, 5}));
  twoBlocks.insert(twoBlocks.end(), second.begin(), second.end());
  ASSERT_EQ(write(client.fd, twoBlocks.data(), twoBlocks.size()),
            static_cast<ssize_t>(twoBlocks.size()));
  // Each reply is a write of its own: a busy machine may part them by more
  // than a burst's 20 ms.
  Bytes replies = ReceiveBurst(client, 500);
  if (replies.size() == 8) {
    const Bytes next = ReceiveBurst(client, 500);
    replies.insert(replies.end(), next.begin(), next.end());
  }
  EXPECT_EQ(replies, (Bytes{0x1B, 2, 0, 2, 0x0E, 0x13, 0x00, 0x1B ^ 2 ^ 2 ^ 0x0E ^ 0x13, 0x1B, 3, 0,
                            2, 0x0E, 0x13, 0x00, 0x1B ^ 3 ^ 2 ^ 0x0E ^ 0x13}));

  // A corrupt frame gets no reply; half a frame is dropped after a while.
  Bytes corrupt = Message(4, {0x12});
  corrupt.back() ^= 0xFF;
  Send(client, corrupt);
  EXPECT_TRUE(ReceiveBurst(client, 300).empty());
  Send(client, {0x1B, 5, 0x00});
  ASSERT_TRUE(DevsimWaitUntil(
      devsim.get(), [](const DevsimRecord& record) { return record.corruptFrames == 2; }, 1000));

  Send(client, Message(6, {0x08}));
  ASSERT_TRUE(DevsimWaitUntil(
      devsim.get(), [](const DevsimRecord& record) { return record.resets == 1; }, 1000));
  const DevsimRecord record = DevsimSnapshot(devsim.get());
  EXPECT_TRUE(record.gateShut);
  EXPECT_EQ(record.activationBytes,
            (Bytes{'x', '4', '1', '4', '1', '8', '\r', 'K', 'W', 'O', 'L', 'P', '\r'}));
  EXPECT_EQ(record.activationBaud, 9600u);
  EXPECT_EQ(record.bootloaderBaud, 115200u);
  EXPECT_EQ(record.probes, 1);
  ASSERT_EQ(record.frames.size(), 4u);
  EXPECT_EQ(record.frames[3].body, Bytes{0x08});
  EXPECT_EQ(record.flashWritten, 5u);
  std::ifstream file(flashOut, std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(file), {}), (Bytes{1, 2, 3, 4, 5}));
  std::filesystem::remove(flashOut);

  // Back in the firmware, which takes bytes once the line is set up again:
  // probes go unanswered until the string comes again.
  SetSpeed(client, B57600);
  Send(client, {'!'});
  EXPECT_TRUE(ReceiveBurst(client, 200).empty());
  Activate(devsim.get(), &client);
  EXPECT_EQ(DevsimSnapshot(devsim.get()).activationBaud, 57600u);
}

TEST(DevsimSession, ProbeFaults) {
  struct Case {
    const char* what;
    ProbeFaults faults;
    Bytes answers;  // to four probes, each followed by a read
  };
  const Case cases[] = {
      {"never answers", {.neverAnswer = true}, {}},
      {"other byte", {.otherByte = 'X'}, {'X', 'X', 'X', 'X'}},
      {"only the third", {.answerOnlyProbe = 3}, {'\r'}},
      {"late carriage return",
       {.lateExtraCarriageReturn = true},
       {'\r', '\r', '\r', '\r', '\r', '\r', '\r', '\r'}},
  };
  for (const Case& c : cases) {
    DevsimConfig config;
    config.probes = c.faults;
    DevsimPtr devsim(StartDevsim(config));
    Client client;
    OpenClient(devsim.get(), B115200, &client);
    Send(client, kActivation);
    Bytes answers;
    for (int i = 0; i < 4; ++i) {
      Send(client, {'!'});
      const Bytes burst = ReceiveBurst(client, 150);
      answers.insert(answers.end(), burst.begin(), burst.end());
    }
    EXPECT_EQ(answers, c.answers) << c.what;
    EXPECT_EQ(DevsimSnapshot(devsim.get()).probes, 4) << c.what;
  }
}

TEST(DevsimSession, VanishingAndStalledDevices) {
  // Gone on the second probe.
  DevsimConfig probeVanish;
  probeVanish.probes.vanishAfterProbes = 2;
  DevsimPtr first(StartDevsim(probeVanish));
  Client client;
  OpenClient(first.get(), B115200, &client);
  Activate(first.get(), &client);
  Send(client, {'!'});
  bool hungUp = false;
  EXPECT_TRUE(ReceiveBurst(client, 1000, &hungUp).empty());
  EXPECT_TRUE(hungUp);
  EXPECT_TRUE(DevsimSnapshot(first.get()).vanished);

  // Flooding instead of answering the erase: far more than one receive.
  DevsimConfig flood;
  flood.replies[0].fault = ReplyFault::kFlood;
  DevsimPtr second(StartDevsim(flood));
  Client flooded;
  OpenClient(second.get(), B115200, &flooded);
  Activate(second.get(), &flooded);
  Send(flooded, Message(1, {0x12}));
  EXPECT_GT(ReceiveBurst(flooded, 500).size(), 10 * kToolReceiveSize);

  // No longer reading after the erase: writes stop finding room.
  DevsimConfig stop;
  stop.replies[0].fault = ReplyFault::kStopReading;
  DevsimPtr third(StartDevsim(stop));
  Client stalled;
  OpenClient(third.get(), B115200, &stalled);
  Activate(third.get(), &stalled);
  Send(stalled, Message(1, {0x12}));
  // Writes as korvel makes them, each after waiting for room: within a few
  // buffers' worth, a wait finds none.
  const Bytes block = Message(2, ProgramBody(0x13, Bytes(64, 0)));
  bool stalledOut = false;
  for (size_t written = 0; written < (4u << 20) && !stalledOut;) {
    pollfd room{stalled.fd, POLLOUT, 0};
    stalledOut = poll(&room, 1, 100) == 0;
    const ssize_t count = stalledOut ? 0 : write(stalled.fd, block.data(), block.size());
    if (count > 0) written += static_cast<size_t>(count);
  }
  EXPECT_TRUE(stalledOut);
}

// --- Pacing -----------------------------------------------------------------

TEST(DevsimPacing, BytesFollowEachOtherOnTheWireAtTenBitsEach) {
  using std::chrono::nanoseconds;
  EXPECT_EQ(ByteTime(115200), nanoseconds(86805));  // 10 / 115,200 s
  EXPECT_EQ(ByteTime(2400), nanoseconds(4166666));
  EXPECT_EQ(ByteTime(0), nanoseconds(0));  // an unknown rate takes no time

  const DeviceClock::time_point t0{};
  const DeviceClock::duration byte = ByteTime(115200);
  Wire wire;
  // Three bytes read together: back to back from the read on.
  EXPECT_EQ(CarryByte(&wire, 115200, t0), t0 + byte);
  EXPECT_EQ(CarryByte(&wire, 115200, t0), t0 + 2 * byte);
  EXPECT_EQ(CarryByte(&wire, 115200, t0 + byte / 2), t0 + 3 * byte);
  // One read after the wire fell idle starts afresh.
  const DeviceClock::time_point later = t0 + std::chrono::milliseconds(5);
  EXPECT_EQ(CarryByte(&wire, 2400, later), later + ByteTime(2400));
}

// Lower bounds only: a paced device may answer later than the line would
// (it has to wake), never sooner.
TEST(DevsimPacing, AnswersNoSoonerThanARealLineWould) {
  DevsimConfig config;
  config.paced = true;
  config.writeTimeUs = 5000;
  DevsimPtr devsim(StartDevsim(config));
  ASSERT_TRUE(devsim);
  Client client;
  OpenClient(devsim.get(), B2400, &client);
  const DeviceClock::duration fast = ByteTime(115200);

  // The activation string at 2,400 baud takes 41.7 ms on the wire; the
  // probe and its answer follow it at 115,200.
  Clock::time_point start = Clock::now();
  Clock::time_point last{};
  Send(client, kActivation);
  ASSERT_TRUE(DevsimWaitUntil(
      devsim.get(), [](const DevsimRecord& record) { return record.bootloaderEntries > 0; }, 2000));
  SetSpeed(client, B115200);
  Send(client, {'!'});
  ASSERT_EQ(ReceiveBurst(client, 500, nullptr, &last), Bytes{'\r'});
  EXPECT_GE(last - start, 10 * ByteTime(2400) + 2 * fast);

  // The erase: 7 bytes out and 8 back, no write time.
  Bytes reply;
  start = Clock::now();
  Send(client, Message(1, {0x12}));
  ASSERT_TRUE(ToolAccepts(ReceiveBurst(client, 500, nullptr, &last), &reply));
  EXPECT_GE(last - start, (7 + 8) * fast);
  EXPECT_EQ(reply, (Bytes{0x12, 0x00}));

  // A full block: 80 bytes out, the write time, 8 bytes back. The reply
  // still comes as one burst, its bytes one byte time apart.
  start = Clock::now();
  Send(client, Message(2, ProgramBody(0x13, Bytes(64, 0x5A))));
  ASSERT_TRUE(ToolAccepts(ReceiveBurst(client, 500, nullptr, &last), &reply));
  EXPECT_GE(last - start, (80 + 8) * fast + std::chrono::microseconds(5000));
  EXPECT_EQ(reply, (Bytes{0x13, 0x00}));
  EXPECT_EQ(DevsimSnapshot(devsim.get()).flash[63], 0x5A);
}

}  // namespace

// --- The line as a real port carries it ---------------------------------------

// Once the bootloader listens, the client's own input settings act on what
// the device sends, as on a serial port: a client that left ICRNL on reads
// the sync answer as a line feed. Before the first probe the kernel left
// the input alone, so the firmware's gate could watch the settings.
TEST(DevsimSession, ClientInputFlagsActOnTheBootloadersAnswers) {
  DevsimPtr devsim(StartDevsim({}));
  ASSERT_TRUE(devsim);
  Client client;
  OpenClient(devsim.get(), B115200, &client);
  termios tio{};
  ASSERT_EQ(tcgetattr(client.fd, &tio), 0);
  tio.c_iflag |= ICRNL;
  ASSERT_EQ(tcsetattr(client.fd, TCSANOW, &tio), 0);

  Send(client, kActivation);
  ASSERT_TRUE(DevsimWaitUntil(
      devsim.get(), [](const DevsimRecord& record) { return record.bootloaderEntries > 0; }, 2000));
  Send(client, {'!'});
  EXPECT_EQ(ReceiveBurst(client, 500), Bytes{'\n'});
  Send(client, {'!'});
  EXPECT_EQ(ReceiveBurst(client, 500), Bytes{'\n'});
}

// --- A device that goes away after or during a message ----------------------

TEST(DevsimSession, GoesAwayOrHoldsTheLineAroundAMessage) {
  struct Case {
    const char* what;
    ReplyPlan plan;  // for the erase
    bool replies;    // the erase gets its reply first
    bool vanishes;   // then the line hangs up; else it stays up but held
  };
  const Case cases[] = {
      {"reply then vanish", {ReplyFault::kReplyThenVanish, {}}, true, true},
      {"reply then hold", {ReplyFault::kReplyThenHold, {}}, true, false},
      {"vanish after 3 bytes", {ReplyFault::kVanishMidMessage, {}, 3}, false, true},
  };
  for (const Case& c : cases) {
    DevsimConfig config;
    config.replies[0] = c.plan;
    DevsimPtr devsim(StartDevsim(config));
    ASSERT_TRUE(devsim);
    Client client;
    OpenClient(devsim.get(), B115200, &client);
    Activate(devsim.get(), &client);
    // In one write: the device may be gone before a byte-wise send ends.
    const Bytes erase = Message(1, {0x12});
    ASSERT_EQ(write(client.fd, erase.data(), erase.size()), static_cast<ssize_t>(erase.size()));

    Bytes reply;
    bool hungUp = false;
    const Bytes burst = ReceiveBurst(client, 500, &hungUp);
    EXPECT_EQ(ToolAccepts(burst, &reply) && Acknowledges(reply, 0x12), c.replies) << c.what;
    if (c.replies) {
      // The next write finds no room while the line is held, and fails
      // once it has gone.
      pollfd room{client.fd, POLLOUT, 0};
      const int ready = poll(&room, 1, 1000);
      const uint8_t next = 0x1B;
      if (c.vanishes) {
        EXPECT_EQ(ready, 1) << c.what;
        EXPECT_EQ(write(client.fd, &next, 1), -1) << c.what;
        EXPECT_EQ(errno, EIO) << c.what;
      } else {
        EXPECT_EQ(ready, 0) << c.what;
        EXPECT_EQ(write(client.fd, &next, 1), -1) << c.what;
        EXPECT_EQ(errno, EAGAIN) << c.what;
      }
    } else {
      EXPECT_TRUE(hungUp) << c.what;
    }
    const DevsimRecord record = DevsimSnapshot(devsim.get());
    EXPECT_EQ(record.vanished, c.vanishes) << c.what;
    // A message cut short is not a frame the device took.
    EXPECT_EQ(record.frames.size(), c.replies ? 1u : 0u) << c.what;
  }
}
