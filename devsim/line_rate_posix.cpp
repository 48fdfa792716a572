// The line rate of a terminal on POSIX systems other than Linux, whose
// speed_t values are the rates themselves (B115200 == 115200).
#include <termios.h>

#include "devsim/pty.h"

namespace devsim_internal {

bool ReadLineRate(int fd, uint32_t* baud) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  *baud = static_cast<uint32_t>(cfgetospeed(&tio));
  return true;
}

}  // namespace devsim_internal
