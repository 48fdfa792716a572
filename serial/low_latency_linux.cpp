// Low latency on Linux: the ASYNC_LOW_LATENCY flag of the serial driver
// (which sets an FTDI adapter's latency timer to 1 ms) and the thread's
// timer slack. Only kernel interfaces here.
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>

#include <cerrno>

#include "serial/low_latency.h"

void RequestLowLatency(int fd) {
  const int savedErrno = errno;
  // Read the driver's settings, set the one flag, write them back. A
  // pseudo-terminal or a driver without these settings refuses the first
  // call (ENOTTY, EINVAL); one that keeps its settings to the superuser
  // refuses the second (EPERM). Neither stops the run.
  serial_struct settings{};
  if (ioctl(fd, TIOCGSERIAL, &settings) == 0 && (settings.flags & ASYNC_LOW_LATENCY) == 0) {
    settings.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &settings);
  }
  errno = savedErrno;
}

void TightenTimerSlack() {
  const int savedErrno = errno;
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);  // 1 ns: the least there is
  errno = savedErrno;
}
