// What the two benchmarks share: the image they flash and how they tell a
// device holds it, the median of their runs, and the machine's load
// average, which they print with every figure.
#pragma once

#include <cstdint>
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
