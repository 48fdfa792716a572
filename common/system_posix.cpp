// The operating system's error code and terminal on POSIX. Nothing of
// Windows here.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

#include "common/retry_posix.h"
#include "common/system.h"

unsigned long LastSystemError() {
  return static_cast<unsigned long>(static_cast<unsigned>(errno));
}

void SetLastSystemError(unsigned long code) {
  errno = static_cast<int>(code);
}

bool StandardErrorIsTerminal() {
  SystemErrorGuard keepError;  // isatty sets ENOTTY for a pipe or file
  return isatty(STDERR_FILENO) == 1;
}

int StandardErrorColumns() {
  SystemErrorGuard keepError;  // ENOTTY when standard error is no terminal
  winsize size{};
  // A pseudo-terminal that nobody gave a size reports 0 columns.
  return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

int InheritedDescriptor(unsigned long long number) {
  return number <= static_cast<unsigned long long>(INT_MAX) ? static_cast<int>(number) : -1;
}

bool PrepareWriteWithoutWaiting(int descriptor) {
  SystemErrorGuard keepError;  // EBADF for a descriptor that is not open
  const int flags = fcntl(descriptor, F_GETFL);
  return flags != -1 && (flags & O_ACCMODE) != O_RDONLY;
}

void WriteWithoutWaiting(int descriptor, std::span<const char> text) {
  SystemErrorGuard keepError;  // a dropped text is no failure of the run
  // The descriptor's flags are left alone: O_NONBLOCK would change the open
  // file that it shares with the program that passed it (a terminal, its own
  // standard output). Instead, write only when poll finds room at once. For
  // a pipe, a FIFO or a socket, room means that a short text (well under
  // PIPE_BUF) goes in whole without waiting; a file always takes it.
  pollfd ready{descriptor, POLLOUT, 0};
  if (RetryAfterSignal([&] { return poll(&ready, 1, 0); }) != 1) return;
  if ((ready.revents & POLLOUT) == 0 || (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
    return;  // no room, no reader, or not open any more
  }
  // A reader that goes in between makes this fail with EPIPE (the run
  // ignores SIGPIPE): the text is lost, nothing else.
  const ssize_t ignored =
      RetryAfterSignal([&] { return write(descriptor, text.data(), text.size()); });
  (void)ignored;
}

unsigned long InterruptedSystemError() {
  return EINTR;
}

SystemErrorKind ClassifySystemError(unsigned long code) {
  switch (static_cast<int>(code)) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return SystemErrorKind::kNotFound;
    case EACCES:
    case EPERM:
      return SystemErrorKind::kNoPermission;
    case EWOULDBLOCK:  // a lock another program holds (EAGAIN too)
    case EBUSY:
      return SystemErrorKind::kBusy;
    case ENOTTY:
    case EISDIR:
    case ENOTDIR:
      return SystemErrorKind::kNotAPort;
    case EINVAL:
      return SystemErrorKind::kInvalid;
    case EIO:
    case EPIPE:
      return SystemErrorKind::kGone;
    case EINTR:
      return SystemErrorKind::kInterrupted;
    case ETIMEDOUT:
      return SystemErrorKind::kTimedOut;
    case EOPNOTSUPP:
      return SystemErrorKind::kUnsupported;
    default:
      return SystemErrorKind::kOther;
  }
}

std::string SystemErrorText(unsigned long code) {
  SystemErrorGuard keepError;
  // strerror may share a buffer between threads; the tool's one thread
  // asks, and the text is copied at once.
  return std::strerror(static_cast<int>(code));
}

std::string FileGroupName(const std::string& path) {
  SystemErrorGuard keepError;
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return std::string();
  // getgrgid_r: the group database may be read elsewhere meanwhile.
  std::array<char, 4096> buffer{};
  group entry{};
  group* found = nullptr;
  if (getgrgid_r(status.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    return std::string();
  }
  return found->gr_name;
}

bool WatchParentStopEvent(const char* /*setting*/) {
  return false;  // a parent asks with SIGTERM
}

bool ParentStopEventSet() {
  return false;
}
