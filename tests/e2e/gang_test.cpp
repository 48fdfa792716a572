// korvel-gang: a batch of simulated devices at once, some of them faulty
// and (natively) two behind ser2net, with the line's records (reasons, stop points, SHA-256,
// metrics for promtool); a run over its time limit, and every way a run ends without passing in the
// JUnit report; Ctrl+C and the gang's own end; the board on a terminal; retries; the unit counter
// across a killed gang; the station flashing each port once per appearance, with its reports after
// each run; the command lines and images it refuses before any port is touched; and the board, the
// summary, the log names and the XML escaping that the reports and the terminal rely on.
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
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/explanation.h"
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

Json ReadJson(const std::string& path) {
  return Json::parse(ReadFileText(path), nullptr, false);
}

// A real part's verdict on a file: sha256sum's digest, promtool's check.
std::string Sha256Sum(const std::string& path) {
  const RunResult sum = RunProgram(FindProgram("sha256sum"), {path});
  return sum.out.substr(0, sum.out.find(' '));
}
::testing::AssertionResult PromtoolAccepts(const std::string& path) {
  const std::string promtool = FindProgram("promtool");
  if (promtool.empty()) return ::testing::AssertionFailure() << "no promtool (Debian: prometheus)";
  const RunResult check = RunProgram("/bin/sh", {"-c", promtool + " check metrics < " + path});
  if (check.exitStatus == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << check.out << check.err;
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

// Where a run of each kind stopped: what it was doing, korvel's innermost
// failing step, the block under way (from 1).
struct StopPoint {
  Json activity;
  Json step;
  Json block;
};

StopPoint StopPointFor(Kind kind) {
  switch (kind) {
    case Kind::kGood:
      return {nullptr, nullptr, nullptr};
    case Kind::kNoBootloader:
      return {"waking", nullptr, nullptr};  // korvel reports no step there
    case Kind::kBlockNeverAnswered:
      return {"programming", "MyReadFile", 4};
    case Kind::kVanishesMidFlash:
      return {"programming", "ReadFile", 8};
  }
  return {};
}

DevsimConfig RefusedAt(int message) {
  DevsimConfig config;
  config.replies[message].fault = ReplyFault::kRefuse;
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
  const std::string metricsPath = (dir / "korvel.prom").string();
  args.insert(args.end(), {"--log-dir", logDir, "--json", jsonPath, "--junit", junitPath,
                           "--metrics", metricsPath});

  const RunResult gang = RunGang(args);

  // 1. Not all passed: status 1. The slowest faulty run (a block never
  // answered: about 5 s) sets the time; the runs go side by side.
  EXPECT_EQ(gang.exitStatus, 1) << gang.out << gang.err;
  EXPECT_LT(gang.wallTime, milliseconds(9000) + platform.startCost);
  EXPECT_EQ(gang.err, "");

  // 2. The summary: a head, a row per port in the order given, each with
  // its last line or (failed) what failed, the verdict naming exactly the
  // faulty ones.
  const Json report = ReadJson(jsonPath);
  ASSERT_FALSE(report.is_discarded()) << ReadFileText(jsonPath);
  ASSERT_EQ(report["results"].size(), kinds.size());
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
    const Json& reason = report["results"][i]["reason"];
    const std::string result = reason.is_string() ? reason.get<std::string>().substr(
                                                        0, reason.get<std::string>().find(". ") + 1)
                                                  : LastLineFor(kinds[i]);
    EXPECT_NE(row.find("  " + result + " "), std::string::npos) << row;
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
  // where it stopped and why (korvel's own explanation of that output), the
  // image's digest (sha256sum's), and the output that its log, in this
  // batch's own folder, holds whole.
  EXPECT_EQ(report["image"], imagePath);
  EXPECT_EQ(report["runs"], kinds.size());
  EXPECT_EQ(report["passed"], kinds.size() - faultyPorts.size());
  EXPECT_EQ(report["failed"], faultyPorts.size());
  EXPECT_EQ(report["image_sha256"], Sha256Sum(imagePath));
  EXPECT_EQ(report["firmware_version"], "2.4");
  const std::string batch = LocalPath(report["log_dir"].get<std::string>());
  EXPECT_EQ(std::filesystem::path(batch).parent_path(), logDir);
  for (size_t i = 0; i < kinds.size(); ++i) {
    const Json& result = report["results"][i];
    const bool good = kinds[i] == Kind::kGood;
    EXPECT_EQ(result["port"], ports[i]);
    EXPECT_EQ(result["outcome"], good ? "passed" : "failed");
    EXPECT_EQ(result["exit_status"], good ? 0 : 255);
    EXPECT_EQ(result["last_line"], LastLineFor(kinds[i]));
    EXPECT_EQ(result["image_sha256"], report["image_sha256"]);
    EXPECT_EQ(result["serial_number"], nullptr);  // a pseudo-terminal has no adapter
    const std::vector<std::string> outputLines = result["output"];
    // korvel's own explanation (this process can work it out for the
    // Linux gang only: it names the path a port opens as).
    if (good) {
      EXPECT_EQ(result["reason"], nullptr);
    } else if (UnderWine()) {
      EXPECT_NE(result["reason"].get<std::string>().find('"' + ports[i] + '"'), std::string::npos);
    } else {
      EXPECT_EQ(result["reason"], ExplainRunOutput(outputLines, ports[i], imagePath));
    }
    // Where it stopped; the step's name is the Linux port layer's.
    const StopPoint stop = StopPointFor(kinds[i]);
    EXPECT_EQ(result["activity"], stop.activity) << result.dump();
    EXPECT_EQ(result["block"], stop.block) << result.dump();
    if (!UnderWine()) {
      EXPECT_EQ(result["step"], stop.step) << result.dump();
    }
    EXPECT_EQ(LocalPath(result["log"].get<std::string>()).rfind(batch, 0), 0u);
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
    const std::string failedCase = "<failure message=\"" +
                                   XmlEscape(report["results"][i]["reason"].get<std::string>()) +
                                   "\" type=\"exit status 255\"/>";
    const size_t at = junit.find("name=\"" + ports[i] + "\"");
    ASSERT_NE(at, std::string::npos);
    EXPECT_LT(junit.find(failedCase, at), junit.find("</testcase>", at)) << failedCase;
  }
  EXPECT_EQ(Occurrences(junit, "<system-out>Version: 2.3\n"), kinds.size());

  // 6. The metrics, as promtool reads them.
  EXPECT_TRUE(PromtoolAccepts(metricsPath));
  const std::string metrics = ReadFileText(metricsPath);
  const std::string passed = std::to_string(kinds.size() - faultyPorts.size());
  const std::string failed = std::to_string(faultyPorts.size());
  const std::string all = std::to_string(kinds.size());
  for (const std::string& line : {"korvel_gang_runs_total{result=\"passed\"} " + passed + "\n",
                                  "korvel_gang_runs_total{result=\"failed\"} " + failed + "\n",
                                  "korvel_gang_attempts_total " + all + "\n",
                                  "korvel_gang_run_seconds_count " + all + "\n"}) {
    EXPECT_NE(metrics.find(line), std::string::npos) << line << metrics;
  }
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

// --- Every end that is not a pass: a failure or an error ---------------------

struct EndCase {
  const char* name;
  DevsimConfig device;
  std::vector<std::string> args;  // besides the two ports (a good device's, then this one's)
  bool stopTwice;                 // Ctrl+C twice once the device has seen three messages
  const char* outcome;            // in the JSON report
  const char* element;            // in the JUnit report: failure or error
  const char* type;               // its type
  const char* reason;             // how the reason begins
};

DevsimConfig NoReplyTo(int message) {
  DevsimConfig config;
  config.replies[message].fault = ReplyFault::kNoReply;
  return config;
}

class GangEndTest : public ::testing::TestWithParam<EndCase> {};

TEST_P(GangEndTest, IsAFailureOrAnErrorWithItsReasonInEveryReport) {
  const EndCase& param = GetParam();
  TempDir dir;
  const std::string imagePath = dir.WriteFile("firmware.img", FirmwareImage(4 * 64)).string();
  // A counter one number from its end: the good device takes it.
  const std::string counter =
      dir.WriteFile("counter", {'4', '2', '9', '4', '9', '6', '7', '2', '9', '4', '\n'}).string();
  SimulatedDevice good;
  SimulatedDevice device(param.device);
  const termios found = PortSettings(device.port());
  std::vector<std::string> args;
  for (const std::string& arg : param.args) {
    args.push_back(arg == "{image}" ? imagePath : arg == "{counter}" ? "01:" + counter : arg);
  }
  const std::string jsonPath = (dir / "report.json").string();
  const std::string junitPath = (dir / "report.xml").string();
  args.insert(args.end(), {good.port(), device.port(), "--log-dir", (dir / "logs").string(),
                           "--json", jsonPath, "--junit", junitPath});
  RunOptions options;
  if (param.stopTwice) {
    options.signal = SIGINT;
    options.signalCount = 2;
    // Once the good device's run is over (the reports are written after
    // every run), so that only this one is stopped.
    options.signalWhen = [&] {
      const Json report = ReadJson(jsonPath);
      return device.Snapshot().frames.size() >= 3 && report.is_object() && report["passed"] == 1;
    };
  }

  const RunResult gang = RunGang(args, options);
  EXPECT_EQ(gang.exitStatus, 1) << gang.out << gang.err;
  EXPECT_LT(gang.wallTime, milliseconds(4000));  // the limit, a stop: never the device's own
  ASSERT_FALSE(gang.OutLines().empty());
  EXPECT_EQ(gang.OutLines().back(),
            "korvel-gang: 1 of 2 runs passed; not passed: " + device.port());

  const Json report = ReadJson(jsonPath);
  ASSERT_FALSE(report.is_discarded()) << ReadFileText(jsonPath);
  const Json& result = report["results"][1];
  EXPECT_EQ(report["results"][0]["outcome"], "passed");
  EXPECT_EQ(result["outcome"], param.outcome);
  const std::string reason =
      result["reason"].is_string() ? result["reason"].get<std::string>() : "";
  EXPECT_EQ(reason.rfind(param.reason, 0), 0u) << reason;
  // Ended by the gang: korvel ends its run at SIGTERM, with its failure
  // status and the port as it found it.
  if (std::string(param.outcome) == "timed out" || param.stopTwice) {
    EXPECT_EQ(result["exit_status"], 255) << result.dump(2);
    EXPECT_EQ(result["signal"], nullptr);
    EXPECT_TRUE(SettingsAsFound(device.port(), found));
  }

  // JUnit: the case is no pass, whatever ended it.
  const std::string junit = ReadFileText(junitPath);
  const bool failure = std::string(param.element) == "failure";
  EXPECT_NE(junit.find(std::string("tests=\"2\" failures=\"") + (failure ? "1" : "0") +
                       "\" errors=\"" + (failure ? "0" : "1") + "\""),
            std::string::npos)
      << junit;
  const size_t at = junit.find("name=\"" + device.port() + "\"");
  ASSERT_NE(at, std::string::npos) << junit;
  const size_t element = junit.find("<" + std::string(param.element) + " message=\"" +
                                        XmlEscape(reason) + "\" type=\"" + param.type + "\"/>",
                                    at);
  EXPECT_LT(element, junit.find("</testcase>", at)) << junit;
}

INSTANTIATE_TEST_SUITE_P(Gang, GangEndTest,
                         ::testing::Values(
                             // Probes for about 4.5 s: over a limit of one second.
                             EndCase{"TimedOut",
                                     ConfigFor(Kind::kNoBootloader),
                                     {"{image}", "--time-limit", "1"},
                                     false,
                                     "timed out",
                                     "error",
                                     "timed out",
                                     "Ended at the time limit of 1 s while waking."},
                             // Waits 5 s for the second block's reply: stopped within it.
                             EndCase{"Stopped",
                                     NoReplyTo(2),
                                     {"{image}"},
                                     true,
                                     "stopped",
                                     "error",
                                     "stopped",
                                     "Ended by a stop request while programming block 2 of 4."},
                             // The counter is used up once the good device has its number.
                             EndCase{"NotStarted",
                                     {},
                                     {"--hwparm-sequence", "{counter}"},
                                     false,
                                     "not started",
                                     "error",
                                     "not started",
                                     "the counter "},
                             EndCase{
                                 "TimedOutProgramming",
                                 ConfigFor(Kind::kBlockNeverAnswered),
                                 {"{image}", "--time-limit", "1"},
                                 false,
                                 "timed out",
                                 "error",
                                 "timed out",
                                 "Ended at the time limit of 1 s while programming block 4 of 4."},
                             EndCase{"Refused",
                                     RefusedAt(0),
                                     {"{image}"},
                                     false,
                                     "failed",
                                     "failure",
                                     "exit status 255",
                                     ""}),
                         CaseName<EndCase>);

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
  Json afterFirst;  // the report on disk once A's first run is over
  RunOptions options;
  options.timeout = milliseconds(30000);
  options.signal = SIGINT;
  options.signalWhen = [&] {
    if (step == 0 && a.Snapshot().resets == 1) {
      afterFirst = ReadJson(jsonPath);
      if (!afterFirst.is_object() || afterFirst["passed"] != 1) return false;  // not yet
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
  // Written after each run, not only at the end: the station's report of
  // its first device, while it went on watching.
  EXPECT_EQ(afterFirst["runs"], 1);
  EXPECT_EQ(afterFirst["results"][0]["port"], linkA.string());
  // Each appearance is a device.
  EXPECT_EQ(gang.OutLines().back(), "korvel-gang: 3 of 3 devices passed");
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

  // A later batch with the same log folder: a folder of its own, the
  // station's logs as they were.
  const std::string firstLog = report["results"][0]["log"];
  const std::string firstText = ReadFileText(firstLog);
  const RunResult later = RunGang(
      {imagePath, linkA.string(), "--log-dir", (dir / "logs").string(), "--json", jsonPath});
  EXPECT_EQ(later.exitStatus, 0) << later.out;
  const Json laterReport = ReadJson(jsonPath);
  EXPECT_NE(laterReport["log_dir"], report["log_dir"]);
  EXPECT_NE(laterReport["results"][0]["log"], firstLog);
  EXPECT_EQ(ReadFileText(firstLog), firstText);
}

// --- Retries -------------------------------------------------------------------

TEST(Gang, RetriesWhatASecondTryCanMend) {
  TempDir dir;
  const Bytes image = FirmwareImage(4 * 64);
  const std::string imagePath = dir.WriteFile("firmware.img", image).string();
  // Refuses the second block once: the next try's messages are numbered on.
  SimulatedDevice flaky(RefusedAt(2));
  // Refuses the erase of every try.
  DevsimConfig refusing;
  for (int message : {0, 1, 2}) refusing.replies[message].fault = ReplyFault::kRefuse;
  SimulatedDevice broken(refusing);
  SimulatedDevice good;
  const std::string jsonPath = (dir / "report.json").string();
  const std::string metricsPath = (dir / "korvel.prom").string();
  const RunResult gang =
      RunGang({imagePath, flaky.port(), broken.port(), good.port(), "--retries", "2", "--log-dir",
               (dir / "logs").string(), "--json", jsonPath, "--metrics", metricsPath});

  EXPECT_EQ(gang.exitStatus, 1) << gang.out;
  EXPECT_EQ(gang.OutLines().back(),
            "korvel-gang: 2 of 3 runs passed; not passed: " + broken.port());
  const Json report = ReadJson(jsonPath);
  ASSERT_FALSE(report.is_discarded()) << ReadFileText(jsonPath);
  EXPECT_EQ(report["attempts"], 6);
  const struct {
    const char* outcome;
    size_t attempts;
  } expected[] = {{"passed", 2}, {"failed", 3}, {"passed", 1}};
  for (size_t i = 0; i < 3; ++i) {
    const Json& result = report["results"][i];
    EXPECT_EQ(result["outcome"], expected[i].outcome);
    ASSERT_EQ(result["attempts"].size(), expected[i].attempts) << result.dump(2);
    // Every attempt has its log, of its own.
    std::set<std::string> logs;
    for (const Json& attempt : result["attempts"]) {
      logs.insert(attempt["log"].get<std::string>());
      EXPECT_TRUE(std::filesystem::exists(attempt["log"].get<std::string>()));
    }
    EXPECT_EQ(logs.size(), expected[i].attempts);
  }
  const Json& firstTry = report["results"][0]["attempts"][0];
  EXPECT_EQ(firstTry["outcome"], "failed");
  EXPECT_EQ(firstTry["step"], "Programming the flash failed");
  EXPECT_EQ(firstTry["block"], 2);
  EXPECT_EQ(ReadFileText(report["results"][0]["log"].get<std::string>()).find("failed"),
            std::string::npos);
  // The device that passed at its second try holds the image, reset once.
  const DevsimRecord seen = flaky.WaitFor([](const DevsimRecord& now) { return now.resets > 0; });
  EXPECT_TRUE(HoldsImage(seen.flash, image));
  EXPECT_EQ(seen.resets, 1);
  EXPECT_NE(ReadFileText(metricsPath).find("korvel_gang_attempts_total 6\n"), std::string::npos);
}

// An image that went bad after the gang checked it (here: replaced under a
// running station) fails its run, and no retry can mend that.
TEST(Gang, NeverRetriesABadImage) {
  TempDir dir;
  const std::string imagePath = dir.WriteFile("firmware.img", FirmwareImage(4 * 64)).string();
  std::filesystem::create_directories(dir / "by-id");
  SimulatedDevice device;
  const std::string jsonPath = (dir / "report.json").string();
  int step = 0;
  std::chrono::steady_clock::time_point failed;
  RunOptions options;
  options.signal = SIGINT;
  options.signalWhen = [&] {
    if (step == 0 && std::filesystem::exists(dir / "logs")) {  // checked, watching
      dir.WriteFile("firmware.img", PatternImage(4 * 64));
      std::filesystem::create_symlink(device.port(), dir / "by-id" / "device");
      step = 1;
    } else if (step == 1 && ReadJson(jsonPath).is_object() && ReadJson(jsonPath)["failed"] == 1) {
      failed = std::chrono::steady_clock::now();
      step = 2;
    }
    // Well past the pause a retry would wait.
    return step == 2 && std::chrono::steady_clock::now() - failed > milliseconds(3000);
  };
  const RunResult gang = RunGang({imagePath, "--watch", (dir / "by-id" / "*").string(), "--retries",
                                  "2", "--log-dir", (dir / "logs").string(), "--json", jsonPath},
                                 options);
  ASSERT_TRUE(gang.signalSent) << "stopped at step " << step << ":\n" << gang.out;
  const Json report = ReadJson(jsonPath);
  ASSERT_EQ(report["results"].size(), 1u) << report.dump(2);
  EXPECT_EQ(report["results"][0]["attempts"].size(), 1u);
  EXPECT_EQ(report["results"][0]["step"], "Wrong image type");
  EXPECT_EQ(device.Settled().bootloaderEntries, 1);
}

// --- The unit counter ------------------------------------------------------------

// The numbers the device's EEPROM got: the first block after each erase
// carries the parameter byte and the number (least significant byte first).
std::vector<uint32_t> ProgrammedNumbers(const DevsimRecord& record) {
  std::vector<uint32_t> numbers;
  for (size_t i = 1; i < record.frames.size(); ++i) {
    const std::vector<uint8_t>& body = record.frames[i].body;
    if (record.frames[i - 1].body.at(0) != kErase || body.at(0) != kProgramEeprom) continue;
    numbers.push_back(body.at(11) | body.at(12) << 8 | body.at(13) << 16 |
                      static_cast<uint32_t>(body.at(14)) << 24);
  }
  return numbers;
}

TEST(Gang, CounterNeverGivesANumberTwiceAcrossAKilledGang) {
  TempDir dir;
  const std::string counter = dir.WriteFile("next", {'1', '0', '0', '0', '\n'}).string();
  // Two devices done at once; two that wait five seconds for their third
  // block's reply, while the gang is killed.
  std::vector<std::unique_ptr<SimulatedDevice>> devices;
  for (int i = 0; i < 4; ++i) {
    devices.push_back(std::make_unique<SimulatedDevice>(i < 2 ? DevsimConfig{} : NoReplyTo(3)));
  }
  std::vector<std::string> args = {"--hwparm-sequence", "01:" + counter, "--log-dir",
                                   (dir / "logs").string()};
  for (const auto& device : devices) args.push_back(device->port());
  RunOptions options;
  options.signal = SIGKILL;
  options.signalWhen = [&] {
    return devices[0]->Snapshot().resets == 1 && devices[1]->Snapshot().resets == 1 &&
           devices[2]->Snapshot().frames.size() >= 4 && devices[3]->Snapshot().frames.size() >= 4;
  };
  const RunResult killed = RunGang(args, options);
  ASSERT_EQ(killed.termSignal, SIGKILL) << killed.out;

  // The next gang, on two new devices, goes on from the file.
  std::vector<std::unique_ptr<SimulatedDevice>> next;
  args.resize(4);
  for (int i = 0; i < 2; ++i) {
    next.push_back(std::make_unique<SimulatedDevice>());
    args.push_back(next.back()->port());
  }
  const std::string jsonPath = (dir / "report.json").string();
  args.insert(args.end(), {"--json", jsonPath});
  EXPECT_EQ(RunGang(args).exitStatus, 0);

  std::vector<uint32_t> given;
  for (const auto* group : {&devices, &next}) {
    for (const auto& device : *group) {
      for (uint32_t number : ProgrammedNumbers(device->Snapshot())) given.push_back(number);
    }
  }
  ASSERT_EQ(given.size(), 6u);
  EXPECT_EQ(std::set<uint32_t>(given.begin(), given.end()).size(), 6u);  // none twice
  const uint32_t highest = *std::max_element(given.begin(), given.end());
  EXPECT_EQ(ReadFileText(counter), std::to_string(highest + 1) + "\n");
  const Json report = ReadJson(jsonPath);
  for (const Json& result : report["results"]) {
    EXPECT_EQ(result["hwparm_number_used"], true);
    EXPECT_GE(result["hwparm_number"].get<uint32_t>(), 1004u);  // after the killed gang's four
  }
}

// --- Command lines and images that end it before any port is touched ----------

struct RefusedCase {
  const char* name;
  std::vector<std::string> args;  // {port}: a simulated device's
  int status = 2;                 // a usage error, but for the help
  // Files made in the working folder first: the image, the counter.
  std::vector<std::pair<std::string, Bytes>> files = {};
  std::string errHas{};  // what the refusal says
};

class GangCommandLineTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(GangCommandLineTest, EndsItWithoutARun) {
  TempDir dir;
  for (const auto& [name, bytes] : GetParam().files) dir.WriteFile(name, bytes);
  SimulatedDevice device;
  std::vector<std::string> args;
  for (const std::string& arg : GetParam().args)
    args.push_back(arg == "{port}" ? device.port() : arg);
  RunOptions options;
  options.workingDirectory = dir.path();
  const RunResult gang = RunGang(args, options);
  EXPECT_NE(gang.err.find(GetParam().errHas), std::string::npos) << gang.err;
  EXPECT_EQ(gang.exitStatus, GetParam().status) << gang.out << gang.err;
  if (GetParam().status == 0) {
    EXPECT_NE(gang.out.find("Usage: korvel-gang"), std::string::npos) << gang.out;
    EXPECT_EQ(gang.out.find("runs passed"), std::string::npos) << gang.out;
  } else {
    EXPECT_NE(gang.err, "");
  }
  // Nothing ran, so no log folder was made, and the device was never woken.
  EXPECT_FALSE(std::filesystem::exists(dir / "korvel-gang-logs"));
  EXPECT_TRUE(device.Settled().activationBytes.empty());
}

const std::pair<std::string, Bytes> kGoodImage = {"firmware.img", FirmwareImage(256)};

INSTANTIATE_TEST_SUITE_P(
    Gang, GangCommandLineTest,
    ::testing::Values(
        RefusedCase{"NoImage", {}}, RefusedCase{"NoPorts", {"firmware.img"}},
        RefusedCase{"PortsAndAll", {"firmware.img", "{port}", "--all"}},
        RefusedCase{"AllAndWatch", {"firmware.img", "--all", "--watch", "/dev/*"}},
        RefusedCase{"PortsAndSerialNumber", {"firmware.img", "{port}", "--serial-number", "A1"}},
        RefusedCase{"PortTwice", {"firmware.img", "{port}", "{port}"}},
        RefusedCase{"ZeroTimeLimit", {"firmware.img", "{port}", "--time-limit", "0"}},
        RefusedCase{"NegativeRetries", {"firmware.img", "{port}", "--retries", "-1"}},
        RefusedCase{"PortBeyondRange", {"firmware.img", "{port}", "--http", "65536"}},
        RefusedCase{"CounterParameterFF", {"--hwparm-sequence", "FF:next", "{port}"}},
        RefusedCase{"UnknownOption", {"firmware.img", "{port}", "--fast"}},
        RefusedCase{"Help", {"--help"}, 0},
        // korvel would read these as command words, not as the files.
        RefusedCase{"StopWordNamingAFile",
                    {"stoplight-v2.img", "{port}"},
                    2,
                    {{"stoplight-v2.img", FirmwareImage(64)}},
                    "the command STOP"},
        RefusedCase{"HwParamWordNamingAFile",
                    {"hwparm-defaults.img", "{port}"},
                    2,
                    {{"hwparm-defaults.img", FirmwareImage(64)}},
                    "\"./hwparm-defaults.img\""},
        // The image by korvel's rules, before any device is woken.
        RefusedCase{"ImageMissing", {"nosuch.img", "{port}"}},
        RefusedCase{"ImageEmpty", {"empty.img", "{port}"}, 2, {{"empty.img", {}}}},
        RefusedCase{
            "ImageWithoutMarker", {"plain.img", "{port}"}, 2, {{"plain.img", PatternImage(300)}}},
        RefusedCase{"ImageTooBig", {"big.img", "{port}"}, 2, {{"big.img", FirmwareImage(65536)}}},
        RefusedCase{"HwparmTooShort", {"HWPARM01", "{port}"}},
        // A port where the image belongs (port first, out of habit): never
        // opened, not even to read.
        RefusedCase{"ImageIsAPort", {"{port}", "firmware.img"}, 2, {kGoodImage}},
        // What the line holds: no adapter with the number, no counter.
        RefusedCase{"SerialNumberOnNoPort",
                    {"firmware.img", "--serial-number", "KORVEL-NO-SUCH-ADAPTER"},
                    1,
                    {kGoodImage}},
        RefusedCase{"NoCounterFile", {"--hwparm-sequence", "01:next", "{port}"}, 1},
        RefusedCase{"CounterWithoutNumber",
                    {"--hwparm-sequence", "01:next", "{port}"},
                    1,
                    {{"next", {'x', '\n'}}}}),
    PlatformCaseName<RefusedCase>);

// --- The board and the reports' escaping ----------------------------------------

// Adds a run to a gang made by hand, as the gang adds its first attempts.
GangRun* AddRun(Gang* gang, GangClock::time_point now, const std::string& port, RunOutcome outcome,
                std::vector<std::string> lines) {
  GangRun& job = gang->runs.emplace_back();
  job.firstAttempt = gang->runs.size() - 1;
  job.port = port;
  job.outcome = outcome;
  job.reaped = outcome != RunOutcome::kRunning;
  job.exitStatus = outcome == RunOutcome::kFailed ? 255 : outcome == RunOutcome::kPassed ? 0 : -1;
  job.lines = std::move(lines);
  job.started = now - std::chrono::seconds(12);
  job.ended = now;
  return &job;
}

// An adapter the inventory knows.
void Adapter(GangRun* job, const std::string& serialNumber) {
  job->serialNumber = job->label = serialNumber;
  job->usbIds = "0403:6001";
}

const char* const kById = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZ3Q1-if00-port0";

// A gang of one run in each state the board shows.
Gang BoardGang(GangClock::time_point now) {
  Gang gang;
  const auto add = [&](const std::string& port, RunOutcome outcome,
                       std::vector<std::string> lines) {
    return AddRun(&gang, now, port, outcome, std::move(lines));
  };
  Adapter(add(kById, RunOutcome::kRunning, {"Version: 2.3"}), "A10KZ3Q1");
  GangRun* programming =
      add("/dev/ttyUSB1", RunOutcome::kRunning, {"Version: 2.3", "Bootloader activated."});
  programming->programming = true;
  programming->progress.blocksDone = 512;
  programming->progress.totalBlocks = 1024;
  programming->progress.bytesDone = 32768;
  programming->progress.totalBytes = 65535;
  add("/dev/ttyUSB2", RunOutcome::kFailed,
      {"Version: 2.3", "Activating the bootloader failed.", ""});
  // Over its time after the version line, on a port with a terminal's
  // control sequence in its name.
  add("/dev/tty\x1b[2JUSB3", RunOutcome::kTimedOut,
      {"Version: 2.3", "Bootloader activated.", "Flashing firmware version 2.4."});
  return gang;
}

TEST(GangBoard, ShowsEveryRunWithinTheTerminal) {
  const GangClock::time_point now = GangClock::now();
  const Gang gang = BoardGang(now);
  const std::vector<std::string> wide = BoardRows(gang, now, 140, 40);
  ASSERT_EQ(wide.size(), 5u);
  EXPECT_EQ(wide[0], "korvel-gang: 4 runs, 2 running, 0 passed, 2 failed");
  // The adapter's serial number tells its port apart, with its USB ids.
  EXPECT_EQ(wide[1].rfind("A10KZ3Q1 ", 0), 0u) << wide[1];
  EXPECT_NE(wide[1].find(" 0403:6001  waking        12.0 s"), std::string::npos) << wide[1];
  EXPECT_NE(wide[2].find("programming   12.0 s  [######......] 512/1024  50%"), std::string::npos)
      << wide[2];
  // What failed, and where, in korvel's own words.
  EXPECT_NE(wide[3].find("FAILED        12.0 s  The device on \"/dev/ttyUSB2\" did not answer"),
            std::string::npos)
      << wide[3];
  // Where it stopped, not korvel's last line.
  EXPECT_EQ(wide[4].rfind("/dev/tty?[2JUSB3", 0), 0u) << wide[4];
  EXPECT_NE(wide[4].find("TIMED OUT     12.0 s  Ended at the time limit of 600 s while erasing."),
            std::string::npos)
      << wide[4];
  EXPECT_EQ(BoardRows(gang, now, 80, 24)[1].rfind("A10KZ3Q1 ", 0), 0u);

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
  EXPECT_EQ(first[0].rfind("A10KZ3Q1 ", 0), 0u) << first[0];  // the adapter by its serial number
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

// A station's summary: an adapter that failed at its first appearance and
// passed at its second, another that passed, and nine ports without an
// adapter that failed.
TEST(GangSummary, FitsTheWidthAndNamesEachAppearanceThatFailed) {
  const GangClock::time_point now = GangClock::now();
  Gang gang;
  gang.options.watchPattern = "/dev/serial/by-id/*";
  const std::vector<std::string> failed = {"Version: 2.3", "Activating the bootloader failed."};
  const std::vector<std::string> passed = {"Version: 2.3", "Bootloader activated.",
                                           "Firmware flashed."};
  Adapter(AddRun(&gang, now, kById, RunOutcome::kFailed, failed), "A10KZ3Q1");
  Adapter(AddRun(&gang, now, "/dev/serial/by-id/usb-FTDI_B20XY7-if00-port0", RunOutcome::kPassed,
                 passed),
          "B20XY7");
  GangRun* again = AddRun(&gang, now, kById, RunOutcome::kPassed, passed);
  Adapter(again, "A10KZ3Q1");
  again->appearance = 2;
  for (int i = 0; i < 9; ++i) {
    AddRun(&gang, now, "/dev/ttyS" + std::to_string(i), RunOutcome::kFailed, failed);
  }

  // As wide as it needs: every failed appearance named, A by its first.
  const std::vector<std::string> full = LinesOf(SummaryText(gang, 0));
  ASSERT_EQ(full.size(), 14u);
  EXPECT_EQ(full.back(),
            "korvel-gang: 2 of 12 devices passed; not passed: A10KZ3Q1 (1), /dev/ttyS0, "
            "/dev/ttyS1, /dev/ttyS2, /dev/ttyS3, /dev/ttyS4, /dev/ttyS5, /dev/ttyS6, /dev/ttyS7, "
            "/dev/ttyS8");
  EXPECT_EQ(full[1].rfind("A10KZ3Q1    0403:6001  The device on \"" + std::string(kById) +
                              "\" did not answer the bootloader's sync probe.  ",
                          0),
            0u)
      << full[1];
  EXPECT_TRUE(full[1].ends_with("  255     12.0")) << full[1];
  // Within the terminal at any width: no line into the last column, the
  // serial numbers whole, the verdict cut short with a count.
  for (int columns = 10; columns <= 140; ++columns) {
    const std::vector<std::string> lines = LinesOf(SummaryText(gang, columns));
    ASSERT_EQ(lines.size(), 14u);
    for (const std::string& line : lines) ASSERT_LT(line.size(), size_t(columns)) << line;
    if (columns < 60) continue;
    EXPECT_EQ(lines[1].rfind("A10KZ3Q1 ", 0), 0u) << lines[1];
    // As many names as fit, then a count of the rest; or the count alone.
    const std::string& verdict = lines.back();
    EXPECT_EQ(verdict.rfind("korvel-gang: 2 of 12 devices passed; ", 0), 0u);
    const bool named = verdict.find("; not passed: A10KZ3Q1 (1), ") != std::string::npos &&
                       (verdict.ends_with(" more") || verdict.ends_with(", /dev/ttyS8"));
    EXPECT_TRUE(named || (columns < 80 && verdict.ends_with("; 10 not passed"))) << verdict;
  }
}

// Which failures a second try can mend, from korvel's own output.
struct RetryCase {
  const char* name;
  RunOutcome outcome;
  std::vector<std::string> lines;
  bool retryable;
};

class RetryableTest : public ::testing::TestWithParam<RetryCase> {};

TEST_P(RetryableTest, OnlyWhatASecondTryCanMend) {
  GangRun job;
  job.outcome = GetParam().outcome;
  job.lines = GetParam().lines;
  job.lines.insert(job.lines.begin(), "Version: 2.3");
  EXPECT_EQ(IsRetryable(job), GetParam().retryable);
}

INSTANTIATE_TEST_SUITE_P(
    Gang, RetryableTest,
    ::testing::Values(
        RetryCase{
            "NoBootloaderAnswer", RunOutcome::kFailed, {"Activating the bootloader failed."}, true},
        RetryCase{"LostReply",
                  RunOutcome::kFailed,
                  {"Bootloader activated.", "bootloader/message.cpp(40) / MyReadFile: (0)",
                   "bootloader/programming.cpp(38) / GetMessageAnswer: (0)",
                   "Flashing the firmware image failed."},
                  true},
        RetryCase{"RefusedReply",
                  RunOutcome::kFailed,
                  {"Bootloader activated.",
                   "bootloader/programming.cpp(87) / Programming the flash failed: (11)",
                   "Flashing the firmware image failed."},
                  true},
        RetryCase{"VanishedPort",
                  RunOutcome::kFailed,
                  {"Bootloader activated.", "serial/transfer.cpp(60) / ReadFile: (5)",
                   "Flashing the firmware image failed."},
                  true},
        RetryCase{
            "PortBusyOrGone",
            RunOutcome::kFailed,
            {"serial/open_serial.cpp(11) / CreateFile: (16)", "app/run.cpp(50) / OpenSerial: (16)"},
            true},
        RetryCase{
            "ImageFileGone",
            RunOutcome::kFailed,
            {"Bootloader activated.", "image/image_file.cpp(67) / CreateFile: (2)",
             "image/image_source.cpp(49) / ReadImage: (2)", "Flashing the firmware image failed."},
            false},
        RetryCase{"WrongImageType",
                  RunOutcome::kFailed,
                  {"Bootloader activated.", "image/image_source.cpp(60) / Wrong image type: (0)",
                   "Flashing the firmware image failed."},
                  false},
        RetryCase{"RateThePortRefuses",
                  RunOutcome::kFailed,
                  {"serial/open_serial.cpp(30) / SetCommState: (22)",
                   "app/run.cpp(50) / OpenSerial: (22)"},
                  false},
        RetryCase{"HwparmArgument",
                  RunOutcome::kFailed,
                  {"Bootloader activated.", "HWPARM string not valid"},
                  false},
        RetryCase{"TimedOut", RunOutcome::kTimedOut, {"Bootloader activated."}, false},
        RetryCase{"Stopped", RunOutcome::kStopped, {"Bootloader activated."}, false},
        RetryCase{"Passed", RunOutcome::kPassed, {"Firmware flashed."}, false}),
    CaseName<RetryCase>);

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
