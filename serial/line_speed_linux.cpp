// Linux line rates through termios2, which takes any rate the driver
// supports, standard or not. Only kernel headers here: <termios.h> from the
// C library defines a conflicting struct termios.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "serial/line_speed.h"

int ApplyLineSpeed(int fd, uint32_t baud) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = baud;
  tio.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &tio) == 0 ? 1 : 0;
}

int ReadLineSpeed(int fd, uint32_t* baud) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
  *baud = tio.c_ospeed;
  return 1;
}
