// korvel-flash-benchmark: how long korvel takes to flash a full image into
// a paced simulated device, with the standard reply timing and with fast
// replies (KORVEL_FAST=1), against the least time the standard protocol
// allows for the same run on a real line; and through Debian's ser2net on
// loopback (rfc2217://), directly and behind a proxy that adds a round trip,
// against the fast run over the pseudo-terminal of the same round.
//
// Each run starts a fresh paced device, flashes a 65,535-byte firmware
// image with korvel (natively, and korvel.exe under Wine when asked) and
// takes the wall time and the CPU time of the child, its own children's
// included. The bounds
// come from the run-time model korvel itself has (EstimateRunTime). A
// benchmark to read, not a test: it asserts nothing about time.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bootloader/activation.h"
#include "bootloader/run_time.h"
#include "common/run_state.h"
#include "devsim/devsim.h"
#include "tests/e2e/network_peers.h"
#include "tools/command_line.h"

namespace {

// --- The bounds and the goals ------------------------------------------------

// Fast runs within this share of the standard bound, natively and under
// Wine; native standard runs within this ratio of it; korvel's own CPU time
// under this share of the wall time.
constexpr double kFastGoalNative = 0.45;
constexpr double kFastGoalWine = 0.50;
constexpr double kStandardGoal = 1.03;
constexpr double kCpuGoal = 0.05;
// Through ser2net on loopback, within this ratio of the native fast run
// over a pseudo-terminal, natively and under Wine; behind a round trip,
// within that fast run plus this share of a round trip per message (the
// erase and 1,024 blocks).
constexpr double kServedGoalNative = 1.10;
constexpr double kServedGoalWine = 1.25;
constexpr double kRoundTripShare = 1.2;
constexpr int kMessages = 1025;

// How a run reaches the device: over its pseudo-terminal with either reply
// timing, or through ser2net, directly or behind a proxy that adds a round
// trip.
enum class Way { kStandard, kFast, kServed, kServedFar };
constexpr Way kWays[] = {Way::kStandard, Way::kFast, Way::kServed, Way::kServedFar};

const char* WayName(Way way) {
  switch (way) {
    case Way::kStandard:
      return "standard";
    case Way::kFast:
      return "fast";
    case Way::kServed:
      return "ser2net";
    case Way::kServedFar:
      return "ser2net+RTT";
  }
  return "";
}

bool Served(Way way) {
  return way == Way::kServed || way == Way::kServedFar;
}

// --- Runs ----------------------------------------------------------------

struct Options {
  BenchPrograms programs;
  int runs = 5;
  uint32_t writeTimeUs = 5000;
  int comPort = 42;
  int roundTripMs = 10;  // what the proxy adds, half each way
};

struct RunResult {
  bool ok = false;
  double wallSeconds = 0;
  double cpuSeconds = 0;
  double boundSeconds = 0;  // the standard bound at the rates of the run
  double fastBoundSeconds = 0;
  int probes = 0;
};

// The command line that flashes |argument| through |portPath|.
std::vector<std::string> KorvelCommand(const Options& options, bool windows,
                                       const std::string& portPath, const std::string& argument) {
  if (!windows) return {options.programs.korvel, portPath, argument};
  if (portPath.starts_with("rfc2217://")) {
    return {"/bin/sh", options.programs.wineRun, options.programs.windowsKorvel, portPath,
            argument};
  }
  const std::string com = std::to_string(options.comPort);
  return {"/bin/sh", options.programs.wineRun,       "--com",     com,
          portPath,  options.programs.windowsKorvel, "COM" + com, argument};
}

// Sets KORVEL_FAST for the next korvel run, whatever ours said: "1" for
// fast replies, "0" (the standard timing) otherwise. The child takes our
// environment; no other thread runs meanwhile.
void SetReplyTiming(ReplyTiming timing) {
  setenv("KORVEL_FAST", timing == ReplyTiming::kFast ? "1" : "0", 1);
}

// Ser2net, started by the tests' support, takes the signal mask of the
// thread that starts it, and the wait's signals are blocked here: it could
// never be asked to end. It is started with the wait closed meanwhile.
std::unique_ptr<korvel_e2e::Ser2net> StartSer2net(const std::string& port) {
  CloseBenchWaiter();
  auto server = std::make_unique<korvel_e2e::Ser2net>(port);
  if (!OpenBenchWaiter()) return nullptr;
  return server;
}

// One run against a fresh paced device. |stopOnly| wakes the bootloader and
// stops there: a warm-up that loads the program (and starts Wine's server).
RunResult RunOnce(const Options& options, bool windows, Way way, const std::vector<uint8_t>& image,
                  const std::string& imagePath, bool stopOnly) {
  RunResult result;
  SetReplyTiming(way == Way::kFast ? ReplyTiming::kFast : ReplyTiming::kStandard);
  DevsimConfig config;
  config.paced = true;
  config.writeTimeUs = options.writeTimeUs;
  DevsimPtr device(StartDevsim(config));
  if (!device) {
    std::perror("no pseudo-terminal");
    return result;
  }
  std::string port = DevsimPortPath(device.get());
  std::unique_ptr<korvel_e2e::Ser2net> server;
  std::unique_ptr<korvel_e2e::ImpairingProxy> proxy;
  if (Served(way)) {
    server = StartSer2net(port);
    if (!server) return result;
    port = server->url();
  }
  if (way == Way::kServedFar) {
    const auto halfTrip = std::chrono::microseconds(options.roundTripMs * 500);
    proxy = std::make_unique<korvel_e2e::ImpairingProxy>(server->port(),
                                                         korvel_e2e::Impairment{halfTrip});
    port = proxy->url();
  }
  const std::string logPath = options.programs.workDir + "/korvel-benchmark.log";
  std::FILE* log = std::fopen(logPath.c_str(), "w");
  const ChildCost cost =
      RunMeasured(KorvelCommand(options, windows, port, stopOnly ? "STOP" : imagePath), log, false);
  if (log != nullptr) std::fclose(log);
  if (!cost.ok) return result;
  const int status = cost.status;
  result.wallSeconds = cost.wallSeconds;
  result.cpuSeconds = cost.ownCpuSeconds + cost.childrenCpuSeconds;

  const bool exited = status == 0;
  if (stopOnly) {
    result.ok = exited;
    return result;
  }
  const bool flashed = Flashed(device.get(), image);
  const DevsimRecord record = DevsimSnapshot(device.get());
  // The bounds assume the bootloader's rate: a run at another is wrong.
  result.ok = exited && flashed && record.bootloaderBaud == kBootloaderBaud;
  if (!result.ok) {
    std::fprintf(stderr, "run failed (status %d, %u bytes programmed, %d resets); see %s\n", status,
                 record.flashWritten, record.resets, logPath.c_str());
  }
  result.probes = record.probes;
  const uint32_t length = static_cast<uint32_t>(image.size());
  result.boundSeconds =
      EstimateRunTime(length, record.activationBaud, options.writeTimeUs, ReplyTiming::kStandard)
          .TotalSeconds();
  result.fastBoundSeconds =
      EstimateRunTime(length, record.activationBaud, options.writeTimeUs, ReplyTiming::kFast)
          .TotalSeconds();
  return result;
}

// "what  median M unit   range L .. H unit", values scaled by |scale|, and
// |verdict| on the median against |goal| (in the same scale) when given.
void PrintSummary(const char* what, const std::vector<double>& values, int decimals,
                  const char* unit, double scale, const char* verdict, double goal = 0) {
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  std::printf("    %-16s median %.*f%s   range %.*f .. %.*f%s", what, decimals,
              Median(values) * scale, unit, decimals, *low * scale, decimals, *high * scale, unit);
  if (*verdict != '\0') std::printf("   (goal %.2f%s: %s)", goal, unit, verdict);
  std::printf("\n");
}

// What the runs of one way gave.
struct Series {
  std::vector<double> walls, ratios, ownRatios, cpuShares;
};

// The least time a served run's own bound allows: the fast run over the
// pseudo-terminal of its round, and for the far one a round trip per
// message on top, with a margin.
double ServedBound(const Options& options, Way way, double fastSeconds) {
  if (way == Way::kServed) return fastSeconds;
  return fastSeconds + kMessages * options.roundTripMs / 1000.0 * kRoundTripShare;
}

// Prints the medians of one way's runs and the verdicts on them.
void PrintWay(Way way, const Series& own, bool windows, bool nativeReference) {
  std::printf("  %s:\n", WayName(way));
  PrintSummary("wall time", own.walls, 3, " s", 1, "");
  const auto verdict = [](const std::vector<double>& values, double goal) {
    return Median(values) <= goal ? "met" : "MISSED";
  };
  if (!Served(way)) {
    // Wine's own start-up is some 2 % of a standard run: the standard goal
    // is the native build's.
    const double goal =
        way == Way::kFast ? (windows ? kFastGoalWine : kFastGoalNative) : kStandardGoal;
    const bool judged = way == Way::kFast || !windows;
    PrintSummary("time / bound", own.ratios, 4, "", 1, judged ? verdict(own.ratios, goal) : "",
                 goal);
  } else {
    const double goal =
        way == Way::kServedFar ? 1.0 : (windows ? kServedGoalWine : kServedGoalNative);
    PrintSummary(way == Way::kServed ? (nativeReference ? "time / native fast" : "time / fast")
                                     : "time / fast+RTTs",
                 own.ownRatios, 4, "", 1, verdict(own.ownRatios, goal), goal);
  }
  PrintSummary("CPU / wall time", own.cpuShares, 2, " %", 100, verdict(own.cpuShares, kCpuGoal),
               kCpuGoal * 100);
}

// Measures one build, every way in turn in each round, so that all meet the
// same load; returns false when a run failed. The fast runs over the
// pseudo-terminal go to |fastWalls|; a served run of round i is judged
// against |reference|[i] when given (the native build's), else against its
// own round's fast run.
bool Measure(const Options& options, bool windows, const std::vector<uint8_t>& image,
             const std::string& imagePath, const std::vector<double>* reference,
             std::vector<double>* fastWalls) {
  std::printf("\n%s: %s\n", windows ? "Windows build under Wine" : "native build",
              windows ? options.programs.windowsKorvel.c_str() : options.programs.korvel.c_str());
  if (!RunOnce(options, windows, Way::kStandard, image, imagePath, true).ok) {
    std::printf("  the warm-up run (STOP) failed: not measured\n");
    return false;
  }
  std::printf("  run  way          wall s   / bound   / own bound   CPU s   CPU/wall   probes\n");
  Series series[std::size(kWays)];
  for (int run = 1; run <= options.runs; ++run) {
    double fastSeconds = 0;
    for (size_t w = 0; w < std::size(kWays); ++w) {
      const Way way = kWays[w];
      const RunResult result = RunOnce(options, windows, way, image, imagePath, false);
      if (!result.ok) return false;
      if (way == Way::kFast) {
        fastSeconds = result.wallSeconds;
        fastWalls->push_back(fastSeconds);
      }
      const double fastReference =
          reference != nullptr && reference->size() >= static_cast<size_t>(run)
              ? (*reference)[static_cast<size_t>(run - 1)]
              : fastSeconds;
      const double ownBound = Served(way)         ? ServedBound(options, way, fastReference)
                              : way == Way::kFast ? result.fastBoundSeconds
                                                  : result.boundSeconds;
      Series& own = series[w];
      own.walls.push_back(result.wallSeconds);
      own.ratios.push_back(result.wallSeconds / result.boundSeconds);
      own.ownRatios.push_back(result.wallSeconds / ownBound);
      own.cpuShares.push_back(result.cpuSeconds / result.wallSeconds);
      std::printf("  %3d  %-11s  %8.3f    %6.4f     %6.4f     %5.2f    %5.2f %%   %d\n", run,
                  WayName(way), result.wallSeconds, own.ratios.back(), own.ownRatios.back(),
                  result.cpuSeconds, own.cpuShares.back() * 100, result.probes);
      std::fflush(stdout);
    }
  }
  for (size_t w = 0; w < std::size(kWays); ++w) {
    PrintWay(kWays[w], series[w], windows, reference != nullptr);
  }
  return true;
}

constexpr const char* kUsage =
    "Usage: korvel-flash-benchmark [options]\n"
    "Flashes a 65,535-byte firmware image into a paced simulated device several\n"
    "times with the standard reply timing and with fast replies (KORVEL_FAST=1),\n"
    "and through ser2net on loopback, directly and behind a proxy that adds a\n"
    "round trip, and prints wall time against the standard protocol bound and\n"
    "against each way's own bound, and korvel's CPU share, per run and as median\n"
    "and range.\n"
    "\n"
    "  --korvel PATH          the native korvel to measure\n"
    "  --windows PATH         korvel.exe to measure under Wine (needs --wine-run)\n"
    "  --wine-run PATH        tests/win32/wine-run.sh\n"
    "  --com N                the Wine COM port number to use (default 42)\n"
    "  --runs N               measured runs per build and timing (default 5)\n"
    "  --write-time-us N      the device's write time per block (default 5000)\n"
    "  --work-dir DIR         where the image and korvel's output go (default /tmp)\n"
    "  --round-trip-ms N      what the proxy of the ser2net+RTT runs adds (default 10)\n";

// Reads the command line into |options|; false, with the exit status in
// |status|, when the program ends here.
bool ReadOptions(int argc, char** argv, Options* options, int* status) {
  const BenchPrograms& programs = options->programs;
  return ReadBenchCommandLine(
      argc, argv, "korvel-flash-benchmark", kUsage, &options->programs,
      [options](CLI::App* app) {
        app->add_option("--com", options->comPort);
        app->add_option("--runs", options->runs);
        app->add_option("--write-time-us", options->writeTimeUs);
        app->add_option("--round-trip-ms", options->roundTripMs);
      },
      [&] {
        const bool windowsComplete = programs.windowsKorvel.empty() || !programs.wineRun.empty();
        return options->runs > 0 && options->comPort > 0 && windowsComplete &&
               options->roundTripMs >= 0 &&
               (!programs.korvel.empty() || !programs.windowsKorvel.empty());
      },
      status);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (int status = 0; !ReadOptions(argc, argv, &options, &status)) return status;
  if (!OpenBenchWaiter()) return 1;
  constexpr uint32_t kImageLength = 65535;
  const std::vector<uint8_t> image = MakeBenchmarkImage(kImageLength, 7);
  const std::string imagePath = options.programs.workDir + "/korvel-benchmark.img";
  std::ofstream(imagePath, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));

