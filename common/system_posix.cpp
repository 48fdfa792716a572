// The operating system's error code and terminal on POSIX. Nothing of
// Windows here.
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
