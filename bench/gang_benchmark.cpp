// korvel-gang-benchmark: what flashing sixteen devices at once with
// korvel-gang costs against one korvel run of the same image, measured in
// the same run of the benchmark.
//
// Each round flashes a 16 KiB firmware image into paced simulated devices:
//   1. one korvel run into one device (the reference);
//   2. korvel-gang into sixteen devices, with a pseudo-terminal as its
//      terminal so that its board is drawn, with its page served (--http,
//      read twice a second as the page reads it) and its metrics written
//      (--metrics); its wall time, its own CPU time (read from /proc while
//      it is a zombie, before it is reaped) and its korvel children's;
//   3. korvel-gang into sixteen devices of which three are faulty (no
//      bootloader, a block never answered, vanishing mid-flash): the other
//      thirteen's times from its JSON report, and which ports it names.
//   4. with --wine-run, the Windows programs under Wine: one korvel.exe run
//      into one device, then korvel-gang.exe into eight (its board on a
//      pseudo-terminal too), the devices behind COM ports.
// A benchmark to read: it prints figures and says which targets were met;
// its exit status says only whether the runs themselves worked.
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "devsim/devsim.h"
#include "tools/command_line.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kImageLength = 16384;
constexpr int kDevices = 16;
constexpr int kWineDevices = 8;
// The Windows programs reach device i as COM(kFirstWineCom + i).
constexpr int kFirstWineCom = 50;
// The Windows gang's target: Wine starts each program in a fraction of a
// second, the gang's children side by side.
constexpr double kWineTarget = 1.15;

struct Options {
  BenchPrograms programs;
  int rounds = 3;
  std::string gang;
  double maxLoad = 1.5;
  int maxLoadWaitSeconds = 600;
  std::string windowsGang;  // korvel-gang.exe beside korvel.exe
};

// Waits (up to the option's limit) until the one-minute load is at most
// the option's; says what it found. False when a stop request came.
bool WaitForQuiet(const Options& options) {
  const Clock::time_point limit = Clock::now() + std::chrono::seconds(options.maxLoadWaitSeconds);
  while (LoadAverage() > options.maxLoad && Clock::now() < limit) {
    std::printf("load %s above %.2f: waiting\n", LoadAverages().c_str(), options.maxLoad);
    std::fflush(stdout);
    if (!PauseUnlessStopped(std::chrono::seconds(15))) return false;
  }
  std::printf("load average before round: %s (%ld CPUs)%s\n", LoadAverages().c_str(),
              sysconf(_SC_NPROCESSORS_ONLN),
              LoadAverage() > options.maxLoad ? "  - still busy: figures disturbed" : "");
  return true;
}

// |count| paced devices; |withFaults|: the 4th never enters its bootloader,
// the 8th never answers block 40, the 13th vanishes instead of answering
// block 100.
std::vector<DevsimPtr> StartDevices(int count, bool withFaults) {
  std::vector<DevsimPtr> devices;
  for (int i = 0; i < count; ++i) {
    DevsimConfig config;
    config.paced = true;
    if (withFaults && i == 3) config.probes.neverEnterBootloader = true;
    if (withFaults && i == 7) config.replies[40].fault = ReplyFault::kNoReply;
    if (withFaults && i == 12) config.replies[100].fault = ReplyFault::kVanish;
    devices.emplace_back(StartDevsim(config));
    if (!devices.back()) {
      std::perror("no pseudo-terminal");
      return {};
    }
  }
  return devices;
}

