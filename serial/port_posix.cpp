// POSIX serial ports (termios). Nothing of Windows here.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "common/retry_posix.h"
#include "common/system.h"
#include "serial/line_control.h"
#include "serial/local_port.h"
#include "serial/serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long one write call waits for the port to take a byte before it counts
// as having written nothing; 101 such calls in a row end a send.
constexpr int kWriteWaitMs = 20;

// Runs an ioctl whose failure does not matter without disturbing errno,
// which a later report may print.
void IoctlIgnoringFailure(int fd, unsigned long request, const void* argument) {
  SystemErrorGuard keepError;
  ioctl(fd, request, argument);
}

}  // namespace

std::string LocalPortDevicePath(const char* portName) {
  // A name with a slash is a path as given (/dev/ttyUSB0, a by-id symlink);
  // a bare name is a device under /dev.
  std::string path = portName;
  if (path.find('/') == std::string::npos) path = "/dev/" + path;
  return path;
}

PortHandle LocalPortCreate(const char* portName) {
  const std::string path = LocalPortDevicePath(portName);

  // Non-blocking, so the open never waits for a carrier signal and a write
  // to a full queue returns at once (PortWrite then waits, bounded, for
  // room); no controlling terminal, so the device can't deliver us job
  // signals.
  int fd = RetryAfterSignal(
      [&] { return open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK); });
  if (fd < 0) return kNoPort;

  // Exclusive use, as an unshared open on Windows: a second run on the same
  // port fails here. flock holds even against root, which TIOCEXCL does not.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    SystemErrorGuard keepError;  // the refused lock's, for the report
    close(fd);
    return kNoPort;
  }
  // Keeps other programs from opening the port while we use it. Not being a
  // terminal is reported by the next step, with its own name.
  IoctlIgnoringFailure(fd, TIOCEXCL, nullptr);

  // The descriptor stays non-blocking. Every call on it waits where it
  // should all the same: PortRead waits for input and reads only what has
  // arrived, PortWrite waits in poll only when the queue is full, and
  // tcdrain waits for the line whatever the descriptor's mode.
  return fd;
}

void LocalPortSaveState(PortHandle port, SavedPortState* saved) {
  SystemErrorGuard keepError;
  // A descriptor that is not a terminal has no settings; the next step
  // reports that with its own name.
  saved->lineRead = tcgetattr(port, &saved->tio) == 0 &&
                    ReadLineSpeeds(port, &saved->inputBaud, &saved->outputBaud);
  saved->lowLatency = ReadLowLatency(port);
}

void LocalPortRestoreState(PortHandle port, const SavedPortState& saved) {
  SystemErrorGuard keepError;
  if (saved.lineRead) {
    // HUPCL stays off, whatever the port had: with it on, closing the port
    // drops DTR and RTS, which resets many a device, and one left in its
    // bootloader on purpose (a STOP run, a failed programming) would leave
    // it again.
    termios tio = saved.tio;
    tio.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    if (tcsetattr(port, TCSANOW, &tio) == 0) {
      RestoreLineSpeeds(port, saved.inputBaud, saved.outputBaud);
    }
  }
  // Low latency only where the run switched it on.
  if (saved.lowLatency == 0) EndLowLatency(port);
}

int LocalPortSetTimeouts(PortHandle port) {
  // The receive rule itself is timed by PortRead, whose 20 ms gap after a
  // reply should end on time: no timer slack, and an adapter that passes
  // bytes on as they come.
  TightenTimerSlack();
  RequestLowLatency(port);

  // The terminal only has to hand over whatever has arrived as soon as one
  // byte is there. Anything that is not a terminal (a file, /dev/null)
  // fails here with ENOTTY.
  termios tio{};
  if (tcgetattr(port, &tio) != 0) return 0;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  return tcsetattr(port, TCSANOW, &tio) == 0 ? 1 : 0;
}

int LocalPortGetState(PortHandle port, LineState* state) {
  if (tcgetattr(port, &state->tio) != 0) return 0;
  return ReadLineSpeed(port, &state->baud);
}

int PortBuildState(LineState* state) {
  termios& tio = state->tio;
  // Bytes pass unchanged in both directions. Each of these flags corrupts
  // the protocol silently when left on: ICRNL turns the bootloader's
  // carriage return into a line feed, IXON swallows 0x11/0x13 inside frames,
  // ISTRIP clears bit 7, OPOST/ONLCR expands 0x0A on the way out, and the
  // local modes echo or interpret control characters.
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  // 8 data bits, no parity, 1 stop bit; receiver on; modem lines ignored;
  // HUPCL off so closing the port does not drop DTR and reset the device.
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | HUPCL);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  return 1;
}

void PortSetLineFields(LineState* state, uint32_t baud) {
  state->baud = baud;
  // No flow control of either kind: the protocol never pauses the line.
  state->tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  state->tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
}

void PortSetBaud(LineState* state, uint32_t baud) {
  state->baud = baud;
}

