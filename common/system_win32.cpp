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

int StandardErrorColumns() {
  SystemErrorGuard keepError;
  CONSOLE_SCREEN_BUFFER_INFO info;
  // The visible window, not the screen buffer: a buffer wider than the
  // window scrolls sideways, and the user sees only the window.
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) == 0) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}
