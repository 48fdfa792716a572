// korvel on a network port (rfc2217://): through Debian's ser2net in front
// of a simulated device, through a proxy that impairs the stream, and
// against servers that fail or lie. Every case checks the exact lines, the
// status and that the run ends within its budget plus a second.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/case_name.h"
#include "tests/e2e/expected_lines.h"
#include "tests/e2e/network_peers.h"
#include "tests/e2e/run_korvel.h"
#include "tests/e2e/simulated_device.h"
#include "tests/e2e/test_images.h"

namespace korvel_e2e {
namespace {

using korvel_e2e::PrintTo;
using std::chrono::milliseconds;

const char* const kNetworkPort = "serial/network_port.cpp";
const char* const kNetworkSession = "serial/network_session.cpp";
const char* const kOpenSerial = "serial/open_serial.cpp";
const char* const kTransfer = "serial/transfer.cpp";
const char* const kMessage = "bootloader/message.cpp";
const char* const kProgramming = "bootloader/programming.cpp";
const char* const kRun = "app/run.cpp";

const ExpectedLine kVersion = Line("Flashing firmware version 2.4.");
const ExpectedLine kFirmwareFlashed = Line("Firmware flashed.");
const ExpectedLine kFirmwareFailed = Line("Flashing the firmware image failed.");

// Budgets of the tool's own rules: 30 probes of 150 ms, a block's reply,
// the wait for one answer of the server, the connect.
constexpr milliseconds kProbes{30 * 150};
constexpr milliseconds kBlockReply{5000};
constexpr milliseconds kAnswer{2000};
constexpr milliseconds kConnect{5000};

// A firmware image of |size| bytes that is nothing but 0xFF (IAC to telnet)
// and 0x0D (CR, which telnet without binary mode would follow by NUL),
// around the marker.
Bytes IacAndCarriageReturns(size_t size) {
  Bytes image = FirmwareImage(size);
  for (size_t i = 32; i < image.size(); ++i) image[i] = (i * 7 % 5) < 3 ? 0xFF : 0x0D;
  return image;
}

// --- Runs through ser2net ------------------------------------------------------

struct ServedCase {
  const char* name;
  // The image file's content (none: the argument is a command word), its
  // name, and the arguments after it.
  std::function<Bytes()> image;
  std::string argument;
  std::vector<std::string> more;
  ExpectedLines lines;
  uint32_t activationBaud;
  uint8_t code;  // the memory programmed; 0: none
};

class ServedRunTest : public ::testing::TestWithParam<ServedCase> {};

TEST_P(ServedRunTest, ReachesTheDeviceAsOverALocalLine) {
  const ServedCase& param = GetParam();
  TempDir dir;
  const Bytes image = param.image ? param.image() : Bytes{};
  std::string argument = param.argument;
  if (param.image) argument = dir.WriteFile(argument, image).string();
  SimulatedDevice device;
  Ser2net server(device.port());
  std::vector<std::string> args = {server.url(), argument};
  args.insert(args.end(), param.more.begin(), param.more.end());

  const RunResult run =
      RunKorvel(args, {.timeout = milliseconds(120000), .workingDirectory = dir.path()});
  EXPECT_TRUE(RunIs(run, ActivatedStart() + param.lines, 0));
  const DevsimRecord seen =
      param.code == 0 ? device.Settled()
                      : device.WaitFor([](const DevsimRecord& r) { return r.resets > 0; });
  EXPECT_EQ(seen.activationBaud, param.activationBaud) << Describe(seen);
  EXPECT_EQ(seen.resets, param.code == 0 ? 0 : 1) << Describe(seen);
  EXPECT_EQ(seen.corruptFrames + seen.strayBytes, 0) << Describe(seen);
  const Bytes programmed =
      param.code == kProgramEeprom && !param.image ? HwParamImageWith(0x01, 12345) : image;
  if (param.code != 0) {
    EXPECT_TRUE(FramesAre(seen.frames, RunFrames(programmed, param.code)));
    EXPECT_TRUE(HoldsImage(param.code == kProgramFlash ? seen.flash : seen.eeprom, programmed));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Network, ServedRunTest,
    ::testing::Values(
        ServedCase{"LargestFirmwareOfIacAndCarriageReturns",
                   [] { return IacAndCarriageReturns(65535); },
                   "firmware.img",
                   {},
                   {kVersion, kFirmwareFlashed},
                   115200,
                   kProgramFlash},
        ServedCase{"ActivationAt9600",
                   [] { return FirmwareImage(200); },
                   "firmware.img",
                   {"9600"},
                   {kVersion, kFirmwareFlashed},
                   9600,
                   kProgramFlash},
        ServedCase{"ActivationAt3000000",
                   [] { return FirmwareImage(200); },
                   "firmware.img",
                   {"3000000"},
                   {kVersion, kFirmwareFlashed},
                   3000000,
                   kProgramFlash},
        ServedCase{"EepromFile",
                   [] { return PatternImage(300); },
                   "eeprom.bin",
                   {},
                   {Line("Eeprom flashed.")},
                   115200,
                   kProgramEeprom},
        ServedCase{
            "HwParam", {}, "HWPARM0112345", {}, {Line("Eeprom flashed.")}, 115200, kProgramEeprom},
        ServedCase{"Stop", {}, "STOP", {}, {}, 115200, 0}),
    CaseName<ServedCase>);

// --- Faults behind the server, and servers that fail ------------------------------

// The stream has ended under a reply read.
ExpectedLines ServerGoneWhileReading() {
  return {Report(kNetworkSession, "recv", ECONNRESET), Report(kTransfer, "ReadFile", ECONNRESET),
          Report(kMessage, "MyReadFile", ECONNRESET),
          Report(kProgramming, "GetMessageAnswer", ECONNRESET)};
}

// The traffic line of a run that ends in a block's reply: 17 bytes up to
// the erase, 80 per block sent, 8 per reply read.
ExpectedLine TrafficInSomeBlock() {
  std::vector<std::string> lines;
  for (int blocks = 1; blocks <= 1024; ++blocks) {
    lines.push_back("Written: " + std::to_string(17 + 80 * blocks) +
                    ", Read: " + std::to_string(8 * blocks));
  }
  return AnyLineOf(lines);
}

ExpectedLines RefusedOpen(const char* innermostFile, const char* step, unsigned long code) {
  return {Banner(), Report(innermostFile, step, code), Report(kOpenSerial, "CreateFile", code),
          Report(kRun, "OpenSerial", code)};
}

ExpectedLines FailedSetup(unsigned long code) {
  return {Banner(), Report(kOpenSerial, "SetCommState", code), Report(kRun, "OpenSerial", code)};
}

struct FaultCase {
  const char* name;
  DevsimConfig device;
  // What happens to the server once the device has seen this many frames
  // (-1: nothing).
  int killServerAfterFrames;
  ExpectedLines lines;
  milliseconds budget;
};

class ServedFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ServedFaultTest, EndsWithThePartsLinesWithinItsBudget) {
  const FaultCase& param = GetParam();
  TempDir dir;
  const std::string path = dir.WriteFile("firmware.img", FirmwareImage(4096)).string();
  SimulatedDevice device(param.device);
  Ser2net server(device.port());
  std::thread killer;
  if (param.killServerAfterFrames >= 0) {
    killer = std::thread([&] {
      device.WaitFor(
          [&](const DevsimRecord& r) {
            return static_cast<int>(r.frames.size()) >= param.killServerAfterFrames;
          },
          milliseconds(30000));
      server.Kill();
    });
  }
  const RunResult run = RunKorvel({server.url(), path});
  if (killer.joinable()) killer.join();
  EXPECT_TRUE(RunIs(run, param.lines, 255));
  EXPECT_TRUE(EndsWithin(run, param.budget));
  EXPECT_EQ(device.Settled().resets, 0);
}

DevsimConfig ReplyFaultAt(int message, ReplyFault fault) {
  DevsimConfig config;
  config.replies[message].fault = fault;
  return config;
}

INSTANTIATE_TEST_SUITE_P(
    Network, ServedFaultTest,
    ::testing::Values(
        FaultCase{"NoBootloader",
                  WithProbeFaults({.neverEnterBootloader = true}),
                  -1,
                  {Banner(), Line("Activating the bootloader failed.")},
                  kProbes},
        FaultCase{"RefusedBlock", ReplyFaultAt(2, ReplyFault::kRefuse), -1,
                  ActivatedStart() +
                      ExpectedLines{kVersion, Report(kProgramming, "Programming the flash failed"),
                                    Line("Written: 177, Read: 24"), kFirmwareFailed},
                  milliseconds(0)},
        FaultCase{"UnansweredBlock", ReplyFaultAt(1, ReplyFault::kNoReply), -1,
                  ActivatedStart() + ExpectedLines{kVersion, Report(kMessage, "MyReadFile"),
                                                   Report(kProgramming, "GetMessageAnswer"),
                                                   Line("Written: 97, Read: 8"), kFirmwareFailed},
                  kBlockReply},
        FaultCase{"DeviceVanishes", ReplyFaultAt(1, ReplyFault::kVanish), -1,
                  ActivatedStart() + ExpectedLines{kVersion} + ServerGoneWhileReading() +
                      ExpectedLines{Line("Written: 97, Read: 8"), kFirmwareFailed},
                  milliseconds(0)},
        FaultCase{"ServerKilledWhileProgramming",
                  {},
                  10,
                  ActivatedStart() + ExpectedLines{kVersion} + ServerGoneWhileReading() +
                      ExpectedLines{TrafficInSomeBlock(), kFirmwareFailed},
                  milliseconds(0)}),
    CaseName<FaultCase>);

struct HostileCase {
  const char* name;
  Hostility hostility;
  size_t closeAfter;
  ExpectedLines lines;
  milliseconds budget;
  size_t floodAtLeast = 0;  // bytes the server sent korvel
};

class HostileServerTest : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileServerTest, IsNotTrusted) {
  const HostileCase& param = GetParam();
  HostileServer server(param.hostility, param.closeAfter);
  const RunResult run = RunKorvel({server.url(), "STOP"});
  EXPECT_TRUE(RunIs(run, param.lines, 255));
  EXPECT_TRUE(EndsWithin(run, param.budget));
  EXPECT_GE(server.sent(), param.floodAtLeast);
}

constexpr size_t kMegabytes = 2u << 20;

INSTANTIATE_TEST_SUITE_P(
    Network, HostileServerTest,
    ::testing::Values(
        HostileCase{"Refused", Hostility::kAbsent, 0,
                    RefusedOpen(kNetworkPort, "connect", ECONNREFUSED), milliseconds(0)},
        HostileCase{"ConnectUnanswered", Hostility::kNeverAccepts, 0,
                    RefusedOpen(kNetworkPort, "connect", ETIMEDOUT), kConnect},
        HostileCase{"NoNegotiation", Hostility::kSilent, 0, FailedSetup(ETIMEDOUT), kAnswer},
        HostileCase{"SubnegotiationWithoutEnd", Hostility::kEndlessSubnegotiation, 0,
                    FailedSetup(ETIMEDOUT), kAnswer, kMegabytes},
        HostileCase{"WrongRate", Hostility::kWrongRate, 0, FailedSetup(EINVAL), milliseconds(0)},
        HostileCase{"MegabytesOfJunk",
                    Hostility::kJunk,
                    0,
                    {Banner(), Line("Activating the bootloader failed.")},
                    kProbes,
                    kMegabytes},
        // 15 bytes of option requests, then the line's requests.
        HostileCase{"ClosedDuringTheSetup",
                    Hostility::kCloseAfterBytes,
                    30,
                    {Banner(), Report(kNetworkSession, "recv", ECONNRESET),
                     Report(kOpenSerial, "SetCommState", ECONNRESET),
                     Report(kRun, "OpenSerial", ECONNRESET)},
                    milliseconds(0)}),
    CaseName<HostileCase>);

TEST(Network, ImpairedStreamStillFlashes) {
  // Every byte a packet of its own with some jitter, and now and then the
  // stream held for 300 ms: replies come in pieces and late.
  TempDir dir;
  const Bytes image = IacAndCarriageReturns(4096);
  const std::string path = dir.WriteFile("firmware.img", image).string();
  SimulatedDevice device;
  Ser2net server(device.port());
  ImpairingProxy proxy(server.port(),
                       {.jitterUs = 100, .holdPercent = 5, .singleBytes = true, .seed = 19});
  const RunResult run = RunKorvel({proxy.url(), path}, {.timeout = milliseconds(120000)});
  EXPECT_TRUE(RunIs(run, ActivatedStart() + ExpectedLines{kVersion, kFirmwareFlashed}, 0));
  const DevsimRecord seen =
      device.WaitFor([](const DevsimRecord& record) { return record.resets > 0; });
  EXPECT_TRUE(HoldsImage(seen.flash, image));
  EXPECT_GT(proxy.holds(), 2);
}

}  // namespace
}  // namespace korvel_e2e