uint32_t LineStateBaud(const LineState& state) {
  return state.baud;
}

int LocalPortSetState(PortHandle port, const LineState& state) {
  // A rate of 0 would mean "hang up the line" to a POSIX terminal.
  if (state.baud == 0) {
    errno = EINVAL;
    return 0;
  }
  if (tcsetattr(port, TCSANOW, &state.tio) != 0) return 0;
  if (!ApplyLineSpeed(port, state.baud)) return 0;
  // Drivers may round or clamp a rate without an error: check what the
  // line runs at now. Rounded is fine, clamped is refused.
  uint32_t actual = 0;
  if (!ReadLineSpeed(port, &actual)) return 0;
  if (!RateWithinTolerance(state.baud, actual)) {
    errno = EINVAL;
    return 0;
  }
  // RTS and DTR asserted and held. A pseudo-terminal has no modem lines and
  // refuses this ioctl; that refusal is not a failure.
  const int lines = TIOCM_RTS | TIOCM_DTR;
  IoctlIgnoringFailure(port, TIOCMBIS, &lines);
  return 1;
}

int LocalPortPendingOutput(PortHandle port, uint32_t* bytes) {
  int count = 0;
  if (ioctl(port, TIOCOUTQ, &count) != 0) return 0;
  *bytes = count > 0 ? static_cast<uint32_t>(count) : 0;
  return 1;
}

int LocalPortDrain(PortHandle port) {
  return RetryAfterSignal([&] { return tcdrain(port); }) == 0 ? 1 : 0;
}

void LocalPortPurge(PortHandle port, PurgeWhat what) {
  // Callers don't examine the purge; it must not disturb the error code that
  // a later report prints either.
  SystemErrorGuard keepError;
  tcflush(port, what == PurgeWhat::kBoth ? TCIOFLUSH : TCIFLUSH);
}

int LocalPortWrite(PortHandle port, std::span<const uint8_t> bytes, uint32_t* written) {
  *written = 0;
  // 1. Almost always the port's queue has room: one system call per byte.
  ssize_t count = RetryAfterSignal([&] { return write(port, bytes.data(), bytes.size()); });
  if (count >= 0) {
    *written = static_cast<uint32_t>(count);
    return 1;
  }
  if (errno != EAGAIN) return 0;

  // 2. A full queue: wait, bounded, for room. A device that stops reading
  // must end the send through the stall rule, never block it for good.
  pollfd ready{port, POLLOUT, 0};
  const int events = RetryAfterSignal([&] { return poll(&ready, 1, kWriteWaitMs); });
  if (events < 0) return 0;
  if (events == 0) return 1;  // the port took nothing this time
  count = RetryAfterSignal([&] { return write(port, bytes.data(), bytes.size()); });
  if (count < 0) return errno == EAGAIN ? 1 : 0;
  *written = static_cast<uint32_t>(count);
  return 1;
}

int LocalPortRead(PortHandle port, std::span<uint8_t> buffer, uint32_t* got) {
  *got = 0;
  const Clock::time_point deadline = Clock::now() + kReadTimeout;
  Clock::time_point limit = deadline;
  while (*got < buffer.size()) {
    const Clock::duration left = limit - Clock::now();
    if (left <= Clock::duration::zero()) break;
    const int events = WaitForInput(port, left);
    if (events < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (events == 0) continue;  // the time check above ends the read

    const ssize_t count = read(port, buffer.data() + *got, buffer.size() - *got);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (count <= 0) {
      // A hung-up line (adapter unplugged, other end closed) reads as end of
      // file or EIO. Deliver what came before it; the next read fails.
      if (*got > 0) break;
      if (count == 0) errno = EIO;
      return 0;
    }
    *got += static_cast<uint32_t>(count);
    const Clock::time_point gapEnd = Clock::now() + kInterByteTimeout;
    limit = gapEnd < deadline ? gapEnd : deadline;
  }
  return 1;
}

int LocalPortReadWaiting(PortHandle port, std::span<uint8_t> buffer, std::chrono::nanoseconds wait,
                         uint32_t* got) {
  *got = 0;
  const Clock::time_point deadline = Clock::now() + wait;
  while (true) {
    const Clock::duration left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 1;
    const int events = WaitForInput(port, left);
    if (events < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (events == 0) continue;  // the time check above ends the wait
    const ssize_t count = read(port, buffer.data(), buffer.size());
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (count <= 0) {
      // A hung-up line (adapter unplugged, other end closed) reads as end
      // of file or EIO.
      if (count == 0) errno = EIO;
      return 0;
    }
    *got = static_cast<uint32_t>(count);
    return 1;
  }
}

void LocalPortClose(PortHandle port) {
  // Lift the exclusive mode before closing: it outlives our descriptor when
  // someone else still holds the terminal open.
  IoctlIgnoringFailure(port, TIOCNXCL, nullptr);
  close(port);
}
