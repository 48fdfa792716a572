// The operating system's error code and terminal on POSIX. Nothing of
// Windows here.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

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
