// POSIX side of the last system error: errno. Nothing of Windows here.
#include <cerrno>

#include "common/report.h"

unsigned long LastSystemError() {
  return static_cast<unsigned long>(static_cast<unsigned>(errno));
}

void SetLastSystemError(unsigned long code) {
  errno = static_cast<int>(code);
}
