// Line control on Linux: rates through termios2, which takes any rate the
// driver supports, standard or not; the serial driver's low-latency flag;
// the thread's timer slack; and ppoll, which waits to the nanosecond. Only
// kernel headers for the terminal here: <termios.h> from the C library
// defines a conflicting struct termios.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>

#include <ctime>

#include "common/system.h"
#include "serial/line_control.h"

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
  uint32_t input = 0;
  return ReadLineSpeeds(fd, &input, baud);
}

int ReadLineSpeeds(int fd, uint32_t* input, uint32_t* output) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
  *input = tio.c_ispeed;
  *output = tio.c_ospeed;
  return 1;
}

int RestoreLineSpeeds(int fd, uint32_t input, uint32_t output) {
  // A standard rate code (B9600) carries its rate, and the kernel derives
  // the numbers from it; only the code BOTHER ("the number says") needs
  // the numbers themselves. The codes are as tcsetattr just put them back.
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
  const bool outputByNumber = (tio.c_cflag & CBAUD) == BOTHER;
  const bool inputByNumber = ((tio.c_cflag >> IBSHIFT) & CBAUD) == BOTHER;
  if (!outputByNumber && !inputByNumber) return 1;
  tio.c_ispeed = input;
  tio.c_ospeed = output;
  return ioctl(fd, TCSETS2, &tio) == 0 ? 1 : 0;
}

void RequestLowLatency(int fd) {
  SystemErrorGuard keepError;
  // The ASYNC_LOW_LATENCY flag of the serial driver sets an FTDI adapter's
  // latency timer to 1 ms. Read the driver's settings, set the one flag,
  // write them back. A pseudo-terminal or a driver without these settings
  // refuses the first call (ENOTTY, EINVAL); one that keeps its settings to
  // the superuser refuses the second (EPERM). Neither stops the run.
  serial_struct settings{};
  if (ioctl(fd, TIOCGSERIAL, &settings) == 0 && (settings.flags & ASYNC_LOW_LATENCY) == 0) {
    settings.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &settings);
  }
}

int ReadLowLatency(int fd) {
  SystemErrorGuard keepError;
  serial_struct settings{};
  if (ioctl(fd, TIOCGSERIAL, &settings) != 0) return -1;
  return (settings.flags & ASYNC_LOW_LATENCY) != 0 ? 1 : 0;
}

void EndLowLatency(int fd) {
  SystemErrorGuard keepError;
  // ftdi_sio sets the latency timer from this flag: 1 ms while it is on,
  // and, once it is off, the value the driver holds for the adapter: the
  // one it read from the adapter when it was plugged in, or the one last
  // written to the latency_timer file in sysfs. Both are the timer as the
  // run found it, so nothing else needs putting back.
  serial_struct settings{};
  if (ioctl(fd, TIOCGSERIAL, &settings) == 0 && (settings.flags & ASYNC_LOW_LATENCY) != 0) {
    settings.flags &= ~ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &settings);
  }
}

void TightenTimerSlack() {
  SystemErrorGuard keepError;
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);  // 1 ns: the least there is
}

int WaitForInput(int fd, std::chrono::nanoseconds wait) {
  // To the nanosecond: the 20 ms gap after a reply's last byte should end
  // when it is due, not at the next whole millisecond.
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
  const timespec timeout{static_cast<time_t>(seconds.count()),
                         static_cast<long>((wait - seconds).count())};
  pollfd ready{fd, POLLIN, 0};
  return ppoll(&ready, 1, &timeout, nullptr);
}
