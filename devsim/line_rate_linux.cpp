// The line rate of a Linux terminal through termios2, which holds any rate
// as a number. Only kernel headers here: <termios.h> from the C library
// defines a conflicting struct termios.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "devsim/pty.h"

namespace devsim_internal {

bool ReadLineRate(int fd, uint32_t* baud) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  *baud = tio.c_ospeed;
  return true;
}

}  // namespace devsim_internal
