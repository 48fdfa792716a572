// Keyboard interrupts and stop requests on Windows: a console control
// handler. Nothing of POSIX here.
#include <windows.h>

#include <cstdio>

#include "app/console.h"
#include "common/interrupts.h"

namespace {

// How long the handler holds a close, logoff or shutdown event at most
// while the run ends at its next safe point, looking every 10 ms whether
// it has. The system ends the process itself about 5 s after a close
// event; the run needs well under a second.
constexpr DWORD kStopGraceMs = 4500;
constexpr DWORD kLookMs = 10;

}  // namespace

// Called by the system on a thread of its own. Returning TRUE tells it the
// event is handled, so the default handler, which ends the process at
// once, never runs.
BOOL WINAPI ConsoleCtrlHandler(DWORD event) {
  switch (event) {
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The window closes or the session ends: the run stops at its next
      // safe point and leaves the port as found. The process usually ends
      // when the run returns, while this thread still waits here.
      NoteStopRequest(StopReason::kConsoleClose);
      for (DWORD waited = 0; waited < kStopGraceMs && !RunFinished(); waited += kLookMs) {
        Sleep(kLookMs);
      }
      return TRUE;
    default:
      // Ctrl+C and Ctrl+Break must not leave a device half programmed:
      // counted (the progress line answers them), otherwise ignored.
      NoteKeyboardInterrupt();
      return TRUE;
  }
}

void InstallConsoleCtrlHandler() {
  // The result is not examined: without a console there is nothing to
  // interrupt the run.
  SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
}

void SetUpStandardOutput() {
  // The C runtime here treats line buffering as full buffering: write each
  // piece of output as it comes instead.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}
