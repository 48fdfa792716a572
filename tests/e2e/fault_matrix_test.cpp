// What korvel does when the device, the port or the image lets it down:
// a device that goes away, floods, talks noise or holds the line, port and
// image arguments that are not what they should be. Every case checks the
// exact lines and status, and that the run ends within the time the tool's
// own rules allow, plus one second, without spinning.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
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

using std::chrono::milliseconds;

// --- Time budgets -------------------------------------------------------------
// From the tool's rules: a read waits at most 150 ms; 30 probes, 7 reads for
// the erase's reply, 34 for a block's; a stalled send gives up after 101
// waits of 20 ms for room.
constexpr milliseconds kProbes{30 * 150};
constexpr milliseconds kEraseReply{7 * 150};
constexpr milliseconds kBlockReply{34 * 150};
constexpr milliseconds kStalledSend{101 * 20};
// Runs that wait for nothing: a refused argument, a reply read at once.
constexpr milliseconds kNoWait{0};

const char* const kActivation = "bootloader/activation.cpp";
const char* const kTransfer = "serial/transfer.cpp";
const char* const kMessage = "bootloader/message.cpp";
const char* const kProgramming = "bootloader/programming.cpp";
const char* const kOpenSerial = "serial/open_serial.cpp";
const char* const kRun = "app/run.cpp";
const char* const kImageFile = "image/image_file.cpp";
const char* const kImageSource = "image/image_source.cpp";

// Message indexes of a run of the 100-byte image: erase, block 1, block 2.
constexpr int kErase = 0;
constexpr int kFirstBlock = 1;
constexpr int kLastBlock = 2;

// Bytes korvel sends: the activation string, the erase, then 80 and 52
// bytes for the two blocks; and what it reads: 8 bytes per reply.
constexpr int kUpToErase = 10 + 7;
constexpr int kUpToFirstBlock = kUpToErase + 80;
constexpr int kReply = 8;

const ExpectedLine kVersion = Line("Flashing firmware version 2.4.");

ExpectedLines FirmwareFailed(int written, int read) {
  return {Line("Written: " + std::to_string(written) + ", Read: " + std::to_string(read)),
          Line("Flashing the firmware image failed.")};
}

// The line has hung up under a read.
ExpectedLines LineGoneWhileReading() {
  return {Report(kTransfer, "ReadFile", EIO), Report(kMessage, "MyReadFile", EIO),
          Report(kProgramming, "GetMessageAnswer", EIO)};
}

// --- Devices that misbehave during a firmware run ----------------------------

struct DeviceFaultCase {
  const char* name;
  DevsimConfig device;
  // The lines after the start (banner and, unless the probes fail,
  // "Bootloader activated." and the version line); the run may end in any
  // one of these, where the device's timing decides between them.
  std::vector<ExpectedLines> endings;
  bool activates;
  int status;
  milliseconds budget;
};

using DeviceFaultRow = std::tuple<DeviceFaultCase, ReplyMode>;

// With either reply timing: fast replies change no verdict and no budget.
class DeviceFaultTest : public ::testing::TestWithParam<DeviceFaultRow> {};

TEST_P(DeviceFaultTest, EndsWithItsReportsWithinItsBudget) {
  const auto& [param, mode] = GetParam();
  TempDir dir;
  const std::string path = dir.WriteFile("firmware.img", FirmwareImage(100)).string();
  SimulatedDevice device(param.device);
  const RunResult run = RunKorvel({device.port(), path}, {.replies = mode});

  const ExpectedLines start =
      param.activates ? ActivatedStart() + ExpectedLines{kVersion} : ExpectedLines{Banner()};
  ::testing::AssertionResult matched = ::testing::AssertionFailure();
  for (const ExpectedLines& ending : param.endings) {
    matched = RunIs(run, start + ending, param.status);
    if (matched) break;
  }
  EXPECT_TRUE(matched);
  EXPECT_TRUE(EndsWithin(run, param.budget));
  const DevsimRecord seen = device.Settled();
  EXPECT_EQ(seen.resets, 0) << Describe(seen);
}

DevsimConfig ReplyFaultAt(int message, ReplyFault fault, uint32_t vanishAfterBytes = 0) {
  DevsimConfig config;
  config.replies[message] = ReplyPlan{fault, {}, vanishAfterBytes};
  return config;
}