std::string ReadText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// Reads the page's JSON twice a second, as the page does, until |stop|;
// counts the answers. The page's address (a free port) is in the gang's
// JSON report from its start.
void ReadPage(const std::string& jsonPath, const std::atomic<bool>& stop,
              std::atomic<int>* answers) {
  std::string url;
  while (!stop && url.empty()) {
    const nlohmann::json report = nlohmann::json::parse(ReadText(jsonPath), nullptr, false);
    if (report.is_object() && report["page"].is_string()) url = report["page"];
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (url.empty()) return;
  httplib::Client client(url.substr(0, url.size() - 1));
  client.set_connection_timeout(1);
  while (!stop) {
    if (auto reply = client.Get("/board.json"); reply && reply->status == 200) ++*answers;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
}

struct Round {
  double single = 0;
  double gang = 0;
  double gangCpu = 0;
  double korvelsCpu = 0;
  int pageAnswers = 0;  // the page's JSON read during the gang of sixteen
  double faultyGang = 0;
  double goodOfFaulty = 0;  // the median of the thirteen good runs' seconds
  double slowestGoodOfFaulty = 0;
  bool namesExactlyTheThree = false;
  double wineSingle = 0;  // one korvel.exe under Wine
  double wineGang = 0;    // korvel-gang.exe of eight under Wine
  double wineGangCpu = 0;
};

// The gang's command: |gang| with the image, a log folder, |extra| and the
// ports.
std::vector<std::string> GangCommand(const Options& options, const std::string& gang,
                                     const std::string& imagePath,
                                     const std::vector<std::string>& extra,
                                     const std::vector<std::string>& ports) {
  std::vector<std::string> command = {gang, imagePath, "--log-dir",
                                      options.programs.workDir + "/korvel-gang-benchmark-logs"};
  command.insert(command.end(), extra.begin(), extra.end());
  command.insert(command.end(), ports.begin(), ports.end());
  return command;
}

std::vector<std::string> PortsOf(const std::vector<DevsimPtr>& devices) {
  std::vector<std::string> ports;
  for (const DevsimPtr& device : devices) ports.push_back(DevsimPortPath(device.get()));
  return ports;
}

// Whether every device holds |image|.
bool AllFlashed(const std::vector<DevsimPtr>& devices, const std::vector<uint8_t>& image) {
  bool all = true;
  for (const DevsimPtr& device : devices) all = Flashed(device.get(), image) && all;
  return all;
}

// 1. One korvel run, into |round->single|.
bool SingleRun(const Options& options, const std::vector<uint8_t>& image,
               const std::string& imagePath, std::FILE* log, Round* round) {
  std::vector<DevsimPtr> device = StartDevices(1, false);
  if (device.empty()) return false;
  const ChildCost cost = RunMeasured(
      {options.programs.korvel, DevsimPortPath(device[0].get()), imagePath}, log, false);
  if (!cost.ok || cost.status != 0 || !Flashed(device[0].get(), image)) {
    std::fprintf(stderr, "the single korvel run failed\n");
    return false;
  }
  round->single = cost.wallSeconds;
  return true;
}

// 2. The gang on sixteen, with its board on a terminal, its page read and
// its metrics written.
bool GangRun(const Options& options, const std::vector<uint8_t>& image,
             const std::string& imagePath, Round* round) {
  std::vector<DevsimPtr> devices = StartDevices(kDevices, false);
  if (devices.empty()) return false;
  const std::string jsonPath = options.programs.workDir + "/korvel-gang-benchmark-page.json";
  std::remove(jsonPath.c_str());
  const std::vector<std::string> extra = {
      "--http",    "127.0.0.1:0",
      "--metrics", options.programs.workDir + "/korvel-gang-benchmark.prom",
      "--json",    jsonPath};
  std::atomic<bool> stop{false};
  std::atomic<int> answers{0};
  std::thread reader(ReadPage, std::cref(jsonPath), std::cref(stop), &answers);
  const ChildCost cost = RunMeasured(
      GangCommand(options, options.gang, imagePath, extra, PortsOf(devices)), nullptr, true);
  stop = true;
  reader.join();
  round->pageAnswers = answers;
  if (!cost.ok || cost.status != 0 || !AllFlashed(devices, image)) {
    std::fprintf(stderr, "the gang of sixteen failed (status %d)\n", cost.status);
    return false;
  }
  round->gang = cost.wallSeconds;
  round->gangCpu = cost.ownCpuSeconds;
  round->korvelsCpu = cost.childrenCpuSeconds;
  return true;
}

// 3. The gang on sixteen with three faulty, its JSON report read back.
bool FaultyGangRun(const Options& options, const std::vector<uint8_t>& image,
                   const std::string& imagePath, std::FILE* log, Round* round) {
  std::vector<DevsimPtr> devices = StartDevices(kDevices, true);
  if (devices.empty()) return false;
  const std::string jsonPath = options.programs.workDir + "/korvel-gang-benchmark.json";
  const ChildCost cost = RunMeasured(
      GangCommand(options, options.gang, imagePath, {"--json", jsonPath}, PortsOf(devices)), log,
      false);
  const nlohmann::json report = nlohmann::json::parse(ReadText(jsonPath), nullptr, false);
  if (!cost.ok || cost.status != 1 || report.is_discarded() || report["results"].size() != 16) {
    std::fprintf(stderr, "the gang with three faulty did not end as it should (status %d)\n",
                 cost.status);
    return false;
  }
  round->faultyGang = cost.wallSeconds;
  std::vector<double> good;
  std::set<std::string> named;
  const std::set<std::string> faulty = {DevsimPortPath(devices[3].get()),
                                        DevsimPortPath(devices[7].get()),
                                        DevsimPortPath(devices[12].get())};
  bool goodFlashed = true;
  for (size_t i = 0; i < devices.size(); ++i) {
    const nlohmann::json& result = report["results"][i];
    if (result["outcome"] == "passed") {
      good.push_back(result["seconds"].get<double>());
      goodFlashed = Flashed(devices[i].get(), image) && goodFlashed;
    } else {
      named.insert(result["port"].get<std::string>());
    }
  }
  round->goodOfFaulty = good.empty() ? 0 : Median(good);
  round->slowestGoodOfFaulty = good.empty() ? 0 : *std::max_element(good.begin(), good.end());
  round->namesExactlyTheThree = named == faulty && good.size() == 13 && goodFlashed;
  return true;
}

// The wine-run.sh command for a Windows |program| with |args|, each of
// |devices| behind its COM port; |ports| gets the COM names.
std::vector<std::string> WineCommand(const Options& options, const std::vector<DevsimPtr>& devices,
                                     std::vector<std::string>* ports) {
  std::vector<std::string> command = {"/bin/sh", options.programs.wineRun};
  for (size_t i = 0; i < devices.size(); ++i) {
    const std::string com = std::to_string(kFirstWineCom + static_cast<int>(i));
    command.insert(command.end(), {"--com", com, DevsimPortPath(devices[i].get())});
    ports->push_back("COM" + com);
  }
  return command;
}

// 4. Under Wine: one korvel.exe run, then korvel-gang.exe on eight with its
// board on a terminal.
bool WineRuns(const Options& options, const std::vector<uint8_t>& image,
              const std::string& imagePath, std::FILE* log, Round* round) {
  std::vector<DevsimPtr> device = StartDevices(1, false);
  if (device.empty()) return false;
  std::vector<std::string> port;
  std::vector<std::string> single = WineCommand(options, device, &port);
  single.insert(single.end(), {options.programs.windowsKorvel, port[0], imagePath});
  const ChildCost one = RunMeasured(single, log, false);
  std::vector<DevsimPtr> devices = StartDevices(kWineDevices, false);
  if (devices.empty()) return false;
  std::vector<std::string> ports;
  std::vector<std::string> gang = WineCommand(options, devices, &ports);
  const std::vector<std::string> gangArgs =
      GangCommand(options, options.windowsGang, imagePath, {}, ports);
  gang.insert(gang.end(), gangArgs.begin(), gangArgs.end());
  const ChildCost eight = RunMeasured(gang, nullptr, true);
  if (!one.ok || one.status != 0 || !Flashed(device[0].get(), image) || !eight.ok ||
      eight.status != 0 || !AllFlashed(devices, image)) {
    std::fprintf(stderr, "the runs under Wine failed (status %d, %d)\n", one.status, eight.status);
    return false;
  }
  round->wineSingle = one.wallSeconds;
  round->wineGang = eight.wallSeconds;
  round->wineGangCpu = eight.ownCpuSeconds;
  return true;
}

bool RunRound(const Options& options, const std::vector<uint8_t>& image,
              const std::string& imagePath, Round* round) {
  const std::string logPath = options.programs.workDir + "/korvel-gang-benchmark.log";
  std::FILE* log = std::fopen(logPath.c_str(), "w");
  if (log == nullptr) return false;
  const bool ok =
      SingleRun(options, image, imagePath, log, round) &&
      GangRun(options, image, imagePath, round) &&
      FaultyGangRun(options, image, imagePath, log, round) &&
      (options.programs.wineRun.empty() || WineRuns(options, image, imagePath, log, round));
  std::fclose(log);
  if (!ok) std::fprintf(stderr, "see %s\n", logPath.c_str());
  return ok;
}

constexpr const char* kUsage =
    "Usage: korvel-gang-benchmark --korvel PATH --gang PATH [options]\n"
    "Flashes a 16 KiB firmware image into paced simulated devices: once with one\n"
    "korvel run, then into sixteen at once with korvel-gang (its board on a\n"
    "pseudo-terminal, its page served and read, its metrics written), then into\n"
    "sixteen of which three are faulty; per round and as medians, with the load\n"
    "average before each round.\n"
    "\n"
    "  --korvel PATH        korvel, for the single run\n"
    "  --gang PATH          korvel-gang (it runs the korvel beside it)\n"
    "  --rounds N           rounds (default 3)\n"
    "  --max-load L         wait before a round while the 1-minute load is above L\n"
    "                       (default 1.5)\n"
    "  --max-load-wait S    but no longer than S seconds (default 600)\n"
    "  --work-dir DIR       where the image, logs and report go (default /tmp)\n"
    "  --windows PATH       korvel.exe to measure under Wine, with the\n"
    "                       korvel-gang.exe beside it on eight (needs --wine-run)\n"
    "  --wine-run PATH      tests/win32/wine-run.sh\n";

// Reads the command line into |options|; false, with the exit status in
// |status|, when the program ends here.
bool ReadOptions(int argc, char** argv, Options* options, int* status) {
  const BenchPrograms& programs = options->programs;
  const bool go = ReadBenchCommandLine(
      argc, argv, "korvel-gang-benchmark", kUsage, &options->programs,
      [options](CLI::App* app) {
        app->add_option("--gang", options->gang);
        app->add_option("--rounds", options->rounds);
        app->add_option("--max-load", options->maxLoad);
        app->add_option("--max-load-wait", options->maxLoadWaitSeconds);
      },
      [&] {
        return options->rounds > 0 && !programs.korvel.empty() && !options->gang.empty() &&
               programs.windowsKorvel.empty() == programs.wineRun.empty();
      },
      status);
  if (go && !programs.windowsKorvel.empty()) {
    options->windowsGang =
        std::filesystem::path(programs.windowsKorvel).replace_filename("korvel-gang.exe").string();
  }
  return go;
}

void PrintRound(int i, const Round& round, bool wine) {
  std::printf(
      "round %d: one korvel %.3f s | gang of 16 %.3f s (x%.3f), gang CPU %.3f s = %.2f %%,"
      " its 16 korvels %.2f s, page read %d times | 3 faulty: gang %.3f s, the 13 median"
      " %.3f s (x%.3f), slowest %.3f s, named exactly the 3: %s\n",
      i, round.single, round.gang, round.gang / round.single, round.gangCpu,
      100 * round.gangCpu / round.gang, round.korvelsCpu, round.pageAnswers, round.faultyGang,
      round.goodOfFaulty, round.goodOfFaulty / round.single, round.slowestGoodOfFaulty,
      round.namesExactlyTheThree ? "yes" : "NO");
  if (wine) {
    std::printf(
        "         under Wine: one korvel.exe %.3f s | korvel-gang.exe of 8 %.3f s (x%.3f),"
        " gang CPU %.3f s = %.2f %%\n",
        round.wineSingle, round.wineGang, round.wineGang / round.wineSingle, round.wineGangCpu,
        100 * round.wineGangCpu / round.wineGang);
  }
  std::fflush(stdout);
}

// The medians of the rounds and the targets they meet.
void PrintMedians(const std::vector<Round>& rounds, bool wine) {
  const auto median = [&](auto figure) {
    std::vector<double> values;
    for (const Round& round : rounds) values.push_back(figure(round));
    return Median(values);
  };
  const double ratio = median([](const Round& r) { return r.gang / r.single; });
  const double share = median([](const Round& r) { return 100 * r.gangCpu / r.gang; });
  const double faultyRatio =
      median([](const Round& r) { return r.slowestGoodOfFaulty / r.single; });
  const bool named = std::all_of(rounds.begin(), rounds.end(),
                                 [](const Round& r) { return r.namesExactlyTheThree; });
  std::printf("\nmedians: one korvel %.3f s, gang of 16 %.3f s, ratio %.3f (target <= 1.05): %s\n",
              median([](const Round& r) { return r.single; }),
              median([](const Round& r) { return r.gang; }), ratio,
              ratio <= 1.05 ? "met" : "MISSED");
  std::printf("         gang CPU %.2f %% of one core (target < 10 %%): %s\n", share,
              share < 10 ? "met" : "MISSED");
  std::printf(
      "         3 faulty: slowest of the 13 / one korvel %.3f (target <= 1.05): %s;"
      " exactly the 3 named in every round: %s\n",
      faultyRatio, faultyRatio <= 1.05 ? "met" : "MISSED", named ? "yes" : "NO");
  if (!wine) return;
  const double wineRatio = median([](const Round& r) { return r.wineGang / r.wineSingle; });
  std::printf(
      "         under Wine: one korvel.exe %.3f s, korvel-gang.exe of 8 %.3f s, ratio %.3f"
      " (target <= %.2f): %s\n",
      median([](const Round& r) { return r.wineSingle; }),
      median([](const Round& r) { return r.wineGang; }), wineRatio, kWineTarget,
      wineRatio <= kWineTarget ? "met" : "MISSED");
}

// Says what the benchmark does and aims at; under Wine, readies Wine's
// server and the prefix before the first round: the program without
// arguments prints its usage.
void Introduce(const Options& options) {
  std::printf(
      "korvel-gang benchmark: %u-byte firmware image, paced devices, %d devices per gang,"
      " %d rounds\n",
      kImageLength, kDevices, options.rounds);
  std::printf(
      "targets: gang wall (with --http, read twice a second, and --metrics) <= 1.05 x one"
      " korvel run; gang CPU < 10 %% of one core;"
      " with 3 of 16 faulty the 13 in the same time, exactly the 3 named\n%s",
      options.programs.wineRun.empty() ? "\n" : "");
  if (options.programs.wineRun.empty()) return;
  std::printf(
      "and under Wine: one korvel.exe run, korvel-gang.exe on %d devices;"
      " target: gang wall <= %.2f x one korvel.exe run\n\n",
      kWineDevices, kWineTarget);
  RunMeasured({"/bin/sh", options.programs.wineRun, options.programs.windowsKorvel}, nullptr,
              false);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (int status = 0; !ReadOptions(argc, argv, &options, &status)) return status;
  if (!OpenBenchWaiter()) return 1;
  const std::vector<uint8_t> image = MakeBenchmarkImage(kImageLength, 16);
  const std::string imagePath = options.programs.workDir + "/korvel-gang-benchmark.img";
  std::ofstream(imagePath, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  Introduce(options);
  std::vector<Round> rounds;
  for (int i = 1; i <= options.rounds; ++i) {
    Round round;
    if (!WaitForQuiet(options) || !RunRound(options, image, imagePath, &round)) return 1;
    rounds.push_back(round);
    PrintRound(i, round, !options.programs.wineRun.empty());
  }
  PrintMedians(rounds, !options.programs.wineRun.empty());
  std::printf("load average after: %s\n", LoadAverages().c_str());
  return 0;
}
