// korvel-flash-benchmark: how long korvel takes to flash a full image into
// a paced simulated device, against the least time the protocol allows for
// the same run on a real line.
//
// Each run starts a fresh paced device, flashes a 65,535-byte firmware
// image with korvel (natively, and korvel.exe under Wine when asked) and
// takes the wall time and the CPU time of the child from wait4. The bound
// is worked out below from the frames the run puts on the wire. A benchmark
// to read, not a test: it asserts nothing about time.
#include <fcntl.h>
#include <getopt.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
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
#include <random>
#include <string>
#include <vector>

#include "devsim/devsim.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// --- The protocol's bound ------------------------------------------------

// Frame sizes: start, sequence, two size bytes, token, body, checksum.
constexpr uint32_t kFrameOverhead = 6;
constexpr uint32_t kEraseBody = 1;
constexpr uint32_t kResetBody = 1;
constexpr uint32_t kProgramHeader = 10;  // code, n, seven unused bytes
constexpr uint32_t kBlockData = 64;
constexpr uint32_t kReplyBody = 2;  // code, status
constexpr uint32_t kActivationLength = 10;
constexpr uint32_t kBitsPerByte = 10;  // start bit, 8 data bits, stop bit
// The silence after the last byte of a reply that ends the tool's read.
constexpr double kReplyGapSeconds = 0.020;

struct Bound {
  uint32_t activationBaud = 0;
  uint32_t lineBaud = 0;
  uint32_t bytesOut = 0;  // at the line rate, after the activation string
  uint32_t bytesBack = 0;
  uint32_t replies = 0;
  uint32_t blocks = 0;
  double activationSeconds = 0;
  double wireSeconds = 0;
  double writeSeconds = 0;
  double gapSeconds = 0;
  double total() const { return activationSeconds + wireSeconds + writeSeconds + gapSeconds; }
};

// The least time one firmware run of |imageLength| bytes can take: the
// activation string at the activation rate; one probe and its answer; the
// erase and its reply; one program message per block of at most 64 bytes
// and its reply, each after the device's write time; the reset; 20 ms of
// silence after every reply, which is how the tool knows a reply is over.
Bound ComputeBound(uint32_t imageLength, uint32_t activationBaud, uint32_t lineBaud,
                   uint32_t writeTimeUs) {
  Bound bound;
  bound.activationBaud = activationBaud;
  bound.lineBaud = lineBaud;
  bound.activationSeconds = double{kActivationLength} * kBitsPerByte / activationBaud;
  bound.bytesOut = 1 + kEraseBody + kFrameOverhead + kResetBody + kFrameOverhead;
  bound.bytesBack = 1;
  bound.replies = 1;  // the erase
  for (uint32_t offset = 0; offset < imageLength; offset += kBlockData) {
    const uint32_t n = std::min(kBlockData, imageLength - offset);
    bound.bytesOut += kProgramHeader + n + kFrameOverhead;
    ++bound.blocks;
    ++bound.replies;
  }
  bound.bytesBack += bound.replies * (kReplyBody + kFrameOverhead);
  bound.wireSeconds =
      static_cast<double>(bound.bytesOut + bound.bytesBack) * kBitsPerByte / lineBaud;
  bound.writeSeconds = bound.blocks * (writeTimeUs / 1e6);
  bound.gapSeconds = bound.replies * kReplyGapSeconds;
  return bound;
}

// --- Runs ----------------------------------------------------------------

struct Options {
  int runs = 5;
  uint32_t writeTimeUs = 0;
  std::string korvel;         // the native build; empty: not measured
  std::string windowsKorvel;  // korvel.exe; empty: not measured
  std::string wineRun;        // tests/win32/wine-run.sh
  int comPort = 42;
  std::string workDir = "/tmp";
};

struct RunResult {
  bool ok = false;
  double wallSeconds = 0;
  double cpuSeconds = 0;
  double boundSeconds = 0;
  int probes = 0;
};

// A firmware image: noise with the version marker near its start.
std::vector<uint8_t> MakeImage(uint32_t length) {
  std::mt19937 noise(7);
  std::vector<uint8_t> image(length);
  for (uint8_t& byte : image) byte = static_cast<uint8_t>(noise());
  const char marker[] = "!Tavlo bench";  // with its NUL
  std::copy(std::begin(marker), std::end(marker), image.begin() + 16);
  return image;
}

