// From the command line to an active bootloader: the argument count, the
// port, the activation baud, the probe phase, STOP, and keyboard interrupts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/case_name.h"
#include "tests/e2e/expected_lines.h"
#include "tests/e2e/network_peers.h"
#include "tests/e2e/run_korvel.h"
#include "tests/e2e/simulated_device.h"
#include "tests/e2e/syscall_trace.h"
#include "tests/e2e/test_images.h"

namespace korvel_e2e {
namespace {

using korvel_e2e::PrintTo;

using std::chrono::milliseconds;

const ExpectedLines kUsage = {
    Banner(), Line("Usage: korvel.exe <COM-Port> <FW_File> [activation baud]"), Line("")};
const ExpectedLine kActivated = Line("Bootloader activated.");
const ExpectedLine kActivationFailed = Line("Activating the bootloader failed.");
const ExpectedLine kForced = Line("Forced bootloader activation.");

std::vector<std::string> Concat(std::vector<std::string> first,
                                const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// --- Argument count ---------------------------------------------------------

struct ArgumentCountCase {
  const char* name;
  size_t count;  // arguments after the program name
};

class ArgumentCountTest : public ::testing::TestWithParam<ArgumentCountCase> {};

TEST_P(ArgumentCountTest, PrintsTheUsageAndLeavesThePortAlone) {
  SimulatedDevice device;
  // Arguments that would make a good STOP run if the count were not checked.
  const std::vector<std::string> all = {device.port(), "STOP", "115200", "FORCE", "extra"};
  const std::vector<std::string> args(all.begin(),
                                      all.begin() + static_cast<std::ptrdiff_t>(GetParam().count));

  EXPECT_TRUE(RunIs(RunKorvel(args), kUsage, 255));
  const DevsimRecord seen = device.Settled();
  EXPECT_TRUE(seen.activationBytes.empty()) << Describe(seen);
  EXPECT_EQ(seen.probes, 0);
}

INSTANTIATE_TEST_SUITE_P(RunStart, ArgumentCountTest,
                         ::testing::Values(ArgumentCountCase{"NoArguments", 0},
                                           ArgumentCountCase{"PortOnly", 1},
                                           ArgumentCountCase{"FiveArguments", 5}),
                         CaseName<ArgumentCountCase>);

// --- Opening the port -------------------------------------------------------

enum class PortSetup {
  kMissingPath,  // a path that does not exist
  kMissingName,  // a bare name, looked up under /dev
  kNullDevice,   // /dev/null: not a terminal
  kRegularFile,  // a file: not a terminal
  kDirectory,    // can't be opened for writing
  kInUse,        // the device's port, locked by another program
  kDevice,       // the device's port, free
};

struct OpenFailureCase {
  const char* name;
  PortSetup setup;
  std::vector<std::string> moreArgs;  // after the port and STOP
  const char* step;                   // what OpenSerial reports
  unsigned long code;
};

class OpenFailureTest : public ::testing::TestWithParam<OpenFailureCase> {};

// Why a port set up so has no Windows counterpart under Wine, or nullptr.
const char* NativeOnly(PortSetup setup) {
  switch (setup) {
    case PortSetup::kMissingPath:
    case PortSetup::kDirectory:
      return "a POSIX path name as the port";
    case PortSetup::kNullDevice:
    case PortSetup::kRegularFile:
      return "a port that is a POSIX file, not a terminal";
    case PortSetup::kInUse:
      return "a port held with flock";
    case PortSetup::kDevice:
    case PortSetup::kMissingName:
      break;
  }
  return nullptr;
}

TEST_P(OpenFailureTest, ReportsTheFailingStepThenOpenSerial) {
  const OpenFailureCase& param = GetParam();
  if (UnderWine() && NativeOnly(param.setup) != nullptr) {
    GTEST_SKIP() << "native only: " << NativeOnly(param.setup);
  }
  TempDir dir;
  SimulatedDevice device;
  const std::string fileContent = "not a port\n";
  std::string port;
  int holder = -1;
  switch (param.setup) {
    case PortSetup::kMissingPath:
      port = (dir / "no-such-port").string();
      break;
    case PortSetup::kMissingName:
      port = "korvel-e2e-no-such-port";
      break;
    case PortSetup::kNullDevice:
      port = "/dev/null";
      break;
    case PortSetup::kRegularFile:
      port = dir.WriteFile("not-a-port", Bytes(fileContent.begin(), fileContent.end())).string();
      break;
    case PortSetup::kDirectory:
      port = dir.path().string();
      break;
    case PortSetup::kInUse:
      port = device.port();
      // Another program that has claimed the port the way korvel does.
      holder = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
      ASSERT_GE(holder, 0) << std::strerror(errno);
      ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0) << std::strerror(errno);
      break;
    case PortSetup::kDevice:
      port = device.port();
      // With settings korvel changes before the step that fails.
      LeavePortCooked(port);
      break;
  }

  const termios found = PortSettings(device.port());
  const RunResult run = RunKorvel(Concat({port, "STOP"}, param.moreArgs));
  if (holder >= 0) close(holder);

  EXPECT_TRUE(RunIs(run,
                    {Banner(), Report("serial/open_serial.cpp", param.step, param.code),
                     Report("app/run.cpp", "OpenSerial", param.code)},
                    255));
  // A port that opened and was changed before a step failed is put back.
  EXPECT_TRUE(SettingsAsFound(device.port(), found));
  const DevsimRecord seen = device.Settled();
  EXPECT_TRUE(seen.activationBytes.empty()) << Describe(seen);
  if (param.setup == PortSetup::kRegularFile) {
    EXPECT_EQ(ReadFileText(port), fileContent) << "korvel wrote into a file that is not a port";
  }
}

INSTANTIATE_TEST_SUITE_P(
    RunStart, OpenFailureTest,
    ::testing::Values(
        OpenFailureCase{"NoSuchPath", PortSetup::kMissingPath, {}, "CreateFile", ENOENT},
        OpenFailureCase{"NoSuchName", PortSetup::kMissingName, {"115200"}, "CreateFile", ENOENT},
        OpenFailureCase{"Directory", PortSetup::kDirectory, {"115200"}, "CreateFile", EISDIR},
        OpenFailureCase{"NullDevice", PortSetup::kNullDevice, {}, "SetCommTimeouts", ENOTTY},
        OpenFailureCase{
            "RegularFile", PortSetup::kRegularFile, {"115200"}, "SetCommTimeouts", ENOTTY},
        OpenFailureCase{"PortInUse", PortSetup::kInUse, {}, "CreateFile", EWOULDBLOCK},
        // Text without digits reads as rate 0, which a terminal would take
        // as "hang up"; forcing does not help a port that did not open.
        OpenFailureCase{"RateWithoutDigits", PortSetup::kDevice, {"fast"}, "SetCommState", EINVAL},
        OpenFailureCase{"RateZero", PortSetup::kDevice, {"0"}, "SetCommState", EINVAL},
        OpenFailureCase{"RateWithoutDigitsForced",
                        PortSetup::kDevice,
                        {"fast", "now"},
                        "SetCommState",
                        EINVAL}),
    CaseName<OpenFailureCase>);

// Windows takes "\\.\" + the name in a buffer of 32 bytes: 27 characters
// fit and go to the system, 28 are refused at once for their length
// (ERROR_FILENAME_EXCED_RANGE, 206, rather than ERROR_FILE_NOT_FOUND, 2);
// natively neither names a port under /dev.
TEST(RunStart, PortNamesLongerThanTwentySevenCharactersAreRefusedAtCreateFile) {
  struct Case {
    size_t length;
    const char* windowsCode;
  };
  for (const Case& c : {Case{27, ": (2)\r\n"}, Case{28, ": (206)\r\n"}}) {
    const RunResult run = RunKorvel({std::string(c.length, 'C'), "STOP"});
    EXPECT_TRUE(RunIs(run,
                      {Banner(), Report("serial/open_serial.cpp", "CreateFile", ENOENT),
                       Report("app/run.cpp", "OpenSerial", ENOENT)},
                      255))
        << c.length << " characters";
    if (UnderWine()) {
      EXPECT_NE(run.out.find(c.windowsCode), std::string::npos) << run.out;
    }
  }
}

// --- STOP -------------------------------------------------------------------

struct StopWordCase {
  const char* name;
  const char* word;
};

class StopWordTest : public ::testing::TestWithParam<StopWordCase> {};

TEST_P(StopWordTest, WakesTheBootloaderWithOneProbeAndLeavesItThere) {
  SimulatedDevice device;
  const termios found = PortSettings(device.port());
  EXPECT_TRUE(RunIs(RunKorvel({device.port(), GetParam().word}), ActivatedStart(), 0));
  EXPECT_TRUE(SettingsAsFound(device.port(), found));

  const DevsimRecord seen = device.Settled();
  EXPECT_EQ(seen.activationBytes, kActivationString);
  EXPECT_EQ(seen.bootloaderEntries, 1);
  EXPECT_EQ(seen.probes, 1);
  // The probe went out at the bootloader's rate (the tool switched before
  // sending it, so this reading can't race).
  EXPECT_EQ(seen.bootloaderBaud, 115200u);
  // Nothing after the sync: no frame, no reset, no stray byte.
  EXPECT_TRUE(seen.frames.empty()) << Describe(seen);
  EXPECT_EQ(seen.corruptFrames, 0);
  EXPECT_EQ(seen.strayBytes, 0);
  EXPECT_EQ(seen.resets, 0);
}

INSTANTIATE_TEST_SUITE_P(
    RunStart, StopWordTest,
    ::testing::Values(StopWordCase{"Capitals", "STOP"}, StopWordCase{"SmallLetters", "stop"},
                      StopWordCase{"LongerWord", "STOPPED"},
                      StopWordCase{"FileNameStartingWithStop", "stopwatch.img"}),
    CaseName<StopWordCase>);

TEST(RunStart, MixedCaseStopIsAFileName) {
  TempDir dir;
  {
    SimulatedDevice device;
    const RunResult run = RunKorvel({device.port(), "Stop"}, {.workingDirectory = dir.path()});
    EXPECT_TRUE(RunIs(
        run,
        ActivatedStart() + ExpectedLines{Report("image/image_file.cpp", "CreateFile", ENOENT),
                                         Report("image/image_source.cpp", "ReadImage", ENOENT),
                                         Line("Written: 10, Read: 0"),
                                         Line("Flashing the firmware image failed.")},
        255));
    EXPECT_TRUE(device.Settled().frames.empty());
  }
  {
    // With a firmware file of that name, it is flashed.
    dir.WriteFile("Stop", FirmwareImage(100));
    SimulatedDevice device;
    const RunResult run = RunKorvel({device.port(), "Stop"}, {.workingDirectory = dir.path()});
    EXPECT_TRUE(RunIs(run,
                      ActivatedStart() + ExpectedLines{Line("Flashing firmware version 2.4."),
                                                       Line("Firmware flashed.")},
                      0));
  }
}

TEST(RunStart, FiftyStopRunsInARowEachDeliverTheWholeActivationString) {
  if (UnderWine()) GTEST_SKIP() << "native only: 50 runs take too long under Wine";
  for (int run = 1; run <= 50; ++run) {
    SimulatedDevice device;
    ASSERT_TRUE(RunIs(RunKorvel({device.port(), "STOP"}), ActivatedStart(), 0)) << "run " << run;
    // The device answered the probe, so it had taken the whole string in.
    const DevsimRecord seen = device.Snapshot();
    ASSERT_EQ(seen.activationBytes, kActivationString) << "run " << run;
    ASSERT_EQ(seen.bootloaderEntries, 1) << "run " << run;
  }
}

// --- The probe phase --------------------------------------------------------

struct ProbeCase {
  const char* name;
  ProbeFaults faults;
  std::vector<std::string> moreArgs;  // after the port and STOP
  ExpectedLines lines;                // after the banner
  int status;
  int probes;               // what the device received
  milliseconds atLeast{0};  // unanswered probes each wait out a read timeout
};

// A probe phase with every probe unanswered waits 30 read timeouts of
// 150 ms, and must stay well below 6 s.
constexpr milliseconds kThirtyTimeouts{30 * 150};
constexpr milliseconds kProbePhaseLimit{6000};

class ProbePhaseTest : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbePhaseTest, EndsAsTheAnswersDecide) {
  const ProbeCase& param = GetParam();
  SimulatedDevice device(WithProbeFaults(param.faults));
  const termios found = PortSettings(device.port());
  const RunResult run = RunKorvel(Concat({device.port(), "STOP"}, param.moreArgs));