// A block cut off after 40 of its 80 bytes: korvel is either still writing
// it when the line goes (a report for the write, with 40 to 79 bytes of the
// block sent) or has written it all and is waiting for the reply.
std::vector<ExpectedLines> GoneInTheMiddleOfTheFirstBlock() {
  std::vector<std::string> traffic;
  for (int sent = 40; sent < 80; ++sent) {
    traffic.push_back("Written: " + std::to_string(kUpToErase + sent) +
                      ", Read: " + std::to_string(kReply));
  }
  return {ExpectedLines{Report(kProgramming, "MyWriteFile", EIO), AnyLineOf(traffic),
                        Line("Flashing the firmware image failed.")},
          LineGoneWhileReading() + FirmwareFailed(kUpToFirstBlock, kReply)};
}

INSTANTIATE_TEST_SUITE_P(
    FaultMatrix, DeviceFaultTest,
    ::testing::Combine(
        ::testing::Values(
            // The device goes away.
            DeviceFaultCase{"GoneDuringTheProbes",
                            WithProbeFaults({.neverAnswer = true, .vanishAfterProbes = 3}),
                            {{Report(kActivation, "WriteFile", EIO),
                              Line("Activating the bootloader failed.")}},
                            false,
                            255,
                            kProbes},
            DeviceFaultCase{"GoneAfterAnsweringTheErase",
                            ReplyFaultAt(kErase, ReplyFault::kReplyThenVanish),
                            {ExpectedLines{Report(kProgramming, "MyWriteFile", EIO)} +
                             FirmwareFailed(kUpToErase, kReply)},
                            true,
                            255,
                            kEraseReply},
            DeviceFaultCase{"GoneInTheMiddleOfABlock",
                            ReplyFaultAt(kFirstBlock, ReplyFault::kVanishMidMessage, 40),
                            GoneInTheMiddleOfTheFirstBlock(), true, 255, kEraseReply + kBlockReply},
            DeviceFaultCase{"GoneAfterAnsweringTheLastBlock",
                            ReplyFaultAt(kLastBlock, ReplyFault::kReplyThenVanish),
                            {{Line("Firmware flashed."), Report(kProgramming, "MyWriteFile", EIO),
                              Line("Resetting the bootloader failed.")}},
                            true,
                            255,
                            kEraseReply + 2 * kBlockReply},
            // Replies that are no replies: one receive takes 285 bytes of them
            // and judges them at once.
            DeviceFaultCase{"FloodInsteadOfABlockReply",
                            ReplyFaultAt(kFirstBlock, ReplyFault::kFlood),
                            {ExpectedLines{Report(kProgramming, "GetMessageAnswer")} +
                             FirmwareFailed(kUpToFirstBlock, kReply + 285)},
                            true,
                            255,
                            kEraseReply + kBlockReply},
            DeviceFaultCase{"NoiseInsteadOfABlockReply",
                            ReplyFaultAt(kLastBlock, ReplyFault::kNoise),
                            {ExpectedLines{Report(kProgramming, "GetMessageAnswer")} +
                             FirmwareFailed(kUpToFirstBlock + 52, 2 * kReply + 285)},
                            true,
                            255,
                            kEraseReply + 2 * kBlockReply},
            DeviceFaultCase{"BlockReplyClaimingABodyOf65535Bytes",
                            ReplyFaultAt(kFirstBlock, ReplyFault::kHugeSizeClaim),
                            {ExpectedLines{Report(kProgramming, "GetMessageAnswer")} +
                             FirmwareFailed(kUpToFirstBlock, kReply + 285)},
                            true,
                            255,
                            kEraseReply + kBlockReply},
            // A device that stops reading the moment the erase has come: its
            // reply never comes.
            DeviceFaultCase{"StopsReadingAtTheErase",
                            ReplyFaultAt(kErase, ReplyFault::kStopReading),
                            {ExpectedLines{Report(kMessage, "MyReadFile", EAGAIN),
                                           Report(kProgramming, "GetMessageAnswer", EAGAIN)} +
                             FirmwareFailed(kUpToErase, 0)},
                            true,
                            255,
                            kEraseReply},
            // A device that holds the line: the next write finds no room, and
            // the stall rule ends the send.
            DeviceFaultCase{"HoldsTheLineAfterTheErase",
                            ReplyFaultAt(kErase, ReplyFault::kReplyThenHold),
                            {ExpectedLines{Report(kProgramming, "MyWriteFile", EAGAIN)} +
                             FirmwareFailed(kUpToErase, kReply)},
                            true,
                            255,
                            kEraseReply + kStalledSend},
            DeviceFaultCase{
                "HoldsTheLineBeforeTheReset",
                ReplyFaultAt(kLastBlock, ReplyFault::kReplyThenHold),
                {{Line("Firmware flashed."), Report(kProgramming, "MyWriteFile", EAGAIN),
                  Line("Resetting the bootloader failed.")}},
                true,
                255,
                kEraseReply + 2 * kBlockReply + kStalledSend}),
        ::testing::ValuesIn(kReplyModes)),
    CaseAndModeName<DeviceFaultRow>);

