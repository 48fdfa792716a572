// What the two benchmarks share: the image they flash and how they tell a
// device holds it, running and measuring a child (through the product's
// child process layer), the median of their runs, and the machine's load
// average, which they print with every figure.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "devsim/devsim.h"

namespace CLI {
class App;
}

// The programs a benchmark measures, and where it works.
struct BenchPrograms {
  std::string korvel;         // the native build; empty: not measured
  std::string windowsKorvel;  // korvel.exe; empty: Wine is not measured
  std::string wineRun;        // tests/win32/wine-run.sh
  std::string workDir = "/tmp";
};

// Reads a benchmark's command line: --korvel, --windows, --wine-run and
// --work-dir into |programs|, the options |addOwn| adds, and |usage| as the
// text of --help and of a bad command line. Returns true to go on when
// |valid| then holds; false with the exit status in |status| when the
// program ends here (after --help, or a bad or incomplete command line).
bool ReadBenchCommandLine(int argc, char** argv, const char* name, const char* usage,
                          BenchPrograms* programs, const std::function<void(CLI::App*)>& addOwn,
                          const std::function<bool()>& valid, int* status);

// A firmware image of |length| bytes: noise from |seed| with the version
// marker "!Tavlo bench" (and its NUL) at offset 16.
std::vector<uint8_t> MakeBenchmarkImage(uint32_t length, uint32_t seed);

// Whether |device| was reset once and its flash holds |image|. Waits up to
// two seconds for the reset first: it is the last thing korvel sends, and
// it may still be on its way when korvel has exited.
bool Flashed(Devsim* device, const std::vector<uint8_t>& image);

double Median(std::vector<double> values);

// The one-minute load average.
double LoadAverage();

// The one-, five- and fifteen-minute load averages as /proc/loadavg has them.
std::string LoadAverages();

// Takes the stop requests (Ctrl+C, SIGTERM) and the children's ends as
// events from now on. Call it first thing, before any thread (a device's)
// starts: threads inherit the blocked signals, which must reach the wait.
// False, with the reason printed, when it can't.
bool OpenBenchWaiter();

// Puts back what OpenBenchWaiter changed, in the calling thread.
void CloseBenchWaiter();

// Waits |limit|; false, at once, when a stop request came (now or before).
bool PauseUnlessStopped(std::chrono::milliseconds limit);

// What one child cost.
struct ChildCost {
  bool ok = false;  // it ran to its end, unstopped, and its times were read
  int status = 0;   // the exit status; -1 when a signal ended it
  double wallSeconds = 0;
  double ownCpuSeconds = 0;       // the process itself
  double childrenCpuSeconds = 0;  // the children it reaped
};

// Runs |command| (the program, then its arguments) and measures it: its
// output goes to |log| when given, or onto a pseudo-terminal of 120 x 40
// (read and dropped as it comes) when |terminal|; its CPU times are read
// from /proc once it has ended, before it is reaped. A stop request ends it.
ChildCost RunMeasured(const std::vector<std::string>& command, std::FILE* log, bool terminal);