  EXPECT_TRUE(RunIs(run, ExpectedLines{Banner()} + param.lines, param.status));
  // Every way out leaves the port as found, an unanswered wake-up too (a
  // device that went away has no port left to look at).
  if (!UnderWine() && param.faults.vanishAfterProbes == 0) {
    EXPECT_TRUE(SettingsAsFound(device.port(), found));
  }
  EXPECT_LT(run.wallTime, kProbePhaseLimit + StartCost());
  EXPECT_GE(run.wallTime, param.atLeast);
  const DevsimRecord seen = device.Settled();
  // The firmware got the activation string first; one that never hands
  // over gets the probes as well.
  ASSERT_GE(seen.activationBytes.size(), kActivationString.size()) << Describe(seen);
  EXPECT_TRUE(
      std::equal(kActivationString.begin(), kActivationString.end(), seen.activationBytes.begin()));
  EXPECT_EQ(seen.bootloaderEntries, param.faults.neverEnterBootloader ? 0 : 1);
  EXPECT_EQ(seen.probes, param.probes);
  EXPECT_TRUE(seen.frames.empty()) << Describe(seen);
}

INSTANTIATE_TEST_SUITE_P(
    RunStart, ProbePhaseTest,
    ::testing::Values(
        ProbeCase{"SecondProbeAnswered", {.answerOnlyProbe = 2}, {}, {kActivated}, 0, 2},
        ProbeCase{"ThirtiethProbeAnswered",
                  {.answerOnlyProbe = 30},
                  {},
                  {kActivated},
                  0,
                  30,
                  kThirtyTimeouts - milliseconds(150)},
        ProbeCase{"OnlyAThirtyFirstProbeWouldBeAnswered",
                  {.answerOnlyProbe = 31},
                  {},
                  {kActivationFailed},
                  255,
                  30,
                  kThirtyTimeouts},
        ProbeCase{"NeverAnswered",
                  {.neverAnswer = true},
                  {},
                  {kActivationFailed},
                  255,
                  30,
                  kThirtyTimeouts},
        ProbeCase{"NeverAnsweredForced",
                  {.neverAnswer = true},
                  {"FORCE"},
                  {kForced, kActivated},
                  0,
                  30,
                  kThirtyTimeouts},
        ProbeCase{"NeverAnsweredForcedInSmallLetters",
                  {.neverAnswer = true},
                  {"forceful"},
                  {kForced, kActivated},
                  0,
                  30,
                  kThirtyTimeouts},
        ProbeCase{"NeverAnsweredForcedByAFourthArgument",
                  {.neverAnswer = true},
                  {"115200", "anything"},
                  {kForced, kActivated},
                  0,
                  30,
                  kThirtyTimeouts},
        ProbeCase{"BootloaderNeverEntered",
                  {.neverEnterBootloader = true},
                  {},
                  {kActivationFailed},
                  255,
                  0,
                  kThirtyTimeouts},
        ProbeCase{"AnsweredWithAnotherByte", {.otherByte = 'A'}, {}, {kActivationFailed}, 255, 30},
        // Bytes that a line left translating (LF to CR) or stripping bit 7
        // would turn into the carriage return.
        ProbeCase{"AnsweredWithLineFeed", {.otherByte = '\n'}, {}, {kActivationFailed}, 255, 30},
        ProbeCase{"AnsweredWithCarriageReturnAndBit7",
                  {.otherByte = 0x8D},
                  {},
                  {kActivationFailed},
                  255,
                  30},
        // The device goes away at an unanswered probe: the next probe can't
        // be written.
        ProbeCase{"DeviceGoneAtThirdProbe",
                  {.neverAnswer = true, .vanishAfterProbes = 3},
                  {},
                  {Report("bootloader/activation.cpp", "WriteFile", EIO), kActivationFailed},
                  255,
                  3},
        ProbeCase{"DeviceGoneAtThirdProbeForced",
                  {.neverAnswer = true, .vanishAfterProbes = 3},
                  {"FORCE"},
                  {Report("bootloader/activation.cpp", "WriteFile", EIO), kForced, kActivated},
                  0,
                  3}),
    CaseName<ProbeCase>);

// --- Keyboard interrupts and stop requests ---------------------------------

// A device that never answers reply |message| (0: the erase).
DevsimConfig SilentAtMessage(int message) {
  DevsimConfig config;
  config.replies[message].fault = ReplyFault::kNoReply;
  return config;
}

const ExpectedLine kVersion24 = Line("Flashing firmware version 2.4.");

// A signal while the run waits at some point. Keyboard interrupts change
// nothing; a stop request (SIGTERM, SIGHUP) ends the wait under way with
// the failure lines of its step, status 255, and the port as found.
struct SignalCase {
  const char* name;
  int signal;
  DevsimConfig device;
  std::string image;  // "" for a 16-block firmware file
  std::vector<std::string> moreArgs;
  int framesBeforeSignal;  // 0: once three probes went out
  ExpectedLines lines;
  int status;
  bool throughSer2net = false;  // the device on a network port
};

class SignalTest : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalTest, EndsTheRunOnlyOnAStopRequestAndLeavesThePortAsFound) {
  const SignalCase& param = GetParam();
  // Wine turns SIGINT into the console's Ctrl+C event; it ends the program
  // at once for the others, which a Windows console never sends.
  if (UnderWine() && param.signal != SIGINT) GTEST_SKIP() << "native only: POSIX signals";
  TempDir dir;
  SimulatedDevice device(param.device);
  const std::string image = param.image.empty()
                                ? dir.WriteFile("firmware.img", FirmwareImage(16 * 64)).string()
                                : param.image;
  const termios found = PortSettings(device.port());
  std::unique_ptr<Ser2net> server;
  if (param.throughSer2net) server = std::make_unique<Ser2net>(device.port());
  RunOptions options;
  options.signal = param.signal;
  options.signalWhen = [&device, &param] {
    const DevsimRecord seen = device.Snapshot();
    return param.framesBeforeSignal == 0
               ? seen.probes >= 3
               : static_cast<int>(seen.frames.size()) >= param.framesBeforeSignal;
  };
  const std::string port = server ? server->url() : device.port();
  const RunResult run = RunKorvel(Concat({port, image}, param.moreArgs), options);