// --- Port arguments -----------------------------------------------------------
// A regular file, a folder, /dev/null and a port locked by another program
// are in run_start_test.cpp.

struct PortNameCase {
  const char* name;
  std::string port;
  unsigned long code;  // of the failed open
};

class PortNameTest : public ::testing::TestWithParam<PortNameCase> {};

TEST_P(PortNameTest, IsRefusedByTheOpen) {
  const PortNameCase& param = GetParam();
  const RunResult run = RunKorvel({param.port, "STOP"});
  EXPECT_TRUE(RunIs(run,
                    {Banner(), Report(kOpenSerial, "CreateFile", param.code),
                     Report(kRun, "OpenSerial", param.code)},
                    255));
  EXPECT_TRUE(EndsWithin(run, kNoWait));
}

INSTANTIATE_TEST_SUITE_P(
    FaultMatrix, PortNameTest,
    ::testing::Values(PortNameCase{"FourThousandNinetySixCharacters", std::string(4096, 'p'),
                                   ENAMETOOLONG},
                      // Names without a slash are looked up under /dev.
                      PortNameCase{"OneBackslash", "\\", ENOENT},
                      PortNameCase{"BackslashesAndDot", "\\\\.", ENOENT},
                      // /dev/ itself.
                      PortNameCase{"Empty", "", EISDIR},
                      // Network ports that name no server port.
                      PortNameCase{"NetworkWithoutPort", "rfc2217://127.0.0.1", EINVAL},
                      PortNameCase{"NetworkPortZero", "rfc2217://127.0.0.1:0", EINVAL}),
    CaseName<PortNameCase>);

TEST(FaultMatrix, PortInUseByAnotherRun) {
  // The first run waits for a bootloader that never answers; the second
  // comes while it holds the port.
  SimulatedDevice device(WithProbeFaults({.neverAnswer = true}));
  RunResult first;
  std::thread firstRun([&] { first = RunKorvel({device.port(), "STOP"}); });
  const DevsimRecord seen = device.WaitFor(
      [](const DevsimRecord& record) { return record.probes > 0; }, milliseconds(5000));
  const RunResult second = RunKorvel({device.port(), "STOP"});
  firstRun.join();
  ASSERT_GT(seen.probes, 0) << Describe(seen);

  EXPECT_TRUE(RunIs(second,
                    {Banner(), Report(kOpenSerial, "CreateFile", EWOULDBLOCK),
                     Report(kRun, "OpenSerial", EWOULDBLOCK)},
                    255));
  EXPECT_TRUE(EndsWithin(second, kNoWait));
  // The first run goes on undisturbed to its own end.
  EXPECT_TRUE(RunIs(first, {Banner(), Line("Activating the bootloader failed.")}, 255));
  EXPECT_TRUE(EndsWithin(first, kProbes));
  EXPECT_EQ(device.Settled().probes, 30);
}

// --- Image arguments ----------------------------------------------------------
// A folder, an empty file, 65,535 and 65,536 bytes and a version text that
// runs to the image's end are in flashing_test.cpp. A file that shrinks
// between its size and its read can't be timed from outside; a sysfs file,
// whose size says 4,096 bytes while it reads as a few, meets the loader the
// same way.

struct BadImageCase {
  const char* name;
  // Prepares the working folder and returns the image argument.
  // Returns "" when the case can't be set up here.
  std::function<std::string(const TempDir&)> prepare;
  ExpectedLines reports;
  const char* skipReason = "";
};

