// Station mode's look for ports on POSIX: the paths that match a glob
// pattern. Nothing of Windows here.
#include <glob.h>
#include <sys/stat.h>

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
      sightings.push_back(
          PortSighting{path, std::to_string(self.st_dev) + ":" + std::to_string(self.st_ino)});
    }
  }
  globfree(&matches);
  return sightings;
}