  ASSERT_TRUE(run.signalSent) << run.out;
  EXPECT_TRUE(RunIs(run, ExpectedLines{Banner()} + param.lines, param.status));
  // A network port's line is its server's to put back.
  if (!UnderWine() && !server) {
    EXPECT_TRUE(SettingsAsFound(device.port(), found));
  }
  // A stop ends the wait under way: the probes or the reply's budget are
  // not used up (30 probes, 1,050 ms for the erase, 5,100 ms for a block).
  if (param.status != 0) {
    EXPECT_LT(device.Settled().probes, 30);
    EXPECT_LT(run.wallTime, milliseconds(2000) + StartCost());
  }
}

INSTANTIATE_TEST_SUITE_P(
    RunStart, SignalTest,
    ::testing::Values(
        // Keyboard interrupts: the probe phase runs to its end, then the
        // forced run goes on.
        SignalCase{"Interrupt",
                   SIGINT,
                   WithProbeFaults({.neverAnswer = true}),
                   "STOP",
                   {"FORCE"},
                   0,
                   {kForced, kActivated},
                   0},
        SignalCase{"Quit",
                   SIGQUIT,
                   WithProbeFaults({.neverAnswer = true}),
                   "STOP",
                   {"FORCE"},
                   0,
                   {kForced, kActivated},
                   0},
        // Stop requests, even in a forced run.
        SignalCase{"TerminateWhileProbing",
                   SIGTERM,
                   WithProbeFaults({.neverAnswer = true}),
                   "STOP",
                   {"FORCE"},
                   0,
                   {kActivationFailed},
                   255},
        SignalCase{"HangUpWhileProbing",
                   SIGHUP,
                   WithProbeFaults({.neverAnswer = true}),
                   "STOP",
                   {},
                   0,
                   {kActivationFailed},
                   255},
        SignalCase{"TerminateDuringTheErase",
                   SIGTERM,
                   SilentAtMessage(0),
                   "",
                   {},
                   1,
                   {kActivated, kVersion24, Report("bootloader/message.cpp", "MyReadFile", EINTR),
                    Report("bootloader/programming.cpp", "GetMessageAnswer", EINTR),
                    Line("Written: 17, Read: 0"), Line("Flashing the firmware image failed.")},
                   255},
        // Five blocks acknowledged, the sixth waits for its reply.
        SignalCase{"TerminateMidProgramming",
                   SIGTERM,
                   SilentAtMessage(6),
                   "",
                   {},
                   7,
                   {kActivated, kVersion24, Report("bootloader/message.cpp", "MyReadFile", EINTR),
                    Report("bootloader/programming.cpp", "GetMessageAnswer", EINTR),
                    Line("Written: 497, Read: 48"), Line("Flashing the firmware image failed.")},
                   255},
        // The same through ser2net: the network's waits end as promptly.
        SignalCase{"HangUpWhileProbingThroughSer2net",
                   SIGHUP,
                   WithProbeFaults({.neverAnswer = true}),
                   "STOP",
                   {},
                   0,
                   {kActivationFailed},
                   255,
                   true},
        SignalCase{"TerminateMidProgrammingThroughSer2net",
                   SIGTERM,
                   SilentAtMessage(6),
                   "",
                   {},
                   7,
                   {kActivated, kVersion24, Report("bootloader/message.cpp", "MyReadFile", EINTR),
                    Report("bootloader/programming.cpp", "GetMessageAnswer", EINTR),
                    Line("Written: 497, Read: 48"), Line("Flashing the firmware image failed.")},
                   255,
                   true},
        SignalCase{"HangUpMidEeprom",
                   SIGHUP,
                   SilentAtMessage(4),
                   "HWPARM0112345",
                   {},
                   5,
                   {kActivated, Report("bootloader/message.cpp", "MyReadFile", EINTR),
                    Report("bootloader/programming.cpp", "GetMessageAnswer", EINTR),
                    Line("Flashing the eeprom image failed.")},
                   255}),
    CaseName<SignalCase>);

