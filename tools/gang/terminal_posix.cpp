// The gang's terminal on POSIX: any terminal takes escape sequences.
// Nothing of Windows here.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "tools/gang/terminal.h"

void SetUpGangOutput() {
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}

TerminalKind OpenTerminal() {
  return isatty(STDOUT_FILENO) == 1 ? TerminalKind::kEscapes : TerminalKind::kNone;
}

void CloseTerminal() {}

void TerminalSize(int defaultColumns, int defaultRows, int* columns, int* rows) {
  winsize size{};
  // A pseudo-terminal that nobody gave a size reports 0 x 0.
  const bool known = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0;
  *columns = known && size.ws_col > 0 ? size.ws_col : defaultColumns;
  *rows = known && size.ws_row > 0 ? size.ws_row : defaultRows;
}
