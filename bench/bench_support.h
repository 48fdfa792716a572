// What the two benchmarks share: the image they flash, the median of their
// runs, and the machine's load average, which they print with every figure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A firmware image of |length| bytes: noise from |seed| with the version
// marker "!Tavlo bench" (and its NUL) at offset 16.
std::vector<uint8_t> MakeBenchmarkImage(uint32_t length, uint32_t seed);

double Median(std::vector<double> values);

// The one-minute load average.
double LoadAverage();

// The one-, five- and fifteen-minute load averages as /proc/loadavg has them.
std::string LoadAverages();