// --- Line rates, traced -----------------------------------------------------

struct RateCase {
  const char* name;
  ProbeFaults faults;
  std::vector<std::string> moreArgs;  // after the port and STOP
  uint32_t activationRate;
  bool flash = false;  // a firmware image instead of STOP
  ReplyMode replies = ReplyMode::kStandard;
};

class ActivationRateTest : public ::testing::TestWithParam<RateCase> {};

// What a pseudo-terminal reports as its rate may already be the next one
// when the device reads a byte; the tool's own calls show the rate each
// byte was handed over at, and the rate it put back at the end.
TEST_P(ActivationRateTest, EachByteAtItsRateAndTheFoundRateBackAtTheEnd) {
  if (UnderWine()) GTEST_SKIP() << "native only: traces the tool's system calls with strace";
  const std::string strace = FindProgram("strace");
  if (strace.empty()) GTEST_SKIP() << "strace is not installed";
  const RateCase& param = GetParam();
  TempDir dir;
  SimulatedDevice device(WithProbeFaults(param.faults));
  const std::string log = (dir / "trace.log").string();
  const std::string image =
      param.flash ? dir.WriteFile("firmware.img", FirmwareImage(100)).string() : "STOP";

  // LeakSanitizer can't work under a tracer (in a sanitizer build); leaks
  // are checked by the untraced runs.
  RunOptions options;
  options.environment = {"ASAN_OPTIONS=detect_leaks=0",
                         param.replies == ReplyMode::kFast ? "KORVEL_FAST=1" : "KORVEL_FAST=0"};
  const RunResult run = RunProgram(
      strace,
      Concat(TraceOptions(log), Concat({KorvelBinary(), device.port(), image}, param.moreArgs)),
      options);
  ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
  const std::string trace = ReadFileText(log);
  const std::vector<PortEvent> events = PortEvents(trace, device.port());
  SCOPED_TRACE("calls on the port:\n" + Describe(events));

  // The bytes written, each with the rate in force and the event it was in.
  struct Sent {
    uint8_t byte;
    uint32_t rate;
    size_t event;
  };
  std::vector<Sent> sent;
  uint32_t rate = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i].kind == PortEvent::Kind::kRate) rate = events[i].rate;
    if (events[i].kind != PortEvent::Kind::kWrite) continue;
    for (char byte : events[i].bytes) sent.push_back({static_cast<uint8_t>(byte), rate, i});
  }

  // 1. The ten activation bytes first, all at the activation rate; then the
  // probe at 115,200.
  ASSERT_GE(sent.size(), kActivationString.size() + 1);
  for (size_t i = 0; i < kActivationString.size(); ++i) {
    EXPECT_EQ(sent[i].byte, kActivationString[i]) << "byte " << i;
    EXPECT_EQ(sent[i].rate, param.activationRate) << "byte " << i;
  }
  const Sent& probe = sent[kActivationString.size()];
  EXPECT_EQ(probe.byte, '!');
  EXPECT_EQ(probe.rate, 115200u);

  // 2. Between them: the output drained, then the receive side purged,
  // then the switch to 115,200; the transmit side is never purged there.
  const size_t last = sent[kActivationString.size() - 1].event;
  using Kind = PortEvent::Kind;
  std::vector<Kind> steps = {Kind::kDrain, Kind::kPurgeReceive, Kind::kRate};
  size_t next = 0;
  for (size_t i = last + 1; i < probe.event; ++i) {
    EXPECT_NE(events[i].kind, Kind::kPurgeTransmit);
    EXPECT_NE(events[i].kind, Kind::kPurgeBoth);
    if (next < steps.size() && events[i].kind == steps[next]) ++next;
  }
  EXPECT_EQ(next, steps.size()) << "drain, purge of the receive side and rate switch, in order";

  // 3. At the close: the last bytes (the reset, or the last probe) went out
  // at 115,200 and left the port before the rate it was found at, 38,400 on
  // the device's pseudo-terminal, was put back.
  EXPECT_EQ(sent.back().rate, 115200u);
  steps = {Kind::kDrain, Kind::kRate};
  next = 0;
  for (size_t i = sent.back().event + 1; i < events.size(); ++i) {
    if (next < steps.size() && events[i].kind == steps[next]) ++next;
  }
  EXPECT_EQ(next, steps.size()) << "drain, then the rate put back, in order";
  ASSERT_EQ(events.back().kind, Kind::kRate);
  EXPECT_EQ(events.back().rate, 38400u);

  // The device, which holds the line until korvel has set it up, saw the
  // same rate.
  EXPECT_EQ(device.Snapshot().activationBaud, param.activationRate);

  // 4. A programming run purges the receive side only between two messages:
  // with fast replies before each block and the reset, never before the
  // erase and never once a message has begun going out; with the standard
  // timing never.
  if (!param.flash) return;
  const std::vector<size_t> lengths = {7, 80, 52, 7};  // erase, 64 and 36 bytes, reset
  size_t message = 0;
  size_t offset = 0;  // bytes of |message| written
  std::vector<size_t> purgedBefore;
  for (size_t i = probe.event + 1; i < events.size() && message < lengths.size(); ++i) {
    if (events[i].kind == Kind::kPurgeReceive) {
      EXPECT_EQ(offset, 0u) << "a purge inside message " << message;
      purgedBefore.push_back(message);
    }
    if (events[i].kind != Kind::kWrite) continue;
    for (size_t byte = 0; byte < events[i].bytes.size(); ++byte) {
      if (++offset == lengths[message]) {
        ++message;
        offset = 0;
      }
    }
  }
  EXPECT_EQ(message, lengths.size()) << "all four messages written";
  const std::vector<size_t> expected =
      param.replies == ReplyMode::kFast ? std::vector<size_t>{1, 2, 3} : std::vector<size_t>{};
  EXPECT_EQ(purgedBefore, expected) << "the messages a receive purge went before";
}

