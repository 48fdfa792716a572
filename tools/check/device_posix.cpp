// Devices on POSIX: told by their file type, which stat reads without
// opening them (an open of a terminal could raise its modem lines). Nothing
// of Windows here.
#include <sys/stat.h>

#include "tools/check/device.h"

bool NamesADevice(const char* path) {
  struct stat info {};
  if (stat(path, &info) != 0) return false;  // missing: the load says so
  return S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode);
}
