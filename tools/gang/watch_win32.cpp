// Station mode's look for ports on Windows: the COM names among the
// system's device names. Nothing of POSIX here.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tools/gang/gang.h"

namespace {

// The device names list grows with the devices; it is asked for again in a
// larger buffer when it does not fit, up to this size.
constexpr DWORD kLargestList = 1 << 22;

// Every name QueryDosDevice knows, or none when it can't tell.
std::vector<std::string> DeviceNames() {
  std::vector<char> list(1 << 16);
  for (;;) {
    const DWORD length = QueryDosDeviceA(nullptr, list.data(), static_cast<DWORD>(list.size()));
    if (length > 0) break;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || list.size() >= kLargestList) return {};
    list.resize(list.size() * 2);
  }
  std::vector<std::string> names;
  for (const char* name = list.data(); *name != '\0'; name += std::strlen(name) + 1) {
    names.emplace_back(name);
  }
  return names;
}

// The device a name stands for (\Device\VCP0): what tells one adapter
// from another that takes the same COM number.
std::string DeviceOf(const std::string& name) {
  char target[1024] = {};
  const DWORD length = QueryDosDeviceA(name.c_str(), target, sizeof target);
  return length > 0 ? std::string(target) : std::string();
}

}  // namespace

std::vector<PortSighting> ScanPorts(const std::string& pattern) {
  std::vector<PortSighting> sightings;
  for (const std::string& name : DeviceNames()) {
    if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0) continue;
    if (!NameMatches(pattern, name)) continue;
    const std::string device = DeviceOf(name);
    // A name that just went stands for nothing any more.
    if (!device.empty()) sightings.push_back(PortSighting{name, device});
  }
  std::sort(sightings.begin(), sightings.end(),
            [](const PortSighting& a, const PortSighting& b) { return a.path < b.path; });
  return sightings;
}