INSTANTIATE_TEST_SUITE_P(
    RunStart, ActivationRateTest,
    ::testing::Values(
        RateCase{"Given", {}, {"9600"}, 9600},
        RateCase{"DefaultForAPortOfNoKnownAdapter", {}, {}, 115200},
        RateCase{"Forced", {}, {"FORCE"}, 115200},
        RateCase{"GivenAndForcedUnanswered", {.neverAnswer = true}, {"57600", "now"}, 57600},
        RateCase{"ProgrammingRun", {}, {}, 115200, true},
        RateCase{"ProgrammingRunWithFastReplies", {}, {}, 115200, true, ReplyMode::kFast}),
    CaseName<RateCase>);

// --- After the sync ---------------------------------------------------------

TEST(RunStart, LateCarriageReturnFromTheSyncSpoilsTheEraseReply) {
  // Nothing is purged between the sync and the first message, and the
  // receiver does not search for the start byte: the late '\r' heads the
  // burst that carries the erase reply, which is then refused. Whether the
  // reply joins the '\r' in that burst depends on timing.
  TempDir dir;
  const std::string image = dir.WriteFile("firmware.img", FirmwareImage(100)).string();
  SimulatedDevice device(WithProbeFaults({.lateExtraCarriageReturn = true}));
  const RunResult run = RunKorvel({device.port(), image});

  EXPECT_TRUE(RunIs(
      run,
      ActivatedStart() + ExpectedLines{Line("Flashing firmware version 2.4."),
                                       Report("bootloader/programming.cpp", "GetMessageAnswer"),
                                       AnyLineOf({"Written: 17, Read: 9", "Written: 17, Read: 1"}),
                                       Line("Flashing the firmware image failed.")},
      255));
  const DevsimRecord seen = device.Settled();
  ASSERT_EQ(seen.frames.size(), 1u) << Describe(seen);
  EXPECT_EQ(seen.frames[0].body, Bytes{kErase});
  EXPECT_EQ(seen.resets, 0);
}

}  // namespace
}  // namespace korvel_e2e
