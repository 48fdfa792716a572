// How korvel judges the device's replies to its erase and program messages:
// what it accepts, what it refuses, and what it prints when a reply lets
// the programming down. Every case runs with the standard reply timing and
// with fast replies, which must judge alike.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <tuple>
#include <vector>

#include "tests/e2e/case_name.h"
#include "tests/e2e/expected_lines.h"
#include "tests/e2e/run_korvel.h"
#include "tests/e2e/simulated_device.h"
#include "tests/e2e/test_images.h"

namespace korvel_e2e {
namespace {

using korvel_e2e::PrintTo;

// Message indexes of a run: the erase, then the program blocks.
constexpr int kEraseMessage = 0;
constexpr int kFirstBlock = 1;
constexpr int kSecondBlock = 2;

// What a case programs. Each image is 100 bytes, two blocks (64 + 36), but
// the built-in image, which is 512 bytes in eight blocks.
enum class Source { kFirmwareFile, kEepromFile, kHwParams };

struct Target {
  std::string argument;
  Bytes image;
  uint8_t code;
  ExpectedLines start;  // the lines before the programming's own
};

Target Prepare(Source source, const TempDir& dir) {
  switch (source) {
    case Source::kFirmwareFile: {
      const Bytes image = FirmwareImage(100);
      return {dir.WriteFile("firmware.img", image).string(), image, kProgramFlash,
              ActivatedStart() + ExpectedLines{Line("Flashing firmware version 2.4.")}};
    }
    case Source::kEepromFile: {
      const Bytes image = PatternImage(100);
      return {dir.WriteFile("eeprom.bin", image).string(), image, kProgramEeprom, ActivatedStart()};
    }
    case Source::kHwParams:
      break;
  }
  return {"HWPARM0112345", HwParamImageWith(0x01, 12345), kProgramEeprom, ActivatedStart()};
}

// A split reply: the pause inside it, and the bytes before the pause.
struct Split {
  uint32_t gapMs = ReplyPlan{}.splitGapMs;
  uint32_t at = ReplyPlan{}.splitAt;
};

// The 8-byte reply with its checksum |gapMs| late.
constexpr Split LastByteLate(uint32_t gapMs) {
  return {gapMs, 7};
}

DevsimConfig WithReply(int message, ReplyFault fault, Bytes customBody, Split split,
                       bool paced = false) {
  DevsimConfig config;
  config.replies[message] = ReplyPlan{fault, std::move(customBody)};
  config.replies[message].splitGapMs = split.gapMs;
  config.replies[message].splitAt = split.at;
  config.paced = paced;
  return config;
}

const char* const kTransfer = "serial/transfer.cpp";
const char* const kMessage = "bootloader/message.cpp";
const char* const kProgramming = "bootloader/programming.cpp";

// The reports of a reply that never came, and of one that came but failed
// the frame checks.
const ExpectedLines kNothingArrived = {Report(kMessage, "MyReadFile"),
                                       Report(kProgramming, "GetMessageAnswer")};
const ExpectedLines kNotAMessage = {Report(kProgramming, "GetMessageAnswer")};
// The device closed the line: the read fails outright.
const ExpectedLines kLineGone = {Report(kTransfer, "ReadFile", EIO),
                                 Report(kMessage, "MyReadFile", EIO),
                                 Report(kProgramming, "GetMessageAnswer", EIO)};
const ExpectedLines kEraseRefused = {Report(kProgramming, "Chip erase failed")};
const ExpectedLines kFlashRefused = {Report(kProgramming, "Programming the flash failed")};
const ExpectedLines kEepromRefused = {Report(kProgramming, "Programming the eeprom failed")};

// The end of a failed firmware run: the traffic so far, then the verdict.
ExpectedLines FirmwareFailed(int written, int read) {
  return {Line("Written: " + std::to_string(written) + ", Read: " + std::to_string(read)),
          Line("Flashing the firmware image failed.")};
}
const ExpectedLines kEepromFailed = {Line("Flashing the eeprom image failed.")};

// Bytes korvel sends, for the traffic line: the activation string, the
// erase, a full block of 64 and the 36-byte block of a 100-byte image.
constexpr int kUpToErase = 10 + 7;
constexpr int kUpToFirstBlock = kUpToErase + 80;
constexpr int kUpToSecondBlock = kUpToFirstBlock + 52;

// --- Replies that end the programming ---------------------------------------

struct FailingReplyCase {
  const char* name;
  Source source;
  int message;  // the message whose reply goes wrong
  ReplyFault fault;
  Bytes customBody;
  ExpectedLines lines;  // after the start
  Split split = {};
};

using FailingReplyRow = std::tuple<FailingReplyCase, ReplyMode>;

class FailingReplyTest : public ::testing::TestWithParam<FailingReplyRow> {};

TEST_P(FailingReplyTest, EndsTheProgrammingWithoutResetOrRetry) {
  const auto& [param, mode] = GetParam();
  TempDir dir;
  const Target target = Prepare(param.source, dir);
  SimulatedDevice device(WithReply(param.message, param.fault, param.customBody, param.split));
  const termios found = PortSettings(device.port());
  const RunResult run = RunKorvel({device.port(), target.argument},
                                  {.workingDirectory = dir.path(), .replies = mode});

  ::testing::AssertionResult lines = RunIs(run, target.start + param.lines, 255);
  // Wine's serial layer mostly reads a pseudo-terminal whose other side went
  // away as a read that timed out; only a hang-up seen before the read began
  // fails it.
  const bool lineGone = param.lines.size() >= kLineGone.size() &&
                        param.lines[0].step == kLineGone[0].step && param.lines[0].report;
  if (!lines && UnderWine() && param.fault == ReplyFault::kVanish && lineGone) {
    ExpectedLines timedOut = kNothingArrived;
    timedOut.insert(timedOut.end(), param.lines.begin() + static_cast<long>(kLineGone.size()),
                    param.lines.end());
    lines = RunIs(run, target.start + timedOut, 255);
  }
  EXPECT_TRUE(lines);
  // Every message up to the failing one went out once; nothing after it,
  // and no reset.
  std::vector<ReceivedFrame> expected = RunFrames(target.image, target.code);
  expected.resize(static_cast<size_t>(param.message) + 1);
  const DevsimRecord seen = device.Settled();
  EXPECT_TRUE(FramesAre(seen.frames, expected));
  EXPECT_EQ(seen.resets, 0);
  // The device stays in its bootloader on a line as korvel found it, unless
  // the device took the line away.
  if (!seen.vanished) {
    EXPECT_TRUE(SettingsAsFound(device.port(), found));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FailingReplyTest,
    ::testing::Combine(::testing::Values(
                           // The erase.
                           FailingReplyCase{"EraseNotAnswered",
                                            Source::kFirmwareFile,
                                            kEraseMessage,
                                            ReplyFault::kNoReply,
                                            {},
                                            kNothingArrived + FirmwareFailed(kUpToErase, 0)},
                           FailingReplyCase{"EraseRefused",
                                            Source::kFirmwareFile,
                                            kEraseMessage,
                                            ReplyFault::kRefuse,
                                            {},
                                            kEraseRefused + FirmwareFailed(kUpToErase, 8)},
                           FailingReplyCase{"EraseAnsweredWithOtherCodeAndStatus",
                                            Source::kFirmwareFile,
                                            kEraseMessage,
                                            ReplyFault::kCustomBody,
                                            {0x05, 0xC0},
                                            kEraseRefused + FirmwareFailed(kUpToErase, 8)},
                           FailingReplyCase{"EraseAnsweredWithThreeByteBody",
                                            Source::kFirmwareFile,
                                            kEraseMessage,
                                            ReplyFault::kThreeByteBody,
                                            {},
                                            kEraseRefused + FirmwareFailed(kUpToErase, 9)},
                           FailingReplyCase{"EraseAnsweredWithOneByteBody",
                                            Source::kFirmwareFile,
                                            kEraseMessage,
                                            ReplyFault::kCustomBody,
                                            {0x12},
                                            kEraseRefused + FirmwareFailed(kUpToErase, 7)},
                           FailingReplyCase{"EraseAnsweredWithEmptyBody",
                                            Source::kFirmwareFile,
                                            kEraseMessage,
                                            ReplyFault::kEmptyBody,
                                            {},
                                            kEraseRefused + FirmwareFailed(kUpToErase, 6)},
                           FailingReplyCase{"EraseReplyWithWrongChecksum",
                                            Source::kFirmwareFile,
                                            kEraseMessage,
                                            ReplyFault::kWrongChecksum,
                                            {},
                                            kNotAMessage + FirmwareFailed(kUpToErase, 8)},
                           FailingReplyCase{"EraseReplyOneByteShort",
                                            Source::kFirmwareFile,
                                            kEraseMessage,
                                            ReplyFault::kOneByteShort,
                                            {},
                                            kNotAMessage + FirmwareFailed(kUpToErase, 7)},
                           // Only the first burst, the 5-byte header, counts; 30 ms
                           // of silence inside a reply end it as well as 60 do.
                           FailingReplyCase{"EraseReplyInTwoBursts",
                                            Source::kFirmwareFile,
                                            kEraseMessage,
                                            ReplyFault::kSplitBurst,
                                            {},
                                            kNotAMessage + FirmwareFailed(kUpToErase, 5)},
                           FailingReplyCase{"EraseReplyWithA30msPauseInside",
                                            Source::kFirmwareFile,
                                            kEraseMessage,
                                            ReplyFault::kSplitBurst,
                                            {},
                                            kNotAMessage + FirmwareFailed(kUpToErase, 5),
                                            {30}},
                           // So does a pause before the last byte: the checksum
                           // comes too late, and the 7 bytes before it are no reply.
                           FailingReplyCase{"EraseReplyWithItsLastByteAfterA30msPause",
                                            Source::kFirmwareFile,
                                            kEraseMessage,
                                            ReplyFault::kSplitBurst,
                                            {},
                                            kNotAMessage + FirmwareFailed(kUpToErase, 7),
                                            LastByteLate(30)},
                           FailingReplyCase{"EraseReplyAfterAStrayByte",
                                            Source::kFirmwareFile,
                                            kEraseMessage,
                                            ReplyFault::kStrayLeadingByte,
                                            {},
                                            kNotAMessage + FirmwareFailed(kUpToErase, 9)},
                           FailingReplyCase{"EraseAnsweredWithNoise",
                                            Source::kFirmwareFile,
                                            kEraseMessage,
                                            ReplyFault::kNoise,
                                            {},
                                            kNotAMessage + FirmwareFailed(kUpToErase, 285)},
                           FailingReplyCase{"EraseReplyClaimingAHugeBody",
                                            Source::kFirmwareFile,
                                            kEraseMessage,
                                            ReplyFault::kHugeSizeClaim,
                                            {},
                                            kNotAMessage + FirmwareFailed(kUpToErase, 285)},
                           FailingReplyCase{"EraseAnsweredWithEndlessBytes",
                                            Source::kFirmwareFile,
                                            kEraseMessage,
                                            ReplyFault::kFlood,
                                            {},
                                            kNotAMessage + FirmwareFailed(kUpToErase, 285)},
                           FailingReplyCase{"DeviceGoneAtTheErase",
                                            Source::kFirmwareFile,
                                            kEraseMessage,
                                            ReplyFault::kVanish,
                                            {},
                                            kLineGone + FirmwareFailed(kUpToErase, 0)},
                           // The first block.
                           FailingReplyCase{"FirstBlockNotAnswered",
                                            Source::kFirmwareFile,
                                            kFirstBlock,
                                            ReplyFault::kNoReply,
                                            {},
                                            kNothingArrived + FirmwareFailed(kUpToFirstBlock, 8)},
                           FailingReplyCase{"FirstBlockRefused",
                                            Source::kFirmwareFile,
                                            kFirstBlock,
                                            ReplyFault::kRefuse,
                                            {},
                                            kFlashRefused + FirmwareFailed(kUpToFirstBlock, 16)},
                           FailingReplyCase{"FirstBlockAnsweredWithTheEepromCode",
                                            Source::kFirmwareFile,
                                            kFirstBlock,
                                            ReplyFault::kCustomBody,
                                            {0x15, 0xC0},
                                            kFlashRefused + FirmwareFailed(kUpToFirstBlock, 16)},
                           FailingReplyCase{"FirstBlockAnsweredWithThreeByteBody",
                                            Source::kFirmwareFile,
                                            kFirstBlock,
                                            ReplyFault::kThreeByteBody,
                                            {},
                                            kFlashRefused + FirmwareFailed(kUpToFirstBlock, 17)},
                           FailingReplyCase{"FirstBlockReplyWithWrongChecksum",
                                            Source::kFirmwareFile,
                                            kFirstBlock,
                                            ReplyFault::kWrongChecksum,
                                            {},
                                            kNotAMessage + FirmwareFailed(kUpToFirstBlock, 16)},
                           // The second block: the first is not sent again.
                           FailingReplyCase{"SecondBlockRefused",
                                            Source::kFirmwareFile,
                                            kSecondBlock,
                                            ReplyFault::kRefuse,
                                            {},
                                            kFlashRefused + FirmwareFailed(kUpToSecondBlock, 24)},
                           FailingReplyCase{"DeviceGoneAtTheSecondBlock",
                                            Source::kFirmwareFile,
                                            kSecondBlock,
                                            ReplyFault::kVanish,
                                            {},
                                            kLineGone + FirmwareFailed(kUpToSecondBlock, 16)},
                           // EEPROM runs print no traffic line.
                           FailingReplyCase{"EepromEraseRefused",
                                            Source::kEepromFile,
                                            kEraseMessage,
                                            ReplyFault::kRefuse,
                                            {},
                                            kEraseRefused + kEepromFailed},
                           FailingReplyCase{"EepromEraseNotAnswered",
                                            Source::kEepromFile,
                                            kEraseMessage,
                                            ReplyFault::kNoReply,
                                            {},
                                            kNothingArrived + kEepromFailed},
                           FailingReplyCase{"EepromBlockRefused",
                                            Source::kEepromFile,
                                            kFirstBlock,
                                            ReplyFault::kRefuse,
                                            {},
                                            kEepromRefused + kEepromFailed},
                           FailingReplyCase{"EepromBlockAnsweredWithTheFlashCode",
                                            Source::kEepromFile,
                                            kFirstBlock,
                                            ReplyFault::kCustomBody,
                                            {0x13, 0xC0},
                                            kEepromRefused + kEepromFailed},
                           FailingReplyCase{"EepromBlockReplyOneByteShort",
                                            Source::kEepromFile,
                                            kSecondBlock,
                                            ReplyFault::kOneByteShort,
                                            {},
                                            kNotAMessage + kEepromFailed},
                           FailingReplyCase{"HwParamLastBlockRefused",
                                            Source::kHwParams,
                                            8,
                                            ReplyFault::kRefuse,
                                            {},
                                            kEepromRefused + kEepromFailed}),
                       ::testing::ValuesIn(kReplyModes)),
    CaseAndModeName<FailingReplyRow>);

// --- Replies that acknowledge -----------------------------------------------

struct AcceptedReplyCase {
  const char* name;
  Source source;
  int message;
  ReplyFault fault;
  Bytes customBody;
  Split split = {};
  // A device that takes a real line's time, sending its replies one byte
  // per byte time at 115,200 baud.
  bool paced = false;
};

using AcceptedReplyRow = std::tuple<AcceptedReplyCase, ReplyMode>;

// Half the quiet after which the fast timing ends a whole reply.
constexpr uint32_t kLineSpeedSlipUs = 500;

class AcceptedReplyTest : public ::testing::TestWithParam<AcceptedReplyRow> {};

TEST_P(AcceptedReplyTest, ProgrammingGoesOn) {
  const auto& [param, mode] = GetParam();
  TempDir dir;
  const Target target = Prepare(param.source, dir);
  const bool firmware = target.code == kProgramFlash;
  const ExpectedLines flashed =
      target.start + ExpectedLines{Line(firmware ? "Firmware flashed." : "Eeprom flashed.")};
  // A paced device on a busy machine can fall milliseconds behind its line,
  // leaving gaps in its bytes that a real line never has; such a run proves
  // nothing either way and is tried again.
  for (int attempt = 1;; ++attempt) {
    SimulatedDevice device(
        WithReply(param.message, param.fault, param.customBody, param.split, param.paced));
    const RunResult run = RunKorvel({device.port(), target.argument},
                                    {.workingDirectory = dir.path(), .replies = mode});
    const DevsimRecord seen =
        device.WaitFor([](const DevsimRecord& record) { return record.resets > 0; });
    if (!RunIs(run, flashed, 0) && seen.pacingSlipUs > kLineSpeedSlipUs && attempt < 5) continue;
    EXPECT_TRUE(RunIs(run, flashed, 0))
        << "device behind its line by up to " << seen.pacingSlipUs << " us";
    EXPECT_TRUE(FramesAre(seen.frames, RunFrames(target.image, target.code)));
    const std::vector<uint8_t>& memory = firmware ? seen.flash : seen.eeprom;
    EXPECT_TRUE(std::equal(target.image.begin(), target.image.end(), memory.begin()));
    return;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, AcceptedReplyTest,
    ::testing::Combine(::testing::Values(
                           // The first byte is the command's code: the status does not matter.
                           AcceptedReplyCase{"EraseAnsweredWithCodeAndFailureStatus",
                                             Source::kFirmwareFile,
                                             kEraseMessage,
                                             ReplyFault::kCustomBody,
                                             {0x12, 0xC0}},
                           // The status is 0x00: the code does not matter.
                           AcceptedReplyCase{"EraseAnsweredWithOtherCodeAndStatusZero",
                                             Source::kFirmwareFile,
                                             kEraseMessage,
                                             ReplyFault::kCustomBody,
                                             {0x05, 0x00}},
                           // A pause under 20 ms inside a reply does not end it.
                           AcceptedReplyCase{"EraseReplyWithA12msPauseInside",
                                             Source::kFirmwareFile,
                                             kEraseMessage,
                                             ReplyFault::kSplitBurst,
                                             {},
                                             {12}},
                           AcceptedReplyCase{"BlockReplyWithA12msPauseInside",
                                             Source::kFirmwareFile,
                                             kSecondBlock,
                                             ReplyFault::kSplitBurst,
                                             {},
                                             {12}},
                           // Only the checksum is missing, for 10 ms: fast replies
                           // wait for it as the standard timing does.
                           AcceptedReplyCase{"BlockReplyWithItsLastByteAfterA10msPause",
                                             Source::kFirmwareFile,
                                             kFirstBlock,
                                             ReplyFault::kSplitBurst,
                                             {},
                                             LastByteLate(10),
                                             true},
                           AcceptedReplyCase{"EraseReplyWithWrongToken",
                                             Source::kFirmwareFile,
                                             kEraseMessage,
                                             ReplyFault::kWrongToken,
                                             {}},
                           AcceptedReplyCase{"EraseReplyWithUnrelatedSequenceNumber",
                                             Source::kFirmwareFile,
                                             kEraseMessage,
                                             ReplyFault::kOtherSequence,
                                             {}},
                           // A late '\r', a NUL and a start byte after the reply are dropped with
                           // the rest of the burst; the next reply is read afresh.
                           AcceptedReplyCase{"EraseReplyWithTrailingBytes",
                                             Source::kFirmwareFile,
                                             kEraseMessage,
                                             ReplyFault::kTrailingBytes,
                                             {}},
                           AcceptedReplyCase{"BlockAnsweredWithCodeAndFailureStatus",
                                             Source::kFirmwareFile,
                                             kFirstBlock,
                                             ReplyFault::kCustomBody,
                                             {0x13, 0xC0}},
                           AcceptedReplyCase{"BlockAnsweredWithOtherCodeAndStatusZero",
                                             Source::kFirmwareFile,
                                             kFirstBlock,
                                             ReplyFault::kCustomBody,
                                             {0x05, 0x00}},
                           AcceptedReplyCase{"BlockReplyWithTrailingBytes",
                                             Source::kFirmwareFile,
                                             kFirstBlock,
                                             ReplyFault::kTrailingBytes,
                                             {}},
                           AcceptedReplyCase{"BlockReplyWithWrongToken",
                                             Source::kFirmwareFile,
                                             kSecondBlock,
                                             ReplyFault::kWrongToken,
                                             {}},
                           AcceptedReplyCase{"BlockReplyWithUnrelatedSequenceNumber",
                                             Source::kFirmwareFile,
                                             kSecondBlock,
                                             ReplyFault::kOtherSequence,
                                             {}},
                           AcceptedReplyCase{"EepromBlockAnsweredWithCodeAndAnyStatus",
                                             Source::kEepromFile,
                                             kFirstBlock,
                                             ReplyFault::kCustomBody,
                                             {0x15, 0x77}},
                           AcceptedReplyCase{"HwParamEraseReplyWithTrailingBytes",
                                             Source::kHwParams,
                                             kEraseMessage,
                                             ReplyFault::kTrailingBytes,
                                             {}},
                           // Trailing bytes one byte time apart, as a real line
                           // carries them: they join the reply in both timings,
                           // and the next message (a block, the reset) and its
                           // answer go undisturbed.
                           AcceptedReplyCase{"EraseReplyWithTrailingBytesAtLineSpeed",
                                             Source::kFirmwareFile,
                                             kEraseMessage,
                                             ReplyFault::kTrailingBytes,
                                             {},
                                             {},
                                             true},
                           AcceptedReplyCase{"LastBlockReplyWithTrailingBytesAtLineSpeed",
                                             Source::kFirmwareFile,
                                             kSecondBlock,
                                             ReplyFault::kTrailingBytes,
                                             {},
                                             {},
                                             true}),
                       ::testing::ValuesIn(kReplyModes)),
    CaseAndModeName<AcceptedReplyRow>);

// --- A device that is gone --------------------------------------------------

TEST(Replies, ForcedRunOnAGoneDeviceCannotSendTheErase) {
  // The device closes the line at the third probe; the run is forced on and
  // the erase can't be written to a line that has hung up.
  TempDir dir;
  const std::string path = dir.WriteFile("firmware.img", FirmwareImage(100)).string();
  SimulatedDevice device(WithProbeFaults({.neverAnswer = true, .vanishAfterProbes = 3}));

  EXPECT_TRUE(
      RunIs(RunKorvel({device.port(), path, "FORCE"}),
            {Banner(), Report("bootloader/activation.cpp", "WriteFile", EIO),
             Line("Forced bootloader activation."), Line("Bootloader activated."),
             Line("Flashing firmware version 2.4."), Report(kProgramming, "MyWriteFile", EIO),
             Line("Written: 10, Read: 0"), Line("Flashing the firmware image failed.")},
            255));
  const DevsimRecord seen = device.Settled();
  EXPECT_TRUE(seen.vanished);
  EXPECT_TRUE(seen.frames.empty()) << Describe(seen);
}

}  // namespace
}  // namespace korvel_e2e
