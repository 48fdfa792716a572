#include "bench/bench_support.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>

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
