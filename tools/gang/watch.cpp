// Station mode: which ports match the pattern now, and which of them are
// new appearances to flash.
#include <glob.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/gang/gang.h"

std::vector<PortSighting> ScanPorts(const std::string& pattern) {
  std::vector<PortSighting> sightings;
  glob_t matches{};
  // No error callback: a folder that is not there (no adapter plugged in
  // yet, so no /dev/serial/by-id) simply matches nothing.
  if (glob(pattern.c_str(), 0, nullptr, &matches) == 0) {
    for (size_t i = 0; i < matches.gl_pathc; ++i) {
      const char* path = matches.gl_pathv[i];
      struct stat self {};
      struct stat target {};
      // A port is a character device; a link that points nowhere (its
      // device just went) is no port.
      if (lstat(path, &self) != 0 || stat(path, &target) != 0 || !S_ISCHR(target.st_mode)) {
        continue;
      }
      sightings.push_back(PortSighting{path, self.st_dev, self.st_ino});
    }
  }
  globfree(&matches);
  return sightings;
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
    if (known != handled->end() && known->second.device == sighting.device &&
        known->second.inode == sighting.inode) {
      continue;
    }
    (*handled)[sighting.path] = sighting;
    fresh.push_back(sighting);
  }
  return fresh;
}