// The command line that flashes |argument| through |portPath|.
std::vector<std::string> KorvelCommand(const Options& options, bool windows,
                                       const std::string& portPath, const std::string& argument) {
  if (!windows) return {options.korvel, portPath, argument};
  const std::string com = std::to_string(options.comPort);
  return {"/bin/sh", options.wineRun,       "--com",     com,
          portPath,  options.windowsKorvel, "COM" + com, argument};
}

// Runs |command| with its output in |logPath|; returns its wait status, its
// wall time and its CPU time (user and system, its children included).
bool RunChild(const std::vector<std::string>& command, const std::string& logPath, int* status,
              double* wallSeconds, double* cpuSeconds) {
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);

  const Clock::time_point start = Clock::now();
  pid_t pid = -1;
  const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    std::fprintf(stderr, "cannot start %s: %s\n", argv[0], std::strerror(error));
    return false;
  }
  rusage usage{};
  while (wait4(pid, status, 0, &usage) < 0) {
    if (errno != EINTR) return false;
  }
  *wallSeconds = Seconds(Clock::now() - start).count();
  const auto toSeconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  *cpuSeconds = toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
  return true;
}

// One run against a fresh paced device. |stopOnly| wakes the bootloader and
// stops there: a warm-up that loads the program (and starts Wine's server).
RunResult RunOnce(const Options& options, bool windows, const std::vector<uint8_t>& image,
                  const std::string& imagePath, bool stopOnly) {
  RunResult result;
  DevsimConfig config;
  config.paced = true;
  config.writeTimeUs = options.writeTimeUs;
  DevsimPtr device(StartDevsim(config));
  if (!device) {
    std::perror("no pseudo-terminal");
    return result;
  }
  const std::string logPath = options.workDir + "/korvel-benchmark.log";
  int status = 0;
  const std::vector<std::string> command =
      KorvelCommand(options, windows, DevsimPortPath(device.get()), stopOnly ? "STOP" : imagePath);
  if (!RunChild(command, logPath, &status, &result.wallSeconds, &result.cpuSeconds)) return result;

  const bool exited = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (stopOnly) {
    result.ok = exited;
    return result;
  }
  // The reset is the last thing korvel sends; it may still be on its way
  // when korvel has exited.
  DevsimWaitUntil(
      device.get(), [](const DevsimRecord& record) { return record.resets > 0; }, 2000);
  const DevsimRecord record = DevsimSnapshot(device.get());
  const bool programmed = record.resets == 1 && record.flashWritten == image.size() &&
                          std::equal(image.begin(), image.end(), record.flash.begin());
  result.ok = exited && programmed;
  if (!result.ok) {
    std::fprintf(stderr, "run failed (status %d, %u bytes programmed, %d resets); see %s\n", status,
                 record.flashWritten, record.resets, logPath.c_str());
  }
  result.probes = record.probes;
  result.boundSeconds = ComputeBound(static_cast<uint32_t>(image.size()), record.activationBaud,
                                     record.bootloaderBaud, options.writeTimeUs)
                            .total();
  return result;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// "what  median M unit   range L .. H unit", values scaled by |scale|.
void PrintSummary(const char* what, const std::vector<double>& values, int decimals,
                  const char* unit, double scale) {
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  std::printf("  %-16s median %.*f%s   range %.*f .. %.*f%s\n", what, decimals,
              Median(values) * scale, unit, decimals, *low * scale, decimals, *high * scale, unit);
}

std::string LoadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// Measures one build; returns false when a run failed.
bool Measure(const Options& options, bool windows, const std::vector<uint8_t>& image,
             const std::string& imagePath) {
  std::printf("\n%s: %s\n", windows ? "Windows build under Wine" : "native build",
              windows ? options.windowsKorvel.c_str() : options.korvel.c_str());
  if (!RunOnce(options, windows, image, imagePath, true).ok) {
    std::printf("  the warm-up run (STOP) failed: not measured\n");
    return false;
  }
  std::printf("  run    wall s   bound s   ratio   CPU s   CPU/wall   probes\n");
  std::vector<double> walls, ratios, cpuShares;
  for (int run = 1; run <= options.runs; ++run) {
    const RunResult result = RunOnce(options, windows, image, imagePath, false);
    if (!result.ok) return false;
    const double ratio = result.wallSeconds / result.boundSeconds;
    const double cpuShare = result.cpuSeconds / result.wallSeconds;
    std::printf("  %3d  %8.3f  %8.3f   %5.3f   %5.2f    %5.2f %%   %d\n", run, result.wallSeconds,
                result.boundSeconds, ratio, result.cpuSeconds, cpuShare * 100, result.probes);
    std::fflush(stdout);
    walls.push_back(result.wallSeconds);
    ratios.push_back(ratio);
    cpuShares.push_back(cpuShare);
  }
  PrintSummary("wall time", walls, 3, " s", 1);
  PrintSummary("time / bound", ratios, 4, "", 1);
  PrintSummary("CPU / wall time", cpuShares, 2, " %", 100);
  return true;
}

constexpr const char* kUsage =
    "Usage: korvel-flash-benchmark [options]\n"
    "Flashes a 65,535-byte firmware image into a paced simulated device several\n"
    "times and prints wall time, the protocol's bound, their ratio and korvel's\n"
    "CPU share, per run and as median and range.\n"
    "\n"
    "  --korvel PATH          the native korvel to measure\n"
    "  --windows PATH         korvel.exe to measure under Wine (needs --wine-run)\n"
    "  --wine-run PATH        tests/win32/wine-run.sh\n"
    "  --com N                the Wine COM port number to use (default 42)\n"
    "  --runs N               measured runs per build (default 5)\n"
    "  --write-time-us N      the device's write time per block (default 0)\n"
    "  --work-dir DIR         where the image and korvel's output go (default /tmp)\n";

bool ParseOptions(int argc, char** argv, Options* options) {
  static const option kOptions[] = {
      {"korvel", required_argument, nullptr, 'k'},
      {"windows", required_argument, nullptr, 'w'},
      {"wine-run", required_argument, nullptr, 'r'},
      {"com", required_argument, nullptr, 'c'},
      {"runs", required_argument, nullptr, 'n'},
      {"write-time-us", required_argument, nullptr, 't'},
      {"work-dir", required_argument, nullptr, 'd'},
      {nullptr, 0, nullptr, 0},
  };
  for (int id; (id = getopt_long(argc, argv, "", kOptions, nullptr)) != -1;) {
    switch (id) {
      case 'k':
        options->korvel = optarg;
        break;
      case 'w':
        options->windowsKorvel = optarg;
        break;
      case 'r':
        options->wineRun = optarg;
        break;
      case 'c':
        options->comPort = std::atoi(optarg);
        break;
      case 'n':
        options->runs = std::atoi(optarg);
        break;
      case 't':
        options->writeTimeUs = static_cast<uint32_t>(std::strtoul(optarg, nullptr, 10));
        break;
      case 'd':
        options->workDir = optarg;
        break;
      default:
        return false;
    }
  }
  const bool windowsComplete = options->windowsKorvel.empty() || !options->wineRun.empty();
  return optind == argc && options->runs > 0 && options->comPort > 0 && windowsComplete &&
         (!options->korvel.empty() || !options->windowsKorvel.empty());
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  constexpr uint32_t kImageLength = 65535;
  const std::vector<uint8_t> image = MakeImage(kImageLength);
  const std::string imagePath = options.workDir + "/korvel-benchmark.img";
  std::ofstream(imagePath, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));

  // The bound at the rates korvel uses with a simulated device; each run's
  // own bound comes from the rates the device recorded.
  const Bound bound = ComputeBound(kImageLength, 115200, 115200, options.writeTimeUs);
  std::printf(
      "korvel flash benchmark: %u-byte firmware image, paced device, write time %u us,"
      " %d runs per build\n",
      kImageLength, options.writeTimeUs, options.runs);
  std::printf(
      "bound at %u baud: activation %u bytes %.2f ms + wire %u bytes out, %u back"
      " %.1f ms + write %u x %u us + gap %u x 20 ms = %.3f s\n",
      bound.lineBaud, kActivationLength, bound.activationSeconds * 1e3, bound.bytesOut,
      bound.bytesBack, bound.wireSeconds * 1e3, bound.blocks, options.writeTimeUs, bound.replies,
      bound.total());
  std::printf("load average before: %s (%ld CPUs)\n", LoadAverage().c_str(),
              sysconf(_SC_NPROCESSORS_ONLN));

  bool ok = true;
  if (!options.korvel.empty()) ok = Measure(options, false, image, imagePath) && ok;
  if (!options.windowsKorvel.empty()) ok = Measure(options, true, image, imagePath) && ok;
  std::printf("\nload average after: %s\n", LoadAverage().c_str());
  return ok ? 0 : 1;
}
