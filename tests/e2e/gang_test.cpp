// korvel-gang: a batch of simulated devices at once, some of them faulty
// and (natively) two behind ser2net; a run over its time limit; Ctrl+C and
// the gang's own end; the board on a terminal; the station flashing each
// port once per appearance; the command lines it refuses; and the board,
// the log names and the XML escaping that the reports and the terminal rely
// on.
//
// The runs' tests take the platform as a parameter: natively the Linux
// gang; with KORVEL_E2E_WINE (scripts/test-windows.sh) korvel-gang.exe
// under Wine, its devices behind COM ports.
#include "tools/gang/gang.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/case_name.h"
#include "tests/e2e/network_peers.h"
#include "tests/e2e/run_korvel.h"
#include "tests/e2e/simulated_device.h"
#include "tests/e2e/test_images.h"

namespace korvel_e2e {
namespace {

using korvel_e2e::PrintTo;

using Json = nlohmann::json;
using std::chrono::milliseconds;

// The gang beside the korvel under test: natively, or under Wine.
RunResult RunGang(const std::vector<std::string>& args, RunOptions options = {}) {
  return RunCompanion("korvel-gang", args, options);
}

// The number of times |text| holds |part|.
size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// What korvel's output ends with on each kind of device of the gang.
enum class Kind { kGood, kNoBootloader, kBlockNeverAnswered, kVanishesMidFlash };

DevsimConfig ConfigFor(Kind kind) {
  DevsimConfig config;
  if (kind == Kind::kNoBootloader) config.probes.neverEnterBootloader = true;
  if (kind == Kind::kBlockNeverAnswered) config.replies[4].fault = ReplyFault::kNoReply;
  if (kind == Kind::kVanishesMidFlash) config.replies[8].fault = ReplyFault::kVanish;
  return config;
}

std::string LastLineFor(Kind kind) {
  switch (kind) {
    case Kind::kGood:
      return "Firmware flashed.";
    case Kind::kNoBootloader:
      return "Activating the bootloader failed.";
    default:
      return "Flashing the firmware image failed.";
  }
}

// A platform the gang runs on, and what differs there.
struct GangPlatform {
  const char* name;
  // The batch: a device of each kind, in this order.
  std::vector<Kind> batch;
  // Wine starts each Windows program in about a second, the gang's
  // children side by side: so much more a run and a batch may take.
  milliseconds startCost;
  // A run ended at its time limit: korvel ends it at SIGTERM (Linux) or at
  // the stop event the gang sets (Windows), with its failure line and the
  // port as found (which only a native run can read back as termios).
  struct {
    Json status;
    std::string lastLine;
    bool portAsFound;
  } timedOut;
  // Whether the gang's own end ends its runs (a job object on Windows).
  bool deathEndsRuns;
};

std::vector<Kind> Batch(size_t size, const std::vector<std::pair<size_t, Kind>>& faulty) {
  std::vector<Kind> kinds(size, Kind::kGood);
  for (const auto& [index, kind] : faulty) kinds[index] = kind;
  return kinds;
}

// The platform of this run: one of the two.
std::vector<GangPlatform> ThisPlatform() {
  if (UnderWine()) {
    return {{"Windows",
             Batch(6, {{1, Kind::kNoBootloader}, {4, Kind::kVanishesMidFlash}}),
             StartCost(),
             {Json(255), "Activating the bootloader failed.", false},
             true}};
  }
  return {{"Linux",
           Batch(16, {{3, Kind::kNoBootloader},
                      {7, Kind::kBlockNeverAnswered},
                      {12, Kind::kVanishesMidFlash}}),
           milliseconds(0),
           {Json(255), "Activating the bootloader failed.", true},
           false}};
}

// A device's port as the gang is given it, and names it.
std::string PortOf(const SimulatedDevice& device) {
  return UnderWine() ? WinePortName(device.port()) : device.port();
}

// Standard output's lines without the CR of a Windows program's line ends.
std::vector<std::string> OutLines(const RunResult& run) {
  std::vector<std::string> lines = run.OutLines();
  for (std::string& line : lines) {
    if (line.ends_with('\r')) line.pop_back();
  }
  return lines;
}

// A path the Windows gang reported (Z:\tmp\..\x.log, /tmp/..\x.log) as this
// machine names it.
std::string LocalPath(std::string path) {
  if (path.starts_with("Z:") || path.starts_with("z:")) path.erase(0, 2);
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

// |text| without the carriage returns of a Windows program's line ends.
std::string WithoutCarriageReturns(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// The processes (other than this one) whose command line holds |text|,
// after waiting up to |limit| for them to go.
std::vector<std::string> ProcessesMentioning(const std::string& text, milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const std::string pid = entry.path().filename().string();
      if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
      if (pid == std::to_string(getpid())) continue;
      std::string line = ReadFileText(entry.path() / "cmdline");
      std::replace(line.begin(), line.end(), '\0', ' ');
      if (line.find(text) != std::string::npos) found.push_back(pid + ": " + line);
    }
    if (found.empty() || std::chrono::steady_clock::now() >= deadline) return found;
    std::this_thread::sleep_for(milliseconds(50));
  }
}

// A case's name with the platform's: the Windows cases are the ones
// scripts/test-windows.sh runs.
template <typename Case>
std::string PlatformCaseName(const ::testing::TestParamInfo<Case>& info) {
  return std::string(info.param.name) + ThisPlatform()[0].name;
}

class GangRunTest : public ::testing::TestWithParam<GangPlatform> {};

TEST_P(GangRunTest, FlashesABatchAtOnceAndNamesThoseThatFailed) {
  const GangPlatform& platform = GetParam();
  const std::vector<Kind>& kinds = platform.batch;
  TempDir dir;
  const Bytes image = FirmwareImage(16 * 64);
  const std::string imagePath = dir.WriteFile("firmware.img", image).string();
  std::vector<std::unique_ptr<SimulatedDevice>> devices;
  // Two of the good ones on a device server: rfc2217:// ports as any other.
  std::vector<std::unique_ptr<Ser2net>> servers;
  std::vector<std::string> ports;
  std::vector<std::string> args = {imagePath};
  std::vector<std::string> faultyPorts;
  for (Kind kind : kinds) {
    devices.push_back(std::make_unique<SimulatedDevice>(ConfigFor(kind)));
    ports.push_back(PortOf(*devices.back()));
    // Natively two of the batch are reached through ser2net, by their URL.
    if (!UnderWine() && (devices.size() == 2 || devices.size() == 15)) {
      servers.push_back(std::make_unique<Ser2net>(devices.back()->port()));
      ports.back() = servers.back()->url();
    }
    args.push_back(UnderWine() ? devices.back()->port() : ports.back());
    if (kind != Kind::kGood) faultyPorts.push_back(ports.back());
  }
  const std::string logDir = (dir / "logs").string();
  const std::string jsonPath = (dir / "report.json").string();
  const std::string junitPath = (dir / "report.xml").string();
  args.insert(args.end(), {"--log-dir", logDir, "--json", jsonPath, "--junit", junitPath});

  const RunResult gang = RunGang(args);

  // 1. Not all passed: status 1. The slowest faulty run (a block never
  // answered: about 5 s) sets the time; the runs go side by side.
  EXPECT_EQ(gang.exitStatus, 1) << gang.out << gang.err;
  EXPECT_LT(gang.wallTime, milliseconds(9000) + platform.startCost);
  EXPECT_EQ(gang.err, "");

  // 2. The summary: a head, a row per port in the order given, the verdict
  // naming exactly the faulty ones.
  const std::vector<std::string> lines = OutLines(gang);
  const size_t rows = kinds.size() + 2;
  ASSERT_GE(lines.size(), rows) << gang.out;
  const std::vector<std::string> summary(lines.end() - static_cast<long>(rows), lines.end());
  EXPECT_EQ(summary[0].rfind("port ", 0), 0u) << summary[0];
  std::string notPassed;
  for (size_t i = 0; i < kinds.size(); ++i) {
    const std::string& row = summary[i + 1];
    const std::string status = kinds[i] == Kind::kGood ? " 0 " : " 255 ";
    EXPECT_EQ(row.rfind(ports[i] + " ", 0), 0u) << row;
    EXPECT_NE(row.find("  " + LastLineFor(kinds[i]) + " "), std::string::npos) << row;
    EXPECT_NE(row.find(status), std::string::npos) << row;
  }
  for (const std::string& port : faultyPorts) notPassed += (notPassed.empty() ? "" : ", ") + port;
  EXPECT_EQ(summary.back(), "korvel-gang: " + std::to_string(kinds.size() - faultyPorts.size()) +
                                " of " + std::to_string(kinds.size()) +
                                " runs passed; not passed: " + notPassed);

  // 3. The devices: the good ones hold the image and were reset.
  for (size_t i = 0; i < kinds.size(); ++i) {
    if (kinds[i] != Kind::kGood) continue;
    const DevsimRecord seen =
        devices[i]->WaitFor([](const DevsimRecord& record) { return record.resets > 0; });
    EXPECT_TRUE(HoldsImage(seen.flash, image)) << ports[i];
    EXPECT_EQ(seen.resets, 1);
  }

  // 4. The JSON report: every run with its outcome, status, last line,
  // and the output that its log holds whole.
  const Json report = Json::parse(ReadFileText(jsonPath), nullptr, false);
  ASSERT_FALSE(report.is_discarded()) << ReadFileText(jsonPath);
  EXPECT_EQ(report["image"], imagePath);
  EXPECT_EQ(report["runs"], kinds.size());
  EXPECT_EQ(report["passed"], kinds.size() - faultyPorts.size());
  EXPECT_EQ(report["failed"], faultyPorts.size());
  ASSERT_EQ(report["results"].size(), kinds.size());
  for (size_t i = 0; i < kinds.size(); ++i) {
    const Json& result = report["results"][i];
    const bool good = kinds[i] == Kind::kGood;
    EXPECT_EQ(result["port"], ports[i]);
    EXPECT_EQ(result["outcome"], good ? "passed" : "failed");
    EXPECT_EQ(result["exit_status"], good ? 0 : 255);
    EXPECT_EQ(result["last_line"], LastLineFor(kinds[i]));
    std::string output;
    for (const Json& line : result["output"]) output += line.get<std::string>() + "\n";
    const std::string log = LocalPath(result["log"].get<std::string>());
    EXPECT_EQ(output, WithoutCarriageReturns(ReadFileText(log))) << log;
    EXPECT_EQ(output.rfind("Version: 2.3\n", 0), 0u) << output;
    // The good runs take well under a second each, side by side.
    if (good) {
      EXPECT_LT(result["seconds"].get<double>(),
                3.0 + std::chrono::duration<double>(platform.startCost).count());
    }
  }

  // 5. The JUnit report: a case per run, a failure for each faulty one.
  const std::string junit = ReadFileText(junitPath);
  EXPECT_EQ(junit.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites", 0), 0u);
  EXPECT_NE(junit.find("tests=\"" + std::to_string(kinds.size()) + "\" failures=\"" +
                       std::to_string(faultyPorts.size()) + "\" errors=\"0\""),
            std::string::npos)
      << junit;
  EXPECT_EQ(Occurrences(junit, "<testcase "), kinds.size());
  EXPECT_EQ(Occurrences(junit, "<failure "), faultyPorts.size());
  for (size_t i = 0; i < kinds.size(); ++i) {
    if (kinds[i] == Kind::kGood) continue;
    const size_t at = junit.find("name=\"" + ports[i] + "\"");
    ASSERT_NE(at, std::string::npos);
    const size_t failure = junit.find(
        "<failure message=\"" + LastLineFor(kinds[i]) + "\" type=\"exit status 255\"/>", at);
    EXPECT_LT(failure, junit.find("</testcase>", at)) << ports[i];
  }
  EXPECT_EQ(Occurrences(junit, "<system-out>Version: 2.3\n"), kinds.size());
}

TEST_P(GangRunTest, EndsARunOverItsTimeLimit) {
  TempDir dir;
  const std::string imagePath = dir.WriteFile("firmware.img", FirmwareImage(4 * 64)).string();
  // Probes for about 4.5 s: over a limit of one second.
  SimulatedDevice silent(ConfigFor(Kind::kNoBootloader));
  SimulatedDevice good;
  const termios found = PortSettings(silent.port());
  const std::string jsonPath = (dir / "report.json").string();
  const RunResult gang = RunGang({imagePath, silent.port(), good.port(), "--time-limit", "1",
                                  "--log-dir", (dir / "logs").string(), "--json", jsonPath});
  EXPECT_EQ(gang.exitStatus, 1) << gang.out;
  EXPECT_LT(gang.wallTime, milliseconds(3000) + GetParam().startCost);
  const std::vector<std::string> lines = OutLines(gang);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "korvel-gang: 1 of 2 runs passed; not passed: " + PortOf(silent));
  const Json report = Json::parse(ReadFileText(jsonPath), nullptr, false);
  ASSERT_FALSE(report.is_discarded());
  EXPECT_EQ(report["results"][0]["outcome"], "timed out");
  EXPECT_EQ(report["results"][0]["exit_status"], GetParam().timedOut.status);
  EXPECT_EQ(report["results"][0]["signal"], nullptr);
  EXPECT_EQ(report["results"][0]["last_line"], GetParam().timedOut.lastLine);
  if (GetParam().timedOut.portAsFound) {
    EXPECT_TRUE(SettingsAsFound(silent.port(), found));
  }
  EXPECT_EQ(report["results"][1]["outcome"], "passed");
  // Ended, not left running: no korvel is still at its port.
  EXPECT_EQ(ProcessesMentioning(imagePath, milliseconds(2000)), std::vector<std::string>{});
}

// The board on a terminal: every run's row, with its blocks while it
// programs (korvel's progress channel), then the summary.
TEST_P(GangRunTest, ShowsEachRunsBlocksOnATerminal) {
  TempDir dir;
  const std::string imagePath = dir.WriteFile("firmware.img", FirmwareImage(64 * 64)).string();
  DevsimConfig paced;
  paced.paced = true;
  SimulatedDevice first(paced);
  SimulatedDevice second(paced);
  const RunResult gang =
      RunGang({imagePath, first.port(), second.port(), "--log-dir", (dir / "logs").string()},
              {.errOnTerminal = true, .outOnTerminal = true, .columns = 100});
  EXPECT_EQ(gang.exitStatus, 0) << gang.err;
  for (const SimulatedDevice* device : {&first, &second}) {
    const std::regex row(PortOf(*device) + " +programming +[0-9.]+ s +\\[[#.]+\\] +[0-9]+/64 ");
    EXPECT_TRUE(std::regex_search(gang.err, row)) << PortOf(*device) << " in:\n" << gang.err;
  }
  EXPECT_NE(gang.err.find("korvel-gang: 2 of 2 runs passed"), std::string::npos) << gang.err;
}

INSTANTIATE_TEST_SUITE_P(Gang, GangRunTest, ::testing::ValuesIn(ThisPlatform()),
                         CaseName<GangPlatform>);

// --- Stopping the gang ------------------------------------------------------------

struct StopCase {
  const char* name;
  int signal;
  int count;
  std::string outcome;  // of every run
  int exitStatus;       // of the gang; -1: ended by the signal
};

// Ctrl+C (SIGINT; under Wine a console Ctrl+C event), once and twice; and,
// where the gang's end ends its runs, the gang killed.
std::vector<StopCase> StopCases() {
  std::vector<StopCase> cases = {{"FirstCtrlCLetsTheRunsFinish", SIGINT, 1, "passed", 0},
                                 {"SecondCtrlCEndsEveryRun", SIGINT, 2, "stopped", 1}};
  if (ThisPlatform()[0].deathEndsRuns)
    cases.push_back({"KillingTheGangEndsEveryRun", SIGKILL, 1, "", -1});
  return cases;
}

class GangStopTest : public ::testing::TestWithParam<StopCase> {};

TEST_P(GangStopTest, EndsTheRunsAsAsked) {
  const StopCase& param = GetParam();
  TempDir dir;
  // Paced: about five seconds of blocks, stopped once both have begun.
  const Bytes image = FirmwareImage(200 * 64);
  const std::string imagePath = dir.WriteFile("firmware.img", image).string();
  DevsimConfig paced;
  paced.paced = true;
  SimulatedDevice first(paced);
  SimulatedDevice second(paced);
  const std::string jsonPath = (dir / "report.json").string();
  RunOptions options;
  options.signal = param.signal;
  options.signalCount = param.count;
  std::chrono::steady_clock::time_point last{};
  options.signalWhen = [&] {
    const auto now = std::chrono::steady_clock::now();
    const bool begun = first.Snapshot().flashWritten > 0 && second.Snapshot().flashWritten > 0;
    if (!begun || now - last < milliseconds(300)) return false;
    last = now;
    return true;
  };
  const RunResult gang = RunGang({imagePath, first.port(), second.port(), "--log-dir",
                                  (dir / "logs").string(), "--json", jsonPath},
                                 options);

  ASSERT_TRUE(gang.signalSent) << gang.out << gang.err;
  EXPECT_EQ(gang.exitStatus, param.exitStatus) << gang.out << gang.err;
  // Every korvel has gone once the gang has (or soon after its end, which
  // the system carries out).
  EXPECT_EQ(ProcessesMentioning(imagePath, milliseconds(5000)), std::vector<std::string>{});
  if (param.outcome.empty()) {
    EXPECT_EQ(first.Settled().resets + second.Settled().resets, 0);
    return;
  }
  const Json report = Json::parse(ReadFileText(jsonPath), nullptr, false);
  ASSERT_FALSE(report.is_discarded()) << gang.out;
  for (const Json& result : report["results"]) EXPECT_EQ(result["outcome"], param.outcome);
  const bool finished = param.outcome == "passed";
  EXPECT_EQ(HoldsImage(first.Settled().flash, image), finished);
  EXPECT_EQ(first.Settled().resets, finished ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Gang, GangStopTest, ::testing::ValuesIn(StopCases()),
                         PlatformCaseName<StopCase>);

// Station mode: ports come and go as links in a folder, as udev makes them
// in /dev/serial/by-id. Device A is there at the start, goes, B comes, A
// comes back and stays: A is flashed twice, B once, and nothing more.
// Linux: Wine lists no COM port that was made after it started.
TEST(Gang, StationFlashesEachPortOncePerAppearance) {
  TempDir dir;
  const Bytes image = FirmwareImage(8 * 64);
  const std::string imagePath = dir.WriteFile("firmware.img", image).string();
  std::filesystem::create_directories(dir / "by-id");
  const std::filesystem::path linkA = dir / "by-id" / "device-a";
  const std::filesystem::path linkB = dir / "by-id" / "device-b";
  SimulatedDevice a;
  SimulatedDevice b;
  std::filesystem::create_symlink(a.port(), linkA);
  const std::string jsonPath = (dir / "report.json").string();

  // The plug-ins and plug-outs, step by step as the devices report their
  // resets; the stop request once A has stayed a second after its second
  // flash.
  int step = 0;
  std::chrono::steady_clock::time_point secondFlash;
  RunOptions options;
  options.timeout = milliseconds(30000);
  options.signal = SIGINT;
  options.signalWhen = [&] {
    if (step == 0 && a.Snapshot().resets == 1) {
      std::filesystem::remove(linkA);
      std::filesystem::create_symlink(b.port(), linkB);
      step = 1;
    } else if (step == 1 && b.Snapshot().resets == 1) {
      std::filesystem::create_symlink(a.port(), linkA);
      step = 2;
    } else if (step == 2 && a.Snapshot().resets == 2) {
      secondFlash = std::chrono::steady_clock::now();
      step = 3;
    }
    return step == 3 && std::chrono::steady_clock::now() - secondFlash > milliseconds(1000);
  };
  const RunResult gang = RunGang({imagePath, "--watch", (dir / "by-id" / "*").string(), "--log-dir",
                                  (dir / "logs").string(), "--json", jsonPath},
                                 options);

  ASSERT_TRUE(gang.signalSent) << "stopped at step " << step << ":\n" << gang.out;
  EXPECT_EQ(gang.exitStatus, 0) << gang.out;
  EXPECT_EQ(gang.OutLines().back(), "korvel-gang: 3 of 3 runs passed");
  EXPECT_EQ(a.Settled().resets, 2);
  EXPECT_EQ(b.Settled().resets, 1);
  const Json report = Json::parse(ReadFileText(jsonPath), nullptr, false);
  ASSERT_FALSE(report.is_discarded());
  ASSERT_EQ(report["results"].size(), 3u) << report.dump(2);
  const std::vector<std::pair<std::string, int>> expected = {
      {linkA.string(), 1}, {linkB.string(), 1}, {linkA.string(), 2}};
  for (size_t i = 0; i < expected.size(); ++i) {
    const Json& result = report["results"][i];
    EXPECT_EQ(result["port"], expected[i].first);
    EXPECT_EQ(result["appearance"], expected[i].second);
    EXPECT_EQ(result["outcome"], "passed");
    EXPECT_TRUE(std::filesystem::exists(result["log"].get<std::string>())) << result["log"];
  }
}

// --- Command lines that end it before any run -----------------------------------

struct RefusedCase {
  const char* name;
  std::vector<std::string> args;
  int status = 2;        // a usage error, but for the help
  std::string file{};    // made in the working folder first
  std::string errHas{};  // what the refusal says
};

class GangCommandLineTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(GangCommandLineTest, EndsItWithoutARun) {
  TempDir dir;
  RunOptions options;
  options.workingDirectory = dir.path();
  if (!GetParam().file.empty()) dir.WriteFile(GetParam().file, FirmwareImage(64));
  const RunResult gang = RunGang(GetParam().args, options);
  EXPECT_NE(gang.err.find(GetParam().errHas), std::string::npos) << gang.err;
  EXPECT_EQ(gang.exitStatus, GetParam().status) << gang.out << gang.err;
  if (GetParam().status == 0) {
    EXPECT_NE(gang.out.find("Usage: korvel-gang"), std::string::npos) << gang.out;
    EXPECT_EQ(gang.out.find("runs passed"), std::string::npos) << gang.out;
  } else {
    EXPECT_NE(gang.err, "");
  }
  // Nothing ran, so no log folder was made.
  EXPECT_FALSE(std::filesystem::exists(dir / "korvel-gang-logs"));
}

INSTANTIATE_TEST_SUITE_P(
    Gang, GangCommandLineTest,
    ::testing::Values(RefusedCase{"NoImage", {}}, RefusedCase{"NoPorts", {"firmware.img"}},
                      RefusedCase{"PortsAndAll", {"firmware.img", "/dev/ttyUSB0", "--all"}},
                      RefusedCase{"AllAndWatch", {"firmware.img", "--all", "--watch", "/dev/*"}},
                      RefusedCase{"PortTwice", {"firmware.img", "/dev/ttyUSB0", "/dev/ttyUSB0"}},
                      RefusedCase{"ZeroTimeLimit",
                                  {"firmware.img", "/dev/ttyUSB0", "--time-limit", "0"}},
                      RefusedCase{"UnknownOption", {"firmware.img", "/dev/ttyUSB0", "--fast"}},
                      // korvel would read these as command words, not as the files.
                      RefusedCase{"StopWordNamingAFile",
                                  {"stoplight-v2.img", "/dev/ttyUSB0"},
                                  2,
                                  "stoplight-v2.img",
                                  "the command STOP"},
                      RefusedCase{"HwParamWordNamingAFile",
                                  {"hwparm-defaults.img", "/dev/ttyUSB0"},
                                  2,
                                  "hwparm-defaults.img",
                                  "\"./hwparm-defaults.img\""},
                      RefusedCase{"Help", {"--help"}, 0}),
    PlatformCaseName<RefusedCase>);

// --- The board and the reports' escaping ----------------------------------------

// A gang of one run in each state the board shows.
Gang BoardGang(GangClock::time_point now) {
  Gang gang;
  const auto add = [&](const std::string& port, RunOutcome outcome,
                       std::vector<std::string> lines) {
    GangRun& job = gang.runs.emplace_back();
    job.port = port;
    job.outcome = outcome;
    job.reaped = outcome != RunOutcome::kRunning;
    job.lines = std::move(lines);
    job.started = now - std::chrono::seconds(12);
    job.ended = now;
    return &job;
  };
  add("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZ3Q1-if00-port0", RunOutcome::kRunning,
      {"Version: 2.3"});
  GangRun* programming =
      add("/dev/ttyUSB1", RunOutcome::kRunning, {"Version: 2.3", "Bootloader activated."});
  programming->programming = true;
  programming->progress.blocksDone = 512;
  programming->progress.totalBlocks = 1024;
  programming->progress.bytesDone = 32768;
  programming->progress.totalBytes = 65535;
  add("/dev/ttyUSB2", RunOutcome::kFailed,
      {"Version: 2.3", "Activating the bootloader failed.", ""})
      ->exitStatus = 255;
  // Over its time after a version text with a terminal's control sequence.
  add("/dev/ttyUSB3", RunOutcome::kTimedOut,
      {"Version: 2.3", "Bootloader activated.", "Flashing firmware version \x1b[2J."});
  return gang;
}

TEST(GangBoard, ShowsEveryRunWithinTheTerminal) {
  const GangClock::time_point now = GangClock::now();
  const Gang gang = BoardGang(now);
  const std::vector<std::string> wide = BoardRows(gang, now, 140, 40);
  ASSERT_EQ(wide.size(), 5u);
  EXPECT_EQ(wide[0], "korvel-gang: 4 runs, 2 running, 0 passed, 2 failed");
  EXPECT_NE(wide[1].find("waking        12.0 s"), std::string::npos) << wide[1];
  EXPECT_NE(wide[2].find("programming   12.0 s  [######......] 512/1024  50%"), std::string::npos)
      << wide[2];
  EXPECT_NE(wide[3].find("FAILED        12.0 s  Activating the bootloader failed."),
            std::string::npos)
      << wide[3];
  EXPECT_NE(wide[4].find("TIMED OUT     12.0 s  Flashing firmware version ?[2J."),
            std::string::npos)
      << wide[4];

  for (int columns = 1; columns <= 130; ++columns) {
    for (int rows : {3, 4, 24}) {
      const std::vector<std::string> board = BoardRows(gang, now, columns, rows);
      // Never more rows than the terminal has (the cursor's row aside),
      // never a row into the last column, never a control character.
      EXPECT_LE(static_cast<int>(board.size()), std::max(rows - 1, 2)) << columns << "x" << rows;
      for (const std::string& row : board) {
        ASSERT_LT(static_cast<int>(row.size()), std::max(columns, 1)) << row;
        for (char c : row) ASSERT_GE(static_cast<unsigned char>(c), 0x20) << row;
      }
    }
  }
  // Too few rows for all: the running ones stay, the rest are counted.
  const std::vector<std::string> short_board = BoardRows(gang, now, 120, 5);
  ASSERT_EQ(short_board.size(), 4u);
  EXPECT_NE(short_board[1].find("waking"), std::string::npos);
  EXPECT_NE(short_board[2].find("programming"), std::string::npos);
  EXPECT_EQ(short_board[3], "... and 2 more (all of them in the summary)");
}

// A console that can't redraw: a line for each run whose phase changed,
// and none while nothing does.
TEST(GangBoard, PrintsALinePerChangeWhereItCannotRedraw) {
  const GangClock::time_point now = GangClock::now();
  Gang gang = BoardGang(now);
  std::vector<std::string> shown;
  const std::vector<std::string> first = BoardChangeLines(gang, now, 40, &shown);
  ASSERT_EQ(first.size(), 4u);
  EXPECT_EQ(first[0].rfind("...", 0), 0u) << first[0];  // the by-id name cut at its front
  EXPECT_NE(first[1].find("programming"), std::string::npos) << first[1];
  for (const std::string& line : first) EXPECT_LT(line.size(), 40u) << line;
  EXPECT_EQ(BoardChangeLines(gang, now, 40, &shown), std::vector<std::string>{});
  gang.runs[1].outcome = RunOutcome::kPassed;
  gang.runs[1].lines.push_back("Firmware flashed.");
  const std::vector<std::string> changed = BoardChangeLines(gang, now, 120, &shown);
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_TRUE(std::regex_search(changed[0], std::regex("^/dev/ttyUSB1 +passed "))) << changed[0];
  EXPECT_NE(changed[0].find("Firmware flashed."), std::string::npos) << changed[0];
}

// --- Names: the log files, the station's COM ports --------------------------------

struct LogNameCase {
  const char* name;
  std::string port;
  int appearance;
  std::string file;
};

class LogFileNameTest : public ::testing::TestWithParam<LogNameCase> {};

TEST_P(LogFileNameTest, IsOneFileInTheLogFolderOnEitherSystem) {
  EXPECT_EQ(LogFileName(GetParam().port, GetParam().appearance), GetParam().file);
}

INSTANTIATE_TEST_SUITE_P(
    Gang, LogFileNameTest,
    ::testing::Values(LogNameCase{"Device", "/dev/ttyUSB0", 1, "ttyUSB0.log"},
                      LogNameCase{"SecondAppearance", "/dev/ttyUSB0", 2, "ttyUSB0.2.log"},
                      LogNameCase{"ById", "/dev/serial/by-id/usb-FTDI_A1-if00", 1,
                                  "serial_by-id_usb-FTDI_A1-if00.log"},
                      LogNameCase{"ComPort", "COM12", 1, "COM12.log"},
                      // COM1 to COM9 with any extension would be the port itself.
                      LogNameCase{"ReservedComPort", "COM3", 1, "COM3_.log"},
                      LogNameCase{"ReservedInAnyCase", "com3", 2, "com3_.2.log"},
                      LogNameCase{"DevicePathPrefix", "\\\\.\\COM7", 1, "COM7_.log"},
                      LogNameCase{"ReservedBeforeADot", "nul.x", 1, "nul_.x.log"},
                      LogNameCase{"DriveAndBackslashes", "C:\\ports\\a", 1, "C__ports_a.log"},
                      LogNameCase{"NothingLeft", "/dev/..", 1, "port.log"}),
    CaseName<LogNameCase>);

struct PatternCase {
  const char* name;
  std::string pattern;
  std::string port;
  bool matches;
};

class NameMatchesTest : public ::testing::TestWithParam<PatternCase> {};

TEST_P(NameMatchesTest, MatchesComNamesAsTheStationDoes) {
  EXPECT_EQ(NameMatches(GetParam().pattern, GetParam().port), GetParam().matches);
}

INSTANTIATE_TEST_SUITE_P(Gang, NameMatchesTest,
                         ::testing::Values(PatternCase{"Star", "COM*", "COM7", true},
                                           PatternCase{"WithoutCase", "com*", "COM12", true},
                                           PatternCase{"OneCharacter", "COM?", "COM7", true},
                                           PatternCase{"OneIsNotTwo", "COM?", "COM12", false},
                                           PatternCase{"StarAgainAfterAMiss", "C*1*5", "COM1215",
                                                       true},
                                           PatternCase{"StarAtTheEndOnly", "COM1*", "COM21", false},
                                           PatternCase{"WholeName", "COM1", "COM12", false},
                                           PatternCase{"Empty", "", "COM1", false},
                                           PatternCase{"AnyName", "*", "COM3", true}),
                         CaseName<PatternCase>);

struct EscapeCase {
  const char* name;
  std::string text;
  std::string escaped;
};

class XmlEscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(XmlEscapeTest, LeavesWellFormedXml) {
  EXPECT_EQ(XmlEscape(GetParam().text), GetParam().escaped);
}

INSTANTIATE_TEST_SUITE_P(
    Gang, XmlEscapeTest,
    ::testing::Values(
        EscapeCase{"Markup", "a<b>&\"c\"'d'", "a&lt;b&gt;&amp;&quot;c&quot;&apos;d&apos;"},
        EscapeCase{"LineEndsKept", "one\ntwo\r\n\tthree", "one\ntwo&#13;\n\tthree"},
        EscapeCase{"ControlCharacters", std::string("a\x1b[2Jb\0c", 8),
                   "a\xEF\xBF\xBD[2Jb\xEF\xBF\xBD"
                   "c"},
        EscapeCase{"ValidUtf8Kept", "2.4 \xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\xA7",
                   "2.4 \xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\xA7"},
        EscapeCase{"BytesThatAreNoUtf8", "\xFF\xC3(\xE2\x82",
                   "\xEF\xBF\xBD\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD"},
        EscapeCase{"OverlongAndSurrogate", "\xC0\xAF\xED\xA0\x80",
                   "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        EscapeCase{"NoCharacterToXml", "\xEF\xBF\xBE", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}),
    CaseName<EscapeCase>);

}  // namespace
}  // namespace korvel_e2e
