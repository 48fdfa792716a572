// Keyboard interrupts on Windows: a console control handler that takes
// every event. Nothing of POSIX here.
#include <windows.h>

#include <cstdio>

#include "app/run.h"

// Called by the system on a thread of its own for Ctrl+C, Ctrl+Break and
// the other console events. Returning TRUE tells it the event is handled,
// so the default handler, which ends the process, never runs. It touches
// no state of the run.
BOOL WINAPI ConsoleCtrlHandler(DWORD /*event*/) {
  return TRUE;
}

void InstallConsoleCtrlHandler() {
  // Ctrl+C must not leave a device half programmed. The result is not
  // examined: without a console there is nothing to interrupt the run.
  SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
}

void SetUpStandardOutput() {
  // The C runtime here treats line buffering as full buffering: write each
  // piece of output as it comes instead.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}
