#include "bench/bench_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "tools/child/child_process.h"
#include "tools/child/child_wait.h"
#include "tools/command_line.h"

namespace {

using Clock = std::chrono::steady_clock;

// The benchmark's one wait, and whether a stop request came.
ChildWaiter waiter;
bool stopped = false;

// Takes what waits in |pipe|: into |log| when given, else dropped.
void TakeOutput(ChildPipe* pipe, std::FILE* log, PipeRead mode) {
  char chunk[8192];
  for (size_t count; (count = ReadChildPipe(pipe, chunk, sizeof chunk, mode)) > 0;) {
    if (log != nullptr) std::fwrite(chunk, 1, count, log);
  }
}

// Whether |child| has ended, without reaping it: its times stay in /proc.
bool EndedUnreaped(const Child& child) {
  siginfo_t info{};
  const pid_t pid = child.process.pid;
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

// The CPU seconds in /proc/<pid>/stat: its own (utime + stime) and its
// reaped children's (cutime + cstime). Readable while it is a zombie.
bool ReadProcessTimes(pid_t pid, double* own, double* children) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');  // the name may hold blanks
  if (close == std::string::npos) return false;
  std::istringstream fields(text.substr(close + 2));
  std::vector<std::string> values;
  for (std::string value; fields >> value;) values.push_back(value);
  // After the name: state is field 3; utime 14, stime 15, cutime 16, cstime 17.
  if (values.size() < 15) return false;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  *own = (std::stod(values[11]) + std::stod(values[12])) / tick;
  *children = (std::stod(values[13]) + std::stod(values[14])) / tick;
  return true;
}

}  // namespace

bool OpenBenchWaiter() {
  std::string error;
  if (OpenChildWaiter(&waiter, &error)) return true;
  std::fprintf(stderr, "%s\n", error.c_str());
  return false;
}

void CloseBenchWaiter() {
  CloseChildWaiter(&waiter);
}

bool PauseUnlessStopped(std::chrono::milliseconds limit) {
  const Clock::time_point end = Clock::now() + limit;
  std::vector<bool> ready;
  for (Clock::time_point now; !stopped && (now = Clock::now()) < end;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now);
    stopped = WaitForChildren(&waiter, {}, left, &ready).stopRequests > 0;
  }
  return !stopped;
}

ChildCost RunMeasured(const std::vector<std::string>& command, std::FILE* log, bool terminal) {
  ChildCost cost;
  ChildLaunch launch{command[0], {command.begin() + 1, command.end()}, "", ""};
  launch.terminalColumns = terminal ? 120 : 0;
  launch.terminalRows = terminal ? 40 : 0;
  Child child;
  std::string error;
  const Clock::time_point start = Clock::now();
  if (!StartChild(launch, &child, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return cost;
  }
  // 1. Until it has ended, without reaping it, taking its output as it
  // comes so that it never waits for room. A stop request ends it.
  std::vector<bool> ready;
  while (!EndedUnreaped(child)) {
    const WaitEvents events =
        WaitForChildren(&waiter, {&child.output}, std::chrono::seconds(1), &ready);
    if (events.stopRequests > 0 || stopped) {
      stopped = true;
      KillChild(&child);
    }
    TakeOutput(&child.output, log, PipeRead::kNow);
  }
  cost.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  // 2. Its times while it is a zombie, then the rest of its output, then
  // reap it.
  const bool timed =
      ReadProcessTimes(child.process.pid, &cost.ownCpuSeconds, &cost.childrenCpuSeconds);
  TakeOutput(&child.output, log, PipeRead::kToEnd);
  CloseChildPipe(&child.output);
  ChildExit exit;
  ChildEnded(&child, &exit);
  cost.status = exit.status;
  cost.ok = timed && !stopped;
  return cost;
}

std::vector<uint8_t> MakeBenchmarkImage(uint32_t length, uint32_t seed) {
  std::mt19937 noise(seed);
  std::vector<uint8_t> image(length);
  for (uint8_t& byte : image) byte = static_cast<uint8_t>(noise());
  const char marker[] = "!Tavlo bench";  // with its NUL
  std::copy(std::begin(marker), std::end(marker), image.begin() + 16);
  return image;
}

bool Flashed(Devsim* device, const std::vector<uint8_t>& image) {
  DevsimWaitUntil(
      device, [](const DevsimRecord& record) { return record.resets > 0; }, 2000);
  const DevsimRecord record = DevsimSnapshot(device);
  return record.resets == 1 && record.flashWritten == image.size() &&
         std::equal(image.begin(), image.end(), record.flash.begin());
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double LoadAverage() {
  std::ifstream file("/proc/loadavg");
  double one = 0;
  file >> one;
  return one;
}

std::string LoadAverages() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

bool ReadBenchCommandLine(int argc, char** argv, const char* name, const char* usage,
                          BenchPrograms* programs, const std::function<void(CLI::App*)>& addOwn,
                          const std::function<bool()>& valid, int* status) {
  CLI::App app("", name);
  UseUsageText(&app, name, usage);
  app.add_option("--korvel", programs->korvel);
  app.add_option("--windows", programs->windowsKorvel);
  app.add_option("--wine-run", programs->wineRun);
  app.add_option("--work-dir", programs->workDir);
  addOwn(&app);
  if (!ParseCommandLine(&app, argc, argv, status)) return false;
  if (valid()) return true;
  std::fputs(usage, stderr);
  *status = kUsageError;
  return false;
}
