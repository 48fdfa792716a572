// Station mode: which of the ports that match the pattern are new
// appearances to flash (watch_posix.cpp, watch_win32.cpp look for them).
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "tools/gang/gang.h"

bool NameMatches(std::string_view pattern, std::string_view name) {
  // The usual two-pointer match: on a mismatch after a '*', the '*' takes
  // one more character and the rest is tried again.
  size_t p = 0, n = 0, star = std::string_view::npos, resume = 0;
  const auto same = [](char a, char b) {
    return std::toupper(static_cast<unsigned char>(a)) ==
           std::toupper(static_cast<unsigned char>(b));
  };
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || same(pattern[p], name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::vector<PortSighting> NewAppearances(const std::vector<PortSighting>& present,
                                         const std::vector<std::string>& busy,
                                         HandledPorts* handled) {
  // 1. A port that is gone is forgotten: when it comes back, it is new.
  for (auto entry = handled->begin(); entry != handled->end();) {
    const bool stillThere =
        std::any_of(present.begin(), present.end(),
                    [&](const PortSighting& sighting) { return sighting.path == entry->first; });
    entry = stillThere ? std::next(entry) : handled->erase(entry);
  }
  // 2. A port not flashed in this appearance, and not being flashed, is.
  // One whose run is still going waits: its next look after the run
  // decides whether it was made anew in between.
  std::vector<PortSighting> fresh;
  for (const PortSighting& sighting : present) {
    if (std::find(busy.begin(), busy.end(), sighting.path) != busy.end()) continue;
    const auto known = handled->find(sighting.path);
    if (known != handled->end() && known->second.identity == sighting.identity) continue;
    (*handled)[sighting.path] = sighting;
    fresh.push_back(sighting);
  }
  return fresh;
}
