// Opening the device's pseudo-terminal.
#include "devsim/pty.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace devsim_internal {

namespace {

bool SetDescriptorFlags(int fd, int fdFlags, int statusFlags) {
  const int oldFd = fcntl(fd, F_GETFD);
  const int oldStatus = fcntl(fd, F_GETFL);
  if (oldFd < 0 || oldStatus < 0) return false;
  return fcntl(fd, F_SETFD, oldFd | fdFlags) == 0 &&
         fcntl(fd, F_SETFL, oldStatus | statusFlags) == 0;
}

}  // namespace

const uint8_t kLineSettingsChanged = TIOCPKT_IOCTL;

bool OpenPty(PtyPair* pty) {
  // 1. The master. Close-on-exec so that a korvel started by a test does
  // not inherit it: a child holding the master would keep the line up when
  // the device vanishes. Non-blocking so the device loop never waits in a
  // read or write, only in poll().
  pty->master = posix_openpt(O_RDWR | O_NOCTTY);
  if (pty->master < 0) return false;
  if (!SetDescriptorFlags(pty->master, FD_CLOEXEC, O_NONBLOCK) || grantpt(pty->master) != 0 ||
      unlockpt(pty->master) != 0) {
    ClosePty(pty);
    return false;
  }
  const char* name = ptsname(pty->master);
  if (name == nullptr) {
    ClosePty(pty);
    return false;
  }
  pty->path = name;

  // 2. The slave, held open by the device itself. While no one holds it
  // open, the master reads EIO and polls as hung up, which between two
  // korvel runs would make the device loop spin. No flock: korvel takes
  // one to claim the line.
  pty->slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty->slave < 0) {
    ClosePty(pty);
    return false;
  }

  // 3. Raw from the start, so nothing is echoed back to the device or
  // translated before korvel configures the line itself. EXTPROC makes the
  // kernel tell the master about every later change of the settings (in
  // packet mode), which the firmware's line gate needs; korvel leaves the
  // flag alone. The flag also switches off the slave's input processing:
  // the bootloader clears it (SetSlaveSettingsReported) so that korvel's
  // own input flags decide what it reads, as on a real port.
  termios tio{};
  if (tcgetattr(pty->slave, &tio) != 0) {
    ClosePty(pty);
    return false;
  }
  cfmakeraw(&tio);
  tio.c_lflag |= EXTPROC;
  if (tcsetattr(pty->slave, TCSANOW, &tio) != 0) {
    ClosePty(pty);
    return false;
  }

  // 4. Packet mode: settings changes arrive as status bytes between the data.
  const int on = 1;
  if (ioctl(pty->master, TIOCPKT, &on) != 0) {
    ClosePty(pty);
    return false;
  }
  return true;
}

bool SetSlaveOutputFlowing(const PtyPair& pty, bool flowing) {
  // The device holds the slave's output the way a receiver holds a sender
  // with flow control; the slave is not our controlling terminal, so this
  // never raises a job-control signal.
  return tcflow(pty.slave, flowing ? TCOON : TCOOFF) == 0;
}

bool SetSlaveSettingsReported(const PtyPair& pty, bool reported) {
  termios tio{};
  if (tcgetattr(pty.slave, &tio) != 0) return false;
  if (((tio.c_lflag & EXTPROC) != 0) == reported) return true;
  if (reported) {
    tio.c_lflag |= EXTPROC;
  } else {
    tio.c_lflag &= ~static_cast<tcflag_t>(EXTPROC);
  }
  if (tcsetattr(pty.slave, TCSANOW, &tio) != 0) return false;
  // The kernel raises the settings-changed status for this change too (it
  // does whenever EXTPROC was set before or after). Reading one byte takes
  // a pending status and nothing else: without one, it yields the data
  // marker alone and leaves the data queued.
  uint8_t status = 0;
  const ssize_t ignored = read(pty.master, &status, 1);
  (void)ignored;
  return true;
}

bool SlaveInputPending(const PtyPair& pty) {
  int pending = 0;
  return ioctl(pty.slave, TIOCINQ, &pending) == 0 && pending > 0;
}

void ClosePty(PtyPair* pty) {
  const int savedErrno = errno;
  if (pty->slave >= 0) close(pty->slave);
  if (pty->master >= 0) close(pty->master);
  pty->slave = -1;
  pty->master = -1;
  errno = savedErrno;
}

}  // namespace devsim_internal
