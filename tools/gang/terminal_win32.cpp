// The gang's terminal on Windows: a console, with its virtual-terminal
// processing where it has it. Nothing of POSIX here.
#include <windows.h>

#include <cstdio>

#include "tools/gang/terminal.h"

namespace {

// The console's mode as the gang found it, for CloseTerminal.
DWORD foundMode = 0;
bool modeChanged = false;

}  // namespace

void SetUpGangOutput() {
  // The C runtime here treats line buffering as full buffering: write each
  // piece of output as it comes instead.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}

TerminalKind OpenTerminal() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  // Only a console has a console mode; a pipe or a file fails the call.
  if (GetConsoleMode(out, &foundMode) == 0) return TerminalKind::kNone;
  if ((foundMode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return TerminalKind::kEscapes;
  // Consoles before Windows 10 refuse the mode: they get plain lines.
  modeChanged = SetConsoleMode(out, foundMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
  return modeChanged ? TerminalKind::kEscapes : TerminalKind::kLines;
}

void CloseTerminal() {
  if (modeChanged) SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), foundMode);
  modeChanged = false;
}

void TerminalSize(int defaultColumns, int defaultRows, int* columns, int* rows) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  // The visible window, not the screen buffer: a buffer wider than the
  // window scrolls sideways, and the user sees only the window.
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) == 0) {
    *columns = defaultColumns;
    *rows = defaultRows;
    return;
  }
  *columns = info.srWindow.Right - info.srWindow.Left + 1;
  *rows = info.srWindow.Bottom - info.srWindow.Top + 1;
}
