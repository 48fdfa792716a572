// The port inventory on POSIX systems other than Linux: there is no
// portable list of serial devices and their names, so the lookup finds
// none and reports it; the activation then runs at the default baud.
// Nothing of Windows here.
#include <cerrno>

#include "serial/adapter.h"

int ReadPortInventory(std::vector<InventoryEntry>*) {
  errno = ENOSYS;
  return 0;
}

std::string InventoryNameForPort(const char* portName) {
  return portName;
}
