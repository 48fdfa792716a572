// Whether standard error is a console, on Windows. Nothing of POSIX here.
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
