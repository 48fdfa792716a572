// The gang's terminal: what standard output is, whether it redraws in
// place, and its size. The build picks terminal_posix.cpp or
// terminal_win32.cpp.
#pragma once

// What standard output is to the board.
enum class TerminalKind {
  kNone,     // no terminal (a file, a pipe): no board
  kLines,    // a console that takes no escape sequences: plain lines
  kEscapes,  // a terminal that redraws in place with escape sequences
};

// Sets standard output's buffering for the gang's lines: each line as it
// is printed.
void SetUpGangOutput();

// Tells what standard output is; on Windows turns the console's
// virtual-terminal processing on where the console has it.
TerminalKind OpenTerminal();

// Puts back what OpenTerminal changed.
void CloseTerminal();

// The terminal's size on standard output, asked anew at every call;
// |defaultColumns| x |defaultRows| when it can't be told.
void TerminalSize(int defaultColumns, int defaultRows, int* columns, int* rows);
