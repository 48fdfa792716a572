// Line control on POSIX systems other than Linux: the standard rates only,
// no low-latency request (there is nothing portable to ask for, so the port
// runs as its driver has it), and a wait in whole milliseconds.
#include <poll.h>
#include <termios.h>

#include <cerrno>
#include <cstdint>

#include "serial/line_control.h"

namespace {

struct SpeedCode {
  uint32_t baud;
  speed_t code;
};

constexpr SpeedCode kSpeeds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

}  // namespace

int ApplyLineSpeed(int fd, uint32_t baud) {
  for (const SpeedCode& speed : kSpeeds) {
    if (speed.baud != baud) continue;
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return 0;
    if (cfsetispeed(&tio, speed.code) != 0 || cfsetospeed(&tio, speed.code) != 0) return 0;
    return tcsetattr(fd, TCSANOW, &tio) == 0 ? 1 : 0;
  }
  errno = EINVAL;
  return 0;
}

int ReadLineSpeed(int fd, uint32_t* baud) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return 0;
  const speed_t code = cfgetospeed(&tio);
  for (const SpeedCode& speed : kSpeeds) {
    if (speed.code == code) {
      *baud = speed.baud;
      return 1;
    }
  }
  *baud = 0;
  return 1;
}

int ReadLineSpeeds(int fd, uint32_t* input, uint32_t* output) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return 0;
  *input = 0;
  const speed_t code = cfgetispeed(&tio);
  for (const SpeedCode& speed : kSpeeds) {
    if (speed.code == code) *input = speed.baud;
  }
  return ReadLineSpeed(fd, output);
}

int RestoreLineSpeeds(int, uint32_t, uint32_t) {
  // Only the standard rates exist here, and struct termios carries them.
  return 1;
}

void RequestLowLatency(int) {}

int ReadLowLatency(int) {
  return -1;
}

void EndLowLatency(int) {}

void TightenTimerSlack() {}

int WaitForInput(int fd, std::chrono::nanoseconds wait) {
  // poll counts whole milliseconds: round up, so the wait never ends early.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait);
  pollfd ready{fd, POLLIN, 0};
  return poll(&ready, 1, static_cast<int>(ms.count()));
}
