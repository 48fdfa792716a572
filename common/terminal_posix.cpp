// Whether standard error is a terminal, on POSIX. Nothing of Windows here.
#include <unistd.h>

#include <cerrno>

#include "common/progress.h"

bool StandardErrorIsTerminal() {
  const int savedErrno = errno;  // isatty sets ENOTTY for a pipe or file
  const bool terminal = isatty(STDERR_FILENO) == 1;
  errno = savedErrno;
  return terminal;
}
