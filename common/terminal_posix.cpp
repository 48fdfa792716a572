// Whether standard error is a terminal, and how wide it is, on POSIX.
// Nothing of Windows here.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "common/progress.h"

bool StandardErrorIsTerminal() {
  const int savedErrno = errno;  // isatty sets ENOTTY for a pipe or file
  const bool terminal = isatty(STDERR_FILENO) == 1;
  errno = savedErrno;
  return terminal;
}

int StandardErrorColumns() {
  const int savedErrno = errno;  // ENOTTY when standard error is no terminal
  winsize size{};
  // A pseudo-terminal that nobody gave a size reports 0 columns.
  const int columns = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
  errno = savedErrno;
  return columns;
}