  // The bounds at the rates korvel uses with a simulated device; each run's
  // own come from the rates the device recorded.
  const RunTimeEstimate standard =
      EstimateRunTime(kImageLength, kBootloaderBaud, options.writeTimeUs, ReplyTiming::kStandard);
  const RunTimeEstimate fast =
      EstimateRunTime(kImageLength, kBootloaderBaud, options.writeTimeUs, ReplyTiming::kFast);
  std::printf(
      "korvel flash benchmark: %u-byte firmware image, paced device, write time %u us,"
      " %d runs per build and timing\n",
      kImageLength, options.writeTimeUs, options.runs);
  std::printf(
      "standard bound at %u baud: activation %u bytes %.2f ms + wire %u bytes out, %u back"
      " %.1f ms + write %u x %u us + silence %u x 20 ms = %.3f s\n",
      standard.lineBaud, kActivationLength, standard.activationSeconds * 1e3, standard.bytesOut,
      standard.bytesBack, standard.wireSeconds * 1e3, standard.blocks, options.writeTimeUs,
      standard.replies, standard.TotalSeconds());
  std::printf(
      "fast bound: the same with silence %u x 1 ms = %.3f s, %.4f of the standard bound"
      " (bytes and write time alone: %.4f)\n",
      fast.replies, fast.TotalSeconds(), fast.TotalSeconds() / standard.TotalSeconds(),
      (fast.TotalSeconds() - fast.replyEndSeconds) / standard.TotalSeconds());
  std::printf("load average before: %s (%ld CPUs)\n", LoadAverages().c_str(),
              sysconf(_SC_NPROCESSORS_ONLN));

  // The Windows build's served runs are judged against the native fast
  // runs, when there are any.
  bool ok = true;
  std::vector<double> nativeFast;
  std::vector<double> windowsFast;
  if (!options.programs.korvel.empty()) {
    ok = Measure(options, false, image, imagePath, nullptr, &nativeFast) && ok;
  }
  if (!options.programs.windowsKorvel.empty()) {
    ok = Measure(options, true, image, imagePath, nativeFast.empty() ? nullptr : &nativeFast,
                 &windowsFast) &&
         ok;
  }
  std::printf("\nload average after: %s\n", LoadAverages().c_str());
  return ok ? 0 : 1;
}
