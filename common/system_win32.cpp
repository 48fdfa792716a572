// The operating system's error code and console on Windows. Nothing of
// POSIX here.
#include <windows.h>

#include "common/system.h"

unsigned long LastSystemError() {
  return GetLastError();
}

void SetLastSystemError(unsigned long code) {
  SetLastError(static_cast<DWORD>(code));
}

bool StandardErrorIsTerminal() {
  SystemErrorGuard keepError;
  DWORD mode = 0;
  // Only a console has a console mode; a pipe or a file fails the call.
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}
