// Whether standard error is a console, and how wide its window is, on
// Windows. Nothing of POSIX here.
#include <windows.h>

#include "common/progress.h"

bool StandardErrorIsTerminal() {
  const DWORD savedError = GetLastError();
  DWORD mode = 0;
  // Only a console has a console mode; a pipe or a file fails the call.
  const bool console = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
  SetLastError(savedError);
  return console;
}

int StandardErrorColumns() {
  const DWORD savedError = GetLastError();
  CONSOLE_SCREEN_BUFFER_INFO info;
  int columns = 0;
  // The visible window, not the screen buffer: a buffer wider than the
  // window scrolls sideways, and the user sees only the window.
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) != 0) {
    columns = info.srWindow.Right - info.srWindow.Left + 1;
  }
  SetLastError(savedError);
  return columns;
}
