// The console korvel runs in: how its output is delivered and what a
// keyboard interrupt or a stop request does (console_posix.cpp,
// console_win32.cpp).
#pragma once

// Makes standard output deliver each line as it is printed, also into a
// pipe, so a script sees progress as it happens and lines keep their order.
void SetUpStandardOutput();

// Makes keyboard interrupts (Ctrl+C, Ctrl+Break) unable to end the run.
void InstallConsoleCtrlHandler();
