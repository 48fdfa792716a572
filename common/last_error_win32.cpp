// Windows side of the last system error: GetLastError. Nothing of POSIX here.
#include <windows.h>

#include "common/report.h"

unsigned long LastSystemError() {
  return GetLastError();
}

void SetLastSystemError(unsigned long code) {
  SetLastError(static_cast<DWORD>(code));
}