class BadImageTest : public ::testing::TestWithParam<BadImageCase> {};

// korvel in |dir|; as root natively, without the capabilities that let root
// read whatever the permissions say (setpriv, util-linux), so that a file's
// permissions count as they do for a technician.
RunResult RunWithoutFileOverride(const std::vector<std::string>& args, const TempDir& dir) {
  if (geteuid() != 0 || UnderWine()) return RunKorvel(args, {.workingDirectory = dir.path()});
  std::vector<std::string> wrapped = {"--bounding-set=-dac_override,-dac_read_search", "--",
                                      KorvelBinary()};
  wrapped.insert(wrapped.end(), args.begin(), args.end());
  return RunProgram(FindProgram("setpriv"), wrapped, {.workingDirectory = dir.path()});
}

TEST_P(BadImageTest, IsRefusedBeforeTheDeviceIsErased) {
  const BadImageCase& param = GetParam();
  TempDir dir;
  const std::string argument = param.prepare(dir);
  if (argument.empty()) GTEST_SKIP() << param.skipReason;
  SimulatedDevice device;
  const RunResult run = RunWithoutFileOverride({device.port(), argument}, dir);

  EXPECT_TRUE(RunIs(run, ActivatedStart() + param.reports + FirmwareFailed(10, 0), 255));
  EXPECT_TRUE(EndsWithin(run, kNoWait));
  const DevsimRecord seen = device.Settled();
  EXPECT_TRUE(seen.frames.empty()) << Describe(seen);
}

INSTANTIATE_TEST_SUITE_P(
    FaultMatrix, BadImageTest,
    ::testing::Values(BadImageCase{"Unreadable",
                                   [](const TempDir& dir) {
                                     // Root opens it all the same under Wine, whose
                                     // server opens files: nothing to check then.
                                     if (geteuid() == 0 && UnderWine()) return std::string();
                                     const std::filesystem::path path =
                                         dir.WriteFile("firmware.img", FirmwareImage(100));
                                     std::filesystem::permissions(path,
                                                                  std::filesystem::perms::none);
                                     return std::string("firmware.img");
                                   },
                                   {Report(kImageFile, "CreateFile", EACCES),
                                    Report(kImageSource, "ReadImage", EACCES)},
                                   "root reads a file whatever its permissions under Wine"},
                      // No writer: the FIFO reads as an empty image at once.
                      BadImageCase{"Fifo",
                                   [](const TempDir& dir) {
                                     if (mkfifo((dir / "firmware.img").c_str(), 0600) != 0) {
                                       throw std::runtime_error("mkfifo failed");
                                     }
                                     return std::string("firmware.img");
                                   },
                                   {Report(kImageSource, "Reading in the data failed")}},
                      BadImageCase{"ReadsShorterThanItsSize",
                                   [](const TempDir&) {
                                     const std::string path = "/sys/devices/system/cpu/online";
                                     return access(path.c_str(), R_OK) == 0 ? path : std::string();
                                   },
                                   {Report(kImageFile, "Reading in the file failed"),
                                    Report(kImageSource, "ReadImage")},
                                   "no sysfs here"}),
    CaseName<BadImageCase>);

TEST(FaultMatrix, VersionTextWithControlCharactersPrintsOnOneLine) {
  // A CR and LF would break the line; an escape sequence would clear the
  // technician's screen. They print as '?'; the image goes out unchanged.
  TempDir dir;
  const Bytes image = FirmwareImage(100, "2.4\r\nOK\x1b[2J\x7f");
  const std::string path = dir.WriteFile("firmware.img", image).string();
  SimulatedDevice device;
  const RunResult run = RunKorvel({device.port(), path});

  EXPECT_TRUE(RunIs(
      run,
      ActivatedStart() +
          ExpectedLines{Line("Flashing firmware version 2.4??OK?[2J?."), Line("Firmware flashed.")},
      0));
  EXPECT_TRUE(EndsWithin(run, kEraseReply + 2 * kBlockReply));
  const DevsimRecord seen =
      device.WaitFor([](const DevsimRecord& record) { return record.resets > 0; });
  EXPECT_TRUE(FramesAre(seen.frames, RunFrames(image, kProgramFlash)));
}

}  // namespace
}  // namespace korvel_e2e
