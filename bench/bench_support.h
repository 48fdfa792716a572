// What the two benchmarks share: the image they flash and how they tell a
// device holds it, running and measuring a child (through the product's
// child process layer), the median of their runs, and the machine's load
// average, which they print with every figure.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "devsim/devsim.h"

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
